// SD storage: the card's start-up and write test, its occupation, the day directory and the
// three data files with their per-kind state machine (0 stopped, 1 create, 2 open, 3 close).
//
// Durability. The file system keeps written bytes in one block buffer per open file until
// the block fills or the file is synced, so a restart would lose everything since the last
// full block. The write cycle therefore syncs the raw file at least once a second and the
// per-wave file after every record; the result file is closed after every record. A
// restart loses at most the last second of raw records, never a per-wave or result record
// that the cycle has written.
#include "storage/gestion_sd.h"

#include <string.h>

#include "core/ondavix_hw4_fw8_1.h"
#include "declaraciones.h"
#include "params/i2c.h"
#include "params/memoria.h"
#include "platform.h"

uint8_t ctarjeta_sd_inicializada = 0;
uint8_t resSdOk = 2;                          // 2 = not yet known
uint8_t ccreacion_nuevo_directorio = 0;
uint16_t Intentos_Creacion_Directorio = 0;
uint16_t Intentos_Creacion_Fichero = 0;
uint8_t ccreacion_nuevo_fichero[3] = {0, 0, 0}; // per kind: 0 stopped, 1 create, 2 open, 3 close
uint8_t cescritura_sd[3] = {0, 0, 0};           // per kind: 1 = record pending
uint8_t crear_ficheros_axiliares = 0;

FatVolume volumen_sd;
File ffichero_raw;
File ffichero_wav;
File ffichero_res;
char Sdirectorio[TAM_NOMBRE_DIRECTORIO] = "";
char NOMBRE_FICHERO_RAW[TAM_NOMBRE_FICHERO] = "";
char NOMBRE_FICHERO_WAV[TAM_NOMBRE_FICHERO] = "";
char NOMBRE_FICHERO_RES[TAM_NOMBRE_FICHERO] = "";
uint8_t cbytes_nombre_fichero = 0;

static const char m_fichero_marca[] = "/_sd/escritura_sd.txt";
static const char m_directorio_marca[] = "_sd";
static const char* const m_extensiones[3] = {".raw", ".wav", ".res"};

// Raw bytes written since the last sync, and when that sync was (millis).
static uint8_t cdatos_raw_sin_sync = 0;
static uint32_t lultimo_sync_raw = 0;

// A full card. A record that would need a new cluster when none is left is not written (no
// record is cut short); the card is then said to be full once, the open files are closed
// with everything written so far, and nothing more is written until the card is started
// again or a new day directory can be created. Without this, every byte of every record
// searched the whole FAT for a cluster, the main loop starved the watchdog and the buoy
// restarted in a loop.
static uint8_t ctarjeta_sd_llena = 0;
// The start-up occupation waits for the free count (see recuento_libres_en_curso).
static uint8_t cocupacion_pendiente = 0;
// FAT blocks of the count in slices read in one main-loop pass: 8 ms of the card at 2 MHz.
static constexpr uint32_t BLOQUES_RECUENTO_POR_PASADA = 4;

// ---------------------------------------------------------------- name builders

void inserto_bytes(char* pctrama, char cdato) {
    pctrama[cbytes_nombre_fichero] = cdato;
    cbytes_nombre_fichero++;
}

void inserto_variable(char* pctrama, uint32_t laux, uint8_t cnumero_cifras) {
    if (cnumero_cifras > 10) cnumero_cifras = 10; // a uint32 has at most ten digits
    for (uint8_t k = cnumero_cifras; k > 0; --k) {
        uint32_t lpotencia = 1;
        for (uint8_t n = 1; n < k; ++n) lpotencia *= 10;
        uint32_t lcifra = laux / lpotencia;
        inserto_bytes(pctrama, static_cast<char>('0' + lcifra % 10));
        laux -= lcifra * lpotencia;
    }
}

void inserto_mensaje(char* pctrama, const char* pcmensaje) {
    while (*pcmensaje != 0) inserto_bytes(pctrama, *pcmensaje++);
}

// ---------------------------------------------------------------- helpers

static File* fichero_de_tipo(uint8_t ctipo) {
    switch (ctipo) {
    case TIPO_BUFFER_RAW: return &ffichero_raw;
    case TIPO_BUFFER_WAV: return &ffichero_wav;
    default: return &ffichero_res;
    }
}

static char* nombre_de_tipo(uint8_t ctipo) {
    switch (ctipo) {
    case TIPO_BUFFER_RAW: return NOMBRE_FICHERO_RAW;
    case TIPO_BUFFER_WAV: return NOMBRE_FICHERO_WAV;
    default: return NOMBRE_FICHERO_RES;
    }
}

static const char* buffer_de_tipo(uint8_t ctipo) {
    switch (ctipo) {
    case TIPO_BUFFER_RAW: return cbuffer_raw;
    case TIPO_BUFFER_WAV: return cbuffer_wav;
    default: return cbuffer_res;
    }
}

static uint16_t capacidad_de_tipo(uint8_t ctipo) {
    switch (ctipo) {
    case TIPO_BUFFER_RAW: return TAM_BUFFER_RAW;
    case TIPO_BUFFER_WAV: return TAM_BUFFER_WAV;
    default: return TAM_BUFFER_RES;
    }
}

// Writes the kind's pending record; the count never runs past the buffer.
static void escribe_buffer(File& fichero, uint8_t ctipo) {
    uint16_t ibytes = ibytes_a_escribir_sd[ctipo];
    if (ibytes > capacidad_de_tipo(ctipo)) ibytes = capacidad_de_tipo(ctipo);
    fichero.write(reinterpret_cast<const uint8_t*>(buffer_de_tipo(ctipo)), ibytes);
}

// "/" + Sdirectorio + "/" opened for reading: whether it is a directory, and whether the
// name exists at all.
static void examina_directorio_dia(uint8_t* pces_directorio, uint8_t* pcexiste) {
    char cruta[TAM_NOMBRE_DIRECTORIO + 2];
    cbytes_nombre_fichero = 0;
    inserto_bytes(cruta, '/');
    inserto_mensaje(cruta, Sdirectorio);
    inserto_bytes(cruta, '/');
    inserto_bytes(cruta, 0);
    File directorio;
    *pces_directorio = 0;
    if (Sdirectorio[0] != 0 && directorio.open(volumen_sd, cruta, O_READ)) {
        *pces_directorio = directorio.isDir() ? 1 : 0;
        directorio.close();
    }
    *pcexiste = (Sdirectorio[0] != 0 && volumen_sd.exists(Sdirectorio)) ? 1 : 0;
}

// Entries are stamped with the internal clock (two-digit year from 2000).
static void sello_fecha_sd(uint16_t* pifecha, uint16_t* pihora) {
    *pifecha = static_cast<uint16_t>((cano_utc + 20) << 9 | (cmes_utc & 0x0F) << 5 | (cdia_utc & 0x1F));
    *pihora = static_cast<uint16_t>(chora_utc << 11 | cminuto_utc << 5 | csegundo_utc / 2);
}

// Called before every FAT block of the free-cluster count: feeds the watchdog and gives up
// when the countdown ctimeout_salir_bucle has run out.
static bool paso_recuento_sd(void*) {
    if (ctimeout_salir_bucle == 0) return false;
    sodaq_wdt_reset();
    return true;
}

// Called before every FAT block of a search for a free cluster: on a nearly full card one
// search may read the whole FAT.
static bool paso_busqueda_sd(void*) {
    sodaq_wdt_reset();
    return true;
}

// Called before every block the card reads or writes: the sensor's bytes are taken in
// meanwhile (atiende_puerto_sensor), so a long walk of a day directory that has filled up,
// or the files closed at an interval's end, do not overflow the sensor port.
static bool paso_transferencia_sd(void*) {
    atiende_puerto_sensor();
    return true;
}

// Files still open on the mounted volume are closed (and so written out) before the card
// is started again: a new start forgets the volume and would drop their buffered bytes.
static void cierra_ficheros_abiertos() {
    if (!volumen_sd.mounted()) return;
    if (ffichero_raw.isOpen()) ffichero_raw.close();
    if (ffichero_wav.isOpen()) ffichero_wav.close();
    if (ffichero_res.isOpen()) ffichero_res.close();
    cdatos_raw_sin_sync = 0;
}

// ---------------------------------------------------------------- card start-up

static void fallo_inicializacion_sd() {
    Serial1.println("SD no presente");
    resSdOk = 0;
    csegundos_retardo_gestion_sd = RETARDO_REINTENTO_SD_S;
    if (CTE_PORCENTAJE_FULL_SD != PORCENTAJE_SD_AUSENTE) {
        CTE_PORCENTAJE_FULL_SD = PORCENTAJE_SD_AUSENTE;
        escritura_variable_porcentaje_SD(PORCENTAJE_SD_AUSENTE);
    }
}

void inicializacion_sd() {
    cierra_ficheros_abiertos();
    if (!volumen_sd.startCard(PIN_CS_SD, SPI_RELOJ_SD)) {
        fallo_inicializacion_sd();
        return;
    }
    if (!volumen_sd.mount(1) && !volumen_sd.mount(0)) {
        fallo_inicializacion_sd();
        return;
    }
    File raiz;
    if (!raiz.open(volumen_sd, "/", O_READ) || !raiz.isDir()) {
        volumen_sd.unmount();
        fallo_inicializacion_sd();
        return;
    }
    raiz.close();
    volumen_sd.setClock(&sello_fecha_sd);
    volumen_sd.setSearchStep(&paso_busqueda_sd, nullptr);
    volumen_sd.setTransferStep(&paso_transferencia_sd, nullptr);
    ctarjeta_sd_llena = 0;

    Serial1.println("SD inicializada");
    ctarjeta_sd_inicializada = 1;
    Intentos_Creacion_Directorio = 0;
    Intentos_Creacion_Fichero = 0;
    ccreacion_nuevo_directorio = 1;
    for (uint8_t k = 0; k < 3; ++k) ccreacion_nuevo_fichero[k] = 1;

    if (CTE_PERMITIR_ESCRITURA_SD == 0) {
        resSdOk = 0;
    } else {
        volumen_sd.mkdir(m_directorio_marca, true);
        volumen_sd.remove(m_fichero_marca);
        if (volumen_sd.exists(m_fichero_marca)) {
            resSdOk = 0;
        } else {
            File fmarca;
            if (fmarca.open(volumen_sd, m_fichero_marca, MODO_FICHERO_DATOS)) {
                fmarca.print("Escritura sd ok: ");
                fmarca.print(cminuto_utc);
                fmarca.print(chora_utc);
                fmarca.close();
            }
            if (volumen_sd.exists(m_fichero_marca)) {
                resSdOk = 1;
                Serial1.println("Fichero escritura actualizado");
            }
        }
    }
    cocupacion_pendiente = 0;
    if (CTE_PORCENTAJE_FULL_SD > 100) {
        if (volumen_sd.freeCountKnown()) espacio_ocupado_SD();
        else cocupacion_pendiente = 1;
    }
}

// ---------------------------------------------------------------- occupation

// A card whose free count is not known (FAT16, or FAT32 without a valid FSInfo count) is
// counted in slices, a few FAT blocks each main-loop pass, instead of in one walk of the
// whole FAT that held the loop 2 s on a 4 GiB card (17 s on 32 GiB) and lost the sensor's
// bytes meanwhile. 1 while the count goes on: what needs the occupation waits for it. A
// read error ends it (0): the occupation then counts in full and reports the failure.
uint8_t recuento_libres_en_curso() {
    if (volumen_sd.freeCountKnown()) return 0;
    return volumen_sd.countFreeSlice(BLOQUES_RECUENTO_POR_PASADA) == 0 ? 1 : 0;
}

void ocupacion_pendiente_sd() {
    if (cocupacion_pendiente == 0 || recuento_libres_en_curso() == 1) return;
    cocupacion_pendiente = 0;
    espacio_ocupado_SD();
}

uint8_t espacio_ocupado_SD() {
    Serial1.println();
    Serial1.print("Tipo de volumen FAT = ");
    Serial1.print(volumen_sd.fatBits());
    uint8_t cporcentaje = 0;
    for (uint8_t nreintentos = 1; nreintentos <= 2; ++nreintentos) {
        Serial1.print("  -  nReintentos=");
        Serial1.print(nreintentos);
        float ftotal = static_cast<float>(volumen_sd.dataClusters()) * volumen_sd.clusterBlocks() * 512.0f /
                       1000.0f / 1000.0f;
        Serial1.print(" - Tama\xEF\xBF\xBD" "o total SD = ");
        Serial1.print(static_cast<double>(ftotal), 2);
        Serial1.print(" MB. ");
        ctimeout_salir_bucle = CTE_PORCENTAJE_FULL_SD == PORCENTAJE_SD_RECUENTO_LARGO ? 44 : 30;
        uint32_t linicio = millis();
        // The volume keeps its free count once it is known (a valid FSInfo, an earlier count)
        // up to date with every cluster taken or freed: the FAT is read in full only when the
        // count is not known, not again at every new day directory.
        int32_t llibres = volumen_sd.knownFreeClusters();
        if (llibres < 0) llibres = volumen_sd.freeClusterCount(&paso_recuento_sd, nullptr);
        uint32_t lduracion = millis() - linicio;
        Serial1.print(" - Clusters libres : ");
        Serial1.print(static_cast<double>(llibres), 2);
        if (llibres == -1) continue; // a second attempt, then give up with 0
        float flibre = static_cast<float>(llibres) * 0.000512f * volumen_sd.clusterBlocks();
        Serial1.print("  ->  Espacio libre: ");
        Serial1.print(static_cast<double>(flibre), 2);
        Serial1.print(" MB. ");
        Serial1.print(" - Tiempo = ");
        Serial1.print(static_cast<unsigned long>(lduracion));
        Serial1.print(" milisegs. ==> ");
        float fporcentaje = ftotal > 0.0f ? (ftotal - flibre) * 100.0f / ftotal : 0.0f;
        if (fporcentaje < 0.0f) fporcentaje = 0.0f;
        if (fporcentaje > 100.0f) fporcentaje = 100.0f;
        cporcentaje = static_cast<uint8_t>(fporcentaje);
        Serial1.print("Porcentaje ocupado SD = ");
        Serial1.print(cporcentaje);
        Serial1.println(" %");
        Serial1.println();
        break;
    }
    CTE_PORCENTAJE_FULL_SD = cporcentaje;
    escritura_variable_porcentaje_SD(cporcentaje);
    return cporcentaje;
}

// ---------------------------------------------------------------- day directory

static void detiene_creacion_sd() {
    ccreacion_nuevo_directorio = 0;
    for (uint8_t k = 0; k < 3; ++k) ccreacion_nuevo_fichero[k] = 0;
}

static void aviso_limite_sd() {
    Serial1.println("L\xEF\xBF\xBD" "mite m\xEF\xBF\xBD" "ximo de memoria SD superado.");
    detiene_creacion_sd();
}

// The card has no room for the next record: said once, the open files closed (what they
// hold is on the card), the occupation measured again (the kept count: no FAT scan) and
// writing stopped.
static void tarjeta_sd_llena() {
    if (ctarjeta_sd_llena == 1) return;
    ctarjeta_sd_llena = 1;
    if (ffichero_raw.isOpen()) ffichero_raw.close();
    if (ffichero_wav.isOpen()) ffichero_wav.close();
    cdatos_raw_sin_sync = 0;
    espacio_ocupado_SD();
    aviso_limite_sd();
}

// Whether `ibytes` more bytes fit in the file without a new cluster, or a free cluster is
// left for them. (Only a record longer than a cluster could need two: records are a few
// hundred bytes, a cluster at least 512.)
static bool cabe_registro(File& fichero, uint16_t ibytes) {
    uint32_t lbytes_cluster = static_cast<uint32_t>(volumen_sd.clusterBlocks()) * 512u;
    uint32_t ltamano = fichero.size();
    uint32_t lhueco = (ltamano % lbytes_cluster == 0) ? 0 : lbytes_cluster - ltamano % lbytes_cluster;
    return ibytes <= lhueco || volumen_sd.hasFreeCluster();
}

void creacion_nuevo_directorio() {
    // The occupation decides whether the directory may be made: it waits for the count
    // (these passes are not attempts).
    if (recuento_libres_en_curso() == 1) return;
    Serial1.print("Intento creacion directorio numero: ");
    Serial1.println(Intentos_Creacion_Directorio);
    Intentos_Creacion_Directorio++;
    if (Intentos_Creacion_Directorio > MAXIMO_INTENTOS_SD) {
        NOMBRE_FICHERO_RES[0] = 0;
        NOMBRE_FICHERO_RAW[0] = 0;
        NOMBRE_FICHERO_WAV[0] = 0;
        detiene_creacion_sd(); // this last attempt still goes on
    }

    cbytes_nombre_fichero = 0;
    inserto_variable(Sdirectorio, cano_utc, 2);
    inserto_variable(Sdirectorio, cmes_utc, 2);
    inserto_variable(Sdirectorio, cdia_utc, 2);
    inserto_bytes(Sdirectorio, 0);

    uint8_t ces_directorio, cexiste;
    examina_directorio_dia(&ces_directorio, &cexiste);
    if (ces_directorio == 1 && cexiste == 1) {
        Serial1.println("Directorio ya existe");
        ccreacion_nuevo_directorio = 0;
        recuperar_fichero_RES_si_existe();
        return;
    }

    uint8_t cporcentaje = espacio_ocupado_SD();
    if (cporcentaje < CTE_LIMITE_MAX_USO_SD) {
        if (volumen_sd.mkdir(Sdirectorio, true)) {
            ctarjeta_sd_llena = 0;
            Serial1.print("Nuevo directorio creado: ");
            Serial1.println(Sdirectorio);
            ccreacion_nuevo_directorio = 0;
            for (uint8_t k = 0; k < 3; ++k) ccreacion_nuevo_fichero[k] = 1;
        } else {
            Serial1.println("Error creando directorio.");
        }
    } else {
        aviso_limite_sd();
    }
}

// ---------------------------------------------------------------- data files

void creacion_nuevo_fichero(uint8_t ctipo) {
    if (ctipo > TIPO_BUFFER_RES) return;
    uint8_t ces_directorio, cexiste;
    examina_directorio_dia(&ces_directorio, &cexiste);
    Serial1.print("Entra en la creacion de fichero: ");
    Serial1.print(ctipo);
    Serial1.print(cexiste);
    Serial1.println(ces_directorio);
    Serial1.println();

    Serial1.print("Intento creacion fichero numero: ");
    Serial1.println(Intentos_Creacion_Fichero);
    Intentos_Creacion_Fichero++;
    if (Intentos_Creacion_Fichero > MAXIMO_INTENTOS_SD) ccreacion_nuevo_fichero[ctipo] = 0;

    char* pnombre = nombre_de_tipo(ctipo);
    if (cexiste == 0 || ces_directorio == 0) {
        pnombre[0] = 0;
        return;
    }

    // "231207" + "/1430.raw"
    cbytes_nombre_fichero = 0;
    inserto_mensaje(pnombre, Sdirectorio);
    inserto_bytes(pnombre, '/');
    inserto_variable(pnombre, chora_utc, 2);
    inserto_variable(pnombre, cminuto_utc, 2);
    inserto_mensaje(pnombre, m_extensiones[ctipo]);
    inserto_bytes(pnombre, 0);

    // A new day directory asks for new files while yesterday's raw and per-wave files may
    // still be open in these handles: they are closed here, so what was written to them
    // reaches the card before the handle takes the new file.
    File& fichero = *fichero_de_tipo(ctipo);
    if (fichero.isOpen()) fichero.close();
    if (ctipo == TIPO_BUFFER_RAW) cdatos_raw_sin_sync = 0;
    // Whether the file was there already: the open says so (it searched the directory
    // for the name), so the directory is walked once, not once more beforehand. Only an
    // open that failed asks again.
    bool babierto = fichero.open(volumen_sd, pnombre, MODO_FICHERO_DATOS);
    uint8_t cexistente = (babierto ? !fichero.created() : volumen_sd.exists(pnombre)) ? 1 : 0;
    if (cexistente == 1) Serial1.println("Fichero existente: ");

    if (ctipo == TIPO_BUFFER_RAW) {
        ccreacion_nuevo_fichero[ctipo] = 2;
        lultimo_sync_raw = millis();
        ContNumPtosOla = 0;
        ContadorNumeroFicheros++;
        if (ContadorNumeroFicheros > CTE_NUMERO_MAXIMO_FICHEROS) {
            for (uint8_t n = 0; n < 14; ++n) Serial1.print('\t');
            Serial1.print("==> Prohibida la escritura en SD por N\xEF\xBF\xBD" " Ficheros superado:");
            Serial1.println(ContadorNumeroFicheros);
            ContadorNumeroFicheros = 0;
            CTE_PERMITIR_ESCRITURA_SD = 0;
        }
    } else if (ctipo == TIPO_BUFFER_WAV) {
        ccreacion_nuevo_fichero[ctipo] = 2;
    } else {
        // The result file is reopened for every record.
        if (volumen_sd.exists(pnombre)) fichero.close();
        ccreacion_nuevo_fichero[ctipo] = 2;
    }

    if (cexistente == 1) Serial1.print("- ");
    Serial1.print("Nuevo fichero creado:");
    Serial1.println(pnombre);
}

void recuperar_fichero_RES_si_existe() {
    uint8_t ces_directorio, cexiste;
    examina_directorio_dia(&ces_directorio, &cexiste);
    if (ces_directorio == 0 || cexiste == 0) return;

    File directorio;
    if (!directorio.open(volumen_sd, Sdirectorio, O_READ)) return;
    File entrada;
    for (uint8_t n = 0; n < ENTRADAS_BUSQUEDA_RES; ++n) {
        if (!entrada.openNext(directorio, O_READ)) break;
        if (entrada.isDir()) {
            entrada.close();
            continue;
        }
        char cnombre[13] = "";
        size_t ilongitud = entrada.getName(cnombre, sizeof cnombre);
        entrada.close();
        if (ilongitud < 3) continue;
        const char* pcfin = cnombre + ilongitud - 3;
        if (strcmp(pcfin, "res") == 0 || strcmp(pcfin, "RES") == 0) {
            cbytes_nombre_fichero = 0;
            inserto_bytes(NOMBRE_FICHERO_RES, '/');
            inserto_mensaje(NOMBRE_FICHERO_RES, Sdirectorio);
            inserto_bytes(NOMBRE_FICHERO_RES, '/');
            inserto_mensaje(NOMBRE_FICHERO_RES, cnombre);
            inserto_bytes(NOMBRE_FICHERO_RES, 0);
            Serial1.print("Fichero RES localizado: ");
            Serial1.println(cnombre);
            ccreacion_nuevo_fichero[TIPO_BUFFER_RES] = 2;
            directorio.close();
            return;
        }
    }
    directorio.close();
    Serial1.println("Fichero RES NO localizado.");
    ccreacion_nuevo_fichero[TIPO_BUFFER_RES] = 1;
}

uint8_t existe_fichero_datos(uint8_t ctipo) {
    if (ctipo > TIPO_BUFFER_RES || !volumen_sd.mounted()) return 0;
    // The raw and per-wave handles check their own directory entry (two block reads)
    // instead of walking the path again, whose cost grew with every file of the day
    // directory. Closed at an interval's end, a handle still holds the entry of the file its
    // name gives until the next file is created (the records formed meanwhile ask after it
    // every sample). Only the result file's name changes without its handle opening it.
    if (ctipo != TIPO_BUFFER_RES) {
        File& fichero = *fichero_de_tipo(ctipo);
        if (fichero.entryOnCard()) return 1;
        if (fichero.isOpen()) return 0;
    }
    const char* pnombre = nombre_de_tipo(ctipo);
    return (pnombre[0] != 0 && volumen_sd.exists(pnombre)) ? 1 : 0;
}

// ---------------------------------------------------------------- write cycle

// Whether growing a file from lantes to ldespues bytes took at least one new cluster.
static bool nuevo_cluster(uint32_t lantes, uint32_t ldespues) {
    uint32_t lbytes_cluster = static_cast<uint32_t>(volumen_sd.clusterBlocks()) * 512u;
    if (lbytes_cluster == 0 || ldespues == lantes) return false;
    if (lantes == 0) return true;
    return (lantes - 1) / lbytes_cluster != (ldespues - 1) / lbytes_cluster;
}

// Appends the pending result record: the file is opened, written and closed (which makes
// the record durable), then the stored file counter keeps the day's largest count.
static void escribe_registro_res() {
    if (ffichero_res.open(volumen_sd, NOMBRE_FICHERO_RES, MODO_FICHERO_DATOS)) {
        if (!cabe_registro(ffichero_res, ibytes_a_escribir_sd[TIPO_BUFFER_RES])) {
            ffichero_res.close();
            tarjeta_sd_llena();
            return;
        }
        escribe_buffer(ffichero_res, TIPO_BUFFER_RES);
        ffichero_res.close();
    }
    Serial1.print("Guardando en: ");
    Serial1.println(NOMBRE_FICHERO_RES);
    uint16_t icontador = static_cast<uint16_t>(readEEPROM_variable(EE_CONTADOR_FICHEROS, 2));
    if (ContadorNumeroFicheros > icontador) escritura_variable_contador_Ficheros(ContadorNumeroFicheros);
    ContadorNumeroFicheros = 0;
}

void gestion_fichero_sd(uint8_t ctipo) {
    if (ctipo > TIPO_BUFFER_RES) return;
    File& fichero = *fichero_de_tipo(ctipo);
    if (ctarjeta_sd_llena == 1) {
        cescritura_sd[ctipo] = 0;
        ccreacion_nuevo_fichero[ctipo] = 0;
        return;
    }
    switch (ccreacion_nuevo_fichero[ctipo]) {
    case 0:
        return;
    case 1:
        creacion_nuevo_fichero(ctipo);
        return;
    case 3:
        if (ctipo == TIPO_BUFFER_RES) return; // the result file has no close step
        if (existe_fichero_datos(ctipo) == 1) {
            if (cescritura_sd[ctipo] == 1) {
                cescritura_sd[ctipo] = 0;
                if (!cabe_registro(fichero, ibytes_a_escribir_sd[ctipo])) {
                    tarjeta_sd_llena();
                    return;
                }
                escribe_buffer(fichero, ctipo);
            }
            fichero.close();
            if (ctipo == TIPO_BUFFER_RAW) cdatos_raw_sin_sync = 0;
            Serial1.println(ctipo == TIPO_BUFFER_RAW ? "Fichero RAW cerrado" : "Fichero WAV cerrado");
        }
        ccreacion_nuevo_fichero[ctipo] = 1;
        return;
    default:
        break;
    }

    if (cescritura_sd[ctipo] == 1) {
        if (existe_fichero_datos(ctipo) == 1) {
            if (ctipo == TIPO_BUFFER_RES) {
                escribe_registro_res();
            } else if (!cabe_registro(fichero, ibytes_a_escribir_sd[ctipo])) {
                cescritura_sd[ctipo] = 0;
                tarjeta_sd_llena();
                return;
            } else {
                uint32_t lantes = fichero.size();
                escribe_buffer(fichero, ctipo);
                if (ctipo == TIPO_BUFFER_WAV || nuevo_cluster(lantes, fichero.size())) {
                    // Every per-wave record is durable at once. A raw record that took a new
                    // cluster is too: the cluster is linked in the FAT as soon as the volume's
                    // cache moves on, and until the file's size follows, the card would hold a
                    // chain longer than its file.
                    fichero.sync();
                    if (ctipo == TIPO_BUFFER_RAW) {
                        cdatos_raw_sin_sync = 0;
                        lultimo_sync_raw = millis();
                    }
                } else {
                    cdatos_raw_sin_sync = 1;
                }
            }
        }
        cescritura_sd[ctipo] = 0; // written or dropped: the buffer is free again
    }
    // Raw records reach the card at least once a second, also when the stream pauses.
    if (ctipo == TIPO_BUFFER_RAW && cdatos_raw_sin_sync == 1 && millis() - lultimo_sync_raw >= PERIODO_SYNC_RAW_MS) {
        fichero.sync();
        cdatos_raw_sin_sync = 0;
        lultimo_sync_raw = millis();
    }
}
