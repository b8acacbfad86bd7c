// Wave detection on the heave signal and the per-wave parameters and record. Main loop.
//
// A wave runs from one upward zero crossing of the heave (positive down, as the sensor
// gives it) to the next. Nine base vectors, each a copy of one window sample (six globals
// _0 .. _5 as in waves/decodificacion.h; unset while _0 is -1), mark it out:
//   vMax1     the crest before this wave (the previous wave's crest)
//   vIniOla   the wave's start, moved to any later crossing before the crest
//   vMax2     the wave's crest: the highest positive local maximum after the start
//   vIntMinVn, vIntMaxVn, vIntMinVe, vIntMaxVe   lowest and highest north and east
//             velocities from the first crest up to and including the first trough
//   vMin      the wave's trough: the deepest negative local minimum after the crest
//   vFinOla   the wave's end: the first upward crossing after a trough
#pragma once

#include <stdint.h>

#include "constantes.h"

// Widest per-wave record: both direction methods in force.
constexpr uint16_t LONGITUD_MAXIMA_REGISTRO_WAV = 55;

extern int32_t vIniOla_0, vFinOla_0, vMax1_0, vMax2_0, vMin_0;
extern int32_t vIntMinVn_0, vIntMaxVn_0, vIntMinVe_0, vIntMaxVe_0;
extern int32_t vIniOla_1, vFinOla_1, vMax1_1, vMax2_1, vMin_1;
extern int32_t vIntMinVn_1, vIntMaxVn_1, vIntMinVe_1, vIntMaxVe_1;
extern uint16_t vIniOla_2, vFinOla_2, vMax1_2, vMax2_2, vMin_2;
extern uint16_t vIntMinVn_2, vIntMaxVn_2, vIntMinVe_2, vIntMaxVe_2;
extern int16_t vIniOla_3, vFinOla_3, vMax1_3, vMax2_3, vMin_3;
extern int16_t vIntMinVn_3, vIntMaxVn_3, vIntMinVe_3, vIntMaxVe_3;
extern float vIniOla_4, vFinOla_4, vMax1_4, vMax2_4, vMin_4;
extern float vIntMinVn_4, vIntMaxVn_4, vIntMinVe_4, vIntMaxVe_4;
extern float vIniOla_5, vFinOla_5, vMax1_5, vMax2_5, vMin_5;
extern float vIntMinVn_5, vIntMaxVn_5, vIntMinVe_5, vIntMaxVe_5;

extern char cbuffer_wav[TAM_BUFFER_WAV + 1];  // per-wave records waiting for the card, zero-terminated
extern uint8_t yy_ola, mm_ola, dd_ola, HH_ola, MM_ola;  // clock when the last wave closed

// Judges the window's middle sample: may fix base vectors, and discards (and restarts
// from its end) a completed wave outside the height and period limits.
void Detectar_Vectores_Base();
// 1 when all nine base vectors are set.
int Vectores_Base_Fijados();
// Unsets all nine base vectors.
void Inicializar_Vectores_Base();
// The next wave starts at this wave's end, with this wave's crest as its previous crest.
void Comenzar_Proceso_Nueva_Ola();
// Height, period, directions and quality of the closed wave (entry nOlas - 1), its
// interval sums, its record and its console and host lines.
void Calcular_Parametros_Salida_Ola();
