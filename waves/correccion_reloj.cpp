// Placeholder for the clock-rate correction: the GPS job brings the measurement of the tick
// against the sensor's time stamps and GPS time. Until then the sample chain calls this and
// nothing changes.
#include "waves/correccion_reloj.h"

void Correccion_Reloj_porWaves() {}
