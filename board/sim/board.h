// The simulated SAML21 board in deterministic virtual time.
//
// Time model (the one place it is written down):
// - The board owns one clock, virtual nanoseconds since the world started. Nothing here or
//   in world/ reads the host clock.
// - The CPU is infinitely fast: firmware code between two platform calls takes no time.
//   Every platform call costs kCallCost of virtual time. A call that only polls (a receive
//   queue found empty, a watchdog feed, a pin read, a clock read) counts towards an idle
//   streak; after kIdleStreak polls with nothing happening, the next poll jumps time to the
//   next due event, so idle hours cost little wall time. Blocking calls (a full transmit
//   queue, flush, delay, I2C transfers) advance time by exactly what they wait.
// - At every call boundary the board delivers everything that has fallen due, in time order.
//   Events at the same instant run in this fixed order: bytes arriving at the board's
//   receivers (port 0 to 3), bytes from the board reaching devices (port 0 to 3), world
//   events (in the order they were scheduled), the TC0 compare match, the watchdog.
// - The TC0 interrupt runs at a call boundary, to completion. Calls made from inside it are
//   served without advancing time and without re-entering it.
// - A watchdog expiry resets the board: the firmware is unwound and restarted from its
//   static initial state, while time, the world and the board's records carry on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "world/link.h"

namespace sim {

constexpr Nanos kNever = ~Nanos(0);

struct BoardConfig {
    double oscillator_ppm = 0.0;       // error of the 48 MHz clock (DFLL), parts per million
    size_t heap_limit = 24 * 1024;     // bytes the firmware's heap may hold (free RAM of the MCU)
    size_t uart_rx_size = 350;         // receive queue per port, bytes (see sim_uart.h)
    size_t uart_tx_size = 350;         // transmit queue per port, bytes
    Nanos call_cost = 1 * kMicro;      // virtual time of one platform call (at least 1 ns)
    int idle_streak = 16;              // polls before an idle jump
};

// Why the board restarted.
struct RestartRecord {
    Nanos time;
    std::string cause;
};

// Thrown through the firmware to unwind it; caught by Board::run.
struct BoardReset { std::string cause; };
struct RunEnd {};

// The firmware's three entry points.
struct FirmwareEntry {
    void (*setup)() = nullptr;
    void (*loop)() = nullptr;
    void (*timer_isr)() = nullptr;
};

// Where the firmware comes from at each boot. A loadable image gives a fresh copy of every
// global per boot; a linked-in firmware (unit tests) cannot be restarted faithfully.
class FirmwareSource {
public:
    virtual ~FirmwareSource() = default;
    virtual FirmwareEntry boot() = 0;   // a fresh image, ready to run setup
    virtual void shutdown() {}          // the image is no longer running
    virtual bool restartable() const = 0;
    virtual void* symbol(const char* name) = 0; // address of a firmware global, or null
};

class LinkedFirmware : public FirmwareSource {
public:
    explicit LinkedFirmware(FirmwareEntry entry) : entry_(entry) {}
    FirmwareEntry boot() override { return entry_; }
    bool restartable() const override { return false; }
    void* symbol(const char*) override { return nullptr; }

private:
    FirmwareEntry entry_;
};

// Loads the firmware image (a shared object) anew at every boot, from a private copy so
// that the dynamic loader can never hand back the previous boot's globals.
class LoadableFirmware : public FirmwareSource {
public:
    explicit LoadableFirmware(std::string path);
    ~LoadableFirmware() override;
    FirmwareEntry boot() override;
    void shutdown() override;
    bool restartable() const override { return true; }
    void* symbol(const char* name) override;

private:
    std::string path_;
    void* handle_ = nullptr;
    int fd_ = -1;
};

class Uart;

class Board final : public Scheduler {
public:
    explicit Board(const BoardConfig& config = {});
    ~Board() override;
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // The board the platform operations act on (one per process at a time).
    static Board& current() {
        if (!current_) no_board();
        return *current_;
    }
    static Board* current_or_null() { return current_; }

    // ---- wiring the world
    // Connects a device to serial unit 0..3; returns the device's end of the line.
    UartLink& connect_uart(int unit, UartDevice* device, uint32_t device_baud);
    void connect_i2c(uint8_t address, I2cDevice* device);
    void connect_card(CardDevice* card);
    void set_input(uint8_t pin, uint8_t level);        // a level driven from outside
    void on_output_change(uint8_t pin, std::function<void(uint8_t level)> fn);

    // ---- Scheduler
    Nanos now() const override { return now_; }
    void at(Nanos t, std::function<void()> fn) override;

    // ---- running
    // Boots the firmware and runs it until virtual time `end`; restarts it on every reset
    // (a linked firmware stops at its first reset instead). Returns normally at `end`.
    void run(FirmwareSource& firmware, Nanos end);
    // Runs `fn` as firmware code on the current board (unit tests): its platform calls move
    // time and let the timer interrupt `isr` run. Resets propagate as BoardReset.
    void run_code(const std::function<void()>& fn, void (*isr)() = nullptr);
    // Lets time pass to `t` as if the firmware were idle, delivering every event on the way.
    void idle_until(Nanos t);
    // Someone outside the simulated world (the simulator's pacing to the wall clock, its
    // progress line and its files written as the run goes) looks in at a call boundary once
    // `every` of virtual time has passed since its last look. It may read anything and send
    // bytes into a line as a device does, but must not schedule events. Without an observer
    // the run is the same as with one that only reads: it changes no time and no order.
    void set_observer(Nanos every, std::function<void()> fn);
    // Ends the run at the current instant, as if it were the end time given to run().
    void stop() {
        if (now_ < end_) end_ = now_;
        set_due(now_);
    }

    // ---- records
    const std::vector<RestartRecord>& restarts() const { return restarts_; }
    uint8_t pin_output(uint8_t pin) const;
    uint8_t pin_mode(uint8_t pin) const;
    // Each change of an output pin with its time, the first kPinHistoryLimit of them.
    const std::vector<std::pair<Nanos, uint8_t>>& pin_history(uint8_t pin) const;
    uint64_t uart_bytes_to_board(int unit) const;
    uint64_t uart_bytes_from_board(int unit) const;
    uint64_t uart_dropped(int unit) const;
    // When the receive queue of a port dropped bytes, run by run (see Uart::drop_runs).
    std::vector<std::pair<Nanos, uint64_t>> uart_drop_runs(int unit) const;
    uint32_t uart_baud(int unit) const;
    size_t heap_in_use() const { return heap_bytes_; }
    uint64_t heap_failures() const { return heap_failures_; }
    uint64_t boots() const { return boots_; }
    FirmwareSource* firmware() { return firmware_; }

    // ---- platform side (called by the platform operations; not for the world)
    // A platform call that does something: costs its time and breaks an idle streak.
    void call() {
        if (in_isr_) return;
        now_ += cfg_.call_cost;
        restart_streak();
        if (now_ >= due_) advance_slow();
    }
    // A call that found nothing new (an empty queue, a watchdog feed, a pin read).
    void poll() { poll_until(kNever); }
    // The same, for a reading that changes by itself at `horizon` (a clock). The streak's
    // last poll is the one that would reach streak_end_: it jumps instead (poll_slow).
    // Inside the interrupt a poll costs nothing (poll_cost_ is 0) and poll_slow returns.
    void poll_until(Nanos horizon) {
        now_ += poll_cost_;
        if (__builtin_expect(now_ >= poll_due_, 0)) poll_slow(horizon);
    }
    // A call that takes time but neither acts nor polls: the streak waits for it.
    void call_neutral() {
        if (in_isr_) return;
        now_ += cfg_.call_cost;
        streak_end_ += cfg_.call_cost;
        refresh_poll_due();
        if (now_ >= due_) advance_slow();
    }
    void schedule_due(Nanos t) {
        if (t < due_) set_due(t);
    }
    void event_times_changed() { next_dirty_ = true; } // a port's next byte time moved
    bool in_isr() const { return in_isr_; }
    void wait_until(Nanos t); // blocking wait inside a platform call
    void pin_mode_set(uint8_t pin, uint8_t mode) {
        // Re-applying the mode a pin already has changes nothing: it polls (inline: the
        // firmware does it in every pass of its loop).
        if (__builtin_expect(pin < kPins && pin_mode_[pin] == mode, 1)) poll();
        else pin_mode_change(pin, mode);
    }
    void pin_write(uint8_t pin, uint8_t level) {
        // Writing the level a pin already drives changes nothing outside: like a read, it
        // counts toward the idle streak (a loop that keeps a supply switched off each pass).
        if (__builtin_expect(pin < kPins && pin_out_[pin] == (level ? 1 : 0), 1)) {
            poll();
            return;
        }
        pin_write_change(pin, level);
    }
    uint8_t pin_read(uint8_t pin);
    uint32_t millis() const;
    // millis() now and when it next changes, from a span worked out once a millisecond (one
    // carried step after the span before, three 128-bit divisions after a jump).
    uint32_t millis_now() {
        if (__builtin_expect(now_ < ms_from_ || now_ >= ms_until_, 0)) refresh_millis();
        return static_cast<uint32_t>(ms_count_);
    }
    Nanos next_millis_change() {
        if (__builtin_expect(now_ < ms_from_ || now_ >= ms_until_, 0)) refresh_millis();
        return ms_until_;
    }
    uint32_t micros() const;
    void timer_setup(uint16_t divisor, uint16_t compare);
    void timer_start();
    void timer_stop();
    void wdt_enable(uint8_t period);
    void wdt_feed() {
        if (wdt_enabled_) wdt_expiry_ = now_ + wdt_period_;
        poll();
    }
    [[noreturn]] void halt();
    Uart& uart(int unit) { return *uarts_[unit]; }
    bool i2c_write(uint8_t address, const uint8_t* data, size_t n);
    bool i2c_read(uint8_t address, uint8_t* data, size_t n);
    CardDevice* card() { return card_; }
    void* heap_realloc(void* p, size_t n);
    void heap_free(void* p);
    uint64_t cycles_at(Nanos t) const;   // 48 MHz clock cycles since the last reset
    Nanos time_of_cycles(uint64_t cycles) const; // inverse, rounded up

private:
    struct IsrGuard;
    void deliver_due();
    void deliver_ports_and_events(Nanos t);
    void pin_mode_change(uint8_t pin, uint8_t mode);
    void pin_write_change(uint8_t pin, uint8_t level);
    void refresh_millis();
    Nanos next_event() const;
    void reset_hardware();
    void run_isr();
    void check_end();
    void advance_slow();
    void idle_jump(Nanos horizon);
    void poll_slow(Nanos horizon);
    void set_in_isr(bool in) {
        in_isr_ = in;
        poll_cost_ = in ? 0 : cfg_.call_cost;
    }
    void set_due(Nanos t) {
        due_ = t;
        refresh_poll_due();
    }
    // A call that acts, an event delivered or a jump: the polls count afresh from now.
    void restart_streak() {
        streak_end_ = now_ + static_cast<Nanos>(cfg_.idle_streak) * cfg_.call_cost;
        refresh_poll_due();
    }
    void refresh_poll_due() { poll_due_ = due_ < streak_end_ ? due_ : streak_end_; }
    [[noreturn]] static void no_board();
    static Board* current_;

    // About seven hours of the heartbeat LED (two changes a second), 1 MiB a pin: a run of
    // days stops recording there instead of growing by 3 MB a day.
    static constexpr size_t kPinHistoryLimit = 1u << 16;
    static constexpr int kPins = 64;

    BoardConfig cfg_;
    Nanos now_ = 0;
    Nanos due_ = 0;       // lower bound of the next event time, never after end_
    Nanos end_ = kNever;  // end of the run
    // The idle streak in time: its polls each cost call_cost from the last act, so the one
    // that would bring now_ to streak_end_ is the streak's last. poll_due_ is the earlier of
    // that and due_: one comparison per poll.
    Nanos streak_end_ = 0;
    Nanos poll_due_ = 0;
    // next_event() of the ports and the world events, remembered until a port's byte times
    // or the events change (event_times_changed).
    mutable Nanos next_remembered_ = 0;
    mutable bool next_dirty_ = true;
    bool in_isr_ = false;
    Nanos poll_cost_ = 0;        // call_cost, or 0 inside the interrupt
    bool isr_blocked_ = false;   // halted inside the interrupt: it cannot run again
    std::string halt_cause_;
    void (*isr_)() = nullptr;
    FirmwareSource* firmware_ = nullptr;
    uint64_t boots_ = 0;
    std::function<void()> observer_;
    Nanos observe_every_ = 0;
    Nanos observe_at_ = kNever;
    std::vector<RestartRecord> restarts_;

    // Oscillator: frequency in milli-hertz, exact integer arithmetic for cycle times.
    uint64_t osc_mhz_;
    Nanos boot_time_ = 0;
    // A count of cycles since boot as nanoseconds: cycles * 1e12 = q * osc + r, the time
    // q rounded up. Moved on by a whole step (a period, a millisecond) without a division.
    struct CycleTime {
        uint64_t q = 0, r = 0;
        static CycleTime of(uint64_t cycles, uint64_t osc_mhz);
        void add(const CycleTime& step, uint64_t osc_mhz) {
            q += step.q;
            r += step.r;
            if (r >= osc_mhz) {
                r -= osc_mhz;
                ++q;
            }
        }
        Nanos ns() const { return q + (r != 0 ? 1 : 0); }
    };
    // millis() is ms_count_ from ms_from_ until ms_until_ (an empty span: not worked out);
    // ms_end_ is the end's cycle count, (ms_count_ + 1) * 48000, and ms_step_ a millisecond.
    Nanos ms_from_ = 1, ms_until_ = 0;
    uint64_t ms_count_ = 0;
    CycleTime ms_end_, ms_step_;

    // TC0
    bool timer_running_ = false;
    uint64_t timer_period_cycles_ = 48000;
    uint64_t timer_start_cycles_ = 0;
    uint64_t timer_ticks_ = 0;
    // The next compare match's cycle count, start + (ticks + 1) * period, and a period.
    CycleTime tick_, tick_step_;
    Nanos next_tick_time();
    Nanos timer_next_ = kNever;

    // Watchdog
    bool wdt_enabled_ = false;
    Nanos wdt_period_ = 0;
    Nanos wdt_expiry_ = kNever;

    // World events
    std::map<std::pair<Nanos, uint64_t>, std::function<void()>> events_;
    uint64_t event_seq_ = 0;

    // Pins
    // Modes and driven levels apart from the rest: the firmware sets them every pass.
    uint8_t pin_mode_[kPins] = {};
    uint8_t pin_out_[kPins] = {};
    struct Pin {
        uint8_t in = 1; // an open input reads high (pull-up or undriven line)
        std::vector<std::pair<Nanos, uint8_t>> history;
        std::vector<std::function<void(uint8_t)>> listeners;
    };
    std::vector<Pin> pins_;

    std::unique_ptr<Uart> uarts_[4];
    std::map<uint8_t, I2cDevice*> i2c_;
    CardDevice* card_ = nullptr;

    std::map<void*, size_t> heap_;
    size_t heap_bytes_ = 0;
    uint64_t heap_failures_ = 0;
};

} // namespace sim
