// Constants shared by the firmware's sources: board pins, port rates, buffer sizes, the
// EEPROM device and its variable map, and the limits of the stored parameters.
#pragma once

#include <stdint.h>

// ---------------------------------------------------------------- board pins
constexpr uint8_t PIN_ALIMENTACION_GPS = 17; // output: GPS receiver power, high = on
constexpr uint8_t PIN_LED_1 = 32;            // output: heartbeat, low 100 ms each second
constexpr uint8_t PIN_LED_2 = 33;            // output: second indicator, test routine only
constexpr uint8_t PIN_ENTRADA_1 = 21;        // plain inputs, configured and never read
constexpr uint8_t PIN_ENTRADA_2 = 15;
constexpr uint8_t PIN_ENTRADA_3 = 20;
constexpr uint8_t PIN_DIP1 = 28;             // DIP switches with pull-up: closed = low
constexpr uint8_t PIN_DIP2 = 29;
constexpr uint8_t PIN_DIP3 = 30;

// ---------------------------------------------------------------- serial ports (baud)
constexpr uint32_t BAUDIOS_CONSOLA = 115200;
constexpr uint32_t BAUDIOS_SENSOR = 115200;
constexpr uint32_t BAUDIOS_KVX_POR_DEFECTO = 38400; // host rate when no stored code applies
constexpr uint32_t BAUDIOS_KVX_TEST = 115200;       // host rate of the test routine's echo

// ---------------------------------------------------------------- reception blocks
constexpr uint16_t TAM_TRAMA_SENSOR_RX = 1024; // one block of sensor bytes
constexpr uint8_t TAM_TRAMA_RX_KVX03 = 128;    // one block from the host
constexpr uint8_t TAM_LINEA_CONSOLA = 32;      // console command line
constexpr uint8_t SILENCIO_RX_SENSOR_MS = 2;   // sensor block ends after 1..2 ms of silence
constexpr uint8_t SILENCIO_RX_KVX03_MS = 100;  // host block ends after 100 ms of silence
constexpr uint8_t SILENCIO_RX_KVX03_TEST_MS = 2;

// ---------------------------------------------------------------- record buffers
// Capacities in characters; each array has one more byte for the terminating zero that
// the record owners store after the counted characters.
constexpr uint8_t TIPO_BUFFER_RAW = 0;
constexpr uint8_t TIPO_BUFFER_WAV = 1;
constexpr uint8_t TIPO_BUFFER_RES = 2;
constexpr uint8_t TIPO_BUFFER_KVX03 = 3;
constexpr uint8_t TIPO_BUFFER_PROMEDIO = 4;
constexpr uint8_t CANTIDAD_TIPOS_BUFFER = 5;
constexpr uint16_t TAM_BUFFER_RAW = 1024;
constexpr uint16_t TAM_BUFFER_WAV = 248;
constexpr uint16_t TAM_BUFFER_RES = 248;
constexpr uint16_t TAM_BUFFER_KVX03 = 248;
constexpr uint16_t TAM_BUFFER_PROMEDIO = 79;

// Terminator codes of the field builders and console printers.
constexpr uint8_t TERMINADOR_NINGUNO = 0;
constexpr uint8_t TERMINADOR_LINEA = 1;   // carriage return and line feed

// ---------------------------------------------------------------- GPS receiver record
constexpr uint8_t TAM_FRAME_TX_GPS = 64;
constexpr uint16_t TAM_FRAME_RX_GPS = 420;

// ---------------------------------------------------------------- timebase
constexpr uint32_t VELOCIDAD_RELOJ_NOMINAL = 48000; // TC0 counts of 48 MHz per 1 ms tick
constexpr uint32_t VELOCIDAD_RELOJ_MINIMA = 46500;  // stored fixed rate accepted at start-up
constexpr uint32_t VELOCIDAD_RELOJ_MAXIMA = 49000;

// ---------------------------------------------------------------- EEPROM device
constexpr uint8_t DIRECCION_I2C_EEPROM = 0x50;
constexpr uint8_t TAM_PAGINA_EEPROM = 32;          // write page; a write never crosses one
constexpr uint8_t RETARDO_ESCRITURA_EEPROM_MS = 10; // wait after every write transaction
constexpr uint8_t TIMEOUT_LECTURA_EEPROM_MS = 4;    // per read attempt
constexpr uint8_t INTENTOS_LECTURA_EEPROM = 5;      // read attempts before the chip is given up
constexpr uint16_t LIMITE_CONTADOR_EEPROM = 65530;  // 2-byte counters above this are stored as 0

// ---------------------------------------------------------------- EEPROM variable map
// Addresses; the width of each field is given with its readers and writers.
constexpr uint16_t EE_HORAS_SINCRONIZACION_GPS = 0;  // 1 byte
constexpr uint16_t EE_ALTURA_MINIMA = 1;             // 2 bytes
constexpr uint16_t EE_ALTURA_MAXIMA = 3;             // 2 bytes
constexpr uint16_t EE_PERIODO_MINIMO = 5;            // 1 byte
constexpr uint16_t EE_PERIODO_MAXIMO = 6;            // 1 byte
constexpr uint16_t EE_INTERVALO_PROMEDIO = 7;        // 1 byte
constexpr uint16_t EE_FRECUENCIA_MUESTREO = 8;       // 1 byte
constexpr uint16_t EE_SENSOR_CON_GPS = 9;            // 1 byte
constexpr uint16_t EE_IMPACTO_LEVE = 10;             // 1 byte
constexpr uint16_t EE_IMPACTO_MEDIO = 11;            // 1 byte
constexpr uint16_t EE_IMPACTO_GRAVE = 12;            // 1 byte
constexpr uint16_t EE_CANALES_SENSOR = 13;           // 2 bytes
constexpr uint16_t EE_FACTOR_CORRECCION = 15;        // 1 byte
constexpr uint16_t EE_METODO_DIRECCION = 16;         // 1 byte
constexpr uint16_t EE_CONTADOR_REINICIOS = 17;       // 2 bytes
constexpr uint16_t EE_PORCENTAJE_SD = 19;            // 1 byte
constexpr uint16_t EE_REINICIOS_24H = 20;            // 2 bytes
constexpr uint16_t EE_REINICIOS_24H_DIA = 22;        // 1 byte
constexpr uint16_t EE_PERMITIR_ESCRITURA_SD = 23;    // 1 byte
constexpr uint16_t EE_CONTADOR_FICHEROS = 24;        // 2 bytes
constexpr uint16_t EE_TOPE_FICHEROS = 26;            // 2 bytes
constexpr uint16_t EE_AJUSTE_RELOJ = 28;             // 1 byte
constexpr uint16_t EE_VELOCIDAD_RELOJ = 29;          // 2 bytes
constexpr uint16_t EE_BAUDRATE_KVX = 31;             // 1 byte
constexpr uint16_t EE_ULTIMA_DIRECCION_BORRADO = 32; // end of the erase range 0..32
constexpr uint16_t EE_BAUDIOS_GPS = 1025;            // 1 byte, outside the erase range

// ---------------------------------------------------------------- parameter limits
constexpr uint8_t BAUDRATE_KVX_CODIGO_POR_DEFECTO = 5; // 38400 baud
constexpr uint8_t BAUDRATE_KVX_CODIGO_MAXIMO = 8;
constexpr int32_t ALTURA_OLA_LIMITE = 3000;            // cm
constexpr uint16_t PERIODO_OLA_LIMITE = 99;            // s
constexpr uint16_t REINICIOS_24H_PERMITIDOS = 30;      // restarts a day that still allow SD writing
