// SD storage against a card in the simulated socket: start-up and marker file, the day
// directory and its limits, the three data files, their write cycle and durability, and
// the recovery of the day's result file.
#include <gtest/gtest.h>

#include <string>

#include "params/i2c.h"
#include "params/memoria.h"
#include "tarjeta_prueba.h"

using namespace sim::test;
using sim::kMilli;
using sim::kSecond;
using sim::FatFormat;
using sim::FatFormatLayout;

namespace {

std::string contar(const std::string& texto, const std::string& buscado, int* veces) {
    *veces = 0;
    for (size_t at = texto.find(buscado); at != std::string::npos; at = texto.find(buscado, at + 1)) ++*veces;
    return texto;
}

class GestionSd : public ::testing::Test {
protected:
    GestionSd() : image(65536), card(image, false) {}
    void SetUp() override {
        estado_inicial_almacenamiento();
        h.board.connect_card(&card);
    }
    void TearDown() override {
        h.run([] { estado_inicial_almacenamiento(); });
    }
    // A FAT16 volume of 1-block clusters in partition 1, with `ficheros` made beforehand.
    FatFormatLayout formatea(uint8_t cluster_blocks = 1) {
        FatFormat f;
        f.fat_bits = 16;
        f.cluster_blocks = cluster_blocks;
        return image.format(f);
    }
    // Runs firmware code with the tick and I2C started.
    void firmware(const std::function<void()>& fn) {
        h.run([&] {
            arranque_base_tiempos();
            fn();
            Serial1.flush();
        });
    }
    // Passes of the main loop's SD block (see pasada_sd).
    void pasadas(int n) {
        for (int i = 0; i < n; ++i) pasadas_de_recuento += pasada_sd();
    }
    int pasadas_de_recuento = 0;
    const std::string& consola() const { return h.console.text(); }

    RamImage image;
    RamCard card;
    Harness h;
};

// A volume made beforehand with a test volume of its own (before the firmware mounts).
void prepara(BlockImage& image, const std::function<void(FatVolume&)>& fn) {
    FatVolume v;
    v.attach(image.device());
    ASSERT_TRUE(v.mount(1));
    fn(v);
    ASSERT_TRUE(v.sync());
}

void escribe(FatVolume& v, const char* path, const std::string& data) {
    FatFile f;
    ASSERT_TRUE(f.open(v, path, 521)) << path;
    f.write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    ASSERT_TRUE(f.close());
}

} // namespace

// ---------------------------------------------------------------- start-up

TEST_F(GestionSd, ArranqueEscribeElFicheroMarcaYMideLaOcupacion) {
    formatea();
    firmware([&] {
        pasadas(1);
        EXPECT_EQ(ctarjeta_sd_inicializada, 1);
        EXPECT_EQ(resSdOk, 1);
        EXPECT_EQ(ccreacion_nuevo_directorio, 1);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(ccreacion_nuevo_fichero[k], 1);
        EXPECT_LE(CTE_PORCENTAJE_FULL_SD, 1); // an empty card, measured because it was 255
        EXPECT_EQ(h.eeprom.data()[EE_PORCENTAJE_SD], CTE_PORCENTAJE_FULL_SD);
        // Its FAT of 256 blocks was counted in slices, not in one pass.
        EXPECT_GT(pasadas_de_recuento, 30);
    });
    EXPECT_EQ(lee_fichero(image, "/_sd/escritura_sd.txt"), "Escritura sd ok: 3014");
    EXPECT_NE(consola().find("SD inicializada\r\n"), std::string::npos);
    EXPECT_NE(consola().find("Fichero escritura actualizado\r\n"), std::string::npos);
    EXPECT_NE(consola().find("Tipo de volumen FAT = 16  -  nReintentos=1 - Tama\xEF\xBF\xBDo total SD = "),
              std::string::npos)
        << consola();
    EXPECT_NE(consola().find("Porcentaje ocupado SD = 0 %\r\n\r\n"), std::string::npos) << consola();

    // A later start with a stored value of 40 does not measure again; the marker is rewritten.
    firmware([&] {
        h.console.clear();
        ctarjeta_sd_inicializada = 0;
        CTE_PORCENTAJE_FULL_SD = 40;
        cminuto_utc = 31;
        pasadas(1);
        EXPECT_EQ(CTE_PORCENTAJE_FULL_SD, 40);
    });
    EXPECT_EQ(consola().find("Porcentaje"), std::string::npos);
    EXPECT_EQ(lee_fichero(image, "/_sd/escritura_sd.txt"), "Escritura sd ok: 3114");
}

TEST_F(GestionSd, SinTarjetaSeReintentaAlMinutoYSeMarca112) {
    formatea();
    card.set_present(false);
    firmware([&] {
        pasadas(3); // the hold-off keeps the later passes away from the card
        EXPECT_EQ(ctarjeta_sd_inicializada, 0);
        EXPECT_EQ(resSdOk, 0);
        EXPECT_EQ(CTE_PORCENTAJE_FULL_SD, 112);
        EXPECT_EQ(h.eeprom.data()[EE_PORCENTAJE_SD], 112);
        EXPECT_GE(csegundos_retardo_gestion_sd, 59);
    });
    int veces;
    contar(consola(), "SD no presente", &veces);
    EXPECT_EQ(veces, 1);
    // Neither a card without a FAT volume is taken.
    RamImage vacia(65536);
    RamCard otra(vacia, false);
    h.board.connect_card(&otra);
    firmware([&] {
        csegundos_retardo_gestion_sd = 0;
        pasadas(1);
        EXPECT_EQ(ctarjeta_sd_inicializada, 0);
    });
    contar(consola(), "SD no presente", &veces);
    EXPECT_EQ(veces, 2);
    h.board.connect_card(&card);
}

TEST_F(GestionSd, SinPermisoDeEscrituraNoHayMarcaYResSdOkCero) {
    formatea();
    firmware([&] {
        CTE_PERMITIR_ESCRITURA_SD = 0;
        inicializacion_sd();
        EXPECT_EQ(ctarjeta_sd_inicializada, 1);
        EXPECT_EQ(resSdOk, 0);
    });
    EXPECT_FALSE(existe_en_imagen(image, "/_sd"));
}

// ---------------------------------------------------------------- day directory

TEST_F(GestionSd, DirectorioDelDiaConNombreDelReloj) {
    formatea();
    firmware([&] {
        char buf[4] = {};
        cbytes_nombre_fichero = 0;
        inserto_variable(buf, 7, 2);
        EXPECT_STREQ(buf, "07");
        EXPECT_EQ(cbytes_nombre_fichero, 2);

        pasadas(2);
        EXPECT_STREQ(Sdirectorio, "240305");
        EXPECT_EQ(ccreacion_nuevo_directorio, 0);
        // Last day of the year, single-digit month and day.
        cano_utc = 9, cmes_utc = 12, cdia_utc = 1;
        ccreacion_nuevo_directorio = 1;
        pasadas(1);
        EXPECT_STREQ(Sdirectorio, "091201");
    });
    EXPECT_NE(consola().find("Intento creacion directorio numero: 0\r\n"), std::string::npos);
    EXPECT_NE(consola().find("Nuevo directorio creado: 240305\r\n"), std::string::npos);
    EXPECT_TRUE(existe_en_imagen(image, "/240305/"));
    EXPECT_TRUE(existe_en_imagen(image, "/091201/"));
}

TEST_F(GestionSd, SinFechaNiPermisoAuxiliarNoSeCreaNada) {
    formatea();
    firmware([&] {
        cfecha_capturada = 0;
        pasadas(5);
        EXPECT_EQ(ctarjeta_sd_inicializada, 1);
        EXPECT_EQ(ccreacion_nuevo_directorio, 1);
        crear_ficheros_axiliares = 1; // the host allows files before the date is known
        pasadas(2);
        EXPECT_EQ(ccreacion_nuevo_directorio, 0);
    });
    EXPECT_TRUE(existe_en_imagen(image, "/240305/1430.raw"));
}

TEST_F(GestionSd, FicheroEnLugarDelDirectorioSeReintentaHasta21Veces) {
    formatea();
    prepara(image, [](FatVolume& v) { escribe(v, "/240305", "no soy un directorio"); });
    firmware([&] {
        pasadas(2);
        EXPECT_EQ(ccreacion_nuevo_directorio, 1); // failed: tried again on the next pass
        EXPECT_EQ(Intentos_Creacion_Directorio, 1);
        pasadas(19);
        EXPECT_EQ(Intentos_Creacion_Directorio, 20);
        EXPECT_EQ(ccreacion_nuevo_directorio, 1);
        pasadas(1); // the 21st attempt still runs, then nothing more is tried
        EXPECT_EQ(Intentos_Creacion_Directorio, 21);
        EXPECT_EQ(ccreacion_nuevo_directorio, 0);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(ccreacion_nuevo_fichero[k], 0);
        pasadas(5);
        EXPECT_EQ(Intentos_Creacion_Directorio, 21);
    });
    int veces;
    contar(consola(), "Error creando directorio.", &veces);
    EXPECT_EQ(veces, 21);
    EXPECT_EQ(lee_fichero(image, "/240305"), "no soy un directorio");
}

TEST_F(GestionSd, LimiteDel99PorCientoBloqueaElDirectorio) {
    // Free clusters in thousandths of the volume: 5 leaves it 99.5 % full, 15 leaves 98.5 %.
    struct Caso {
        uint32_t libres_por_mil;
        uint8_t porcentaje;
        bool crea;
    } casos[] = {{5, 99, false}, {15, 98, true}};
    for (const Caso& c : casos) {
        RamImage img(16384);
        RamCard tarjeta(img, false);
        FatFormat f;
        f.fat_bits = 16;
        f.cluster_blocks = 1;
        FatFormatLayout layout = img.format(f);
        ASSERT_GT(layout.clusters, 4085u);
        // The marker directory and file take one cluster each; a filler takes the rest.
        uint32_t libres = layout.clusters * c.libres_por_mil / 1000;
        uint32_t relleno = layout.clusters - libres - 2;
        prepara(img, [&](FatVolume& v) {
            ASSERT_TRUE(v.mkdir("_sd", true));
            escribe(v, "/_sd/escritura_sd.txt", "x");
            escribe(v, "/relleno.bin", std::string(static_cast<size_t>(relleno) * 512, 'r'));
            ASSERT_EQ(v.freeClusters(), static_cast<int32_t>(libres));
        });
        h.board.connect_card(&tarjeta);
        h.console.clear();
        firmware([&] {
            estado_inicial_almacenamiento();
            pasadas(2);
            EXPECT_EQ(CTE_PORCENTAJE_FULL_SD, c.porcentaje);
            EXPECT_EQ(ccreacion_nuevo_directorio, 0);
            for (int k = 0; k < 3; ++k) EXPECT_EQ(ccreacion_nuevo_fichero[k], c.crea ? 1 : 0);
            pasadas(3);
        });
        bool limite = consola().find("L\xEF\xBF\xBDmite m\xEF\xBF\xBDximo de memoria SD superado.") != std::string::npos;
        EXPECT_EQ(limite, !c.crea) << consola();
        EXPECT_EQ(existe_en_imagen(img, "/240305/1430.raw"), c.crea);
        h.run([] { estado_inicial_almacenamiento(); });
        h.board.connect_card(&card);
    }
}

TEST_F(GestionSd, DirectorioExistenteSeReutilizaYSuResultadoSeRecupera) {
    formatea();
    prepara(image, [](FatVolume& v) {
        ASSERT_TRUE(v.mkdir("/240305", true));
        escribe(v, "/240305/0800.raw", "viejo");
        escribe(v, "/240305/0905.RES", "R1\r\n");
    });
    firmware([&] {
        pasadas(2);
        EXPECT_STREQ(NOMBRE_FICHERO_RES, "/240305/0905.RES");
        EXPECT_EQ(ccreacion_nuevo_fichero[2], 2);
        EXPECT_EQ(ccreacion_nuevo_fichero[0], 1);
        EXPECT_EQ(existe_fichero_datos(2), 1);
        pasadas(2); // raw and per-wave are created; the result kind is already open
        EXPECT_STREQ(NOMBRE_FICHERO_RES, "/240305/0905.RES");
        pon_registro(2, "R2\r\n");
        pasadas(1);
        EXPECT_EQ(cescritura_sd[2], 0);
    });
    EXPECT_NE(consola().find("Directorio ya existe\r\n"), std::string::npos);
    EXPECT_NE(consola().find("Fichero RES localizado: 0905.RES\r\n"), std::string::npos) << consola();
    EXPECT_NE(consola().find("Guardando en: /240305/0905.RES\r\n"), std::string::npos);
    EXPECT_EQ(consola().find("Nuevo directorio creado"), std::string::npos);
    EXPECT_EQ(lee_fichero(image, "/240305/0905.RES"), "R1\r\nR2\r\n");
    EXPECT_FALSE(existe_en_imagen(image, "/240305/1430.res"));
}

TEST_F(GestionSd, RecuperacionMiraSoloLasCincoPrimerasEntradas) {
    formatea();
    prepara(image, [](FatVolume& v) {
        ASSERT_TRUE(v.mkdir("/240305", true));
        for (const char* d : {"/240305/a", "/240305/b", "/240305/c", "/240305/d", "/240305/e"}) {
            ASSERT_TRUE(v.mkdir(d, true));
        }
        escribe(v, "/240305/0905.res", "oculto\r\n");
    });
    firmware([&] {
        pasadas(2);
        EXPECT_EQ(ccreacion_nuevo_fichero[2], 1);
        EXPECT_EQ(NOMBRE_FICHERO_RES[0], 0);
        pasadas(3);
        EXPECT_STREQ(NOMBRE_FICHERO_RES, "240305/1430.res");
    });
    EXPECT_NE(consola().find("Fichero RES NO localizado.\r\n"), std::string::npos) << consola();
    EXPECT_EQ(lee_fichero(image, "/240305/0905.res"), "oculto\r\n");
    EXPECT_TRUE(existe_en_imagen(image, "/240305/1430.res"));
}

// ---------------------------------------------------------------- data files

TEST_F(GestionSd, FicherosConNombreDeHoraYMinutoYRegistrosEnSuSitio) {
    formatea();
    firmware([&] {
        pasadas(2); // start-up, directory
        chora_utc = 9, cminuto_utc = 5;
        pasadas(1); // raw, per-wave and result files, in this order
        EXPECT_STREQ(NOMBRE_FICHERO_RAW, "240305/0905.raw");
        EXPECT_STREQ(NOMBRE_FICHERO_WAV, "240305/0905.wav");
        EXPECT_STREQ(NOMBRE_FICHERO_RES, "240305/0905.res");
        for (int k = 0; k < 3; ++k) EXPECT_EQ(ccreacion_nuevo_fichero[k], 2);
        EXPECT_EQ(ContadorNumeroFicheros, 1u);
        EXPECT_EQ(Intentos_Creacion_Fichero, 3);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(existe_fichero_datos(k), 1);

        pon_registro(0, "raw1\r\n");
        pon_registro(1, "wav1\r\n");
        pon_registro(2, "res1\r\n");
        pasadas(1);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(cescritura_sd[k], 0);
        pon_registro(0, "raw2\r\n");
        pasadas(1);
        delay(1100);
        pasadas(1); // a second later the raw records are synced even without a new one
    });
    EXPECT_NE(consola().find("Entra en la creacion de fichero: 011\r\n\r\nIntento creacion fichero numero: 0\r\n"),
              std::string::npos)
        << consola();
    EXPECT_NE(consola().find("Nuevo fichero creado:240305/0905.raw\r\n"), std::string::npos);
    EXPECT_EQ(lee_fichero(image, "/240305/0905.raw"), "raw1\r\nraw2\r\n");
    EXPECT_EQ(lee_fichero(image, "/240305/0905.wav"), "wav1\r\n");
    EXPECT_EQ(lee_fichero(image, "/240305/0905.res"), "res1\r\n");
    EXPECT_TRUE(check_fat(image).clean()) << check_fat(image).text();
}

TEST_F(GestionSd, RegistrosCompletosLleganALaTarjetaSinEsperarAlCierre) {
    formatea();
    firmware([&] {
        pasadas(3);
        pon_registro(1, "ola1\r\n");
        pasadas(1);
        // Per-wave records are durable at once; raw ones within a second.
        EXPECT_EQ(lee_fichero(image, "/240305/1430.wav"), "ola1\r\n");
        pon_registro(0, "p1\r\n");
        pasadas(1);
        uint32_t inicio = millis();
        std::string visto;
        while (millis() - inicio < 1200 && visto.empty()) {
            pasadas(1);
            delay(10);
            visto = lee_fichero(image, "/240305/1430.raw");
        }
        EXPECT_EQ(visto, "p1\r\n");
        EXPECT_LE(millis() - inicio, 1050u);
    });
}

TEST_F(GestionSd, FinDeIntervaloCierraYCreaFicherosNuevos) {
    formatea();
    firmware([&] {
        pasadas(3);
        pon_registro(0, "a\r\n");
        pon_registro(1, "b\r\n");
        // End of the interval: the builders set raw and per-wave to 3 with a record pending.
        cminuto_utc = 45;
        ccreacion_nuevo_fichero[0] = 3;
        ccreacion_nuevo_fichero[1] = 3;
        pasadas(1);
        EXPECT_EQ(ccreacion_nuevo_fichero[0], 1);
        EXPECT_EQ(ccreacion_nuevo_fichero[1], 1);
        EXPECT_EQ(cescritura_sd[0], 0);
        pasadas(1);
        EXPECT_STREQ(NOMBRE_FICHERO_RAW, "240305/1445.raw");
        EXPECT_STREQ(NOMBRE_FICHERO_RES, "240305/1430.res"); // one result file a day
        EXPECT_EQ(ContadorNumeroFicheros, 2u);
        // A result kind in state 3 is left alone, its record kept pending.
        ccreacion_nuevo_fichero[2] = 3;
        pon_registro(2, "r\r\n");
        pasadas(3);
        EXPECT_EQ(ccreacion_nuevo_fichero[2], 3);
        EXPECT_EQ(cescritura_sd[2], 1);
    });
    EXPECT_EQ(lee_fichero(image, "/240305/1430.raw"), "a\r\n");
    EXPECT_EQ(lee_fichero(image, "/240305/1430.wav"), "b\r\n");
    EXPECT_EQ(lee_fichero(image, "/240305/1430.res"), "");
    EXPECT_NE(consola().find("Fichero RAW cerrado\r\n"), std::string::npos);
    EXPECT_NE(consola().find("Fichero WAV cerrado\r\n"), std::string::npos);
    EXPECT_EQ(lee_fichero(image, "/240305/1445.raw"), "");
}

TEST_F(GestionSd, MismoMinutoTrasReinicioSeAnadeAlFicheroExistente) {
    formatea();
    firmware([&] {
        pasadas(3);
        pon_registro(0, "antes\r\n");
        pasadas(1);
        ccreacion_nuevo_fichero[0] = 3;
        pasadas(2);
        pon_registro(0, "despues\r\n");
        ccreacion_nuevo_fichero[0] = 3;
        pasadas(1);
    });
    EXPECT_NE(consola().find("Fichero existente: \r\n"), std::string::npos);
    EXPECT_NE(consola().find("- Nuevo fichero creado:240305/1430.raw\r\n"), std::string::npos);
    EXPECT_EQ(lee_fichero(image, "/240305/1430.raw"), "antes\r\ndespues\r\n");
}

TEST_F(GestionSd, NuevoDiaConFicherosAbiertosNoPierdeNada) {
    formatea();
    firmware([&] {
        pasadas(3);
        pon_registro(0, "ayer-raw\r\n");
        pon_registro(1, "ayer-wav\r\n");
        pasadas(1); // the raw record is still in the file's block buffer
        cdia_utc = 6, chora_utc = 0, cminuto_utc = 0;
        ccreacion_nuevo_directorio = 1;
        Intentos_Creacion_Directorio = 0;
        pasadas(2);
        EXPECT_STREQ(NOMBRE_FICHERO_RAW, "240306/0000.raw");
        pon_registro(0, "hoy\r\n");
        pasadas(1);
        delay(1100);
        pasadas(1);
    });
    EXPECT_EQ(lee_fichero(image, "/240305/1430.raw"), "ayer-raw\r\n");
    EXPECT_EQ(lee_fichero(image, "/240305/1430.wav"), "ayer-wav\r\n");
    EXPECT_EQ(lee_fichero(image, "/240306/0000.raw"), "hoy\r\n");
    EXPECT_TRUE(existe_en_imagen(image, "/240306/0000.res"));
    EXPECT_TRUE(check_fat(image).clean()) << check_fat(image).text();
}

TEST_F(GestionSd, ArranqueForzadoConservaLoEscrito) {
    formatea();
    firmware([&] {
        pasadas(3);
        pon_registro(0, "sin-sync\r\n");
        pasadas(1);
        ctarjeta_sd_inicializada = 0; // as the SD telecommands do
        pasadas(1);
        EXPECT_EQ(ctarjeta_sd_inicializada, 1);
    });
    EXPECT_EQ(lee_fichero(image, "/240305/1430.raw"), "sin-sync\r\n");
}

TEST_F(GestionSd, DirectorioDesaparecidoCuentaIntentosDeFichero) {
    formatea();
    firmware([&] {
        pasadas(2);
        // The day directory is gone (another day's name, never created): every pass makes
        // one attempt for each of the three kinds.
        strcpy(Sdirectorio, "991231");
        pasadas(6);
        EXPECT_EQ(NOMBRE_FICHERO_RAW[0], 0);
        EXPECT_EQ(Intentos_Creacion_Fichero, 18);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(ccreacion_nuevo_fichero[k], 1);
        pasadas(1); // attempts 19, 20 and 21: the result kind is the first to stop
        EXPECT_EQ(ccreacion_nuevo_fichero[0], 1);
        EXPECT_EQ(ccreacion_nuevo_fichero[1], 1);
        EXPECT_EQ(ccreacion_nuevo_fichero[2], 0);
        pasadas(1);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(ccreacion_nuevo_fichero[k], 0);
        EXPECT_EQ(Intentos_Creacion_Fichero, 23);
        pasadas(3);
        EXPECT_EQ(Intentos_Creacion_Fichero, 23);
        // A record built meanwhile finds no file and is not raised.
        EXPECT_EQ(existe_fichero_datos(0), 0);
    });
}

TEST_F(GestionSd, LimiteDeFicherosApagaLaEscritura) {
    formatea();
    firmware([&] {
        CTE_NUMERO_MAXIMO_FICHEROS = 0;
        pasadas(3);
        EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD, 0);
        EXPECT_EQ(ContadorNumeroFicheros, 0u);
        pon_registro(1, "no\r\n");
        pasadas(3); // the SD block is skipped while writing is off
        EXPECT_EQ(cescritura_sd[1], 1);
    });
    EXPECT_NE(consola().find("\t\t\t\t\t\t\t\t\t\t\t\t\t\t==> Prohibida la escritura en SD por N\xEF\xBF\xBD Ficheros superado:1\r\n"),
              std::string::npos)
        << consola();

    // With a limit of 2 the third raw file switches writing off; the result record keeps the
    // largest count in the EEPROM.
    firmware([&] {
        estado_inicial_almacenamiento();
        escritura_variable_contador_Ficheros(0); // as the day change leaves it
        CTE_NUMERO_MAXIMO_FICHEROS = 2;
        pasadas(3);
        EXPECT_EQ(ContadorNumeroFicheros, 1u);
        ccreacion_nuevo_fichero[0] = 3;
        pasadas(2);
        EXPECT_EQ(ContadorNumeroFicheros, 2u);
        pon_registro(2, "res\r\n");
        pasadas(1);
        EXPECT_EQ(readEEPROM_variable(EE_CONTADOR_FICHEROS, 2), 2u);
        EXPECT_EQ(ContadorNumeroFicheros, 0u);
        ccreacion_nuevo_fichero[0] = 3;
        pasadas(2);
        ccreacion_nuevo_fichero[0] = 3;
        pasadas(2);
        EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD, 1);
        ccreacion_nuevo_fichero[0] = 3;
        pasadas(2);
        EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD, 0);
    });
}

TEST_F(GestionSd, TarjetaRetiradaDescartaElRegistroPendiente) {
    formatea();
    firmware([&] {
        pasadas(3);
        card.set_present(false);
        EXPECT_EQ(existe_fichero_datos(1), 0);
        pon_registro(1, "perdido\r\n");
        pasadas(1);
        EXPECT_EQ(cescritura_sd[1], 0);
    });
}

TEST_F(GestionSd, RecuentoDeLibresQueFallaDosVecesDaCero) {
    formatea();
    firmware([&] {
        pasadas(1);
        card.set_present(false);
        EXPECT_EQ(espacio_ocupado_SD(), 0);
        EXPECT_EQ(CTE_PORCENTAJE_FULL_SD, 0);
    });
    EXPECT_NE(consola().find("nReintentos=2"), std::string::npos);
    EXPECT_NE(consola().find(" - Clusters libres : -1.00"), std::string::npos);
}
