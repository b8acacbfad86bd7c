// The Cortex-M0 core's vector table for the QEMU image. The replay harness uses no
// interrupt (its tick is virtual); a fault ends the run with an error over semihosting.
#include <stdint.h>

#include "replay.h"

extern "C" {
extern uint32_t __stack_top;
[[noreturn]] void Reset_Handler();

[[noreturn]] void Fault_Handler() {
    io_report("fault: the run stopped on a processor exception");
    io_exit(3);
}

using Vector = void (*)();
__attribute__((section(".vectors"), used)) const Vector g_vectors[16] = {
    reinterpret_cast<Vector>(&__stack_top), Reset_Handler, Fault_Handler, Fault_Handler,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, Fault_Handler, nullptr, nullptr,
    Fault_Handler, Fault_Handler};
}
