// The 1 ms timebase. TC0 counts the 48 MHz clock and interrupts on compare match; the
// handler is the firmware's only time source. Every countdown here is a single byte that
// the handler only decrements while non-zero, so the main loop may set and poll it without
// a lock.
#include "core/timebase.h"

#include "core/ondavix_hw4_fw8_1.h"

#include "declaraciones.h"
#include "platform.h"

// ---------------------------------------------------------------- countdowns (ISR)
volatile uint8_t cretardo_en_milisegundos = 0;
volatile uint8_t ctimeout_eeprom = 0;
volatile uint8_t ctimeout_rx_kvx03 = 0;
volatile uint8_t ctimeout_rx_sensor = 0;
volatile uint8_t cretardo_tiempo = 0;
volatile uint8_t csegundos_retardo_gestion_sd = 0;
volatile uint8_t ctimeout_reset_general = 0;
volatile uint8_t ctimeout_salir_bucle = 0;

// ---------------------------------------------------------------- dividers (ISR only)
uint8_t cacciones_cada_10milisegundos = 0;  // ticks, 0..9
uint8_t cacciones_cada_100milisegundos = 0; // tens of ms, 0..9
uint8_t cacciones_cada_segundo = 0;         // tenths of a second, 0..9

volatile int32_t CONT_TIEMPO_MICRO_ACUMULADO = -1;

// ---------------------------------------------------------------- DIP switch 1 (ISR)
volatile uint8_t cnivel_dip1 = 2;
volatile uint8_t cseguridad_dip1_high = 0;
volatile uint8_t cseguridad_dip1_low = 0;
volatile uint8_t cdebug_sensor = 0;

// ---------------------------------------------------------------- internal clock (ISR)
volatile uint8_t cdia_utc = 0;
volatile uint8_t cmes_utc = 0;
volatile uint8_t cano_utc = 0;
volatile uint8_t chora_utc = 0;
volatile uint8_t cminuto_utc = 0;
volatile uint8_t csegundo_utc = 0;
const uint8_t cmeses[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
volatile uint8_t choras_sin_sincronizacion_gps = 0;
volatile uint8_t cpeticion_nueva_hora = 0;
volatile uint8_t cmostramos_hora = 0;
volatile uint8_t cnuevo_dia_pendiente = 0;

// A level of DIP switch 1 is taken after this many consecutive 100 ms samples (1 s).
static constexpr uint8_t MUESTRAS_ESTABLES_DIP1 = 10;

void setup_timerTC0(uint32_t prescaler, uint32_t ccVal) {
    uint16_t idivisor = 1;
    switch (prescaler) {
    case 1: case 2: case 4: case 8: case 16: case 64: case 256: case 1024:
        idivisor = static_cast<uint16_t>(prescaler);
        break;
    default:
        break;
    }
    timer_tc0_setup(idivisor, static_cast<uint16_t>(ccVal));
}

void start_timerTC0() {
    timer_tc0_start();
}

extern "C" void TC0_Handler() {
    timer_tc0_acknowledge();
    interrupcion_timer_cada_miliseg();
}

// Decrements a countdown unless it has already expired. ISR.
static inline void decrementa(volatile uint8_t& ccuenta) {
    if (ccuenta != 0) ccuenta = static_cast<uint8_t>(ccuenta - 1);
}

// Debounces DIP switch 1 on one 100 ms sample: a closed switch (input low) turns the
// sensor debug output on. ISR.
static void muestreo_dip1() {
    if (digitalRead(PIN_DIP1) != 0) {
        cseguridad_dip1_low = 0;
        if (cnivel_dip1 != 1) {
            cseguridad_dip1_high = static_cast<uint8_t>(cseguridad_dip1_high + 1);
            if (cseguridad_dip1_high >= MUESTRAS_ESTABLES_DIP1) {
                cnivel_dip1 = 1;
                cdebug_sensor = 0;
            }
        }
    } else {
        cseguridad_dip1_high = 0;
        if (cnivel_dip1 != 0) {
            cseguridad_dip1_low = static_cast<uint8_t>(cseguridad_dip1_low + 1);
            if (cseguridad_dip1_low >= MUESTRAS_ESTABLES_DIP1) {
                cnivel_dip1 = 0;
                cdebug_sensor = 1;
            }
        }
    }
}

// Once a second: heartbeat low, SD hold-off, clock seconds, general-restart countdown. ISR.
static void acciones_cada_segundo() {
    if (waves.ctest != 1) digitalWrite(PIN_LED_1, LOW);
    decrementa(csegundos_retardo_gestion_sd);

    csegundo_utc = static_cast<uint8_t>(csegundo_utc + 1);
    if (csegundo_utc >= 60) {
        csegundo_utc = 0;
        refrescamos_reloj_interno();
        cmostramos_hora = 1;
    }

    if (ctimeout_reset_general != 0) {
        ctimeout_reset_general = static_cast<uint8_t>(ctimeout_reset_general - 1);
        Serial1.print(static_cast<uint8_t>(ctimeout_reset_general));
        Serial1.print(",");
        if (ctimeout_reset_general == 0) {
            Serial1.println("RESET GENERAL POR FALTA DE OLAS (LOOP)");
            // The handler never returns: the watchdog, no longer fed, restarts the device.
            halt_until_watchdog();
        }
    }

    decrementa(ctimeout_salir_bucle);
}

// Every 100 ms: clock-rate measurement, tenths delay, DIP switch, heartbeat high, GPS
// pacing, and every tenth time the 1 s actions. ISR.
static void acciones_cada_100milisegundos() {
    if (CTE_AJUSTE_RELOJ == 1 && CONT_TIEMPO_MICRO_ACUMULADO >= 0) {
        CONT_TIEMPO_MICRO_ACUMULADO = CONT_TIEMPO_MICRO_ACUMULADO + 1;
    }
    decrementa(cretardo_tiempo);
    muestreo_dip1();
    if (waves.ctest != 1) digitalWrite(PIN_LED_1, HIGH);
    decrementa(modulo_gps.cdelay);

    uint8_t csiguiente = static_cast<uint8_t>(cacciones_cada_segundo + 1);
    if (csiguiente <= 9) {
        cacciones_cada_segundo = csiguiente;
        return;
    }
    cacciones_cada_segundo = 0;
    acciones_cada_segundo();
}

void interrupcion_timer_cada_miliseg() {
    decrementa(cretardo_en_milisegundos);
    decrementa(ctimeout_eeprom);
    decrementa(ctimeout_rx_kvx03);
    decrementa(modulo_gps.ctimeout_entre_bytes_rx);
    decrementa(ctimeout_rx_sensor);

    uint8_t csiguiente = static_cast<uint8_t>(cacciones_cada_10milisegundos + 1);
    if (csiguiente <= 9) {
        cacciones_cada_10milisegundos = csiguiente;
        return;
    }
    cacciones_cada_10milisegundos = 0;

    csiguiente = static_cast<uint8_t>(cacciones_cada_100milisegundos + 1);
    if (csiguiente <= 9) {
        cacciones_cada_100milisegundos = csiguiente;
        return;
    }
    cacciones_cada_100milisegundos = 0;
    acciones_cada_100milisegundos();
}

void retardo_milisegundos(uint8_t ctiempo) {
    cretardo_en_milisegundos = ctiempo == 0 ? 1 : ctiempo;
    while (cretardo_en_milisegundos != 0) {
        sodaq_wdt_reset();
        atiende_puerto_sensor();
    }
}

void retardo_tiempo(uint8_t ctiempo) {
    cretardo_tiempo = ctiempo == 0 ? 1 : ctiempo;
    while (cretardo_tiempo != 0) sodaq_wdt_reset();
}

// Day change, in the handler: announce it, ask for the reset review and suppress the
// first wave. The file-counter write and the SD directory flags are handed to the main
// loop through cnuevo_dia_pendiente (gestion_cambio_de_dia): the EEPROM write ends with a
// 10 ms settle delay counted by this very tick, which cannot advance while the handler
// runs, and the SD attempt counters are 16-bit values the handler must not share. ISR.
static void cambio_de_dia() {
    Serial1.print("Nuevo Directorio");
    cRevision_Resets_24h = 1;
    CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 1;
    cnuevo_dia_pendiente = 1;
}

// Advances the date by one day. A month outside 1..12 (the clock before its first GPS
// time is all zero) is measured as January, so the month table is never read out of range
// and the date settles into a real one. ISR.
static void avanzamos_fecha() {
    uint8_t cindice_mes = (cmes_utc >= 1 && cmes_utc <= 12) ? static_cast<uint8_t>(cmes_utc - 1) : 0;
    cdia_utc = static_cast<uint8_t>(cdia_utc + 1);
    if (cdia_utc <= cmeses[cindice_mes]) return;

    if (cdia_utc == 29 && cmes_utc == 2) {
        // 29 February exists in years that are multiples of 4 (2000-based two-digit year).
        if (cano_utc % 4 != 0) {
            cdia_utc = 1;
            cmes_utc = 3;
        }
        return;
    }
    cdia_utc = 1;
    cmes_utc = static_cast<uint8_t>(cmes_utc + 1);
    if (cmes_utc > 12) {
        cmes_utc = 1;
        cano_utc = static_cast<uint8_t>(cano_utc + 1);
    }
}

void refrescamos_reloj_interno() {
    cminuto_utc = static_cast<uint8_t>(cminuto_utc + 1);
    if (cminuto_utc >= 60) {
        cminuto_utc = 0;
        chora_utc = static_cast<uint8_t>(chora_utc + 1);
        choras_sin_sincronizacion_gps = static_cast<uint8_t>(choras_sin_sincronizacion_gps + 1);
        if (choras_sin_sincronizacion_gps >= choras_sincronizacion_gps) {
            cpeticion_nueva_hora = 1;
            choras_sin_sincronizacion_gps = 0;
        }
    }
    // Tested every minute, not only at the hour change, so an hour set past 23 by hand
    // is folded back on the next minute.
    if (chora_utc > 23) {
        chora_utc = static_cast<uint8_t>(chora_utc - 24);
        avanzamos_fecha();
        cambio_de_dia();
    }
}
