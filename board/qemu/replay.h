// The board-less replay harness: the firmware on a board that exists only as the platform
// operations of platform.h, fed with a recorded sensor stream (ondavix-sim --record-sensor)
// in virtual time. The same source runs on the host (io_host.cpp) and in QEMU's Cortex-M0
// (io_semihosting.cpp); only the few machine services below differ between the two.
//
// Time model: the CPU is infinitely fast; every platform call costs 1 us of virtual time;
// after 8 polls in a row that find nothing, time jumps to the next sensor byte or the next
// TC0 match. The TC0 interrupt runs at call boundaries, never inside itself. So what the
// firmware does depends only on the stream, never on how fast the machine below it runs.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---- machine services (one implementation per machine)
// Files: handle >= 0, or -1. Reads return the bytes read (0 at the end, -1 on error).
int io_open(const char* path, bool for_writing);
int io_read(int handle, uint8_t* dst, int n);
bool io_write(int handle, const uint8_t* src, int n);
void io_close(int handle);
void io_report(const char* text);          // one line for whoever runs the harness
void io_counter_start();                   // starts (and calibrates) the instruction count
uint64_t io_instructions();                // instructions executed so far; 0 where not counted
[[noreturn]] void io_exit(int code);

// ---- the harness
// Arguments: STREAM CONSOLE_OUT HOST_OUT [dip1=closed|open] [idle]. "idle" plays the
// stream's timeline without handing its bytes to the sensor port (the baseline of the
// instruction count). Returns only on an argument error (after reporting it).
void replay_main(int argc, const char* const* argv);
