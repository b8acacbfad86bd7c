// The replay harness (replay.h): platform.h served in virtual time, with the sensor port
// fed from a recorded stream, console and host bytes written to two files, the parameters
// in a RAM EEPROM and no SD card. Plain C++ with the C library only, so that the host and
// the Cortex-M0 compile the very same code.
#include "replay.h"

#include <stdlib.h>
#include <string.h>

#include "counted_heap.h"
#include "platform.h"

extern void setup();
extern void loop();

namespace {

using Nanos = uint64_t;
constexpr Nanos kNever = ~Nanos(0);
constexpr Nanos kCallNs = 1000;                // virtual time of one platform call
constexpr int kIdleStreak = 8;                 // empty polls before time jumps
constexpr Nanos kTailNs = 2000000000ull;       // the run ends 2 s after the stream's last byte

Nanos g_now = 0;
int g_idle = 0;
bool g_in_isr = false;
const char* g_end_reason = "end of the stream";

// ---------------------------------------------------------------- text for reports
// A report line is built in g_line: text and decimal numbers appended.
char g_line[144];
size_t g_line_len = 0;
void line_start() { g_line_len = 0; g_line[0] = 0; }
void line_text(const char* t) {
    while (*t && g_line_len + 1 < sizeof g_line) g_line[g_line_len++] = *t++;
    g_line[g_line_len] = 0;
}
void line_number(uint64_t v) {
    char digits[21];
    int n = 0;
    do { digits[n++] = static_cast<char>('0' + v % 10); v /= 10; } while (v != 0);
    char t[22];
    for (int i = 0; i < n; ++i) t[i] = digits[n - 1 - i];
    t[n] = 0;
    line_text(t);
}

// ---------------------------------------------------------------- outputs
struct Output {
    int handle;
    const char* path;
    uint16_t len;
    uint8_t buf[128];
};
Output g_out[2] = {{-1, "", 0, {}}, {-1, "", 0, {}}}; // 0 console (Serial1), 1 host (Serial0)

constexpr uint64_t kNoOffset = ~uint64_t(0);
[[noreturn]] void fail(const char* path, uint64_t offset, const char* what);

void out_flush(Output& o) {
    if (o.len != 0 && !io_write(o.handle, o.buf, o.len)) fail(o.path, kNoOffset, "cannot write the output file");
    o.len = 0;
}

void out_byte(Output& o, uint8_t b) {
    o.buf[o.len++] = b;
    if (o.len == sizeof o.buf) out_flush(o);
}

// ---------------------------------------------------------------- the recorded stream
// "ODXSENS1", then records: u64 arrival of the first byte (ns), u32 spacing of the bytes
// (ns), u16 byte count, the bytes; all little-endian (sim/sensor_recorder.h).
int g_in = -1;
const char* g_in_path = "";
uint8_t g_in_buf[128];
int g_in_len = 0, g_in_pos = 0;
uint64_t g_in_offset = 0;        // file offset of the next byte taken
uint32_t g_records = 0;          // records started
uint64_t g_stream_bytes = 0;
uint32_t g_rec_step = 0;
uint16_t g_rec_count = 0, g_rec_index = 0;
Nanos g_last_byte = 0;           // arrival of the previous record's last byte
Nanos g_next_byte = kNever;
Nanos g_end = kNever;
bool g_withhold = false;         // idle baseline: the bytes never reach the port

// Reports "PATH: byte N: WHAT" (the byte left out for an output file) and ends the run.
[[noreturn]] void fail(const char* path, uint64_t offset, const char* what) {
    line_start();
    line_text(path);
    if (offset != kNoOffset) {
        line_text(": byte ");
        line_number(offset);
    }
    line_text(": ");
    line_text(what);
    io_report(g_line);
    io_exit(2);
}

// The next byte of the file, or -1 at its end.
int in_byte() {
    if (g_in_pos == g_in_len) {
        g_in_len = io_read(g_in, g_in_buf, sizeof g_in_buf);
        g_in_pos = 0;
        if (g_in_len < 0) fail(g_in_path, g_in_offset, "cannot read the stream");
        if (g_in_len == 0) return -1;
    }
    ++g_in_offset;
    return g_in_buf[g_in_pos++];
}

uint64_t in_le(int bytes, uint64_t record_start) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
        int b = in_byte();
        if (b < 0) fail(g_in_path, record_start, "record cut short: expected a 14-byte record header");
        v |= static_cast<uint64_t>(b) << (8 * i);
    }
    return v;
}

// Reads the next record's header; at the end of the file the run's end time is set.
void next_record() {
    uint64_t start = g_in_offset;
    int b = in_byte();
    if (b < 0) {
        g_next_byte = kNever;
        g_end = g_last_byte + kTailNs;
        return;
    }
    uint64_t first = static_cast<uint64_t>(b) | (in_le(7, start) << 8);
    g_rec_step = static_cast<uint32_t>(in_le(4, start));
    g_rec_count = static_cast<uint16_t>(in_le(2, start));
    if (g_rec_count == 0) fail(g_in_path, start, "expected a byte count of 1 to 65535, found 0");
    if (g_rec_step == 0 && g_rec_count > 1) fail(g_in_path, start, "expected a byte spacing above 0 ns");
    if (g_records != 0 && first <= g_last_byte)
        fail(g_in_path, start, "expected an arrival time after the previous record's last byte");
    g_rec_index = 0;
    g_next_byte = first;
    g_last_byte = first + static_cast<uint64_t>(g_rec_count - 1) * g_rec_step;
    ++g_records;
}

// ---------------------------------------------------------------- serial ports
bool g_port_on[4] = {false, false, false, false};
uint8_t g_rx[256];                 // the sensor port's receive queue (an epoch's burst is ~110 bytes)
uint16_t g_rx_head = 0, g_rx_tail = 0;
uint32_t g_rx_dropped = 0;
constexpr uint16_t kRxMask = sizeof g_rx - 1;
uint16_t rx_count() { return static_cast<uint16_t>((g_rx_head - g_rx_tail) & kRxMask); }

void take_stream_byte() {
    int b = in_byte();
    if (b < 0) fail(g_in_path, g_in_offset, "record cut short: fewer bytes than its count");
    ++g_stream_bytes;
    if (!g_withhold && g_port_on[2]) {
        if (rx_count() == kRxMask) {
            ++g_rx_dropped;
        } else {
            g_rx[g_rx_head] = static_cast<uint8_t>(b);
            g_rx_head = static_cast<uint16_t>((g_rx_head + 1) & kRxMask);
        }
    }
    if (++g_rec_index == g_rec_count) next_record();
    else g_next_byte += g_rec_step;
}

// ---------------------------------------------------------------- TC0, watchdog
uint64_t g_tc0_period = 48000;   // cycles of the 48 MHz clock between matches
uint64_t g_tc0_next = 0;         // cycle of the next match
Nanos g_tick_at = kNever;        // its time (64-bit divisions are dear on the Cortex-M0)
uint32_t g_tick_rest = 0;        // (g_tc0_next * 1000) % 48: g_tick_at = that product / 48
Nanos ns_of_cycles(uint64_t c) { return c * 1000 / 48; }
uint64_t cycles_of_ns(Nanos t) { return t * 48 / 1000; }
Nanos next_tick() { return g_tick_at; }

// The next match, one period on: its time follows by a 32-bit division of the period's
// nanoseconds with the rest carried, the same as ns_of_cycles of the new cycle count.
void next_match() {
    g_tc0_next += g_tc0_period;
    if (g_tc0_period > 4000000u) { // a period whose nanoseconds pass 32 bits: the long way
        g_tick_at = ns_of_cycles(g_tc0_next);
        g_tick_rest = static_cast<uint32_t>(g_tc0_next * 1000 % 48);
        return;
    }
    uint32_t q = g_tick_rest + static_cast<uint32_t>(g_tc0_period) * 1000u;
    g_tick_at += q / 48u;
    g_tick_rest = q % 48u;
}

// millis() and micros() without a 64-bit division per call: the count at a base instant
// plus a 32-bit division of the nanoseconds since it; the base moves on (one 64-bit
// division) when that span would pass 2^31 ns. Equal to g_now / unit, wrapped to 32 bits.
struct Count {
    Nanos base_ns;
    uint32_t base;
    uint32_t unit_ns;
};
Count g_ms = {0, 0, 1000000}, g_us = {0, 0, 1000};
uint32_t count_now(Count& c) {
    Nanos d = g_now - c.base_ns;
    if (d >= (Nanos(1) << 31)) {
        Nanos n = g_now / c.unit_ns;
        c.base = static_cast<uint32_t>(n);
        c.base_ns = n * c.unit_ns;
        d = g_now - c.base_ns;
    }
    return c.base + static_cast<uint32_t>(d) / c.unit_ns;
}

bool g_wdt_on = false;
Nanos g_wdt_period = 0, g_wdt_fed = 0;

[[noreturn]] void finish();

// Everything due at g_now, in time order: sensor bytes first, then the TC0 match.
void deliver() {
    for (;;) {
        Nanos tick = next_tick();
        if (g_next_byte <= g_now && g_next_byte <= tick) {
            take_stream_byte();
        } else if (tick <= g_now) {
            next_match();
            g_in_isr = true;
            TC0_Handler();
            g_in_isr = false;
        } else {
            break;
        }
    }
    if (g_wdt_on && g_now - g_wdt_fed > g_wdt_period) {
        g_end_reason = "watchdog restart";
        finish();
    }
    if (g_now >= g_end) finish();
}

Nanos next_event() {
    Nanos t = next_tick();
    if (g_next_byte < t) t = g_next_byte;
    if (g_end < t) t = g_end;
    return t;
}

// A platform call that does something: 1 us, and the idle streak is broken.
void call() {
    if (g_in_isr) return;
    g_now += kCallNs;
    g_idle = 0;
    deliver();
}

// A poll: 1 us; the kIdleStreak-th empty poll in a row jumps to the next event.
void poll() {
    if (g_in_isr) return;
    g_now += kCallNs;
    if (++g_idle >= kIdleStreak) {
        g_idle = 0;
        Nanos t = next_event();
        g_now = t == kNever ? g_now + 1000000 : (t > g_now ? t : g_now);
    }
    deliver();
}

void wait_ns(Nanos span) {
    if (g_in_isr) return;
    Nanos until = g_now + span;
    while (g_now < until) {
        Nanos t = next_event();
        g_now = t < until ? (t > g_now ? t : g_now) : until;
        deliver();
    }
}

// ---------------------------------------------------------------- RAM EEPROM
// A 4 KB part of the 24xx family at 0x50 with 32-byte pages, of which only the pages
// written so far take RAM (the firmware's map uses two); an erased byte reads 0xFF.
constexpr uint8_t kEepromAddress = 0x50;
constexpr uint16_t kEepromSize = 4096, kEepromPage = 32;
constexpr int kEepromPages = 8;
uint16_t g_ee_page_no[kEepromPages] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
uint8_t g_ee_data[kEepromPages][kEepromPage];
uint16_t g_ee_pointer = 0;
uint32_t g_ee_lost = 0;          // bytes written to a page beyond the kEepromPages held

uint8_t* ee_page(uint16_t page, bool create) {
    for (int i = 0; i < kEepromPages; ++i)
        if (g_ee_page_no[i] == page) return g_ee_data[i];
    if (!create) return nullptr;
    for (int i = 0; i < kEepromPages; ++i) {
        if (g_ee_page_no[i] == 0xFFFF) {
            g_ee_page_no[i] = page;
            memset(g_ee_data[i], 0xFF, kEepromPage);
            return g_ee_data[i];
        }
    }
    return nullptr;
}

uint8_t g_i2c_addr = 0;
uint8_t g_i2c_tx[34];
uint8_t g_i2c_tx_len = 0;
uint8_t g_i2c_rx[32];
uint8_t g_i2c_rx_len = 0, g_i2c_rx_pos = 0;

// A transfer of n bytes at 100 kHz: start, address, n bytes, stop.
Nanos i2c_time(unsigned n) { return (static_cast<Nanos>(n) * 9 + 2) * 10000; }

// ---------------------------------------------------------------- heap
CountedHeap g_heap = {3072, 0, 0}; // what the firmware may hold at once (see microbit.ld)

uint8_t g_dip1 = 1;              // DIP switch 1: 0 closed (sensor debug on), 1 open

[[noreturn]] void finish() {
    out_flush(g_out[0]);
    out_flush(g_out[1]);
    io_close(g_out[0].handle);
    io_close(g_out[1].handle);
    line_start();
    line_text("records: ");
    line_number(g_records);
    line_text(", sensor bytes: ");
    line_number(g_stream_bytes);
    line_text(", dropped: ");
    line_number(g_rx_dropped);
    line_text(", eeprom bytes lost: ");
    line_number(g_ee_lost);
    line_text(", heap peak: ");
    line_number(g_heap.peak);
    line_text(", ended at ");
    line_number(g_now / 1000000);
    line_text(" ms: ");
    line_text(g_end_reason);
    io_report(g_line);
    line_start();
    line_text("instructions: ");
    line_number(io_instructions());
    io_report(g_line);
    io_exit(0);
}

} // namespace

// ---------------------------------------------------------------- entry
void replay_main(int argc, const char* const* argv) {
    if (argc < 4) {
        io_report("usage: STREAM CONSOLE_OUT HOST_OUT [dip1=closed|open] [idle]");
        return;
    }
    for (int i = 4; i < argc; ++i) {
        if (strcmp(argv[i], "dip1=closed") == 0) g_dip1 = 0;
        else if (strcmp(argv[i], "dip1=open") == 0) g_dip1 = 1;
        else if (strcmp(argv[i], "idle") == 0) g_withhold = true;
        else {
            line_start();
            line_text("argument ");
            line_number(static_cast<uint64_t>(i));
            line_text(" '");
            line_text(argv[i]);
            line_text("': expected dip1=closed, dip1=open or idle");
            io_report(g_line);
            return;
        }
    }
    g_in_path = argv[1];
    g_in = io_open(g_in_path, false);
    if (g_in < 0) fail(g_in_path, kNoOffset, "cannot open the stream");
    static const char kHeader[8] = {'O', 'D', 'X', 'S', 'E', 'N', 'S', '1'};
    for (int i = 0; i < 8; ++i)
        if (in_byte() != static_cast<uint8_t>(kHeader[i])) fail(g_in_path, 0, "expected the header ODXSENS1");
    for (int k = 0; k < 2; ++k) {
        g_out[k].path = argv[2 + k];
        g_out[k].handle = io_open(g_out[k].path, true);
        if (g_out[k].handle < 0) fail(g_out[k].path, kNoOffset, "cannot create the output file");
    }
    next_record();
    io_counter_start();
    setup();
    for (;;) loop();
}

// ---------------------------------------------------------------- pins and time
// The pins drive nothing here: setting them counts as a poll, so that the main loop's
// re-application of the pin modes on every pass does not keep time from jumping.
void pinMode(uint8_t, uint8_t) { poll(); }
void digitalWrite(uint8_t, uint8_t) { poll(); }
int digitalRead(uint8_t pin) {
    poll();
    return pin == 28 ? g_dip1 : 1;
}

uint32_t millis() {
    poll();
    return count_now(g_ms);
}

uint32_t micros() {
    poll();
    return count_now(g_us);
}

void delay(uint32_t ms) {
    call();
    wait_ns(static_cast<Nanos>(ms) * 1000000);
}

// The prescaler steps of the SAML21's TC: a divisor between two steps takes the lower one.
void timer_tc0_setup(uint16_t divisor, uint16_t compare) {
    static const uint16_t steps[8] = {1, 2, 4, 8, 16, 64, 256, 1024};
    uint16_t step = 1;
    for (uint16_t s : steps)
        if (divisor >= s) step = s;
    call();
    g_tick_at = kNever;
    g_tc0_period = static_cast<uint64_t>(step) * (compare != 0 ? compare : 1u); // as board/sim
}

void timer_tc0_start() {
    call();
    g_tc0_next = cycles_of_ns(g_now) + g_tc0_period;
    g_tick_at = ns_of_cycles(g_tc0_next);
    g_tick_rest = static_cast<uint32_t>(g_tc0_next * 1000 % 48);
}

void timer_tc0_stop() {
    call();
    g_tick_at = kNever;
}

void timer_tc0_acknowledge() {}

// ---------------------------------------------------------------- serial ports
HardwareSerial Serial0(0);
HardwareSerial Serial1(1);
HardwareSerial Serial2(2);
HardwareSerial Serial3(3);

void HardwareSerial::begin(uint32_t) {
    call();
    g_port_on[unit_] = true;
    if (unit_ == 2) g_rx_head = g_rx_tail = 0;
}

void HardwareSerial::end() {
    call();
    g_port_on[unit_] = false;
}

int HardwareSerial::available() {
    poll();
    int n = unit_ == 2 ? rx_count() : 0;
    if (n != 0) g_idle = 0;
    return n;
}

int HardwareSerial::read() {
    if (unit_ != 2 || rx_count() == 0) {
        poll();
        return -1;
    }
    call();
    uint8_t b = g_rx[g_rx_tail];
    g_rx_tail = static_cast<uint16_t>((g_rx_tail + 1) & kRxMask);
    return b;
}

int HardwareSerial::peek() {
    poll();
    return unit_ == 2 && rx_count() != 0 ? g_rx[g_rx_tail] : -1;
}

void HardwareSerial::flush() { call(); }

// Console and host bytes go to their files; the sensor and GPS ports' output goes nowhere.
size_t HardwareSerial::write(uint8_t b) {
    call();
    if (!g_port_on[unit_]) return 0;
    if (unit_ == 1) out_byte(g_out[0], b);
    else if (unit_ == 0) out_byte(g_out[1], b);
    return 1;
}

size_t HardwareSerial::write(const uint8_t* data, size_t n) {
    size_t done = 0;
    for (size_t i = 0; i < n; ++i) done += write(data[i]);
    return done;
}

// ---------------------------------------------------------------- I2C master
TwoWire Wire;

void TwoWire::begin() { call(); }

void TwoWire::beginTransmission(uint8_t address) {
    g_i2c_addr = address;
    g_i2c_tx_len = 0;
}

size_t TwoWire::write(uint8_t b) {
    if (g_i2c_tx_len >= 32 + 2) return 0;
    g_i2c_tx[g_i2c_tx_len++] = b;
    return 1;
}

uint8_t TwoWire::endTransmission() {
    call();
    wait_ns(i2c_time(g_i2c_tx_len));
    if (g_i2c_addr != kEepromAddress) return 2;
    if (g_i2c_tx_len >= 2) {
        uint16_t at = static_cast<uint16_t>(((g_i2c_tx[0] << 8) | g_i2c_tx[1]) % kEepromSize);
        uint16_t page = static_cast<uint16_t>(at / kEepromPage);
        uint16_t offset = static_cast<uint16_t>(at % kEepromPage);
        uint8_t* p = g_i2c_tx_len > 2 ? ee_page(page, true) : nullptr;
        for (uint8_t i = 2; i < g_i2c_tx_len; ++i) {
            if (p) p[offset] = g_i2c_tx[i];
            else ++g_ee_lost;
            offset = static_cast<uint16_t>((offset + 1) % kEepromPage); // wraps inside the page
        }
        g_ee_pointer = static_cast<uint16_t>(page * kEepromPage + (g_i2c_tx_len > 2 ? offset : at % kEepromPage));
    }
    g_i2c_tx_len = 0;
    return 0;
}

uint8_t TwoWire::requestFrom(uint8_t address, uint8_t count) {
    call();
    if (count > sizeof g_i2c_rx) count = sizeof g_i2c_rx;
    wait_ns(i2c_time(count));
    g_i2c_rx_len = g_i2c_rx_pos = 0;
    if (address != kEepromAddress) return 0;
    for (uint8_t i = 0; i < count; ++i) {
        const uint8_t* p = ee_page(static_cast<uint16_t>(g_ee_pointer / kEepromPage), false);
        g_i2c_rx[g_i2c_rx_len++] = p ? p[g_ee_pointer % kEepromPage] : 0xFF;
        g_ee_pointer = static_cast<uint16_t>((g_ee_pointer + 1) % kEepromSize);
    }
    return g_i2c_rx_len;
}

int TwoWire::available() {
    if (g_i2c_rx_pos >= g_i2c_rx_len) poll();
    return g_i2c_rx_len - g_i2c_rx_pos;
}

int TwoWire::read() { return g_i2c_rx_pos < g_i2c_rx_len ? g_i2c_rx[g_i2c_rx_pos++] : -1; }

// ---------------------------------------------------------------- watchdog
void sodaq_wdt_enable(wdt_period period) {
    call();
    g_wdt_on = true;
    g_wdt_period = (static_cast<Nanos>(1) << (period + 3)) * 1000000000ull / 1024;
    g_wdt_fed = g_now;
}

void sodaq_wdt_reset() {
    poll();
    g_wdt_fed = g_now;
}

// The firmware asks for a restart: the replay ends there (a restart would begin a new run).
void halt_until_watchdog() {
    g_end_reason = "restart requested (halt until the watchdog)";
    finish();
}

// ---------------------------------------------------------------- heap
// The C library's allocator with the firmware's share counted, as on the SAML21 board.
void* heap_alloc(size_t n) { return heap_realloc(nullptr, n); }

void* heap_realloc(void* p, size_t n) { return g_heap.reallocate(p, n); }

void heap_free(void* p) { g_heap.release(p); }

// ---------------------------------------------------------------- no SD card
bool sd_card_begin(uint8_t, uint32_t) {
    call();
    return false;
}
uint8_t sd_card_type() { return SD_CARD_NONE; }
uint32_t sd_card_block_count() { return 0; }
bool sd_card_read(uint32_t, uint8_t*) { return false; }
bool sd_card_write(uint32_t, const uint8_t*) { return false; }
bool sd_card_erase(uint32_t, uint32_t) { return false; }
bool sd_card_write_start(uint32_t, uint32_t) { return false; }
bool sd_card_write_data(const uint8_t*) { return false; }
bool sd_card_write_stop() { return false; }
bool sd_card_erased_reads_ones() { return true; }
