// Wave direction by the velocity method and by the drift method. Main loop.
//
// Directions are compass bearings in tenths of a degree, 0..3599, clockwise from north,
// turned by CTE_FACTOR_CORRECCION_DIRECCION_STANDAR half turns. With the heave positive
// down the detector's "crest" is the sea's trough, so trough-minus-crest velocity points
// where the waves travel; one half turn (the factor 1) gives where they come from.
#pragma once

#include <stdint.h>

// The firmware's value of pi (the decimal 3.14159265359 as a double).
constexpr double PI_OLAS = 3.14159265359;

// Direction of the closed wave from its trough and crest velocities; adds the difference
// to the interval sums and stores it in mVectorDirMetVel.
uint16_t Calculo_Direccion_Metodo_Velocidad();
// The same after removing each velocity component's drift over the wave.
uint16_t Calculo_Direccion_Metodo_Deriva();
// Detrended north (Vn) and east (Ve) velocity at the crest (V_t1) and at the trough (V_t2).
void Calculos_Deriva_Vn(float* V_t1, float* V_t2);
void Calculos_Deriva_Ve(float* V_t1, float* V_t2);
// Mathematical angle in degrees (counter-clockwise from east) to the stored direction;
// 9999 for an angle that is not a finite number.
uint16_t Tranformar_Angulo(float Angulo);
