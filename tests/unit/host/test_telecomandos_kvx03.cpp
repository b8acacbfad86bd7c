// Host telecommands: the reply body of every group and command, and what each changes.
#include <cstdio>
#include <limits>

#include "kvx03_prueba.h"
#include "params/i2c.h"
#include "params/memoria.h"
#include "storage/formateo_sd.h"
#include "storage/gestion_sd.h"
#include "support/fat_image.h"
#include "waves/correccion_reloj.h"
#include "waves/olas.h"
#include "board/sim/sim_uart.h"
#include "world/host_unit.h"
#include "world/sdcard.h"

using kvx_prueba::arranque_puertos;
using kvx_prueba::respuesta;
using kvx_prueba::telecomando;
using sim::kMilli;

namespace {

// Start-up as far as the parameters: a blank EEPROM gets every default.
void arranque_con_parametros() {
    arranque_puertos();
    lectura_de_variables();
}

} // namespace

// ---------------------------------------------------------------- group 1

TEST(Grupo1, PeticionDeHoraYReinicio) {
    sim::test::Harness h;
    h.run([&] {
        arranque_puertos();
        cpeticion_nueva_hora = 0;
        EXPECT_EQ(telecomando("1,1"), respuesta("01,01"));
        EXPECT_EQ(cpeticion_nueva_hora, 1);
        EXPECT_EQ(telecomando("1,1"), respuesta("01,02"));
        creset = 0;
        EXPECT_EQ(telecomando("1,2"), respuesta("01,01"));
        EXPECT_EQ(creset, 1);
    });
}

TEST(Grupo1, VolcadosDelBloqueDelSensorYDeLaEeprom) {
    sim::test::Harness h;
    std::string r3, r22;
    h.run([&] {
        arranque_puertos();
        for (int i = 0; i < 100; ++i) ctrama_sensor_rx[i] = static_cast<uint8_t>(i * 3 + 0xA0);
        r3 = telecomando("1,3");
        for (uint16_t a = 0; a <= 33; ++a) writeEEPROM_variable(a * 7u, a, 1);
        r22 = telecomando("1,22");
        Serial1.flush();
    });
    std::string cuerpo3 = "01,01,3,";
    for (int i = 0; i < 75; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X ", static_cast<uint8_t>(i * 3 + 0xA0));
        cuerpo3 += b;
    }
    EXPECT_EQ(r3, respuesta(cuerpo3));
    std::string cuerpo22 = "01,01,22,";
    for (int a = 0; a <= 32; ++a) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X ", a * 7);
        cuerpo22 += b;
    }
    EXPECT_EQ(r22, respuesta(cuerpo22));
    // Both dumps are also shown on the console.
    EXPECT_NE(h.console.text().find(r3), std::string::npos);
    EXPECT_NE(h.console.text().find(r22), std::string::npos);
}

TEST(Grupo1, UltimoResultadoSoloCuandoHayUnoCompleto) {
    sim::test::Harness h;
    h.run([&] {
        arranque_puertos();
        // Before the first result of the run.
        EXPECT_EQ(telecomando("1,4"), respuesta("01,01"));
        std::string campos;
        for (int i = 0; campos.size() < 78; ++i) campos += static_cast<char>('0' + i % 10);
        std::memcpy(cbuffer_promedio, campos.data(), 78);
        ctam_trama_promedio = 78;
        EXPECT_EQ(telecomando("1,4"), respuesta("01,01,4," + campos));
    });
}

TEST(Grupo1, ContadoresYValoresGuardados) {
    sim::test::Harness h;
    h.run([&] {
        arranque_con_parametros();
        writeEEPROM_variable(1234, EE_CONTADOR_REINICIOS, 2);
        writeEEPROM_variable(57, EE_PORCENTAJE_SD, 1);
        writeEEPROM_variable(321, EE_CONTADOR_FICHEROS, 2);
        writeEEPROM_variable(4321, EE_TOPE_FICHEROS, 2);
        writeEEPROM_variable(6, EE_BAUDRATE_KVX, 1);
        CTE_PERMITIR_ESCRITURA_SD_EEPROM = 1;
        CTE_PERMITIR_ESCRITURA_SD = 0;
        CTE_AJUSTE_RELOJ = 1;
        CTE_VELOCIDAD_RELOJ = 47999;
        CTE_USO_APP_KVX03 = 1;
        cdebug_sensor = 1;
        CTE_MODO_TRANSPARENTE = 0;
        EXPECT_EQ(telecomando("1,5"), respuesta("01,01,5,01234"));
        EXPECT_EQ(telecomando("1,6"), respuesta("01,01,6,057"));
        EXPECT_EQ(telecomando("1,9"), respuesta("01,01,9,001"));
        EXPECT_EQ(telecomando("1,10"), respuesta("01,01,10,000"));
        EXPECT_EQ(telecomando("1,11"), respuesta("01,01,11,00321"));
        EXPECT_EQ(telecomando("1,12"), respuesta("01,01,12,04321"));
        EXPECT_EQ(telecomando("1,15"), respuesta("01,01,15,001"));
        EXPECT_EQ(telecomando("1,16"), respuesta("01,01,16,47999"));
        EXPECT_EQ(telecomando("1,18"), respuesta("01,01,18,1"));
        EXPECT_EQ(telecomando("1,19"), respuesta("01,01,19,6"));
        EXPECT_EQ(telecomando("1,20"), respuesta("01,01,20,1"));
        EXPECT_EQ(telecomando("1,21"), respuesta("01,01,21,0"));
        // An erased code reads 255: written whole rather than as a wrong single digit.
        writeEEPROM_variable(255, EE_BAUDRATE_KVX, 1);
        EXPECT_EQ(telecomando("1,19"), respuesta("01,01,19,255"));
    });
}

TEST(Grupo1, UltimoRegistroRawEnteroAunqueEsperenVarios) {
    sim::test::Harness h;
    const std::string r1 = "07,12,26,10,38,40,00001,0123, 00012, 00001.2500,-00000.5000,1,1\r\n";
    const std::string r2 = "07,12,26,10,38,41,00002,0124,-00034, 00002.2500,-00001.5000,0,1\r\n";
    h.run([&] {
        arranque_puertos();
        ibytes_a_escribir_sd[TIPO_BUFFER_RAW] = 0;
        cbuffer_raw[0] = 0;
        EXPECT_EQ(telecomando("1,7"), respuesta("01,01"));
        std::string ambos = r1 + r2;
        std::memcpy(cbuffer_raw, ambos.c_str(), ambos.size() + 1);
        ibytes_a_escribir_sd[TIPO_BUFFER_RAW] = static_cast<uint16_t>(ambos.size());
        EXPECT_EQ(telecomando("1,7"), respuesta("01,01,7," + r2.substr(0, r2.size() - 2)));
        Serial1.flush();
    });
    EXPECT_NE(h.console.text().find("LongRAW=" + std::to_string(r1.size() + r2.size()) + "\r\n" + r1 + r2),
              std::string::npos);
}

TEST(Grupo1, EstadoConRelojUltimaOlaYTarjeta) {
    sim::test::Harness h;
    h.run([&] {
        arranque_con_parametros();
        writeEEPROM_variable(42, EE_PORCENTAJE_SD, 1);
        writeEEPROM_variable(7, EE_CONTADOR_REINICIOS, 2);
        cdia_utc = 7; cmes_utc = 12; cano_utc = 26; chora_utc = 9; cminuto_utc = 5;
        dd_ola = 6; mm_ola = 12; yy_ola = 26; HH_ola = 23; MM_ola = 59;
        resSbgOk = 1;
        resSdOk = 0;
        EXPECT_EQ(telecomando("1,8"), respuesta("01,01,8,07,12,26,09,05,042,00007,06,12,26,23,59,1,0"));
    });
}

TEST(Grupo1, DiferenciaDeRelojConSignoMinutosYSegundos) {
    sim::test::Harness h;
    h.run([&] {
        arranque_puertos();
        Tiempo_Resta = -75;
        EXPECT_EQ(telecomando("1,17"), respuesta("01,01,17,0,00115"));
        Tiempo_Resta = 0;
        EXPECT_EQ(telecomando("1,17"), respuesta("01,01,17,1,00000"));
        Tiempo_Resta = 250 * 60;
        EXPECT_EQ(telecomando("1,17"), respuesta("01,01,17,1,25000"));
        Tiempo_Resta = 250 * 60 + 1;
        EXPECT_EQ(telecomando("1,17"), respuesta("01,01,17,1,250"));
        Tiempo_Resta = std::numeric_limits<int32_t>::min();
        EXPECT_EQ(telecomando("1,17"), respuesta("01,01,17,0,250"));
        Serial1.flush();
    });
    EXPECT_NE(h.console.text().find("TIEMPO RESTA = -75\r\n"), std::string::npos);
}

TEST(Grupo1, BorradoDeEepromArmadoYTresPasos) {
    sim::test::Harness h;
    h.run([&] {
        arranque_con_parametros();
        writeEEPROM_variable(0xAB, 1025, 1);
        // 31 without a prior 30 does nothing.
        EXPECT_EQ(telecomando("1,31"), respuesta("01,01,31,0"));
        EXPECT_EQ(borrar_eeprom, 0);
        // 30 arms, 30 again disarms.
        EXPECT_EQ(telecomando("1,30"), respuesta("01,01,30,1"));
        EXPECT_EQ(telecomando("1,30"), respuesta("01,01,30,0"));
        EXPECT_EQ(telecomando("1,30"), respuesta("01,01,30,1"));
        EXPECT_EQ(telecomando("1,31"), respuesta("01,01,31,2"));
        EXPECT_EQ(telecomando("1,31"), respuesta("01,01,31,3"));
        EXPECT_NE(readEEPROM_variable(EE_INTERVALO_PROMEDIO, 1), 0xFFu);
        EXPECT_EQ(telecomando("1,31"), respuesta("01,01,31,0"));
    });
    for (int a = 0; a <= 32; ++a) EXPECT_EQ(h.eeprom.data()[a], 0xFF) << a;
    // The GPS baud index lies outside the erase range.
    EXPECT_EQ(h.eeprom.data()[1025], 0xAB);
}

TEST(Grupo1, ParametrosSecundariosSinAvisoDeFormato) {
    sim::test::Harness h;
    h.run([&] {
        arranque_con_parametros();
        writeEEPROM_variable(99, EE_CONTADOR_REINICIOS, 2);
        h.host.clear();
        EXPECT_EQ(telecomando("1,23"), respuesta("01,01,23"));
        EXPECT_EQ(readEEPROM_variable(EE_CONTADOR_REINICIOS, 2), 0u);
        Serial0.flush();
    });
    EXPECT_NE(h.host.text().find("Previous commands: "), std::string::npos);
    EXPECT_EQ(h.host.text().find("Format begins."), std::string::npos);
}

// A 16 MB standard-capacity card: the format writes an MBR and a FAT16 volume.
class FormatoSd : public ::testing::Test {
protected:
    FormatoSd() : path(sim::test::temp_path("kvx03_formato.img")), card(config()) {
        std::remove(path.c_str());
        std::string error;
        EXPECT_TRUE(card.open(path, error)) << error;
        h.board.connect_card(&card);
    }
    ~FormatoSd() override { std::remove(path.c_str()); }
    static sim::SdCardConfig config() {
        sim::SdCardConfig c;
        c.blocks = 32768;
        return c;
    }
    sim::test::Harness h;
    std::string path;
    sim::SdCard card;
};

TEST_F(FormatoSd, Comando13FormateaSinBorrarYRearrancaLaTarjeta) {
    std::string r;
    h.run([&] {
        arranque_con_parametros();
        writeEEPROM_variable(5, EE_CONTADOR_REINICIOS, 2);
        ctarjeta_sd_inicializada = 1;
        ccreacion_nuevo_directorio = 1;
        ccreacion_nuevo_fichero[0] = ccreacion_nuevo_fichero[1] = ccreacion_nuevo_fichero[2] = 2;
        CTE_BORRAR_SD = 1;
        h.host.clear();
        r = telecomando("1,13");
        EXPECT_EQ(ctarjeta_sd_inicializada, 0);
        EXPECT_EQ(ccreacion_nuevo_directorio, 0);
        EXPECT_EQ(ccreacion_nuevo_fichero[0] + ccreacion_nuevo_fichero[1] + ccreacion_nuevo_fichero[2], 0);
        EXPECT_EQ(CTE_BORRAR_SD, 0);
        EXPECT_EQ(resSdOk, 2);
        EXPECT_EQ(readEEPROM_variable(EE_CONTADOR_REINICIOS, 2), 0u);
        Serial0.flush();
        Serial1.flush();
    });
    EXPECT_EQ(r, respuesta("01,01,13,"));
    EXPECT_NE(h.host.text().find("Format begins.\r\n"), std::string::npos);
    EXPECT_EQ(h.host.text().find("Format done!"), std::string::npos);
    EXPECT_NE(h.console.text().find("Format done\n"), std::string::npos);
    EXPECT_EQ(h.console.text().find("Erasing"), std::string::npos);
    uint8_t mbr[512];
    ASSERT_TRUE(card.read(0, mbr));
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
}

TEST_F(FormatoSd, Comando14BorraFormateaYAvisaAlHost) {
    std::string r;
    h.run([&] {
        arranque_con_parametros();
        h.host.clear();
        r = telecomando("1,14");
        EXPECT_EQ(CTE_BORRAR_SD, 1);
        Serial0.flush();
        Serial1.flush();
    });
    EXPECT_EQ(r, respuesta("01,01,14,"));
    EXPECT_NE(h.console.text().find("Erasing"), std::string::npos);
    const std::string& host = h.host.text();
    size_t comienzo = host.find("Format begins.\r\n");
    size_t fin = host.find("\r\nFormat done!\r\n");
    ASSERT_NE(comienzo, std::string::npos);
    ASSERT_NE(fin, std::string::npos);
    EXPECT_LT(comienzo, fin);
}

// ---------------------------------------------------------------- groups 2 and 3

TEST(Grupo2y3, LecturaDeLaConfiguracion) {
    sim::test::Harness h;
    h.run([&] {
        arranque_puertos();
        choras_sincronizacion_gps = 4;
        CTE_FACTOR_CORRECCION_DIRECCION_STANDAR = 1;
        CTE_METODO_DIRECCION = 0;
        CTE_PROCESAR_OLA_ALTURA_MINIMA = 5;
        CTE_PROCESAR_OLA_ALTURA_MAXIMA = 3000;
        CTE_PROCESAR_OLA_PERIODO_MINIMO = 3;
        CTE_PROCESAR_OLA_PERIODO_MAXIMO = 190;
        CTE_INTERVALO_PROMEDIO = 20;
        cfrecuencia_muestreo = 1;
        csensor_con_gps = 0;
        cg_impacto_leve = 1;
        cg_impacto_medio = 22;
        cg_impacto_grave = 103;
        icanales_activados_sensor = 0xFFFF;
        EXPECT_EQ(telecomando("2"), respuesta("02,04,1,0,00005,03000,03,90,20,1,0,001,022,103,65535"));
    });
}

TEST(Grupo2y3, CamposVaciosOFueraDeRangoConservanElValorYSeReescribeLaEeprom) {
    sim::test::Harness h;
    h.run([&] {
        arranque_con_parametros();
        ASSERT_EQ(choras_sincronizacion_gps, 4);
        // Field 2 empty: the hours stay; the others are taken.
        EXPECT_EQ(telecomando("3,,0,1,100,2500,4,20,30,2,1,5,6,7,255"), respuesta("03,01"));
        EXPECT_EQ(choras_sincronizacion_gps, 4);
        EXPECT_EQ(CTE_FACTOR_CORRECCION_DIRECCION_STANDAR, 0);
        EXPECT_EQ(CTE_METODO_DIRECCION, 0);
        EXPECT_EQ(CTE_PROCESAR_OLA_ALTURA_MINIMA, 100);
        EXPECT_EQ(CTE_PROCESAR_OLA_ALTURA_MAXIMA, 2500);
        EXPECT_EQ(CTE_PROCESAR_OLA_PERIODO_MINIMO, 4);
        EXPECT_EQ(CTE_PROCESAR_OLA_PERIODO_MAXIMO, 20);
        EXPECT_EQ(CTE_INTERVALO_PROMEDIO, 30);
        EXPECT_EQ(cg_impacto_grave, 7);
        EXPECT_EQ(icanales_activados_sensor, 255);
        EXPECT_EQ(telecomando("2"), respuesta("02,04,0,0,00100,02500,04,20,30,2,1,005,006,007,00255"));
        // Out of range: 25 hours, factor 2, heights above 3000, period 100, interval 25,
        // and 257 hours (not 1 by its low byte).
        EXPECT_EQ(telecomando("3,25,2,0,3001,65535,100,100,25"), respuesta("03,01"));
        EXPECT_EQ(telecomando("3,257"), respuesta("03,01"));
        EXPECT_EQ(choras_sincronizacion_gps, 4);
        EXPECT_EQ(CTE_FACTOR_CORRECCION_DIRECCION_STANDAR, 0);
        EXPECT_EQ(CTE_PROCESAR_OLA_ALTURA_MINIMA, 100);
        EXPECT_EQ(CTE_PROCESAR_OLA_ALTURA_MAXIMA, 2500);
        EXPECT_EQ(CTE_PROCESAR_OLA_PERIODO_MINIMO, 4);
        EXPECT_EQ(CTE_PROCESAR_OLA_PERIODO_MAXIMO, 20);
        EXPECT_EQ(CTE_INTERVALO_PROMEDIO, 30);
    });
    // The whole group was written: what the RAM holds is what the EEPROM holds.
    const std::vector<uint8_t> e = h.eeprom.data();
    EXPECT_EQ(e[EE_HORAS_SINCRONIZACION_GPS], 4);
    EXPECT_EQ(e[EE_FACTOR_CORRECCION], 0);
    EXPECT_EQ(e[EE_ALTURA_MINIMA] << 8 | e[EE_ALTURA_MINIMA + 1], 100);
    EXPECT_EQ(e[EE_ALTURA_MAXIMA] << 8 | e[EE_ALTURA_MAXIMA + 1], 2500);
    EXPECT_EQ(e[EE_PERIODO_MINIMO], 4);
    EXPECT_EQ(e[EE_PERIODO_MAXIMO], 20);
    EXPECT_EQ(e[EE_INTERVALO_PROMEDIO], 30);
    EXPECT_EQ(e[EE_FRECUENCIA_MUESTREO], 2);
    EXPECT_EQ(e[EE_CANALES_SENSOR] << 8 | e[EE_CANALES_SENSOR + 1], 255);
}

// ---------------------------------------------------------------- group 4

TEST(Grupo4, FechasValidasYRechazadas) {
    sim::test::Harness h;
    h.run([&] {
        arranque_puertos();
        cano_utc = 0; cmes_utc = 0; cdia_utc = 0; chora_utc = 0; cminuto_utc = 0; csegundo_utc = 0;
        cmostramos_hora = 0;
        crear_ficheros_axiliares = 0;
        for (const char* campos : {"4,24,2,29,10,0,0",   // 29 February, even of a leap year
                                   "4,26,4,31,10,0,0",   // 31 April
                                   "4,18,6,1,10,0,0",    // year 18
                                   "4,100,6,1,10,0,0",   // year 100: two digits only
                                   "4,275,6,1,10,0,0",   // not 19 by its low byte
                                   "4,26,13,1,10,0,0", "4,26,0,1,10,0,0", "4,26,6,0,10,0,0",
                                   "4,26,6,1,24,0,0", "4,26,6,1,10,60,0", "4,26,6,1,10,0,60",
                                   "4,26,6,1,10,0",      // second missing
                                   "4,26,,1,10,0,0"}) {  // month empty
            EXPECT_EQ(telecomando(campos), respuesta("04,33")) << campos;
        }
        EXPECT_EQ(cano_utc + cmes_utc + cdia_utc + chora_utc + cminuto_utc, 0);
        EXPECT_EQ(cmostramos_hora, 0);
        EXPECT_EQ(crear_ficheros_axiliares, 0);

        EXPECT_EQ(telecomando("4,99,12,31,23,59,58"), respuesta("04,01"));
        EXPECT_EQ(cano_utc, 99);
        EXPECT_EQ(cmes_utc, 12);
        EXPECT_EQ(cdia_utc, 31);
        EXPECT_EQ(chora_utc, 23);
        EXPECT_EQ(cminuto_utc, 59);
        EXPECT_EQ(cmostramos_hora, 1);
        EXPECT_EQ(crear_ficheros_axiliares, 1);
        EXPECT_EQ(telecomando("4,19,2,28,0,0,0"), respuesta("04,01"));
        EXPECT_EQ(cano_utc, 19);
        EXPECT_EQ(cdia_utc, 28);
    });
}

// ---------------------------------------------------------------- groups 5 to 12, 14, 15

TEST(Grupos5a15, ContadoresYBanderasGuardados) {
    sim::test::Harness h;
    h.run([&] {
        arranque_con_parametros();
        CTE_PERMITIR_ESCRITURA_SD_EEPROM = 1;
        CTE_PERMITIR_ESCRITURA_SD = 0;
        EXPECT_EQ(telecomando("5,12"), respuesta("05,01"));
        EXPECT_EQ(readEEPROM_variable(EE_CONTADOR_REINICIOS, 2), 12u);
        EXPECT_EQ(readEEPROM_variable(EE_REINICIOS_24H, 2), 12u);
        EXPECT_EQ(REINICIOS_24H, 12);
        EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD, 1);
        // Above 65530 the field holds 0, and so does the RAM copy.
        EXPECT_EQ(telecomando("5,65533"), respuesta("05,01"));
        EXPECT_EQ(readEEPROM_variable(EE_REINICIOS_24H, 2), 0u);
        EXPECT_EQ(REINICIOS_24H, 0);

        uint8_t cporcentaje = CTE_PORCENTAJE_FULL_SD;
        EXPECT_EQ(telecomando("6,300"), respuesta("06,01"));
        EXPECT_EQ(readEEPROM_variable(EE_PORCENTAJE_SD, 1), 44u);
        EXPECT_EQ(CTE_PORCENTAJE_FULL_SD, cporcentaje);

        EXPECT_EQ(telecomando("8,77"), respuesta("08,01"));
        EXPECT_EQ(readEEPROM_variable(EE_CONTADOR_FICHEROS, 2), 77u);
        EXPECT_EQ(ContadorNumeroFicheros, 77);
        EXPECT_EQ(telecomando("9,500"), respuesta("09,01"));
        EXPECT_EQ(readEEPROM_variable(EE_TOPE_FICHEROS, 2), 500u);
        EXPECT_EQ(CTE_NUMERO_MAXIMO_FICHEROS, 500);
        EXPECT_EQ(telecomando("9,"), respuesta("09,01"));
        EXPECT_EQ(CTE_NUMERO_MAXIMO_FICHEROS, 500);

        EXPECT_EQ(telecomando("10,0"), respuesta("10,01"));
        EXPECT_EQ(CTE_AJUSTE_RELOJ, 0);
        EXPECT_EQ(readEEPROM_variable(EE_AJUSTE_RELOJ, 1), 0u);
        // Any non-zero flag is stored as 1, the value everyone tests for.
        EXPECT_EQ(telecomando("10,2"), respuesta("10,01"));
        EXPECT_EQ(CTE_AJUSTE_RELOJ, 1);
        EXPECT_EQ(readEEPROM_variable(EE_AJUSTE_RELOJ, 1), 1u);

        EXPECT_EQ(telecomando("12,1"), respuesta("12,01"));
        EXPECT_EQ(CTE_USO_APP_KVX03, 1);
        EXPECT_EQ(telecomando("14,1"), respuesta("14,01"));
        EXPECT_EQ(CTE_MODO_TRANSPARENTE, 1);
        EXPECT_EQ(telecomando("14,0"), respuesta("14,01"));
        EXPECT_EQ(CTE_MODO_TRANSPARENTE, 0);
        EXPECT_EQ(telecomando("15,2"), respuesta("15,01"));
        EXPECT_EQ(modulo_gps.cdebug, 2);
    });
}

TEST(Grupos5a15, EscrituraSdAnuladaYVuelta) {
    sim::test::Harness h;
    h.run([&] {
        arranque_con_parametros();
        std::strcpy(NOMBRE_FICHERO_RAW, "/261207/a.raw");
        std::strcpy(NOMBRE_FICHERO_WAV, "/261207/a.wav");
        std::strcpy(NOMBRE_FICHERO_RES, "/261207/a.res");
        ctarjeta_sd_inicializada = 1;
        EXPECT_EQ(telecomando("7,0"), respuesta("07,01"));
        EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD, 0);
        EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD_EEPROM, 0);
        EXPECT_EQ(readEEPROM_variable(EE_PERMITIR_ESCRITURA_SD, 1), 0u);
        EXPECT_EQ(ctarjeta_sd_inicializada, 0);
        EXPECT_EQ(NOMBRE_FICHERO_RAW[0] + NOMBRE_FICHERO_WAV[0] + NOMBRE_FICHERO_RES[0], 0);

        cRevision_Resets_24h = 0;
        ctarjeta_sd_inicializada = 1;
        EXPECT_EQ(telecomando("7,1"), respuesta("07,01"));
        EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD_EEPROM, 1);
        EXPECT_EQ(readEEPROM_variable(EE_PERMITIR_ESCRITURA_SD, 1), 1u);
        EXPECT_EQ(cRevision_Resets_24h, 1);
        EXPECT_EQ(ctarjeta_sd_inicializada, 0);

        // Already on: nothing more.
        cRevision_Resets_24h = 0;
        ctarjeta_sd_inicializada = 1;
        EXPECT_EQ(telecomando("7,1"), respuesta("07,01"));
        EXPECT_EQ(cRevision_Resets_24h, 0);
        EXPECT_EQ(ctarjeta_sd_inicializada, 1);
        // Empty field: nothing changes.
        EXPECT_EQ(telecomando("7,"), respuesta("07,01"));
        EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD_EEPROM, 1);
        Serial1.flush();
    });
    const std::string& c = h.console.text();
    EXPECT_NE(c.find(std::string(52, '=') + "> ENTRA EN ESCRITURA SD <" + std::string(66, '=')), std::string::npos);
    EXPECT_NE(c.find(std::string(14, '\t') + "==> Anulada por Telemando la escritura SD.\r\n"), std::string::npos);
    EXPECT_NE(c.find(std::string(14, '\t') + "==> Futura revisi\xEF\xBF\xBDn n\xEF\xBF\xBD resets cuando haya hora: 0\r\n"),
              std::string::npos);
}

TEST(Grupos5a15, VelocidadDelTemporizadorFueraDeRangoPasaA48000) {
    sim::test::Harness h;
    h.run([&] {
        arranque_con_parametros();
        EXPECT_EQ(telecomando("11,47000"), respuesta("11,01"));
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 47000);
        EXPECT_EQ(readEEPROM_variable(EE_VELOCIDAD_RELOJ, 2), 47000u);
        EXPECT_EQ(telecomando("11,50000"), respuesta("11,01"));
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48000);
        EXPECT_EQ(readEEPROM_variable(EE_VELOCIDAD_RELOJ, 2), 48000u);
        // 46500 + 65536: in range only by its low 16 bits.
        EXPECT_EQ(telecomando("11,112036"), respuesta("11,01"));
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48000);
        EXPECT_EQ(telecomando("11,46500"), respuesta("11,01"));
    });
    // The tick runs at the new rate: 1000 ticks of 46500 counts take 968.75 ms.
    sim::Nanos t0 = 0, t1 = 0;
    h.run([&] {
        t0 = h.board.now();
        for (int i = 0; i < 4; ++i) retardo_milisegundos(250);
        t1 = h.board.now();
    });
    EXPECT_NEAR(double(t1 - t0), 968.75 * kMilli, 5.0 * kMilli);
}

// ---------------------------------------------------------------- group 13

TEST(Grupo13, CodigoValidoContestaALaNuevaVelocidad) {
    sim::test::Harness h;
    // The host unit model listens instead of the plain terminal, and checks every sentence.
    sim::HostUnit unidad(h.board, h.board.uart(0), 56000);
    h.board.connect_uart(0, &unidad, 56000);
    h.run([&] {
        arranque_con_parametros();
        Serial0.flush();
        cdatos_tx_kvx03 = 0;
        std::string r = telecomando("13,6");
        EXPECT_EQ(r, respuesta("13,01"));
        comunicacion_kvx03();
        Serial0.flush();
        Serial1.flush();
        EXPECT_EQ(CTE_BAUDRATE_KVX, 56000u);
    });
    EXPECT_EQ(h.board.uart_baud(0), 56000u);
    EXPECT_EQ(h.eeprom.data()[EE_BAUDRATE_KVX], 6);
    ASSERT_FALSE(unidad.lines().empty());
    const sim::HostLine& ultima = unidad.lines().back();
    EXPECT_EQ(ultima.text + "\r\n", respuesta("13,01"));
    EXPECT_EQ(ultima.check, sim::LineCheck::Right);
    EXPECT_NE(h.console.text().find("\t\t\t\t==> Actualizar Baudrate en KVX: 56000 OK.\r\n"), std::string::npos);
}

TEST(Grupo13, CodigoVacioOMayorQue8SeRechaza) {
    sim::test::Harness h;
    h.run([&] {
        arranque_con_parametros();
        EXPECT_EQ(telecomando("13,9"), respuesta("13,33"));
        EXPECT_EQ(telecomando("13,"), respuesta("13,33"));
        EXPECT_EQ(telecomando("13,262"), respuesta("13,33"));
    });
    EXPECT_EQ(h.board.uart_baud(0), 38400u);
    EXPECT_EQ(h.eeprom.data()[EE_BAUDRATE_KVX], 5);
}
