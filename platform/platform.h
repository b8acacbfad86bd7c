// The board API: everything the firmware may ask of the microcontroller board.
//
// The firmware includes this header and nothing of the board below it. Exactly one
// implementation is linked into each build: the real SAML21 board support, or the
// simulated board of board/sim. Units, wrap-around and blocking are stated on each
// declaration; "ISR-safe" marks the operations the 1 ms timer interrupt may call.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "print.h"

// ---------------------------------------------------------------- pins
enum : uint8_t { INPUT = 0, OUTPUT = 1, INPUT_PULLUP = 2 };
enum : uint8_t { LOW = 0, HIGH = 1 };

void pinMode(uint8_t pin, uint8_t mode);      // takes effect at once
void digitalWrite(uint8_t pin, uint8_t level); // ISR-safe
int digitalRead(uint8_t pin);                  // 0 or 1; ISR-safe

// ---------------------------------------------------------------- time
uint32_t millis();             // ms since power-up, from the 48 MHz clock; wraps after 49.7 days
uint32_t micros();             // us since power-up, from the 48 MHz clock; wraps after 71.6 minutes
void delay(uint32_t ms);       // blocks for ms milliseconds of the 48 MHz clock; does not feed the watchdog

// The TC0 timer: a 16-bit counter on the 48 MHz clock, cleared on compare match 0, whose
// match raises the interrupt that calls TC0_Handler() (defined by the firmware).
void timer_tc0_setup(uint16_t divisor, uint16_t compare); // stops the timer; divisor 1..1024
void timer_tc0_start();                                   // counter from 0, interrupt enabled
void timer_tc0_stop();
void timer_tc0_acknowledge();                             // clears the match flag; ISR-safe
extern "C" void TC0_Handler();                            // firmware: the timer interrupt

// ---------------------------------------------------------------- serial ports
// Receive queues are filled in the background by the board; the firmware only polls them.
// write() blocks while the transmit queue is full; bytes leave at the port's baud rate.
class HardwareSerial : public Print {
public:
    explicit HardwareSerial(uint8_t unit) : unit_(unit) {}
    void begin(uint32_t baud);  // 8N1; empties both queues
    void end();
    int available();            // received bytes waiting
    int read();                 // next received byte, or -1 when none
    int peek();
    void flush();               // blocks until the transmit queue has left the pin
    size_t write(uint8_t b) override; // ISR-safe (never blocks inside the interrupt)
    size_t write(const uint8_t* data, size_t n) override;
    using Print::write;
    explicit operator bool() const { return true; }

private:
    uint8_t unit_;
};

extern HardwareSerial Serial0; // host telemetry unit
extern HardwareSerial Serial1; // console
extern HardwareSerial Serial2; // inertial sensor
extern HardwareSerial Serial3; // GPS receiver

// ---------------------------------------------------------------- I2C master
class TwoWire {
public:
    void begin();
    void beginTransmission(uint8_t address);
    size_t write(uint8_t b);             // queues a byte (32-byte transmit buffer)
    uint8_t endTransmission();           // blocks while the bytes go out at 100 kHz; 0 = acknowledged
    uint8_t requestFrom(uint8_t address, uint8_t count); // blocks; bytes received (0 on NACK)
    int available();
    int read();                          // -1 when none left
};
extern TwoWire Wire;

// ---------------------------------------------------------------- watchdog
// Periods of the watchdog: 2^(n+3) cycles of its 1.024 kHz clock for n = 0..11, the CONFIG.PER
// field of the SAML21 (WDT_PERIOD_1X = 7: 1024 cycles, 1 s).
enum wdt_period : uint8_t {
    WDT_PERIOD_1DIV64 = 1, WDT_PERIOD_1DIV32 = 2, WDT_PERIOD_1DIV16 = 3, WDT_PERIOD_1DIV8 = 4,
    WDT_PERIOD_1DIV4 = 5, WDT_PERIOD_1DIV2 = 6, WDT_PERIOD_1X = 7, WDT_PERIOD_2X = 8,
    WDT_PERIOD_4X = 9, WDT_PERIOD_8X = 10
};
void sodaq_wdt_enable(wdt_period period); // (re)arms the countdown
void sodaq_wdt_reset();                    // feeds it
// Spins without feeding the watchdog until it restarts the device; never returns.
// Callable from the main loop and from the timer interrupt.
[[noreturn]] void halt_until_watchdog();

// ---------------------------------------------------------------- heap
// The board's RAM heap: malloc/realloc semantics; a null result leaves the old block valid.
void* heap_alloc(size_t n);
void* heap_realloc(void* p, size_t n);
void heap_free(void* p);

// ---------------------------------------------------------------- SD card blocks
// Raw 512-byte blocks of the card on the SPI bus; the FAT file system sits on these.
enum : uint8_t { SD_CARD_NONE = 0, SD_CARD_SD1 = 1, SD_CARD_SD2 = 2, SD_CARD_SDHC = 3 };
bool sd_card_begin(uint8_t chip_select_pin, uint32_t spi_hz); // false: no card answers
uint8_t sd_card_type();                                      // SD_CARD_* of the started card
uint32_t sd_card_block_count();                              // 0 when not started
bool sd_card_read(uint32_t block, uint8_t* dst512);
bool sd_card_write(uint32_t block, const uint8_t* src512);
bool sd_card_erase(uint32_t first_block, uint32_t last_block); // inclusive range
bool sd_card_write_start(uint32_t first_block, uint32_t count); // multi-block write
bool sd_card_write_data(const uint8_t* src512);                  // the next block of it
bool sd_card_write_stop();
bool sd_card_erased_reads_ones();                            // erased blocks read 0xFF, not 0x00
