// Console commands and the bench test routine. Once "TEST" is typed the device stays in
// the routine for good: the sensor is no longer read, no waves are analysed and the host
// link becomes a plain echo. Main loop.
#include "console/test.h"
#include "core/ondavix_hw4_fw8_1.h"

#include "console/comunicaciones_pc.h"
#include "core/timebase.h"
#include "declaraciones.h"
#include "gps/modulo_gps.h"
#include "platform.h"
#include "storage/gestion_sd.h"

const char m_test[] = "TEST";
const char m_info_sd[] = "INFO SD";
const char m_dip[] = "DIP";
const char m_gps_on[] = "GPS ON";
const char m_gps_off[] = "GPS OFF";

// Console codes of the line editor.
static constexpr uint8_t CODIGO_RETROCESO = 8;
static constexpr uint8_t CODIGO_SALTO_LINEA = 10;
static constexpr uint8_t CODIGO_RETORNO = 13;

// Actions of the test routine.
static constexpr uint8_t ACCION_REPOSO = 0;     // both indicators high
static constexpr uint8_t ACCION_PARPADEO = 1;   // indicators alternate every second
static constexpr uint8_t ACCION_SD = 2;         // SD start-up, retried once a second
static constexpr uint8_t ACCION_DIP = 3;        // DIP switch value once a second

uint8_t lectura_linea_consola() {
    while (Serial1.available() > 0) {
        uint8_t cdato = static_cast<uint8_t>(Serial1.read());
        // The byte is kept at the count's index while there is room, even the control
        // codes, which the count then skips or takes back.
        if (waves.cbytes_rx < TAM_LINEA_CONSOLA) waves.cbuffer_rx[waves.cbytes_rx] = cdato;
        Serial1.write(cdato);

        if (cdato == CODIGO_RETROCESO) {
            if (waves.cbytes_rx > 0) waves.cbytes_rx = static_cast<uint8_t>(waves.cbytes_rx - 1);
        } else if (cdato == CODIGO_SALTO_LINEA) {
            // ignored
        } else if (cdato == CODIGO_RETORNO) {
            return 1;
        } else if (waves.cbytes_rx < TAM_LINEA_CONSOLA) {
            waves.cbytes_rx = static_cast<uint8_t>(waves.cbytes_rx + 1);
        }
    }
    return 0;
}

void descarte_linea_consola() {
    while (Serial1.available() > 0) Serial1.read();
    waves.cbytes_rx = 0;
}

// Commands match on their prefix: characters typed after the command text are ignored.
uint8_t linea_consola_es(const char* pccomando) {
    uint8_t clongitud = 0;
    while (pccomando[clongitud] != 0) ++clongitud;
    if (waves.cbytes_rx < clongitud) return 0;
    return comparacion(0, waves.cbuffer_rx, pccomando, 0);
}

void gestion_consola() {
    if (lectura_linea_consola() == 0) return;
    if (linea_consola_es(m_test) == 1) rutina_test();
    descarte_linea_consola();
}

void comunicacion_kvx03_test() {
    if (Serial0.available() <= 0) return;
    recepcion_bloque_kvx03(SILENCIO_RX_KVX03_TEST_MS);

    Serial1.print("Rx KVX03  => (");
    Serial1.print(ccantidad_bytes_rx_kvx03);
    Serial1.print(") ");
    for (uint8_t i = 0; i < ccantidad_bytes_rx_kvx03; ++i) {
        Serial1.write(ctrama_rx_kvx03[i]);
        Serial0.write(ctrama_rx_kvx03[i]);
    }
    linea();
}

// Value of the three DIP switches, 1 for each closed (low) switch: 1, 2 and 4.
static uint8_t valor_dip() {
    uint8_t cvalor = 0;
    if (digitalRead(PIN_DIP1) == 0) cvalor = static_cast<uint8_t>(cvalor + 1);
    if (digitalRead(PIN_DIP2) == 0) cvalor = static_cast<uint8_t>(cvalor + 2);
    if (digitalRead(PIN_DIP3) == 0) cvalor = static_cast<uint8_t>(cvalor + 4);
    return cvalor;
}

void rutina_test() {
    waves.ctest = 1;
    cpeticion_nueva_hora = 0;
    ctarjeta_sd_inicializada = 0;
    modulo_gps.cdebug = 2;
    if (modulo_gps.cconfigurado != 0) modulo_gps.cconfigurado = 3;

    linea_asteriscos(60);
    Serial1.println("\t\t\tTEST");
    linea_asteriscos(60);
    linea();

    Serial0.end();
    Serial0.begin(BAUDIOS_KVX_TEST);

    descarte_linea_consola();
    uint8_t caccion = ACCION_PARPADEO;
    uint8_t cfase = 2;

    for (;;) {
        sodaq_wdt_reset();
        configuracion_frames_gps();
        procesamos_gps();
        comunicacion_kvx03_test();

        if (caccion == ACCION_PARPADEO) {
            if (cretardo_tiempo == 0) {
                if (cfase == 0) {
                    digitalWrite(PIN_LED_1, HIGH);
                    digitalWrite(PIN_LED_2, LOW);
                    cfase = 1;
                } else {
                    digitalWrite(PIN_LED_1, LOW);
                    digitalWrite(PIN_LED_2, HIGH);
                    cfase = 0;
                }
                cretardo_tiempo = 10;
            }
        } else {
            digitalWrite(PIN_LED_1, HIGH);
            digitalWrite(PIN_LED_2, HIGH);
            if (caccion == ACCION_SD) {
                if (cretardo_tiempo == 0 && ctarjeta_sd_inicializada == 0) {
                    inicializacion_sd();
                    if (ctarjeta_sd_inicializada != 0) {
                        caccion = ACCION_REPOSO;
                    } else {
                        cretardo_tiempo = 10;
                    }
                }
            } else if (caccion == ACCION_DIP) {
                if (cretardo_tiempo == 0) {
                    Serial1.print("DIP:");
                    Serial1.println(valor_dip());
                    cretardo_tiempo = 10;
                }
            }
        }

        if (lectura_linea_consola() == 1) {
            if (waves.cbytes_rx == 0) {
                caccion = ACCION_REPOSO;
            } else if (linea_consola_es(m_info_sd) == 1) {
                ctarjeta_sd_inicializada = 0;
                caccion = ACCION_SD;
            } else if (linea_consola_es(m_dip) == 1) {
                caccion = ACCION_DIP;
            } else if (linea_consola_es(m_gps_on) == 1) {
                modulo_gps.cconfigurado = 2;
                modulo_gps.cdebug = 2;
            } else if (linea_consola_es(m_gps_off) == 1) {
                Serial1.println("Comando GPS off");
                modulo_gps.cconfigurado = 3;
            }
            descarte_linea_consola();
        }
    }
}
