// The board operations the firmware calls in every pass of its loop and every byte it
// waits for: a pin's mode and level set again, a port's queue looked at, the watchdog fed,
// the clock read, the tick acknowledged. Each is a few instructions of the board's inline
// paths (board.h, sim_uart.h).
//
// This file is built twice: into the simulated board (for a firmware linked with it) and
// into the firmware image itself, where link-time optimisation puts those few instructions
// in the firmware's own code instead of a call into the simulator each time. Both run the
// same code on the same board object, so the virtual time they keep is the same.
#include "platform.h"

#include "board/sim/board.h"
#include "board/sim/sim_uart.h"

using sim::Board;

void pinMode(uint8_t pin, uint8_t mode) { Board::current().pin_mode_set(pin, mode); }
void digitalWrite(uint8_t pin, uint8_t level) { Board::current().pin_write(pin, level); }
int digitalRead(uint8_t pin) { return Board::current().pin_read(pin); }

// A loop that polls a clock sees it move: an idle jump goes no further than the clock's
// next change.
uint32_t millis() {
    Board& b = Board::current();
    b.poll_until(b.next_millis_change());
    return b.millis_now();
}

void timer_tc0_acknowledge() { Board::current().call_neutral(); }

int HardwareSerial::available() {
    Board& b = Board::current();
    return b.uart(unit_).available(b);
}
int HardwareSerial::read() {
    Board& b = Board::current();
    return b.uart(unit_).read(b);
}
int HardwareSerial::peek() {
    Board& b = Board::current();
    return b.uart(unit_).peek(b);
}

void sodaq_wdt_reset() { Board::current().wdt_feed(); }
