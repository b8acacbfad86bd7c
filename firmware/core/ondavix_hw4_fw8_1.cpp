// Start-up and main loop. No operating system: setup() runs once, loop() polls every
// device in a fixed order for ever, and the only other context is the 1 ms tick
// (core/timebase), which owns every countdown the loop waits on.
#include "core/ondavix_hw4_fw8_1.h"

#include "console/comunicaciones_pc.h"
#include "console/test.h"
#include "core/timebase.h"
#include "declaraciones.h"
#include "gps/modulo_gps.h"
#include "host/kvx03.h"
#include "params/memoria.h"
#include "platform.h"
#include "sensor/sensor.h"
#include "storage/gestion_sd.h"
#include "waves/waves.h"

// ---------------------------------------------------------------- main-loop buffers
uint8_t ctrama_sensor_rx[TAM_TRAMA_SENSOR_RX];
uint16_t icantidad_bytes_rx_sensor = 0;
uint8_t cbuffer_sensor_lleno = 0;
uint8_t ctrama_rx_kvx03[TAM_TRAMA_RX_KVX03];
uint8_t ccantidad_bytes_rx_kvx03 = 0;
char cbuffer_kvx03[TAM_BUFFER_KVX03 + 1];
uint8_t cdatos_tx_kvx03 = 0;
uint8_t resSbgOk = 0;
uint8_t creset = 0;
uint8_t cfecha_capturada = 0;
uint8_t ctimeout_captura_fecha = 0;

// Wait between the end of the loop on a restart request and the watchdog halt, in
// retardo_tiempo units of 100 ms (1 s): lets the last reply leave the host port.
static constexpr uint8_t RETARDO_ANTES_DE_REINICIO = 10;
static constexpr uint8_t ANCHO_LINEA_HORA = 63;

void configuracion_pines() {
    pinMode(PIN_ALIMENTACION_GPS, OUTPUT);
    pinMode(PIN_LED_1, OUTPUT);
    pinMode(PIN_LED_2, OUTPUT);
    pinMode(PIN_ENTRADA_1, INPUT);
    pinMode(PIN_ENTRADA_2, INPUT);
    pinMode(PIN_ENTRADA_3, INPUT);
    pinMode(PIN_DIP1, INPUT_PULLUP);
    pinMode(PIN_DIP2, INPUT_PULLUP);
    pinMode(PIN_DIP3, INPUT_PULLUP);
}

void setup() {
    pinMode(PIN_ALIMENTACION_GPS, OUTPUT);
    pinMode(PIN_LED_1, OUTPUT);
    pinMode(PIN_LED_2, OUTPUT);
    digitalWrite(PIN_ALIMENTACION_GPS, LOW);
    digitalWrite(PIN_LED_1, HIGH);
    digitalWrite(PIN_LED_2, HIGH);
    configuracion_pines();

    Serial1.begin(BAUDIOS_CONSOLA);
    setup_timerTC0(1, VELOCIDAD_RELOJ_NOMINAL);
    start_timerTC0();
    Wire.begin();
    sodaq_wdt_enable(WDT_PERIOD_1X);
    Serial2.begin(BAUDIOS_SENSOR);

    cadelanto_sensor = 1;
    lectura_de_variables();
    cadelanto_sensor = 0;
    if (Establecer_Baudrate_KVX() == 0) Serial0.begin(BAUDIOS_KVX_POR_DEFECTO);
    mensaje_bienvenida();
    sodaq_wdt_enable(WDT_PERIOD_2X);

    Inicializar();
    inicializacion_modulo_gps();

    ctarjeta_sd_inicializada = 0;
    cpeticion_nueva_hora = 1;
    cfecha_capturada = 0;
    ctimeout_captura_fecha = 5;
}

void mostramos_hora() {
    linea();
    linea_asteriscos(ANCHO_LINEA_HORA);
    Serial1.print("\t\t");
    transmito_variable(cdia_utc, 2, '/');
    transmito_variable(cmes_utc, 2, '/');
    transmito_variable(cano_utc, 2, '\t');
    transmito_variable(chora_utc, 2, ':');
    transmito_variable(cminuto_utc, 2, ':');
    transmito_variable(csegundo_utc, 2, TERMINADOR_LINEA);
    linea_asteriscos(ANCHO_LINEA_HORA);
    cmostramos_hora = 0;
}

// Runs on the first pass after the tick's day change, before the SD block: the directory
// request and the file counter are therefore in place before any file of the new day is
// created (creation needs at least one pass after the directory step).
void gestion_cambio_de_dia() {
    cnuevo_dia_pendiente = 0;
    ContadorNumeroFicheros = 0;
    escritura_variable_contador_Ficheros(0);
    if (CTE_PERMITIR_ESCRITURA_SD_EEPROM == 1) {
        Intentos_Creacion_Directorio = 0;
        Intentos_Creacion_Fichero = 0;
        ccreacion_nuevo_directorio = 1;
    }
}

void gestion_tarjeta_sd() {
    if (csegundos_retardo_gestion_sd != 0 || CTE_PERMITIR_ESCRITURA_SD == 0) return;
    if (ctarjeta_sd_inicializada == 0) {
        inicializacion_sd();
        return;
    }
    ocupacion_pendiente_sd();
    if (cfecha_capturada == 0 && crear_ficheros_axiliares != 1) return;
    if (ccreacion_nuevo_directorio == 1) {
        creacion_nuevo_directorio();
        return;
    }
    for (uint8_t ctipo = 0; ctipo < 3; ++ctipo) gestion_fichero_sd(ctipo);
}

// Start-up: the parameter load may hold the loop for a long time (the defaults written to a
// blank EEPROM take some 320 ms of page-write delays), longer than the sensor port's receive
// queue lasts. While cadelanto_sensor is 1, every millisecond delay moves what the sensor
// sent into the sensor block (up to its size, the rest stays in the port); the first
// main-loop pass then takes it as the start of its block, so nothing sent meanwhile is lost.
//
// While the block is processed (cadelanto_sensor 2) it cannot take bytes: an interval's end
// inside it (files closed on the card, some 1200 bytes printed on the console, 100 ms at
// 115200 baud) outlasts the port's queue at 50 Hz. The sensor's bytes then go to a waiting
// area at each console line and card block of that work, and open the next block.
uint8_t cadelanto_sensor = 0;
static uint8_t cbloque_sensor_adelantado = 0;
static constexpr uint16_t TAM_ESPERA_SENSOR = 640;  // what the port's bytes may fill
static constexpr uint16_t TAM_COLA_PUERTO = 350;    // the board's receive queue
// Beyond TAM_ESPERA_SENSOR, room for the head of a frame a block's end cut.
static uint8_t cespera_sensor[TAM_ESPERA_SENSOR + SPAN_TRAMA_NAV];
static_assert(TAM_ESPERA_SENSOR + SPAN_TRAMA_NAV <= TAM_TRAMA_SENSOR_RX, "the waiting area fits in a block");
static uint16_t icantidad_espera_sensor = 0;

// The waiting area's bytes, older than anything still in the port, start the block.
static void toma_espera_sensor() {
    for (uint16_t i = 0; i < icantidad_espera_sensor; ++i) ctrama_sensor_rx[i] = cespera_sensor[i];
    icantidad_bytes_rx_sensor = icantidad_espera_sensor;
    icantidad_espera_sensor = 0;
}

static void guarda_bytes_sensor();

// A block ahead of the main loop that fills up (a card step of 200 ms at 50 Hz) goes on in
// the waiting area, which then opens the block after it.
void adelanta_bytes_sensor() {
    if (cbloque_sensor_adelantado == 0) {
        if (Serial2.available() <= 0 && icantidad_espera_sensor == 0) return;
        toma_espera_sensor();
        cbloque_sensor_adelantado = 1;
    }
    while (Serial2.available() > 0 && icantidad_bytes_rx_sensor < TAM_TRAMA_SENSOR_RX &&
           icantidad_espera_sensor == 0) {
        ctrama_sensor_rx[icantidad_bytes_rx_sensor] = static_cast<uint8_t>(Serial2.read());
        icantidad_bytes_rx_sensor = static_cast<uint16_t>(icantidad_bytes_rx_sensor + 1);
        ctimeout_rx_sensor = SILENCIO_RX_SENSOR_MS;
    }
    if (icantidad_bytes_rx_sensor >= TAM_TRAMA_SENSOR_RX) guarda_bytes_sensor();
}

static void guarda_bytes_sensor() {
    while (Serial2.available() > 0 && icantidad_espera_sensor < TAM_ESPERA_SENSOR) {
        cespera_sensor[icantidad_espera_sensor] = static_cast<uint8_t>(Serial2.read());
        icantidad_espera_sensor = static_cast<uint16_t>(icantidad_espera_sensor + 1);
        ctimeout_rx_sensor = SILENCIO_RX_SENSOR_MS;
    }
}

// A block that filled up (in the main loop or ahead of it) ends where it filled, perhaps
// inside a frame: the bytes after its last good frame (a frame's head at most, 80 bytes) go
// in front of the waiting area, so that frame is whole in the next block. Those bytes hold
// no good frame, so none is taken twice.
static void arrastra_trama_cortada() {
    uint16_t iresto = static_cast<uint16_t>(icantidad_bytes_rx_sensor - ifin_tramas_sensor);
    if (iresto > SPAN_TRAMA_NAV) iresto = SPAN_TRAMA_NAV;
    if (iresto == 0 || icantidad_espera_sensor + iresto > TAM_ESPERA_SENSOR + SPAN_TRAMA_NAV) return;
    for (uint16_t i = icantidad_espera_sensor; i > 0; --i) cespera_sensor[i - 1 + iresto] = cespera_sensor[i - 1];
    const uint8_t* pcresto = ctrama_sensor_rx + icantidad_bytes_rx_sensor - iresto;
    for (uint16_t i = 0; i < iresto; ++i) cespera_sensor[i] = pcresto[i];
    icantidad_espera_sensor = static_cast<uint16_t>(icantidad_espera_sensor + iresto);
}

void atiende_puerto_sensor() {
    if (cadelanto_sensor == 1) adelanta_bytes_sensor();
    else if (cadelanto_sensor == 2) guarda_bytes_sensor();
}

void recepcion_trama_sensor() {
    if (Serial2.available() <= 0 && cbloque_sensor_adelantado == 0 && icantidad_espera_sensor == 0) return;
    // A block taken ahead that went on in the waiting area is whole: the port's bytes come
    // after the area's. So is a block the area opened with no room left for a port's queue.
    uint8_t cbloque_completo = cbloque_sensor_adelantado == 1 && icantidad_espera_sensor != 0 ? 1 : 0;
    if (cbloque_sensor_adelantado == 0) {
        toma_espera_sensor();
        if (icantidad_bytes_rx_sensor + TAM_COLA_PUERTO > TAM_TRAMA_SENSOR_RX) cbloque_completo = 1;
    }
    cbloque_sensor_adelantado = 0;
    cbuffer_sensor_lleno = 0;
    if (cbloque_completo == 0) {
        do {
            sodaq_wdt_reset();
            uint8_t crecibidos = 0;
            while (Serial2.available() > 0 && cbuffer_sensor_lleno == 0) {
                sodaq_wdt_reset();
                if (icantidad_bytes_rx_sensor < TAM_TRAMA_SENSOR_RX) {
                    ctrama_sensor_rx[icantidad_bytes_rx_sensor] = static_cast<uint8_t>(Serial2.read());
                    icantidad_bytes_rx_sensor = static_cast<uint16_t>(icantidad_bytes_rx_sensor + 1);
                } else {
                    // A full block ends here, likely inside a frame (a stream held back by a
                    // long pass runs on without a pause): the byte that finds it full stays
                    // in the port with the rest, and the frame's head goes on to the next
                    // block (dropping that byte lost the frame at every such cut).
                    cbuffer_sensor_lleno = 1;
                }
                crecibidos = 1;
            }
            if (crecibidos == 1) ctimeout_rx_sensor = SILENCIO_RX_SENSOR_MS;
        } while (ctimeout_rx_sensor != 0 && cbuffer_sensor_lleno == 0);
        cbloque_completo = cbuffer_sensor_lleno;
    }

    resSbgOk = 1;
    cadelanto_sensor = 2;
    procesamos_trama_rx_sensor();
    cadelanto_sensor = 0;
    cbuffer_sensor_lleno = 0;
    if (cbloque_completo == 1) arrastra_trama_cortada();
}

// Drains the host port into ctrama_rx_kvx03 (first 128 bytes kept, the rest read and
// dropped), feeding the watchdog, until `csilencio_ms` ticks pass without a byte. Main loop.
void recepcion_bloque_kvx03(uint8_t csilencio_ms) {
    ccantidad_bytes_rx_kvx03 = 0;
    do {
        sodaq_wdt_reset();
        uint8_t crecibidos = 0;
        while (Serial0.available() > 0) {
            sodaq_wdt_reset();
            uint8_t cdato = static_cast<uint8_t>(Serial0.read());
            if (ccantidad_bytes_rx_kvx03 < TAM_TRAMA_RX_KVX03) {
                ctrama_rx_kvx03[ccantidad_bytes_rx_kvx03] = cdato;
                ccantidad_bytes_rx_kvx03 = static_cast<uint8_t>(ccantidad_bytes_rx_kvx03 + 1);
            }
            crecibidos = 1;
        }
        if (crecibidos == 1) ctimeout_rx_kvx03 = csilencio_ms;
    } while (ctimeout_rx_kvx03 != 0);
}

void comunicacion_kvx03() {
    if (cdatos_tx_kvx03 != 0) {
        // The spare byte after the buffer's capacity always terminates the text.
        cbuffer_kvx03[TAM_BUFFER_KVX03] = 0;
        Serial0.print(cbuffer_kvx03);
        cdatos_tx_kvx03 = 0;
        return;
    }
    if (Serial0.available() <= 0) return;
    recepcion_bloque_kvx03(SILENCIO_RX_KVX03_MS);
    procesamos_trama_kvx03();
}

void loop() {
    do {
        configuracion_pines();
        sodaq_wdt_reset();
        if (cmostramos_hora == 1) mostramos_hora();
        // The day change's EEPROM writes and the card's work may take long: the sensor's
        // bytes are taken into its block meanwhile (never while the block is processed).
        cadelanto_sensor = 1;
        if (cnuevo_dia_pendiente == 1) gestion_cambio_de_dia();
        gestion_tarjeta_sd();
        cadelanto_sensor = 0;
        recepcion_trama_sensor();
        configuracion_frames_gps();
        procesamos_gps();
        if (cfecha_capturada == 1 && cRevision_Resets_24h == 1) Revision_Resets_24h();
        comunicacion_kvx03();
        gestion_consola();
    } while (creset != 1 || cdatos_tx_kvx03 != 0);

    // Restart requested and no reply pending: wait 1 s feeding the watchdog, then stop
    // feeding it; the watchdog (2 s) restarts the device.
    retardo_tiempo(RETARDO_ANTES_DE_REINICIO);
    halt_until_watchdog();
}
