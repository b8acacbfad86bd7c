// Start-up and the main loop, with the loop's blocks in their order of service.
#pragma once

#include <stdint.h>

// Brings up pins, ports, the 1 ms timebase, the EEPROM parameters, the banner, the wave
// analysis and the GPS receiver. Called once after power-up or reset.
void setup();
// The endless polling cycle; ends only on a restart request, which it answers by letting
// the watchdog restart the device.
void loop();

// The nine pins' modes (start-up and every pass of the loop; levels are not rewritten).
void configuracion_pines();
// Prints the internal clock between two lines of asterisks.
void mostramos_hora();
// Day-change work handed over by the tick: file counter to 0 in RAM and EEPROM, and a new
// day directory when SD writing is permitted by the stored flag.
void gestion_cambio_de_dia();
// The SD block: card start-up, day directory or the per-file step of each kind.
void gestion_tarjeta_sd();
// Collects one block of sensor bytes (until 2 ms of silence or 1024 bytes) and frames it.
void recepcion_trama_sensor();
// Moves the sensor port's bytes into the sensor block ahead of the main loop (start-up
// delays while cadelanto_sensor is 1).
void adelanta_bytes_sensor();
// Where the loop may be held (a delay, a card block, a console line): with cadelanto_sensor
// 1 the sensor's bytes go into the block ahead of the main loop, with 2 (the block is being
// processed) into a waiting area that opens the next block; with 0 nothing is done.
void atiende_puerto_sensor();
extern uint8_t cadelanto_sensor;
// Sends the pending host sentence, or collects one host block (until 100 ms of silence)
// and hands it to the telecommand handler.
void recepcion_bloque_kvx03(uint8_t csilencio_ms);
void comunicacion_kvx03();
