// The SAML21J18B board: clocks, pins, millisecond and microsecond time, the TC0 timer,
// four interrupt-driven UARTs, the I2C master, the watchdog and the heap. Register-level,
// from the SAML21 datasheet; the board's wiring is in pins.h.
#include <stdlib.h>

#include "counted_heap.h"
#include "platform.h"
#include "pins.h"
#include "registers.h"

using namespace saml21;

extern void setup();
extern void loop();

namespace {

constexpr uint32_t kCpuHz = 48000000;

// ---------------------------------------------------------------- clocks
// DFLL48M in open loop from its factory coarse value: no 32 kHz crystal is assumed on the
// board, and the firmware corrects the rate of its tick against the sensor's time stamps.
// The chip starts on OSC16M at 4 MHz in performance level 0, where the DFLL is not
// available. Order: wait states up first (3 covers 48 MHz over the whole supply range; below
// 2.7 V more than 28 MHz needs 2 or 3), then PL2 and its ready flag, then the DFLL, and only
// then generator 0 onto it.
void clocks_init() {
    r32(NVMCTRL_CTRLB) = (r32(NVMCTRL_CTRLB) & ~(0xFu << 1)) | (3u << 1);
    r8(PM_INTFLAG) = 1;
    r8(PM_PLCFG) = 2;
    while ((r8(PM_INTFLAG) & 1) == 0) {}
    r16(OSCCTRL_DFLLCTRL) = 0; // ONDEMAND off while configuring (errata: write with ENABLE 0 first)
    while ((r32(OSCCTRL_STATUS) & (1u << 8)) == 0) {}
    uint32_t coarse = r32(NVM_SW_CALIB_WORD0) >> 26;
    if (coarse == 0x3F) coarse = 0x1F; // unprogrammed calibration row: mid-range
    r32(OSCCTRL_DFLLVAL) = (coarse << 10) | 512u;
    while ((r32(OSCCTRL_STATUS) & (1u << 8)) == 0) {}
    r16(OSCCTRL_DFLLCTRL) = 1u << 1; // ENABLE, open loop
    while ((r32(OSCCTRL_STATUS) & (1u << 8)) == 0) {}
    r8(MCLK_CPUDIV) = 1;
    // Generator 0 (CPU and every peripheral here) from DFLL48M, undivided.
    r32(GCLK_GENCTRL(0)) = GCLK_SRC_DFLL48M | (1u << 8);
    while (r32(GCLK_SYNCBUSY) != 0) {}
}

void peripheral_clock(unsigned channel) {
    r32(GCLK_PCHCTRL(channel)) = 0u | (1u << 6); // generator 0, enabled
    while ((r32(GCLK_PCHCTRL(channel)) & (1u << 6)) == 0) {}
}

// ---------------------------------------------------------------- pins
PortPin port_of(uint8_t board_pin) {
    for (const PinMapEntry& e : kPinMap)
        if (e.board == board_pin) return e.port;
    return kNoPin;
}

void pin_function(PortPin p, uint8_t function) {
    uint32_t g = PORT_G(p.group);
    volatile uint8_t& pmux = r8(g + P_PMUX + p.pin / 2);
    pmux = (p.pin & 1) ? static_cast<uint8_t>((pmux & 0x0F) | (function << 4))
                       : static_cast<uint8_t>((pmux & 0xF0) | function);
    r8(g + P_PINCFG + p.pin) = static_cast<uint8_t>(r8(g + P_PINCFG + p.pin) | PINCFG_PMUXEN | PINCFG_INEN);
}

// ---------------------------------------------------------------- time
volatile uint32_t g_millis = 0;

// ---------------------------------------------------------------- UART rings
// Sizes against the 12 KB static RAM budget: the sensor's receive queue holds 1024 bytes,
// 89 ms at 115200 baud, the longest the main loop is away (an SD write cycle); the host and
// GPS queues 256 bytes each (a full telecommand or NMEA burst), the console 64 (commands
// are typed). Transmit queues: 256 bytes for console and host (a record line) and 64 for
// the sensor and the GPS ports (configuration sentences only). Powers of two.
struct Ring {
    uint8_t* buf;
    uint16_t mask;
    volatile uint16_t head; // next write
    volatile uint16_t tail; // next read
    uint16_t count() const { return static_cast<uint16_t>((head - tail) & mask); }
    bool full() const { return count() == mask; }
};

uint8_t rx0[256], rx1[64], rx2[1024], rx3[256];
uint8_t tx0[256], tx1[256], tx2[64], tx3[64];
Ring g_rx[4] = {{rx0, 255, 0, 0}, {rx1, 63, 0, 0}, {rx2, 1023, 0, 0}, {rx3, 255, 0, 0}};
Ring g_tx[4] = {{tx0, 255, 0, 0}, {tx1, 255, 0, 0}, {tx2, 63, 0, 0}, {tx3, 63, 0, 0}};
int8_t g_unit_of_sercom[6] = {-1, -1, -1, -1, -1, -1};

void uart_irq(unsigned unit) {
    uint32_t s = SERCOM(kUart[unit].sercom);
    uint8_t flags = r8(s + S_INTFLAG);
    if (flags & INT_ERROR) r8(s + S_INTFLAG) = INT_ERROR;
    if (flags & INT_RXC) {
        uint8_t b = static_cast<uint8_t>(r16(s + S_DATA));
        Ring& r = g_rx[unit];
        if (!r.full()) { r.buf[r.head] = b; r.head = static_cast<uint16_t>((r.head + 1) & r.mask); }
        // A full queue drops the byte: the firmware's framing finds the next sync.
    }
    if ((flags & INT_DRE) && (r8(s + S_INTENSET) & INT_DRE)) {
        Ring& t = g_tx[unit];
        if (t.count() == 0) {
            r8(s + S_INTENCLR) = INT_DRE;
        } else {
            r16(s + S_DATA) = t.buf[t.tail];
            t.tail = static_cast<uint16_t>((t.tail + 1) & t.mask);
        }
    }
}

// Sends one byte straight from the interrupt when its transmit queue is full there: the
// interrupt may not wait for the queue to drain (its own priority keeps it from draining).
void uart_put_polled(uint32_t s, uint8_t b) {
    while ((r8(s + S_INTFLAG) & INT_DRE) == 0) {}
    r16(s + S_DATA) = b;
}

// ---------------------------------------------------------------- watchdog
bool g_wdt_on = false;

void wdt_sync() { while (r32(WDT_SYNCBUSY) != 0) {} }

// ---------------------------------------------------------------- heap
// What the firmware may hold at once (the per-wave arrays): the rest of the heap region
// stays free for newlib's own bookkeeping and for fragmentation.
CountedHeap g_heap = {8 * 1024, 0, 0};

} // namespace

// ---------------------------------------------------------------- start-up
extern "C" void board_early_init() { clocks_init(); }

extern "C" [[noreturn]] void board_main() {
    // SysTick: one interrupt per millisecond of the 48 MHz clock (the millis/micros base,
    // independent of TC0, whose compare the firmware re-programs for its rate correction).
    r32(SYST_RVR) = kCpuHz / 1000 - 1;
    r32(SYST_CVR) = 0;
    r32(SYST_CSR) = 7; // processor clock, interrupt, enable
    // TC0 preempts the UARTs' queue service; SysTick stays at the highest level.
    r32(NVIC_IPR + 4 * (IRQ_TC0 / 4)) |= 0x40u << (8 * (IRQ_TC0 % 4));
    for (unsigned u = 0; u < 4; ++u) {
        unsigned irq = IRQ_SERCOM(kUart[u].sercom);
        r32(NVIC_IPR + 4 * (irq / 4)) |= 0x80u << (8 * (irq % 4));
    }
    __asm volatile("cpsie i");
    setup();
    for (;;) loop();
}

extern "C" void SysTick_Handler() { g_millis = g_millis + 1; }
extern "C" void SERCOM0_Handler() { if (g_unit_of_sercom[0] >= 0) uart_irq(static_cast<unsigned>(g_unit_of_sercom[0])); }
extern "C" void SERCOM1_Handler() { if (g_unit_of_sercom[1] >= 0) uart_irq(static_cast<unsigned>(g_unit_of_sercom[1])); }
extern "C" void SERCOM2_Handler() { if (g_unit_of_sercom[2] >= 0) uart_irq(static_cast<unsigned>(g_unit_of_sercom[2])); }
extern "C" void SERCOM3_Handler() { if (g_unit_of_sercom[3] >= 0) uart_irq(static_cast<unsigned>(g_unit_of_sercom[3])); }
extern "C" void SERCOM4_Handler() { if (g_unit_of_sercom[4] >= 0) uart_irq(static_cast<unsigned>(g_unit_of_sercom[4])); }

// ---------------------------------------------------------------- pins
void pinMode(uint8_t pin, uint8_t mode) {
    PortPin p = port_of(pin);
    if (p.group == kNoPin.group) return;
    uint32_t g = PORT_G(p.group);
    uint32_t bit = 1u << p.pin;
    if (mode == OUTPUT) {
        r8(g + P_PINCFG + p.pin) = PINCFG_INEN;
        r32(g + P_DIRSET) = bit;
    } else {
        r32(g + P_DIRCLR) = bit;
        if (mode == INPUT_PULLUP) {
            r8(g + P_PINCFG + p.pin) = PINCFG_INEN | PINCFG_PULLEN;
            r32(g + P_OUTSET) = bit; // OUT selects pull-up with PULLEN
        } else {
            r8(g + P_PINCFG + p.pin) = PINCFG_INEN;
        }
    }
}

void digitalWrite(uint8_t pin, uint8_t level) {
    PortPin p = port_of(pin);
    if (p.group == kNoPin.group) return;
    r32(PORT_G(p.group) + (level ? P_OUTSET : P_OUTCLR)) = 1u << p.pin;
}

int digitalRead(uint8_t pin) {
    PortPin p = port_of(pin);
    if (p.group == kNoPin.group) return 1;
    return (r32(PORT_G(p.group) + P_IN) >> p.pin) & 1u;
}

// ---------------------------------------------------------------- time
uint32_t millis() { return g_millis; }

// Milliseconds from the SysTick count and the current count down within the millisecond;
// a wrap pending while we read is counted once (the 32-bit result wraps after 71.6 min).
uint32_t micros() {
    uint32_t primask = irq_save();
    uint32_t ms = g_millis;
    uint32_t count = r32(SYST_CVR);
    if (r32(SCB_ICSR) & (1u << 26)) {
        // Reload happened and its interrupt has not run: re-read the count after the wrap.
        count = r32(SYST_CVR);
        ++ms;
    }
    irq_restore(primask);
    uint32_t elapsed = (kCpuHz / 1000 - 1) - count; // cycles into the current millisecond
    return ms * 1000u + elapsed / (kCpuHz / 1000000);
}

void delay(uint32_t ms) {
    uint32_t start = micros();
    for (; ms > 0; --ms) {
        while (static_cast<uint32_t>(micros() - start) < 1000u) {}
        start += 1000u;
    }
}

// ---------------------------------------------------------------- TC0
// The prescaler has the steps 1, 2, 4, 8, 16, 64, 256, 1024: a divisor between two steps
// takes the lower one.
void timer_tc0_setup(uint16_t divisor, uint16_t compare) {
    static const uint16_t steps[8] = {1, 2, 4, 8, 16, 64, 256, 1024};
    uint32_t presc = 0;
    for (uint32_t i = 0; i < 8; ++i)
        if (divisor >= steps[i]) presc = i;
    r32(MCLK_APBCMASK) |= APBC_TC0;
    peripheral_clock(PCH_TC0_TC1);
    timer_tc0_stop();
    r32(TC0 + TC_CTRLA) = CTRLA_SWRST;
    while (r32(TC0 + TC_SYNCBUSY) & 1u) {}
    r32(TC0 + TC_CTRLA) = presc << 8; // 16-bit counter, prescaler
    // Top = CC0, cleared on compare match 0: the counter runs 0..CC0, CC0 + 1 counts per
    // match, so CC0 = compare - 1 gives the `compare` counts the firmware asks for (48000
    // counts of 48 MHz: 1 ms).
    r8(TC0 + TC_WAVE) = TC_WAVE_MFRQ;
    r16(TC0 + TC_CC0) = static_cast<uint16_t>(compare != 0 ? compare - 1 : 0);
    while (r32(TC0 + TC_SYNCBUSY) != 0) {}
}

void timer_tc0_start() {
    r16(TC0 + TC_COUNT) = 0;
    while (r32(TC0 + TC_SYNCBUSY) != 0) {}
    r8(TC0 + TC_INTFLAG) = TC_MC0;
    r8(TC0 + TC_INTENSET) = TC_MC0;
    irq_enable(IRQ_TC0);
    r32(TC0 + TC_CTRLA) |= CTRLA_ENABLE;
    while (r32(TC0 + TC_SYNCBUSY) != 0) {}
}

void timer_tc0_stop() {
    r32(TC0 + TC_CTRLA) &= ~CTRLA_ENABLE;
    while (r32(TC0 + TC_SYNCBUSY) != 0) {}
    r8(TC0 + TC_INTENCLR) = TC_MC0;
    irq_disable(IRQ_TC0);
}

void timer_tc0_acknowledge() { r8(TC0 + TC_INTFLAG) = TC_MC0; }

// ---------------------------------------------------------------- serial ports
HardwareSerial Serial0(0);
HardwareSerial Serial1(1);
HardwareSerial Serial2(2);
HardwareSerial Serial3(3);

void HardwareSerial::begin(uint32_t baud) {
    const UartWiring& w = kUart[unit_];
    uint32_t s = SERCOM(w.sercom);
    irq_disable(IRQ_SERCOM(w.sercom));
    sercom_bus_clock(w.sercom);
    peripheral_clock(PCH_SERCOM_CORE(w.sercom));
    r32(s + S_CTRLA) = CTRLA_SWRST;
    while (r32(s + S_SYNCBUSY) & 1u) {}
    // 16x oversampling, arithmetic baud: BAUD = 65536 * (1 - 16 * baud / 48 MHz).
    uint64_t ratio = (static_cast<uint64_t>(16u * baud) << 16) / kCpuHz;
    r16(s + S_BAUD) = static_cast<uint16_t>(65536u - ratio);
    r32(s + S_CTRLA) = CTRLA_MODE_USART_INT | CTRLA_DORD | (0u << 16) | (1u << 20); // TX pad 0, RX pad 1
    r32(s + S_CTRLB) = CTRLB_TXEN | CTRLB_RXEN; // 8 data bits, 1 stop, no parity
    while (r32(s + S_SYNCBUSY) != 0) {}
    pin_function(w.tx, w.pmux);
    pin_function(w.rx, w.pmux);
    g_rx[unit_].head = g_rx[unit_].tail = 0;
    g_tx[unit_].head = g_tx[unit_].tail = 0;
    g_unit_of_sercom[w.sercom] = static_cast<int8_t>(unit_);
    r32(s + S_CTRLA) |= CTRLA_ENABLE;
    while (r32(s + S_SYNCBUSY) != 0) {}
    r8(s + S_INTENSET) = INT_RXC | INT_ERROR;
    irq_enable(IRQ_SERCOM(w.sercom));
}

void HardwareSerial::end() {
    uint32_t s = SERCOM(kUart[unit_].sercom);
    flush();
    irq_disable(IRQ_SERCOM(kUart[unit_].sercom));
    r32(s + S_CTRLA) &= ~CTRLA_ENABLE;
    while (r32(s + S_SYNCBUSY) != 0) {}
}

int HardwareSerial::available() { return g_rx[unit_].count(); }

int HardwareSerial::read() {
    Ring& r = g_rx[unit_];
    if (r.count() == 0) return -1;
    uint8_t b = r.buf[r.tail];
    r.tail = static_cast<uint16_t>((r.tail + 1) & r.mask);
    return b;
}

int HardwareSerial::peek() {
    Ring& r = g_rx[unit_];
    return r.count() == 0 ? -1 : r.buf[r.tail];
}

void HardwareSerial::flush() {
    uint32_t s = SERCOM(kUart[unit_].sercom);
    if ((r32(s + S_CTRLA) & CTRLA_ENABLE) == 0) return;
    while (g_tx[unit_].count() != 0) {}
    while ((r8(s + S_INTFLAG) & INT_DRE) == 0) {}
    r8(s + S_INTFLAG) = INT_TXC;
    while ((r8(s + S_INTFLAG) & INT_TXC) == 0) {}
}

size_t HardwareSerial::write(uint8_t b) {
    uint32_t s = SERCOM(kUart[unit_].sercom);
    if ((r32(s + S_CTRLA) & CTRLA_ENABLE) == 0) return 0;
    Ring& t = g_tx[unit_];
    if (t.full()) {
        if (in_interrupt()) {
            // Inside an interrupt the queue cannot drain: wait for the shift register
            // instead, behind the queued bytes' order only while the queue is full.
            uart_put_polled(s, b);
            return 1;
        }
        while (t.full()) {}
    }
    uint32_t primask = irq_save();
    t.buf[t.head] = b;
    t.head = static_cast<uint16_t>((t.head + 1) & t.mask);
    r8(s + S_INTENSET) = INT_DRE;
    irq_restore(primask);
    return 1;
}

size_t HardwareSerial::write(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) write(data[i]);
    return n;
}

// ---------------------------------------------------------------- I2C master
// Polled transfers on the I2C SERCOM (pins.h) at 100 kHz, commands given by hand (no smart
// mode): after each received byte CTRLB.CMD 2 acknowledges it and reads the next; the last
// one gets ACKACT (NACK) with CMD 3 (stop) before DATA is read. A bus that stops answering
// is given up after about 10 ms (SysTick milliseconds) and reported as an error.
namespace {
uint8_t g_i2c_tx[32];
uint8_t g_i2c_tx_len = 0;
uint8_t g_i2c_addr = 0;
uint8_t g_i2c_rx[32];
uint8_t g_i2c_rx_len = 0, g_i2c_rx_pos = 0;
constexpr uint32_t kI2cTimeoutMs = 10;

uint32_t i2c_base() { return SERCOM(kI2cSercom); }

bool i2c_wait(uint8_t flags) {
    uint32_t s = i2c_base();
    uint32_t start = millis();
    while ((r8(s + S_INTFLAG) & flags) == 0) {
        if (millis() - start > kI2cTimeoutMs) return false;
    }
    return true;
}

void i2c_ctrlb(uint32_t value) {
    uint32_t s = i2c_base();
    r32(s + S_CTRLB) = value;
    while (r32(s + S_SYNCBUSY) != 0) {}
}

void i2c_stop() { i2c_ctrlb(I2C_CMD_STOP); }
} // namespace

TwoWire Wire;

void TwoWire::begin() {
    uint32_t s = i2c_base();
    sercom_bus_clock(kI2cSercom);
    peripheral_clock(PCH_SERCOM_CORE(kI2cSercom));
    peripheral_clock(PCH_SERCOM_SLOW(kI2cSercom));
    r32(s + S_CTRLA) = CTRLA_SWRST;
    while (r32(s + S_SYNCBUSY) & 1u) {}
    r32(s + S_CTRLA) = CTRLA_MODE_I2C_MASTER | (2u << 20); // SDA hold 300-600 ns, standard speed
    // f_SCL = f_GCLK / (10 + 2 * BAUD + f_GCLK * t_rise): with 100 ns of rise time
    // (about 5 clocks) BAUD 232 gives 100 kHz; BAUDLOW 0 makes the low time equal.
    r32(s + S_BAUD) = 232;
    pin_function(kI2cSda, kI2cPmux);
    pin_function(kI2cScl, kI2cPmux);
    r32(s + S_CTRLA) |= CTRLA_ENABLE;
    while (r32(s + S_SYNCBUSY) != 0) {}
    r16(s + S_STATUS) = I2C_BUSSTATE_IDLE; // the bus state starts unknown: force idle
    while (r32(s + S_SYNCBUSY) != 0) {}
}

void TwoWire::beginTransmission(uint8_t address) {
    g_i2c_addr = address;
    g_i2c_tx_len = 0;
}

size_t TwoWire::write(uint8_t b) {
    if (g_i2c_tx_len >= sizeof g_i2c_tx) return 0;
    g_i2c_tx[g_i2c_tx_len++] = b;
    return 1;
}

uint8_t TwoWire::endTransmission() {
    uint32_t s = i2c_base();
    r32(s + S_ADDR) = static_cast<uint32_t>(g_i2c_addr) << 1;
    if (!i2c_wait(I2C_MB) || (r16(s + S_STATUS) & (I2C_RXNACK | I2C_BUSERR | I2C_ARBLOST))) {
        i2c_stop();
        return 2; // address not acknowledged
    }
    for (uint8_t i = 0; i < g_i2c_tx_len; ++i) {
        r8(s + S_DATA) = g_i2c_tx[i];
        if (!i2c_wait(I2C_MB) || (r16(s + S_STATUS) & I2C_RXNACK)) {
            i2c_stop();
            return 3; // data not acknowledged
        }
    }
    i2c_stop();
    return 0;
}

uint8_t TwoWire::requestFrom(uint8_t address, uint8_t count) {
    uint32_t s = i2c_base();
    g_i2c_rx_len = g_i2c_rx_pos = 0;
    if (count == 0) return 0;
    if (count > sizeof g_i2c_rx) count = sizeof g_i2c_rx;
    i2c_ctrlb(0); // ACKACT 0: acknowledge
    r32(s + S_ADDR) = (static_cast<uint32_t>(address) << 1) | 1u;
    // A refused address sets MB (not SB) with RXNACK.
    if (!i2c_wait(I2C_SB | I2C_MB) || (r8(s + S_INTFLAG) & I2C_MB) ||
        (r16(s + S_STATUS) & (I2C_RXNACK | I2C_BUSERR | I2C_ARBLOST))) {
        i2c_stop();
        return 0;
    }
    for (uint8_t i = 0; i < count; ++i) {
        bool last = i + 1 == count;
        if (last) i2c_ctrlb(I2C_ACKACT | I2C_CMD_STOP); // NACK the last byte, then stop
        g_i2c_rx[g_i2c_rx_len++] = r8(s + S_DATA);
        if (last) break;
        i2c_ctrlb(I2C_CMD_READ);
        if (!i2c_wait(I2C_SB)) {
            i2c_stop();
            break;
        }
    }
    return g_i2c_rx_len;
}

int TwoWire::available() { return g_i2c_rx_len - g_i2c_rx_pos; }
int TwoWire::read() { return g_i2c_rx_pos < g_i2c_rx_len ? g_i2c_rx[g_i2c_rx_pos++] : -1; }

// ---------------------------------------------------------------- watchdog
// The watchdog runs from the 1.024 kHz output of the ultra-low-power 32 kHz oscillator;
// the period enumeration is the CONFIG.PER field.
void sodaq_wdt_enable(wdt_period period) {
    r32(MCLK_APBAMASK) |= APBA_WDT;
    if (g_wdt_on) {
        r8(WDT_CTRLA) = 0;
        wdt_sync();
    }
    r8(WDT_CONFIG) = static_cast<uint8_t>(period & 0x0F);
    r8(WDT_CTRLA) = WDT_ENABLE;
    wdt_sync();
    g_wdt_on = true;
}

void sodaq_wdt_reset() {
    if (!g_wdt_on) return;
    if (r32(WDT_SYNCBUSY) != 0) return; // a clear is still in flight: that feed counts
    r8(WDT_CLEAR) = 0xA5;
}

void halt_until_watchdog() {
    if (!g_wdt_on) sodaq_wdt_enable(WDT_PERIOD_1DIV64);
    for (;;) {}
}

// ---------------------------------------------------------------- heap
// newlib's allocator on the RAM between .bss and the stack, with the firmware's share
// counted: an allocation past its limit fails as if the RAM were full.
void* heap_alloc(size_t n) { return heap_realloc(nullptr, n); }

void* heap_realloc(void* p, size_t n) { return g_heap.reallocate(p, n); }

void heap_free(void* p) { g_heap.release(p); }
