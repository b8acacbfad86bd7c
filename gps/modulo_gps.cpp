// The GPS receiver. The record exists from the start because the 1 ms tick counts down
// its two countdowns; the three operations are placeholders that do nothing yet, called
// by the start-up, the main loop and the test routine in their places.
#include "gps/modulo_gps.h"

#include "declaraciones.h"

stmodulo_gps modulo_gps = {};

void inicializacion_modulo_gps() {}

void configuracion_frames_gps() {}

void procesamos_gps() {}
