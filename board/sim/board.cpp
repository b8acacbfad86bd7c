#include "board/sim/board.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "board/sim/sim_uart.h"
#include "platform.h"

namespace sim {

Board* Board::current_ = nullptr;

// A firmware image loaded at run time needs every platform operation, whether or not the
// simulator itself calls it: this reference keeps them all in any program with a board.
[[gnu::used]] static HardwareSerial* const kKeepPlatformOperations = &Serial0;
// The same for the per-pass operations (platform_polls.cpp), which a firmware linked with the
// board (unit tests) takes from here and the image has its own copy of.
[[gnu::used]] static void (*const kKeepPassOperations)(uint8_t, uint8_t) = &pinMode;

namespace {
constexpr uint64_t kNominalHz = 48000000;

} // namespace

// Runs the timer interrupt with the board inside it; it leaves it however the interrupt ends.
struct Board::IsrGuard {
    Board& board;
    explicit IsrGuard(Board& b) : board(b) { board.set_in_isr(true); }
    ~IsrGuard() { board.set_in_isr(false); }
};

Board::Board(const BoardConfig& config) : cfg_(config), pins_(kPins) {
    if (cfg_.call_cost < 1) cfg_.call_cost = 1; // the idle streak is counted in time
    if (cfg_.idle_streak < 1) cfg_.idle_streak = 1;
    poll_cost_ = cfg_.call_cost;
    // Oscillator frequency in milli-hertz: 48 MHz x (1 + error).
    long double f = (long double)kNominalHz * 1000.0L * (1.0L + (long double)config.oscillator_ppm * 1e-6L);
    osc_mhz_ = static_cast<uint64_t>(f + 0.5L);
    ms_step_ = CycleTime::of(48000, osc_mhz_);
    for (int u = 0; u < 4; ++u)
        uarts_[u] = std::make_unique<Uart>(*this, u, cfg_.uart_rx_size, cfg_.uart_tx_size);
    current_ = this;
}

Board::~Board() {
    for (auto& [p, n] : heap_) std::free(p);
    if (current_ == this) current_ = nullptr;
}

void Board::no_board() {
    // A platform call with no board would be a wiring fault of the simulator itself.
    std::fprintf(stderr, "ondavix: platform operation called with no simulated board\n");
    std::abort();
}

// ------------------------------------------------------------------ wiring

UartLink& Board::connect_uart(int unit, UartDevice* device, uint32_t device_baud) {
    uarts_[unit]->attach(device, device_baud);
    return *uarts_[unit];
}

void Board::connect_i2c(uint8_t address, I2cDevice* device) { i2c_[address] = device; }
void Board::connect_card(CardDevice* card) { card_ = card; }

void Board::set_input(uint8_t pin, uint8_t level) { pins_.at(pin).in = level ? 1 : 0; }

void Board::on_output_change(uint8_t pin, std::function<void(uint8_t)> fn) {
    pins_.at(pin).listeners.push_back(std::move(fn));
}

void Board::at(Nanos t, std::function<void()> fn) {
    if (t < now_) t = now_;
    events_.emplace(std::make_pair(t, event_seq_++), std::move(fn));
    next_dirty_ = true;
    schedule_due(t);
}


// ------------------------------------------------------------------ time

uint64_t Board::cycles_at(Nanos t) const {
    if (t < boot_time_) return 0;
    unsigned __int128 c = (unsigned __int128)(t - boot_time_) * osc_mhz_;
    return static_cast<uint64_t>(c / 1000000000000ull);
}

Board::CycleTime Board::CycleTime::of(uint64_t cycles, uint64_t osc_mhz) {
    const unsigned __int128 n = (unsigned __int128)cycles * 1000000000000ull;
    return {static_cast<uint64_t>(n / osc_mhz), static_cast<uint64_t>(n % osc_mhz)};
}

// time_of_cycles(start + (ticks + 1) * period), carried from the tick before: the exact
// time, a 128-bit division less a tick.
Nanos Board::next_tick_time() {
    tick_.add(tick_step_, osc_mhz_);
    return boot_time_ + tick_.ns();
}

Nanos Board::time_of_cycles(uint64_t cycles) const {
    unsigned __int128 n = (unsigned __int128)cycles * 1000000000000ull;
    return boot_time_ + static_cast<Nanos>((n + osc_mhz_ - 1) / osc_mhz_);
}

// cycles_at(t) >= c exactly when t >= time_of_cycles(c): the span is exact. The span after
// the one worked out last starts where it ended, and its end is one step of the carried
// quotient and remainder on (as the timer's next match): no division in a millisecond
// that follows the one before, three when time has jumped further.
void Board::refresh_millis() {
    if (ms_until_ != 0 && now_ >= ms_until_) {
        CycleTime end = ms_end_;
        end.add(ms_step_, osc_mhz_);
        const Nanos until = boot_time_ + end.ns();
        if (now_ < until) {
            ms_from_ = ms_until_;
            ms_until_ = until;
            ms_end_ = end;
            ++ms_count_;
            return;
        }
    }
    ms_count_ = cycles_at(now_) / 48000;
    ms_from_ = ms_count_ == 0 ? 0 : time_of_cycles(ms_count_ * 48000);
    ms_end_ = CycleTime::of((ms_count_ + 1) * 48000, osc_mhz_);
    ms_until_ = boot_time_ + ms_end_.ns();
}

uint32_t Board::millis() const { return static_cast<uint32_t>(cycles_at(now_) / 48000); }
uint32_t Board::micros() const { return static_cast<uint32_t>(cycles_at(now_) / 48); }

// The watchdog's expiry moves with every feed (each pass of the loop): it is kept out of
// the remembered part, which changes only with a byte, an event or a tick.
Nanos Board::next_event() const {
    if (next_dirty_) {
        Nanos t = kNever;
        for (int u = 0; u < 4; ++u) {
            if (uarts_[u]->next_to_board() < t) t = uarts_[u]->next_to_board();
            if (uarts_[u]->next_to_device() < t) t = uarts_[u]->next_to_device();
        }
        if (!events_.empty() && events_.begin()->first.first < t) t = events_.begin()->first.first;
        next_remembered_ = t;
        next_dirty_ = false;
    }
    // The timer and the watchdog move every millisecond: read as they stand.
    Nanos t = timer_next_ < next_remembered_ ? timer_next_ : next_remembered_;
    return wdt_expiry_ < t ? wdt_expiry_ : t;
}

void Board::set_observer(Nanos every, std::function<void()> fn) {
    observer_ = std::move(fn);
    observe_every_ = every > 0 ? every : 1;
    observe_at_ = observer_ ? now_ + observe_every_ : kNever;
    schedule_due(observe_at_);
}

void Board::deliver_due() {
    if (now_ >= observe_at_) {
        observe_at_ = now_ + observe_every_;
        observer_();
    }
    for (;;) {
        Nanos t = next_event();
        if (t > now_) {
            Nanos due = t < end_ ? t : end_;
            // An earlier look changes nothing the firmware sees: nothing is due then.
            if (observe_at_ < due) due = observe_at_;
            set_due(due);
            return;
        }
        restart_streak();
        // One instant, in the fixed order written at the top of board.h. The ports and the
        // world events are looked at only when one of them is due (next_event() has just
        // worked out the earliest of them): an idle millisecond is the tick alone.
        if (next_remembered_ <= t) deliver_ports_and_events(t);
        if (timer_next_ <= t) {
            ++timer_ticks_;
            timer_next_ = next_tick_time();
            run_isr();
        }
        if (wdt_expiry_ <= t) {
            wdt_expiry_ = kNever;
            throw BoardReset{halt_cause_.empty() ? std::string("watchdog: not fed in time") : halt_cause_};
        }
    }
}

void Board::deliver_ports_and_events(Nanos t) {
    for (int u = 0; u < 4; ++u)
        if (uarts_[u]->next_to_board() <= t) uarts_[u]->deliver_to_board(t);
    for (int u = 0; u < 4; ++u)
        if (uarts_[u]->next_to_device() <= t) uarts_[u]->deliver_to_device(t);
    while (!events_.empty() && events_.begin()->first.first <= t) {
        auto it = events_.begin();
        auto fn = std::move(it->second);
        events_.erase(it);
        next_dirty_ = true;
        fn();
    }
}

void Board::run_isr() {
    if (!isr_ || in_isr_ || isr_blocked_) return;
    IsrGuard guard(*this);
    isr_();
}

void Board::check_end() {
    if (now_ >= end_) {
        now_ = end_;
        throw RunEnd{};
    }
}

void Board::advance_slow() {
    check_end();
    deliver_due();
    check_end();
}

void Board::idle_jump(Nanos horizon) {
    Nanos t = next_event();
    if (t > horizon) t = horizon;
    if (t > end_) t = end_;
    // With nothing due at all, time still passes at the cost of the call.
    if (t == kNever) t = now_ + cfg_.call_cost;
    if (t > now_) now_ = t;
    restart_streak();
}

void Board::poll_slow(Nanos horizon) {
    if (in_isr_) return;
    if (now_ >= streak_end_) {
        now_ -= cfg_.call_cost;
        idle_jump(horizon);
    }
    if (now_ >= due_) advance_slow();
}

void Board::wait_until(Nanos t) {
    if (in_isr_) return;
    while (now_ < t) {
        Nanos next = next_event();
        if (next > t) next = t;
        if (next > end_) next = end_;
        if (next > now_) now_ = next;
        if (now_ >= due_) deliver_due();
        check_end();
    }
    restart_streak();
}

void Board::idle_until(Nanos t) {
    Nanos saved_end = end_;
    end_ = t;
    if (due_ > end_) set_due(end_);
    try {
        wait_until(t);
    } catch (const RunEnd&) {
    }
    end_ = saved_end;
}

// ------------------------------------------------------------------ pins

void Board::pin_mode_change(uint8_t pin, uint8_t mode) {
    if (pin >= kPins) return;
    pin_mode_[pin] = mode;
    call();
}

void Board::pin_write_change(uint8_t pin, uint8_t level) {
    if (pin >= kPins) return;
    Pin& p = pins_[pin];
    level = level ? 1 : 0;
    if (!in_isr_) call();
    pin_out_[pin] = level;
    if (p.history.size() < kPinHistoryLimit) p.history.emplace_back(now_, level);
    for (auto& fn : p.listeners) fn(level);
}

uint8_t Board::pin_read(uint8_t pin) {
    if (pin >= kPins) return 0;
    uint8_t v = pin_mode_[pin] == 1 ? pin_out_[pin] : pins_[pin].in;
    poll();
    return v;
}

uint8_t Board::pin_output(uint8_t pin) const {
    if (pin >= kPins) throw std::out_of_range("no such pin");
    return pin_out_[pin];
}
uint8_t Board::pin_mode(uint8_t pin) const {
    if (pin >= kPins) throw std::out_of_range("no such pin");
    return pin_mode_[pin];
}
const std::vector<std::pair<Nanos, uint8_t>>& Board::pin_history(uint8_t pin) const {
    return pins_.at(pin).history;
}

// ------------------------------------------------------------------ timer and watchdog

void Board::timer_setup(uint16_t divisor, uint16_t compare) {
    call();
    timer_running_ = false;
    timer_next_ = kNever;
    timer_period_cycles_ = uint64_t(divisor ? divisor : 1) * (compare ? compare : 1);
}

void Board::timer_start() {
    call();
    timer_running_ = true;
    timer_start_cycles_ = cycles_at(now_);
    timer_ticks_ = 0;
    // The first compare match by one division; each later one by a step (next_tick_time).
    tick_ = CycleTime::of(timer_start_cycles_ + timer_period_cycles_, osc_mhz_);
    tick_step_ = CycleTime::of(timer_period_cycles_, osc_mhz_);
    timer_next_ = boot_time_ + tick_.ns(); // time_of_cycles(start + period)
    schedule_due(timer_next_);
}

void Board::timer_stop() {
    call();
    timer_running_ = false;
    timer_next_ = kNever;
}

void Board::wdt_enable(uint8_t period) {
    call();
    // The watchdog counts 2^(period+3) cycles of its 1.024 kHz clock (period 7: 1 s).
    if (period > 11) period = 11;
    wdt_period_ = (Nanos(1) << (period + 3)) * kSecond / 1024;
    wdt_enabled_ = true;
    wdt_expiry_ = now_ + wdt_period_;
    schedule_due(wdt_expiry_);
}

void Board::halt() {
    // The CPU spins without feeding the watchdog. Halted inside the interrupt, the timer
    // interrupt can no longer run; halted in the main loop it still does.
    halt_cause_ = in_isr_ ? "watchdog: firmware halted in the timer interrupt"
                          : "watchdog: firmware halted in the main loop";
    if (in_isr_) isr_blocked_ = true;
    set_in_isr(false);
    if (!wdt_enabled_) throw std::runtime_error("simulated board: halted with the watchdog off");
    wait_until(kNever);
    throw std::logic_error("unreachable");
}

// ------------------------------------------------------------------ I2C

// I2C at 100 kHz: nine clocks per byte (eight bits and the acknowledge), plus start and stop.
static Nanos i2c_time(size_t bytes) { return (Nanos(bytes) * 9 + 2) * 10 * kMicro; }

bool Board::i2c_write(uint8_t address, const uint8_t* data, size_t n) {
    call();
    wait_until(now_ + i2c_time(n + 1));
    auto it = i2c_.find(address);
    return it != i2c_.end() && it->second->write(data, n);
}

bool Board::i2c_read(uint8_t address, uint8_t* data, size_t n) {
    call();
    wait_until(now_ + i2c_time(n + 1));
    auto it = i2c_.find(address);
    return it != i2c_.end() && it->second->read(data, n);
}

// ------------------------------------------------------------------ heap

void* Board::heap_realloc(void* p, size_t n) {
    call();
    size_t old = 0;
    if (p) {
        auto it = heap_.find(p);
        if (it == heap_.end()) throw std::runtime_error("simulated board: realloc of a block the heap never gave");
        old = it->second;
    }
    if (heap_bytes_ - old + n > cfg_.heap_limit) {
        ++heap_failures_;
        return nullptr;
    }
    if (p) heap_.erase(p);
    void* q = std::realloc(p, n ? n : 1);
    if (!q) {
        if (p) heap_[p] = old;
        ++heap_failures_;
        return nullptr;
    }
    heap_[q] = n;
    heap_bytes_ = heap_bytes_ - old + n;
    return q;
}

void Board::heap_free(void* p) {
    call();
    if (!p) return;
    auto it = heap_.find(p);
    if (it == heap_.end()) throw std::runtime_error("simulated board: free of a block the heap never gave");
    heap_bytes_ -= it->second;
    std::free(p);
    heap_.erase(it);
}

// ------------------------------------------------------------------ reset and running

void Board::reset_hardware() {
    boot_time_ = now_;
    ms_until_ = 0; // millis() counts from the new boot
    for (int pin = 0; pin < kPins; ++pin) {
        Pin& p = pins_[pin];
        if (pin_out_[pin] != 0) {
            pin_out_[pin] = 0;
            if (p.history.size() < kPinHistoryLimit) p.history.emplace_back(now_, 0);
            for (auto& fn : p.listeners) fn(0);
        }
        pin_mode_[pin] = 0;
    }
    for (auto& u : uarts_) u->hardware_reset(now_);
    timer_running_ = false;
    timer_next_ = kNever;
    next_dirty_ = true;
    wdt_enabled_ = false;
    wdt_expiry_ = kNever;
    set_in_isr(false);
    isr_blocked_ = false;
    halt_cause_.clear();
    for (auto& [p, n] : heap_) std::free(p);
    heap_.clear();
    heap_bytes_ = 0;
    due_ = now_;
    restart_streak();
}

void Board::run(FirmwareSource& firmware, Nanos end) {
    firmware_ = &firmware;
    end_ = end;
    if (due_ > end_) set_due(end_);
    for (;;) {
        reset_hardware();
        ++boots_;
        try {
            FirmwareEntry entry = firmware.boot();
            isr_ = entry.timer_isr;
            entry.setup();
            for (;;) entry.loop();
        } catch (const BoardReset& reset) {
            restarts_.push_back({now_, reset.cause});
            firmware.shutdown();
            if (!firmware.restartable()) break;
        } catch (const RunEnd&) {
            firmware.shutdown();
            break;
        } catch (...) {
            firmware.shutdown();
            end_ = kNever;
            throw;
        }
    }
    isr_ = nullptr;
    end_ = kNever;
}

void Board::run_code(const std::function<void()>& fn, void (*isr)()) {
    isr_ = isr;
    fn();
}

// ------------------------------------------------------------------ records

uint64_t Board::uart_bytes_to_board(int unit) const { return uarts_[unit]->bytes_to_board(); }
uint64_t Board::uart_bytes_from_board(int unit) const { return uarts_[unit]->bytes_from_board(); }
uint64_t Board::uart_dropped(int unit) const { return uarts_[unit]->dropped(); }
std::vector<std::pair<Nanos, uint64_t>> Board::uart_drop_runs(int unit) const {
    std::vector<std::pair<Nanos, uint64_t>> out;
    for (const Uart::DropRun& r : uarts_[unit]->drop_runs()) out.emplace_back(r.start, r.bytes);
    return out;
}
uint32_t Board::uart_baud(int unit) const { return uarts_[unit]->board_baud(); }

} // namespace sim
