// A tiny firmware image for testing the simulated board's boot and reset on their own:
// it counts its boots in a global that a fresh image must bring back to 7, blinks pin 32
// from the timer interrupt and halts (without feeding the watchdog) when told over the
// console.
#include "platform.h"

int g_probe_value = 7;           // changed at run time; back to 7 after every reset
volatile uint32_t g_probe_ticks = 0;

extern "C" void TC0_Handler() {
    timer_tc0_acknowledge();
    ++g_probe_ticks;
    if (g_probe_ticks % 500 == 0) digitalWrite(32, (g_probe_ticks / 500) & 1);
}

void setup() {
    pinMode(32, OUTPUT);
    Serial1.begin(115200);
    timer_tc0_setup(1, 48000);
    timer_tc0_start();
    sodaq_wdt_enable(WDT_PERIOD_1X);
    Serial1.print("value=");
    Serial1.println(g_probe_value);
    g_probe_value = 8;
}

void loop() {
    sodaq_wdt_reset();
    if (Serial1.available()) {
        int c = Serial1.read();
        if (c == 'H') halt_until_watchdog();
        if (c == 'S') for (;;) { Serial1.available(); } // polls but never feeds the watchdog
    }
}
