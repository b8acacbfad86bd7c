// Correction of the tick's rate: the TC0 compare value CTE_VELOCIDAD_RELOJ (counts of the
// 48 MHz clock per 1 ms tick) measured against the sensor's time stamps and against GPS
// time between two captures. Main loop.
#pragma once

#include <stdint.h>

// Limits of every corrected compare value: 46500..49500 counts, about 3 % either way of
// the nominal 48000.
constexpr int32_t VELOCIDAD_RELOJ_CORREGIDA_MINIMA = 46500;
constexpr int32_t VELOCIDAD_RELOJ_CORREGIDA_MAXIMA = 49500;
// Firmware time of one sensor-time measurement: it ends past 600 units of 100 ms (60 s).
constexpr int32_t CUENTA_MEDIDA_RELOJ = 600;
// A GPS comparison whose two clocks disagree by no more than this many seconds changes nothing.
constexpr int32_t TOLERANCIA_RELOJ_GPS_S = 15;

extern uint8_t Tiempo_Ajustar_Hora;           // 1 = a correction is pending
extern uint8_t Tiempo_Capturar_Hora_Inicial;  // 1 = start a sensor-time measurement next
extern uint8_t Tiempo_Revision_Hora_GPS;      // 1 = a GPS comparison is pending
extern int32_t Tiempo_SBG_Ini;                // sensor time stamps of the measurement, us
extern int32_t Tiempo_SBG_Fin;
extern int32_t Tiempo_SBG_Diferencia;
extern uint32_t CONT_TIEMPO_MICRO_FINAL;      // firmware count at its end, 100 ms units
extern double Tiempo_Calculo;
extern int32_t Tiempo_Diferencia_gps;         // GPS seconds between two captures
extern int32_t Tiempo_Diferencia_Comparativa; // firmware-clock seconds over the same span
extern int32_t Tiempo_Resta;
// Previous GPS capture (day 0 = none yet) and the firmware's own clock read at a later one.
extern uint8_t cdia_gps_anterior, chora_gps_anterior, cminuto_gps_anterior, csegundo_gps_anterior;
extern uint8_t cdia_comparativa, chora_comparativa, cminuto_comparativa, csegundo_comparativa;

// Called for every complete motion sample while CTE_AJUSTE_RELOJ is not 0: runs a pending
// GPS comparison, or starts, or ends and applies, a 60 s sensor-time measurement.
void Correccion_Reloj_porWaves();
