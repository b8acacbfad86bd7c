// Start-up shared by the Cortex-M0 images (the SAML21 board and the QEMU board): the
// reset handler copies .data, clears .bss, lets the board bring up its clocks, runs the
// static constructors and then the board's main. Also the newlib hooks the images need:
// a heap that stops at its limit, and exit-time registration that does nothing.
#include <stddef.h>
#include <stdint.h>
#include <errno.h>

extern "C" {
extern uint32_t __etext, __data_start, __data_end, __bss_start, __bss_end;
extern uint8_t __heap_start, __heap_end;
extern void (*__preinit_array_start[])();
extern void (*__preinit_array_end[])();
extern void (*__init_array_start[])();
extern void (*__init_array_end[])();

void board_early_init();      // clocks and wait states, before any constructor
[[noreturn]] void board_main(); // setup() then loop() for ever

[[noreturn]] void Reset_Handler() {
    const uint32_t* src = &__etext;
    for (uint32_t* dst = &__data_start; dst < &__data_end;) *dst++ = *src++;
    for (uint32_t* dst = &__bss_start; dst < &__bss_end;) *dst++ = 0;
    board_early_init();
    for (auto* f = __preinit_array_start; f < __preinit_array_end; ++f) (*f)();
    for (auto* f = __init_array_start; f < __init_array_end; ++f) (*f)();
    board_main();
}

// malloc's memory: from the end of .bss up to the stack's reserve, never past it.
void* _sbrk(ptrdiff_t increment) {
    static uint8_t* brk = &__heap_start;
    if (increment > &__heap_end - brk || brk + increment < &__heap_start) {
        errno = ENOMEM;
        return reinterpret_cast<void*>(-1);
    }
    uint8_t* old = brk;
    brk += increment;
    return old;
}

// The firmware never returns to a caller that would run static destructors: registering
// them would only keep the exit machinery and a table in the image. __dso_handle, which
// the registrations name, normally comes with the compiler's start files, left out here.
__attribute__((visibility("hidden"))) void* __dso_handle = &__dso_handle;
int __aeabi_atexit(void*, void (*)(void*), void*) { return 0; }
int __cxa_atexit(void (*)(void*), void*, void*) { return 0; }
}
