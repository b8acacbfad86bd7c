// The 1 ms timebase: the TC0 timer, its interrupt with the periodic actions, the internal
// UTC clock and the two blocking delays built on the tick's countdowns.
#pragma once

#include <stdint.h>

// Stops and programs TC0: prescaler 1, 2, 4, 8, 16, 64, 256 or 1024 (any other value
// divides by 1), match-frequency mode with compare value ccVal (counts of 48 MHz per tick).
// Leaves the timer stopped. Main loop.
void setup_timerTC0(uint32_t prescaler, uint32_t ccVal);
// Starts TC0 and its interrupt. Main loop.
void start_timerTC0();
// The tick: countdowns, 10 ms / 100 ms / 1 s actions, heartbeat, DIP switch 1, clock. ISR.
void interrupcion_timer_cada_miliseg();
// Blocks for ctiempo ticks of 1 ms (0 counts as 1), feeding the watchdog. Main loop.
void retardo_milisegundos(uint8_t ctiempo);
// Blocks for ctiempo tenths of a second (0 counts as 1), feeding the watchdog. Main loop.
void retardo_tiempo(uint8_t ctiempo);
// Advances the internal clock by one minute, with the hour, date and day-change work. ISR.
void refrescamos_reloj_interno();
