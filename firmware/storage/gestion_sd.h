// SD storage: card start-up with its write test, occupation, the day directory, the three
// data files (raw samples, per-wave records, interval results) and the per-file step of
// the write cycle. Main loop only: nothing here may run in the timer interrupt.
#pragma once

#include <stdint.h>

#include "fat/fat.h"

constexpr uint8_t PIN_CS_SD = 19;                 // card chip select of the file system
constexpr uint32_t SPI_RELOJ_SD = 2000000;        // SPI clock, Hz
constexpr uint8_t PORCENTAJE_SD_AUSENTE = 112;    // CTE_PORCENTAJE_FULL_SD: no card
constexpr uint8_t PORCENTAJE_SD_DESCONOCIDO = 255; // CTE_PORCENTAJE_FULL_SD: never measured
constexpr uint8_t PORCENTAJE_SD_RECUENTO_LARGO = 111; // stored value that allows 44 s of count
constexpr uint8_t RETARDO_REINTENTO_SD_S = 60;    // hold-off after a failed start, seconds
constexpr uint16_t MAXIMO_INTENTOS_SD = 20;       // directory or file attempts before giving up
constexpr uint8_t ENTRADAS_BUSQUEDA_RES = 5;      // directory entries searched for a result file
constexpr uint16_t MODO_FICHERO_DATOS = 521;      // O_WRITE | O_APPEND | O_CREAT
constexpr uint32_t PERIODO_SYNC_RAW_MS = 1000;    // raw records reach the card at least this often
constexpr uint8_t TAM_NOMBRE_DIRECTORIO = 7;      // "231207" and its terminator
constexpr uint8_t TAM_NOMBRE_FICHERO = 32;        // "/231207/" + 12-character name + terminator

extern FatVolume volumen_sd;
extern File ffichero_raw;
extern File ffichero_wav;
extern File ffichero_res;
extern char Sdirectorio[TAM_NOMBRE_DIRECTORIO];
extern char NOMBRE_FICHERO_RAW[TAM_NOMBRE_FICHERO];
extern char NOMBRE_FICHERO_WAV[TAM_NOMBRE_FICHERO];
extern char NOMBRE_FICHERO_RES[TAM_NOMBRE_FICHERO];
extern uint8_t cbytes_nombre_fichero;

// Mounts the card and runs the write test with the marker file "/_sd/escritura_sd.txt".
// Called by the write cycle while ctarjeta_sd_inicializada is 0.
void inicializacion_sd();
// Occupation of the card in percent (0..100), also stored in CTE_PORCENTAJE_FULL_SD and at
// EEPROM address 19. 0 when the free-cluster count fails twice.
uint8_t espacio_ocupado_SD();
// 1 while the card's free count goes on in slices (each call reads a few FAT blocks).
uint8_t recuento_libres_en_curso();
// Every main-loop pass: the start-up occupation, once the count it waits for is known.
void ocupacion_pendiente_sd();
// Opens or creates the current day's directory. Called by the write cycle while
// ccreacion_nuevo_directorio is 1.
void creacion_nuevo_directorio();
// Creates or reopens the data file of kind ctipo (0 raw, 1 per-wave, 2 result).
void creacion_nuevo_fichero(uint8_t ctipo);
// Looks among the first entries of the day directory for a result file to append to.
void recuperar_fichero_RES_si_existe();
// One step of the write cycle for file kind ctipo (0 raw, 1 per-wave, 2 result): close,
// create or append by the kind's state.
void gestion_fichero_sd(uint8_t ctipo);
// 1 when the data file of kind ctipo (0 raw, 1 per-wave, 2 result) exists on the card, the
// test the record builders make before marking a record for writing.
uint8_t existe_fichero_datos(uint8_t ctipo);

// Name builders: append at position cbytes_nombre_fichero of pctrama and advance it.
void inserto_bytes(char* pctrama, char cdato);
// laux as exactly cnumero_cifras decimal digits with leading zeros (laux < 10^cnumero_cifras).
void inserto_variable(char* pctrama, uint32_t laux, uint8_t cnumero_cifras);
void inserto_mensaje(char* pctrama, const char* pcmensaje);
