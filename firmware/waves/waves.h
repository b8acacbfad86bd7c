// Wave analysis and time keeping: the analysis state, its start-up, the per-sample driver
// and the reset accounting. Main loop.
#pragma once

#include <stdint.h>

// The value written where a configuration produces no number (a direction method not in
// force, a direction that could not be computed).
constexpr uint16_t VALOR_NO_DISPONIBLE = 9999;

// ---------------------------------------------------------------- interval state
extern int32_t nOlas;                  // accepted waves stored in the interval
extern uint16_t* mVectorAlt;           // per wave: height, cm
extern uint16_t* mVectorPer;           // per wave: period, tenths of a second
extern uint16_t* mVectorDirMetVel;     // per wave: direction, velocity method, tenths of a degree
extern uint16_t* mVectorDirMetDer;     // per wave: direction, drift method
// Entries each array holds (0 when its allocation failed).
extern uint32_t lentradas_mVectorAlt;
extern uint32_t lentradas_mVectorPer;
extern uint32_t lentradas_mVectorDirMetVel;
extern uint32_t lentradas_mVectorDirMetDer;
extern int32_t mVectorCont;
extern uint16_t mAltMaxOla;            // cm
extern uint16_t mPeriodoPico;          // tenths of a second
extern uint16_t mPeriodoMax;
extern uint32_t mAltPromedio;          // sum, then mean, of the heights
extern uint32_t mPeriodoPromedio;      // sum, then mean, of the periods
extern float mVel_SumNorte, mVel_SumEste;   // velocity-method differences, m/s
extern float mDer_SumNorte, mDer_SumEste;   // drift-method differences, m/s
extern uint16_t mFlagHeading;          // per wave: count, then percentage
extern uint16_t mFlagAlign;
extern uint32_t mFlagHeadingPromedio;  // sums of the per-wave percentages
extern uint32_t mFlagAlignPromedio;
extern uint16_t CONTADOR_OLAS_DESCARTADAS;  // 65535 at interval start: first discard makes 0
extern uint8_t CONTADOR_CERO_OLAS;     // consecutive intervals without waves
extern int32_t tsFin;                  // time stamp of the last wave end
extern uint8_t TENGO_HORA_VALIDA;      // 1 while the internal clock has a year
// Accepted waves of the interval that found a per-wave array unable to grow.
extern uint16_t iolas_sin_memoria;
// Per kind (0 raw, 1 per-wave): records that found their buffer full while earlier ones
// waited for the card, counted until the card takes the buffer again.
extern uint32_t lregistros_perdidos_sd[2];

// Start-up of the wave analysis, after the parameters are loaded: empties the analysis
// state, prints the parameter dump and counts this start.
void Inicializar();
// The wave analysis of one new sample: detection, closing of a wave, interval end.
void ProcesarTernaDatos();
// Adds this start to the stored total reset count and prints the counts.
void Actualizar_Numero_Reinicios();
// Daily review of the reset count: more than 30 restarts in the clock's day forbid SD
// writing until the next day.
void Revision_Resets_24h();

// Readies buffer ctipo (TIPO_BUFFER_RAW or TIPO_BUFFER_WAV) for a record of up to
// ilongitud characters. When the card has taken the last record the buffer starts empty;
// while records still wait the new one goes after them. Returns 0 when it does not fit:
// the record is then lost, counted and reported.
uint8_t Preparar_Buffer_Registro(uint8_t ctipo, uint16_t ilongitud);
// Stores ivalor in entry nOlas - 1 of a per-wave array holding *plentradas entries and grows
// the array to nOlas + 1 entries, the spare one being for the next wave. A failed growth
// prints pcmensaje_error and leaves the array as it was. Returns 1 if the value was stored.
uint8_t Guardar_Entrada_Vector_Ola(uint16_t** ppvector, uint32_t* plentradas, uint16_t ivalor,
                                   const char* pcmensaje_error);
// 1 when every per-wave array that the method in force fills has an entry for one more wave.
uint8_t Espacio_Para_Nueva_Ola();
