// The board API of platform/platform.h, served by the simulated board.
#include "platform.h"

#include <cstring>

#include "board/sim/board.h"
#include "board/sim/sim_uart.h"

using sim::Board;

// ------------------------------------------------------------------ pins and time
// (the calls the firmware makes in every pass are in platform_polls.cpp)

uint32_t micros() {
    Board& b = Board::current();
    b.poll_until(b.time_of_cycles((b.cycles_at(b.now()) / 48 + 1) * 48));
    return b.micros();
}

void delay(uint32_t ms) {
    Board& b = Board::current();
    b.call();
    b.wait_until(b.time_of_cycles(b.cycles_at(b.now()) + uint64_t(ms) * 48000));
}

void timer_tc0_setup(uint16_t divisor, uint16_t compare) { Board::current().timer_setup(divisor, compare); }
void timer_tc0_start() { Board::current().timer_start(); }
void timer_tc0_stop() { Board::current().timer_stop(); }

// ------------------------------------------------------------------ serial ports

HardwareSerial Serial0(0);
HardwareSerial Serial1(1);
HardwareSerial Serial2(2);
HardwareSerial Serial3(3);

void HardwareSerial::begin(uint32_t baud) { Board::current().uart(unit_).begin(baud); }
void HardwareSerial::end() { Board::current().uart(unit_).end(); }
void HardwareSerial::flush() { Board::current().uart(unit_).flush(); }
size_t HardwareSerial::write(uint8_t b) { return Board::current().uart(unit_).write(b); }
size_t HardwareSerial::write(const uint8_t* data, size_t n) {
    sim::Uart& u = Board::current().uart(unit_);
    size_t done = 0;
    for (size_t i = 0; i < n; ++i) done += u.write(data[i]);
    return done;
}

// ------------------------------------------------------------------ I2C

namespace {
struct WireState {
    uint8_t address = 0;
    uint8_t tx[64];
    size_t tx_len = 0;
    uint8_t rx[64];
    size_t rx_len = 0, rx_pos = 0;
} g_wire;
} // namespace

TwoWire Wire;

void TwoWire::begin() {
    Board::current().call();
    g_wire = WireState{};
}

void TwoWire::beginTransmission(uint8_t address) {
    Board::current().call_neutral();
    g_wire.address = address;
    g_wire.tx_len = 0;
}

size_t TwoWire::write(uint8_t b) {
    Board::current().call_neutral();
    if (g_wire.tx_len >= sizeof g_wire.tx) return 0;
    g_wire.tx[g_wire.tx_len++] = b;
    return 1;
}

uint8_t TwoWire::endTransmission() {
    bool ack = Board::current().i2c_write(g_wire.address, g_wire.tx, g_wire.tx_len);
    g_wire.tx_len = 0;
    return ack ? 0 : 2; // 2: address not acknowledged
}

uint8_t TwoWire::requestFrom(uint8_t address, uint8_t count) {
    if (count > sizeof g_wire.rx) count = sizeof g_wire.rx;
    g_wire.rx_pos = 0;
    g_wire.rx_len = Board::current().i2c_read(address, g_wire.rx, count) ? count : 0;
    return static_cast<uint8_t>(g_wire.rx_len);
}

int TwoWire::available() {
    Board& b = Board::current();
    if (g_wire.rx_pos >= g_wire.rx_len) b.poll();
    else b.call_neutral();
    return static_cast<int>(g_wire.rx_len - g_wire.rx_pos);
}

int TwoWire::read() {
    Board::current().call_neutral();
    return g_wire.rx_pos < g_wire.rx_len ? g_wire.rx[g_wire.rx_pos++] : -1;
}

// ------------------------------------------------------------------ watchdog and heap

void sodaq_wdt_enable(wdt_period period) { Board::current().wdt_enable(period); }
void halt_until_watchdog() { Board::current().halt(); }

void* heap_alloc(size_t n) { return Board::current().heap_realloc(nullptr, n); }
void* heap_realloc(void* p, size_t n) { return Board::current().heap_realloc(p, n); }
void heap_free(void* p) { Board::current().heap_free(p); }

// ------------------------------------------------------------------ SD card blocks
// SPI at the rate the firmware asked for: eight clocks a byte, plus the card's own
// programming time for writes.

namespace {
struct CardState {
    bool started = false;
    uint32_t spi_hz = 400000;
    uint32_t multi_next = 0, multi_left = 0;
} g_card;

sim::CardDevice* started_card() {
    sim::CardDevice* c = Board::current().card();
    if (!g_card.started || !c || !c->present()) return nullptr;
    return c;
}

void spi_transfer(Board& b, size_t bytes) {
    b.wait_until(b.now() + sim::Nanos(bytes) * 8 * 1000000000ull / g_card.spi_hz);
}
} // namespace

bool sd_card_begin(uint8_t, uint32_t spi_hz) {
    Board& b = Board::current();
    b.call();
    g_card = CardState{};
    g_card.spi_hz = spi_hz ? spi_hz : 400000;
    sim::CardDevice* c = b.card();
    spi_transfer(b, 80); // power-up clocks and the initialisation commands
    g_card.started = c && c->present();
    return g_card.started;
}

uint8_t sd_card_type() {
    Board::current().call_neutral();
    sim::CardDevice* c = started_card();
    return !c ? SD_CARD_NONE : c->high_capacity() ? SD_CARD_SDHC : SD_CARD_SD2;
}

uint32_t sd_card_block_count() {
    Board::current().call_neutral();
    sim::CardDevice* c = started_card();
    return c ? c->block_count() : 0;
}

bool sd_card_read(uint32_t block, uint8_t* dst) {
    Board& b = Board::current();
    b.call();
    sim::CardDevice* c = started_card();
    if (!c) return false;
    spi_transfer(b, 512 + 10);
    return c->read(block, dst);
}

bool sd_card_write(uint32_t block, const uint8_t* src) {
    Board& b = Board::current();
    b.call();
    sim::CardDevice* c = started_card();
    if (!c) return false;
    spi_transfer(b, 512 + 10);
    bool ok = c->write(block, src);
    b.wait_until(b.now() + c->busy_time(1));
    return ok;
}

bool sd_card_erase(uint32_t first, uint32_t last) {
    Board& b = Board::current();
    b.call();
    sim::CardDevice* c = started_card();
    if (!c || last < first) return false;
    spi_transfer(b, 24);
    bool ok = c->erase(first, last);
    b.wait_until(b.now() + c->busy_time(0) * 4);
    return ok;
}

bool sd_card_erased_reads_ones() {
    Board::current().call_neutral();
    sim::CardDevice* c = started_card();
    return c && c->erased_reads_ones();
}

bool sd_card_write_start(uint32_t first, uint32_t count) {
    Board& b = Board::current();
    b.call();
    if (!started_card()) return false;
    spi_transfer(b, 12);
    g_card.multi_next = first;
    g_card.multi_left = count;
    return true;
}

bool sd_card_write_data(const uint8_t* src) {
    Board& b = Board::current();
    b.call();
    sim::CardDevice* c = started_card();
    if (!c || g_card.multi_left == 0) return false;
    spi_transfer(b, 512 + 4);
    bool ok = c->write(g_card.multi_next++, src);
    --g_card.multi_left;
    return ok;
}

bool sd_card_write_stop() {
    Board& b = Board::current();
    b.call();
    sim::CardDevice* c = started_card();
    if (!c) return false;
    b.wait_until(b.now() + c->busy_time(1));
    g_card.multi_left = 0;
    return true;
}
