// The parameter store: per-variable EEPROM accessors, the start-up load with its range
// repair, the default writers and the host baud-rate code. Main loop only.
#pragma once

#include <stdint.h>

// ---------------------------------------------------------------- accessors
// Each writes one field of the variable map; the caller keeps the RAM copy itself.
// Counters above 65530 are stored as 0.
void escritura_variable_contador_reinicios(uint16_t contador);       // 17, 2 bytes
void escritura_variable_porcentaje_SD(uint8_t valor);                // 19, 1 byte
void escritura_variable_contador_reinicios_24H(uint16_t contador);   // 20, 2 bytes
void escritura_variable_contador_reinicios_24H_DIA(uint8_t valor);   // 22, 1 byte
void escritura_variable_permitir_escritura_SD(uint8_t valor);        // 23, 1 byte
void escritura_variable_contador_Ficheros(uint16_t contador);        // 24, 2 bytes
void escritura_variable_Tope_Maximo_Ficheros(uint16_t contador);     // 26, 2 bytes
void escritura_variable_permitir_ajuste_reloj(uint8_t valor);        // 28, 1 byte
void escritura_variable_Velocidad_Reloj(uint16_t valor);             // 29, 2 bytes
void escritura_variable_Baudrate_KVX(uint8_t valor);                 // 31, 1 byte
uint16_t lectura_variable_contador_reinicios();
uint8_t lectura_variable_porcentaje_SD();
uint8_t lectura_variable_permitir_escritura_SD();
uint16_t lectura_variable_Tope_Maximo_Ficheros();
uint8_t lectura_variable_permitir_ajuste_reloj();
uint8_t lectura_variable_Baudrate_KVX();

// Writes the configuration group (addresses 0, 15, 16, 1, 3, 5..13) from RAM.
void escritura_variables();

// ---------------------------------------------------------------- start-up load
// Loads every parameter into RAM, writes defaults over a blank chip, repairs and writes
// back out-of-range values and fixes the timer rate when clock correction is off.
void lectura_de_variables();
// Blank detection, defaults and range repair; part of lectura_de_variables.
void revision_lectura_variables();

// ---------------------------------------------------------------- default writers
void grabacion_parametros_por_defecto_configuracion();
void grabacion_parametros_por_defecto_secundarios();
// Variant for the host telecommands that prepare the SD card (nTelemando 13, 14 or 23).
void grabacion_parametros_por_defecto_secundarios_al_inicializar_SD(uint8_t nTelemando);

// ---------------------------------------------------------------- host baud rate
// Baud of a stored host code 0..8, or -1 for any other code.
int32_t transformacion_Baudrate_KVX(uint8_t valor);
// Reopens the host port at the stored code's rate: 1 if applied, 0 if not.
uint8_t Establecer_Baudrate_KVX();
