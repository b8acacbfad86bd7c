// Correction of the tick's rate against the sensor's time stamps and GPS time. Main loop.
#pragma once

// Called for every complete motion sample while CTE_AJUSTE_RELOJ is not 0.
void Correccion_Reloj_porWaves();
