#include "board/sim/sim_uart.h"

#include <algorithm>

#include "board/sim/board.h"

namespace sim {

namespace {

// A UART receiver copes with a rate error of a few per cent; beyond 2.5 % the samples drift
// into neighbouring bits over a frame.
bool rates_match(uint32_t sender, uint32_t receiver) {
    uint64_t diff = sender > receiver ? sender - receiver : receiver - sender;
    return diff * 1000 <= 25ull * sender;
}

Nanos sample_time(Nanos edge, int bit, uint32_t baud) {
    return edge + ((2ull * bit + 1) * 1000000000ull + baud) / (2ull * baud);
}

} // namespace

// ------------------------------------------------------------------ LineDirection

Nanos LineDirection::push(uint8_t b, Nanos now, uint32_t sender_baud) {
    Frame f{line_free_ > now ? line_free_ : now, sender_baud, b};
    frames_.push_back(f);
    line_free_ = f.end();
    return line_free_;
}

int LineDirection::level(Nanos t) const {
    for (const Frame& f : frames_) {
        if (t < f.start) return 1;
        if (t < f.end()) {
            int k = static_cast<int>((uint64_t(t - f.start) * f.baud) / 1000000000ull);
            if (k > 9) k = 9;
            return f.level_at_bit(k);
        }
    }
    return 1;
}

bool LineDirection::falling_edge_from(Nanos r, Nanos& edge) const {
    for (const Frame& f : frames_) {
        if (f.end() <= r) continue;
        for (int i = 0; i < 10; ++i) {
            int before = i == 0 ? 1 : f.level_at_bit(i - 1);
            if (before == 1 && f.level_at_bit(i) == 0 && f.edge(i) >= r) {
                edge = f.edge(i);
                return true;
            }
        }
    }
    return false;
}

bool LineDirection::next(Nanos now, uint32_t receiver_baud, Nanos& when, uint8_t& byte,
                         Nanos& ready_after) {
    (void)now;
    if (frames_.empty() || receiver_baud == 0) return false;
    const Frame& front = frames_.front();
    if (rates_match(front.baud, receiver_baud) && front.start >= rx_ready_) {
        when = front.end();
        byte = front.byte;
        ready_after = when;
        return true;
    }
    // Mismatched rate: decode the waveform as the receiver samples it. Samples beyond the
    // queued frames read the idle level; a frame queued later re-plans the decode.
    Nanos r = rx_ready_;
    for (;;) {
        Nanos e;
        if (!falling_edge_from(r, e)) return false;
        if (level(sample_time(e, 0, receiver_baud)) != 0) { r = e + 1; continue; } // glitch
        uint8_t v = 0;
        for (int bit = 1; bit <= 8; ++bit)
            if (level(sample_time(e, bit, receiver_baud))) v |= uint8_t(1u << (bit - 1));
        when = sample_time(e, 9, receiver_baud);
        byte = v;
        ready_after = when;
        return true;
    }
}

void LineDirection::consume(Nanos ready_after) {
    rx_ready_ = ready_after;
    while (!frames_.empty() && frames_.front().end() <= rx_ready_) frames_.pop_front();
}

// Frames follow one another on the line, so their ends rise: the ones still in flight are
// a tail of the queue, found by halving (a console line queued is hundreds of frames).
size_t LineDirection::in_flight(Nanos now) const {
    auto first = std::partition_point(frames_.begin(), frames_.end(),
                                      [now](const Frame& f) { return f.end() <= now; });
    return static_cast<size_t>(frames_.end() - first);
}

void LineDirection::cut(Nanos now) {
    while (!frames_.empty() && frames_.back().start >= now) frames_.pop_back();
    line_free_ = frames_.empty() ? now : frames_.back().end();
    if (line_free_ < now) line_free_ = now;
}

void LineDirection::forget_before(Nanos t) {
    if (rx_ready_ < t) rx_ready_ = t;
    while (!frames_.empty() && frames_.front().end() <= t) frames_.pop_front();
}

// ------------------------------------------------------------------ Uart

Uart::Uart(Board& board, int unit, size_t rx_size, size_t tx_size)
    : board_(board), unit_(unit), rx_size_(rx_size), tx_size_(tx_size), rx_(rx_size) {}

void Uart::begin(uint32_t baud) {
    board_.call();
    baud_ = baud;
    rx_.clear();
    // A receiver started in the middle of a frame waits for the next edge.
    to_board_.forget_before(board_.now());
    plan_rx();
}

void Uart::end() {
    board_.call();
    baud_ = 0;
    rx_.clear();
    plan_rx();
}

size_t Uart::write(uint8_t b) {
    if (baud_ == 0) {
        board_.call();
        return 0;
    }
    if (!board_.in_isr()) {
        board_.call();
        // The driver blocks while its queue (plus the shift register) is full.
        while (to_device_.in_flight(board_.now()) > tx_size_) board_.wait_until(next_tx_);
    }
    // Inside the interrupt the queue is allowed to run over rather than block: the
    // interrupt's few console lines must not stall the simulated CPU.
    if (!device_) to_device_.forget_before(board_.now()); // nobody listens on this line
    to_device_.push(b, board_.now(), baud_);
    ++tx_count_;
    plan_tx();
    return 1;
}

void Uart::flush() {
    board_.call();
    if (!board_.in_isr()) board_.wait_until(to_device_.line_free());
}

void Uart::send(const uint8_t* data, size_t n) {
    if (baud_ == 0) to_board_.forget_before(board_.now()); // the port is not listening
    for (size_t i = 0; i < n; ++i) to_board_.push(data[i], board_.now(), device_baud_);
    plan_rx();
}

size_t Uart::send_pending() const { return to_board_.in_flight(board_.now()); }

void Uart::plan_rx() {
    Nanos when;
    uint8_t b;
    Nanos ready;
    if (baud_ != 0 && to_board_.next(board_.now(), baud_, when, b, ready)) {
        next_rx_ = when;
        next_rx_byte_ = b;
        next_rx_ready_ = ready;
        board_.schedule_due(when);
    } else {
        next_rx_ = kNever;
    }
    board_.event_times_changed();
}

void Uart::plan_tx() {
    Nanos when;
    uint8_t b;
    Nanos ready;
    if (to_device_.next(board_.now(), device_ ? device_baud_ : 0, when, b, ready)) {
        next_tx_ = when;
        next_tx_byte_ = b;
        next_tx_ready_ = ready;
        board_.schedule_due(when);
    } else {
        next_tx_ = kNever;
    }
    board_.event_times_changed();
}

void Uart::deliver_to_board(Nanos now) {
    while (next_rx_ <= now) {
        to_board_.consume(next_rx_ready_);
        ++rx_count_;
        if (rx_.size() < rx_size_) {
            rx_.push_back(next_rx_byte_);
            dropping_ = false;
        } else {
            ++dropped_;
            if (!dropping_) {
                dropping_ = true;
                counting_run_ = drop_runs_.size() < kDropRunsKept;
                if (counting_run_) drop_runs_.push_back({next_rx_, 0});
            }
            if (counting_run_) ++drop_runs_.back().bytes;
        }
        plan_rx();
    }
}

void Uart::deliver_to_device(Nanos now) {
    while (next_tx_ <= now) {
        uint8_t b = next_tx_byte_;
        to_device_.consume(next_tx_ready_);
        plan_tx();
        if (device_) device_->on_byte(b);
    }
}

void Uart::hardware_reset(Nanos now) {
    baud_ = 0;
    rx_.clear();
    to_device_.cut(now);
    plan_rx();
    plan_tx();
    (void)unit_;
}

} // namespace sim
