// The GPS receiver: record, start-up, configuration and sentence processing. Main loop.
#pragma once

// Start-up of the receiver record and power. Placeholder: does nothing yet.
void inicializacion_modulo_gps();
// One step of the receiver configuration. Placeholder: does nothing yet.
void configuracion_frames_gps();
// Receives one burst from the GPS port and processes its sentences. Placeholder: does
// nothing yet.
void procesamos_gps();
