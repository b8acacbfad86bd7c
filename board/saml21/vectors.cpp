// The SAML21's vector table: the core's exceptions and the 29 peripheral interrupts
// (datasheet, nested vector interrupt controller table). Handlers this board does not
// define spin in Default_Handler until the watchdog restarts the device.
#include <stdint.h>

extern "C" {
extern uint32_t __stack_top;
[[noreturn]] void Reset_Handler();
void Default_Handler() { for (;;) {} }
#define WEAK_DEFAULT __attribute__((weak, alias("Default_Handler")))
void NMI_Handler() WEAK_DEFAULT;
void HardFault_Handler() WEAK_DEFAULT;
void SVC_Handler() WEAK_DEFAULT;
void PendSV_Handler() WEAK_DEFAULT;
void SysTick_Handler() WEAK_DEFAULT;
void SERCOM0_Handler() WEAK_DEFAULT;
void SERCOM1_Handler() WEAK_DEFAULT;
void SERCOM2_Handler() WEAK_DEFAULT;
void SERCOM3_Handler() WEAK_DEFAULT;
void SERCOM4_Handler() WEAK_DEFAULT;
void SERCOM5_Handler() WEAK_DEFAULT;
void TC0_Handler() WEAK_DEFAULT;

using Vector = void (*)();
__attribute__((section(".vectors"), used)) const Vector g_vectors[16 + 29] = {
    reinterpret_cast<Vector>(&__stack_top), Reset_Handler, NMI_Handler, HardFault_Handler,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, SVC_Handler, nullptr, nullptr,
    PendSV_Handler, SysTick_Handler,
    // 0 SYSTEM .. 7 EVSYS
    Default_Handler, Default_Handler, Default_Handler, Default_Handler,
    Default_Handler, Default_Handler, Default_Handler, Default_Handler,
    // 8..13 SERCOM0..5, 14..16 TCC0..2, 17..21 TC0..4
    SERCOM0_Handler, SERCOM1_Handler, SERCOM2_Handler, SERCOM3_Handler, SERCOM4_Handler,
    SERCOM5_Handler, Default_Handler, Default_Handler, Default_Handler, TC0_Handler,
    Default_Handler, Default_Handler, Default_Handler, Default_Handler,
    // 22 ADC .. 28
    Default_Handler, Default_Handler, Default_Handler, Default_Handler, Default_Handler,
    Default_Handler, Default_Handler};
}
