// Shared record types and the globals that more than one source reads or writes.
//
// Each global is defined in the source named above its group. "ISR" marks a global that
// the 1 ms timer interrupt writes or reads: those are volatile, and all of them are single
// bytes except CONT_TIEMPO_MICRO_ACUMULADO, one aligned 32-bit word written whole.
#pragma once

#include <stdint.h>

#include "constantes.h"

// ---------------------------------------------------------------- record types

// The GPS receiver record (gps/modulo_gps), fields in declaration order.
struct stmodulo_gps {
    uint16_t ibytes_rx;                       // bytes of the last burst in cframe_rx
    volatile uint8_t cdelay;                  // ISR: configuration pacing, 100 ms units
    uint8_t cconfigurado;                     // configuration state 0..25
    volatile uint8_t ctimeout_entre_bytes_rx; // ISR: inter-byte silence, 1 ms ticks
    uint8_t crecibiendo_rafaga;               // 1 while a burst is being collected
    uint8_t cdebug;                           // GPS diagnostics level: 0, 1, 2
    uint8_t csatelites;
    uint8_t cpdop;                            // dilutions in tenths, 99 = unknown
    uint8_t chdop;
    uint8_t cvdop;
    uint8_t cgrados_latitud;                  // 91 = no position
    uint8_t cminutos_latitud;
    uint16_t idiez_milesimas_minutos_latitud;
    uint8_t cnorte_sur;                       // 'N' or 'S'
    uint8_t cgrados_longitud;                 // 181 = no position
    uint8_t cminutos_longitud;
    uint16_t idiez_milesimas_minutos_longitud;
    uint8_t ceste_oeste;                      // 'E' or 'W'
    uint8_t cdia_zda;
    uint8_t cmes_zda;
    uint8_t cano_zda;
    uint8_t chora_zda;
    uint8_t cminuto_zda;
    uint8_t csegundo_zda;
    uint8_t cframes_no_procesadas;
    uint8_t cbaudios_gps;                     // index into the GPS baud table
    uint8_t ccambio_baudios_gps;
    uint8_t ctipo;                            // 1 PMTK family, 2 CFGMSG family
    uint8_t cbytes_tx;
    uint8_t cstatus;
    uint8_t ctimeout_frames;
    uint8_t ctimeout_frame;
    uint8_t cframe_tx[TAM_FRAME_TX_GPS];
    uint8_t cframe_rx[TAM_FRAME_RX_GPS];
};

// The wave-analysis record's console and test part (waves).
struct stwaves {
    volatile uint8_t ctest;                   // ISR: 1 = test routine running, pin 32 is its own
    uint8_t cbuffer_rx[TAM_LINEA_CONSOLA];    // console line being typed
    uint8_t cbytes_rx;                        // characters held in cbuffer_rx
};

// ---------------------------------------------------------------- core/ondavix_hw4_fw8_1
extern uint8_t ctrama_sensor_rx[TAM_TRAMA_SENSOR_RX];
extern uint16_t icantidad_bytes_rx_sensor;
extern uint8_t cbuffer_sensor_lleno;
extern uint8_t ctrama_rx_kvx03[TAM_TRAMA_RX_KVX03];
extern uint8_t ccantidad_bytes_rx_kvx03;
extern char cbuffer_kvx03[TAM_BUFFER_KVX03 + 1];
extern uint8_t cdatos_tx_kvx03;          // 1 = cbuffer_kvx03 waits to be sent to the host
extern uint8_t resSbgOk;                 // 1 = a sensor block arrived since the last result
extern uint8_t creset;                   // 1 = restart requested
extern uint8_t cfecha_capturada;         // 1 = the date was taken from the GPS
extern uint8_t ctimeout_captura_fecha;

// ---------------------------------------------------------------- core/timebase
// Countdowns (ISR: decremented while non-zero).
extern volatile uint8_t cretardo_en_milisegundos;     // 1 ms
extern volatile uint8_t ctimeout_eeprom;              // 1 ms
extern volatile uint8_t ctimeout_rx_kvx03;            // 1 ms
extern volatile uint8_t ctimeout_rx_sensor;           // 1 ms
extern volatile uint8_t cretardo_tiempo;              // 100 ms
extern volatile uint8_t csegundos_retardo_gestion_sd; // 1 s
extern volatile uint8_t ctimeout_reset_general;       // 1 s; reaching 0 restarts the device
extern volatile uint8_t ctimeout_salir_bucle;         // 1 s
// Action dividers (ISR only).
extern uint8_t cacciones_cada_10milisegundos;
extern uint8_t cacciones_cada_100milisegundos;
extern uint8_t cacciones_cada_segundo;
extern volatile int32_t CONT_TIEMPO_MICRO_ACUMULADO;  // ISR: 100 ms units, -1 = stopped
// DIP switch 1 (ISR).
extern volatile uint8_t cnivel_dip1;                  // 0 low, 1 high, 2 not yet known
extern volatile uint8_t cseguridad_dip1_high;
extern volatile uint8_t cseguridad_dip1_low;
extern volatile uint8_t cdebug_sensor;                // 1 = sensor debug output
// Internal UTC clock (ISR).
extern volatile uint8_t cdia_utc;
extern volatile uint8_t cmes_utc;
extern volatile uint8_t cano_utc;                     // two digits, 0 = no valid time
extern volatile uint8_t chora_utc;
extern volatile uint8_t cminuto_utc;
extern volatile uint8_t csegundo_utc;
extern const uint8_t cmeses[12];                      // month lengths of a common year
extern volatile uint8_t choras_sin_sincronizacion_gps; // ISR
extern volatile uint8_t cpeticion_nueva_hora;          // ISR: 1 = ask the GPS for the time
extern volatile uint8_t cmostramos_hora;               // ISR: 1 = print the clock
extern volatile uint8_t cnuevo_dia_pendiente;          // ISR: 1 = day-change writes due

// ---------------------------------------------------------------- params/i2c
extern uint8_t ceeprom_sin_respuesta;    // 1 = the chip failed a read: no more transfers

// ---------------------------------------------------------------- params/memoria
extern volatile uint8_t choras_sincronizacion_gps;    // ISR reads
extern int32_t CTE_PROCESAR_OLA_ALTURA_MINIMA;
extern int32_t CTE_PROCESAR_OLA_ALTURA_MAXIMA;
extern uint16_t CTE_PROCESAR_OLA_PERIODO_MINIMO;
extern uint16_t CTE_PROCESAR_OLA_PERIODO_MAXIMO;
extern int32_t CTE_INTERVALO_PROMEDIO;
extern uint8_t cfrecuencia_muestreo;
extern uint8_t csensor_con_gps;
extern uint8_t cg_impacto_leve;
extern uint8_t cg_impacto_medio;
extern uint8_t cg_impacto_grave;
extern uint16_t icanales_activados_sensor;
extern uint8_t CTE_FACTOR_CORRECCION_DIRECCION_STANDAR;
extern uint8_t CTE_METODO_DIRECCION;
extern uint8_t CTE_PORCENTAJE_FULL_SD;
extern uint16_t REINICIOS_24H;
extern uint8_t REINICIOS_24H_DIA;
extern uint8_t CTE_PERMITIR_ESCRITURA_SD;
extern uint8_t CTE_PERMITIR_ESCRITURA_SD_EEPROM;
extern uint16_t ContadorNumeroFicheros;
extern uint16_t CTE_NUMERO_MAXIMO_FICHEROS;
extern volatile uint8_t CTE_AJUSTE_RELOJ;             // ISR reads
extern int32_t CTE_VELOCIDAD_RELOJ;
extern uint32_t CTE_BAUDRATE_KVX;
extern uint8_t CTE_LIMITE_MAX_USO_SD;

// ---------------------------------------------------------------- console/comunicaciones_pc
extern const uint32_t lvalores_decimales[10];
extern const uint32_t lvalores_hexadecimales[8];
extern const char cvalores_ascii[16];
extern uint8_t ccalculo_checksum_nmea;
extern uint8_t cchecksum_nmea_kvx03;
extern uint16_t ibytes_a_escribir_sd[CANTIDAD_TIPOS_BUFFER];

// ---------------------------------------------------------------- console/test
extern const char m_test[];
extern const char m_info_sd[];
extern const char m_dip[];
extern const char m_gps_on[];
extern const char m_gps_off[];

// ---------------------------------------------------------------- waves
extern stwaves waves;
extern uint8_t CTE_METODO_DIRECCION_DEFINITIVA;
extern int32_t CTE_INTERVALO_PROMEDIO_INTERPRETADO;
extern volatile uint8_t CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET; // ISR sets
extern volatile uint8_t cRevision_Resets_24h;                // ISR sets
extern uint8_t CONT_TRAMAS_GPS;
// Set by the host telecommands, read by the sensor link and the wave analysis.
extern uint8_t CTE_MODO_TRANSPARENTE;    // sensor/sensor: 1 = sensor blocks go to the host port
extern uint8_t CTE_USO_APP_KVX03;        // waves/decodificacion: 1 = "#PTO," and "#OLA," lines to the host
// Record buffers the SD write cycle and the host telecommands read (sizes in constantes.h).
extern char cbuffer_raw[TAM_BUFFER_RAW + 1];          // waves/decodificacion
extern uint32_t ContNumPtosOla;                       // waves/decodificacion: raw point number
extern char cbuffer_wav[TAM_BUFFER_WAV + 1];          // waves/olas
extern char cbuffer_res[TAM_BUFFER_RES + 1];          // waves/promedio
extern char cbuffer_promedio[TAM_BUFFER_PROMEDIO + 1]; // waves/promedio
extern uint16_t ctam_trama_promedio;                  // waves/promedio
extern const uint16_t CTE_TAM_TRAMA_RES;              // waves/promedio: 78
// Sensor time stamps the clock-rate correction reads (waves/decodificacion).
extern int32_t TernaTiempos1;
extern int32_t tsIni;

// ---------------------------------------------------------------- gps/modulo_gps
extern stmodulo_gps modulo_gps;

// ---------------------------------------------------------------- storage/gestion_sd
extern uint8_t ctarjeta_sd_inicializada;
extern uint8_t resSdOk;
extern uint8_t ccreacion_nuevo_directorio;
extern uint16_t Intentos_Creacion_Directorio;
extern uint16_t Intentos_Creacion_Fichero;
extern uint8_t ccreacion_nuevo_fichero[3];
extern uint8_t cescritura_sd[3];
extern uint8_t crear_ficheros_axiliares;
