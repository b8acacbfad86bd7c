// The console line editor, the console command of the main loop and the bench test
// routine. Main loop.
#pragma once

#include <stdint.h>

// Takes the bytes waiting on the console port into waves.cbuffer_rx, echoing each one,
// with backspace editing; returns 1 when a carriage return completed the line (the bytes
// after it stay in the port), 0 when the port ran empty first.
uint8_t lectura_linea_consola();
// Discards every byte waiting on the console port and empties the line.
void descarte_linea_consola();
// 1 if the completed console line starts with the command text pccomando.
uint8_t linea_consola_es(const char* pccomando);
// The main loop's console block: "TEST" starts the test routine.
void gestion_consola();
// The bench test routine: indicators, SD start-up, DIP switches, GPS, host echo. Never
// returns; only a restart leaves it.
[[noreturn]] void rutina_test();
// One host-port echo step of the test routine.
void comunicacion_kvx03_test();
