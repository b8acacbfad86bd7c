// Interval statistics, the result record, the result sentence and the result summary, the
// intervals without waves and the restart they lead to. Main loop.
#pragma once

#include <stdint.h>

#include "constantes.h"

// Length of a result summary with one direction method: the fields of a "$RES" sentence.
constexpr uint16_t LONGITUD_RESUMEN_UN_METODO = 78;

extern char cbuffer_res[TAM_BUFFER_RES + 1];            // result record, zero-terminated
extern char cbuffer_promedio[TAM_BUFFER_PROMEDIO + 1]; // result summary, zero-terminated
extern uint16_t ctam_trama_promedio;  // characters of a complete summary; 0 when none is held whole
extern const uint16_t CTE_TAM_TRAMA_RES;

// Statistics, result texts and flags of the ending interval.
void Calcular_Parametros_Salida_Ola_Promedio();
// Empties the interval state (the base vectors of a wave in progress are kept).
void Comenzar_Proceso_Nuevo_Promedio_Olas();
// Raw and per-wave files that exist are to be closed and new ones opened for the next
// interval.
void Preparar_Ficheros_Nuevo_Promedio();
// Sorts u ascending between positions izq and der inclusive, permuting v alongside.
void quicksort(uint16_t* u, uint16_t* v, int izq, int der);
// One partition step around u[izq]; returns the pivot's final position.
int pivot(uint16_t* u, uint16_t* v, int izq, int der);
