// The averaging schedule: intervals of 10, 15, 20, 30 or 60 minutes that end one second
// past a multiple of the interval on the internal clock, the hourly check of the plan, and
// the difference of two sensor time stamps. Main loop.
#pragma once

#include <stdint.h>

extern uint8_t YY_ini, MM_ini, DD_ini;   // date the current interval started
extern uint8_t HHini, MMini, SSini;      // its start time; all 0 = no start held
extern uint8_t HHfin, MMfin, SSfin;      // planned end; all 0 = none. HHfin 24 or 25 briefly at midnight

// Minutes of a configured interval: 0/10 -> 10, 1/15 -> 15, 2/20 -> 20, 3 -> 30,
// 4/60 -> 60, anything else -> 30.
int32_t Interpretar_Intervalo_Promedio(int32_t IntPromedio);
// Marks the three log time stamps as not received (-1000).
void Inicializar_TernaTiempos();
// recalcular 1: the planned end becomes the next start and a new end is planned;
// 0: an end is planned only if none is; any other value: nothing.
void Determinar_Proxima_Hora_Final(uint8_t recalcular);
// At HH:00:15 (HH 1..22): clears a stale start or a missed or too distant end and plans anew.
void Revision_Tiempos();
// Microseconds from tsIniAux to tsFinAux on the sensor's wrapping 32-bit counter; 0 when
// tsFinAux is 0 (no end yet).
uint32_t Diferencia_Timespan(int32_t tsIniAux, int32_t tsFinAux);
