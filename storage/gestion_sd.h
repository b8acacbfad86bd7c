// SD storage: card start-up, the day directory and the per-file step of the write cycle.
// Main loop.
#pragma once

#include <stdint.h>

// Mounts the card and runs the write test. Placeholder: does nothing yet.
void inicializacion_sd();
// Opens or creates the current day's directory. Placeholder: does nothing yet.
void creacion_nuevo_directorio();
// One step of the write cycle for file kind ctipo (0 raw, 1 per-wave, 2 result): close,
// create or append by the kind's state. Placeholder: does nothing yet.
void gestion_fichero_sd(uint8_t ctipo);
// 1 when the data file of kind ctipo (0 raw, 1 per-wave, 2 result) exists on the card, the
// test the record builders make before marking a record for writing. Placeholder: 0, no
// file exists yet.
uint8_t existe_fichero_datos(uint8_t ctipo);
