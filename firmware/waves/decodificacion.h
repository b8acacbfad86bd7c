// Log decoding of the inertial sensor's frames into motion samples, the three-sample
// window, and the raw sample record. Main loop.
//
// A motion sample (stpunto) is six globals with the suffixes _0 .. _5:
//   _0 int32   sample number in the averaging interval (0 = empty window slot)
//   _1 int32   sensor time stamp of the navigation log taken, us (wraps at 2^32)
//   _2 uint16  heading, whole degrees 0..360
//   _3 int16   heave, whole centimetres, POSITIVE DOWN as the sensor gives it
//   _4 float   north velocity, m/s
//   _5 float   east velocity, m/s
#pragma once

#include <stdint.h>

#include "constantes.h"

constexpr uint8_t DATA_START_TRAMA = 6;            // payload offset inside a frame
constexpr int32_t TIEMPO_NO_RECIBIDO = -1000;      // log not received since the last sample
// The raw record is always this long: every field has a fixed width (velocities beyond
// +-99999.9999 are written as fixed texts of the same width).
constexpr uint16_t LONGITUD_REGISTRO_RAW = 65;

// ---------------------------------------------------------------- window (oldest .. newest)
extern int32_t TernaDatos_pos1_0, TernaDatos_pos2_0, TernaDatos_pos3_0;
extern int32_t TernaDatos_pos1_1, TernaDatos_pos2_1, TernaDatos_pos3_1;
extern uint16_t TernaDatos_pos1_2, TernaDatos_pos2_2, TernaDatos_pos3_2;
extern int16_t TernaDatos_pos1_3, TernaDatos_pos2_3, TernaDatos_pos3_3;
extern float TernaDatos_pos1_4, TernaDatos_pos2_4, TernaDatos_pos3_4;
extern float TernaDatos_pos1_5, TernaDatos_pos2_5, TernaDatos_pos3_5;

// ---------------------------------------------------------------- latest value per log
extern uint32_t lmuestras_formadas; // samples formed since start-up (three logs of one epoch)
extern int32_t ltiempo_muestra_formada; // the time stamp of the last of them
extern int32_t TernaTiempos0;   // Euler log time stamp
extern int32_t TernaTiempos1;   // ship-motion log time stamp
extern int32_t TernaTiempos2;   // navigation log time stamp taken for the sample
extern uint16_t TernaDatos0;    // heading, degrees
extern int16_t TernaDatos1;     // heave, cm
extern float TernaDatos2;       // north velocity, m/s
extern float TernaDatos3;       // east velocity, m/s

extern int32_t contPtosOlaActual;   // sample counter of the averaging interval
extern int32_t tsIni;               // first sample's time stamp in the interval, -1000 none
extern uint16_t mYaw;               // last heading, tenths of a degree (truncated)
extern uint8_t mFlagHeading_Pto;    // status bits of the last navigation log
extern uint8_t mFlagAlign_Pto;
extern int32_t TIEMPO_INI;          // interval bounds in sensor time while the clock is invalid
extern int32_t TIEMPO_FIN;
extern uint8_t DATA_START;
extern char cbuffer_raw[TAM_BUFFER_RAW + 1]; // raw records waiting for the card, zero-terminated
extern uint32_t ContNumPtosOla;     // running point number of the raw records

// Decodes one frame (from its first sync byte, clongitud_trama bytes) and, when an Euler,
// a navigation and a ship-motion log have all arrived, forms a sample and runs the chain.
void ProcesarTramaBinaria(const uint8_t* trama, uint8_t clongitud_trama);
// Field extraction; each returns 0 when its last field was read, 1 for a short frame.
uint8_t ProcesarTramaShipMotion(const uint8_t* trama, int32_t* timestamp, float* heave_cm,
                                uint8_t clongitud_trama);
uint8_t ProcesarTrama_Navegacion_Posicion_Velocidad(const uint8_t* trama, int32_t* timestamp,
                                                    float* vn, float* ve, uint8_t clongitud_trama);
// yaw_grados: the heading in degrees 0..360 (negative angles turned by a full circle).
uint8_t ProcesarTrama_AngulosEuler(const uint8_t* trama, int32_t* timestamp, float* yaw_grados,
                                   uint8_t clongitud_trama);
// Builds the raw record of the window's middle sample in cbuffer_raw and marks it for the
// card. A record still waiting for the card is kept: the new one is appended after it.
void Guardar_Datos_Procesados_RAW();
