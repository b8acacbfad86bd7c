// One serial unit of the simulated board and the line to the device on its far side.
//
// Each direction of the line carries frames of ten bit times (start, eight data bits,
// stop) at the sender's rate. When the receiver runs at the sender's rate (within the
// 2.5 % a UART tolerates) it gets the byte at the end of the stop bit. Otherwise it samples
// the waveform at its own rate, as a real UART does: it waits for a falling edge, samples
// each bit in its middle, and hands over whatever byte that makes.
//
// Queue sizes: the board's receive and transmit queues hold 350 bytes each by default, the
// ring-buffer size of the board support's serial driver. A byte that finds the receive
// queue full is dropped and counted.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "board/sim/board.h"
#include "world/link.h"

namespace sim {

// One direction of a serial line: the sender's frames and the receiver's decoder.
class LineDirection {
public:
    // Queues a byte at the sender's rate; it starts when the line is free. Returns its end.
    Nanos push(uint8_t b, Nanos now, uint32_t sender_baud);
    // When the receiver (at receiver_baud; 0 = not listening) completes its next byte, and
    // that byte, judging only what is on the line up to max(now, end of queued frames).
    bool next(Nanos now, uint32_t receiver_baud, Nanos& when, uint8_t& byte, Nanos& ready_after);
    void consume(Nanos ready_after);
    // Frames not yet fully on the wire at time now.
    size_t in_flight(Nanos now) const;
    Nanos line_free() const { return line_free_; }
    // Drops queued frames that have not started by `now` (the sender was reset).
    void cut(Nanos now);
    void forget_before(Nanos t); // the receiver stopped listening until t

private:
    // The end of the stop bit is worked out once, when the frame is queued (it is asked for
    // at every byte delivered and every byte written, and takes a division).
    struct Frame {
        Nanos start;
        uint32_t baud;
        uint8_t byte;
        Nanos stop_end;
        Frame(Nanos s, uint32_t b, uint8_t v) : start(s), baud(b), byte(v), stop_end(edge(10)) {}
        Nanos edge(int bit) const { return start + (uint64_t(bit) * 1000000000ull + baud / 2) / baud; }
        Nanos end() const { return stop_end; }
        int level_at_bit(int k) const { return k == 0 ? 0 : k == 9 ? 1 : (byte >> (k - 1)) & 1; }
    };
    int level(Nanos t) const;
    bool falling_edge_from(Nanos r, Nanos& edge) const;

    std::deque<Frame> frames_;
    Nanos line_free_ = 0;
    Nanos rx_ready_ = 0;
};

// The board's receive queue: a ring of fixed size (deque's size() alone cost the firmware's
// every poll a dozen instructions).
class ByteRing {
public:
    explicit ByteRing(size_t size) : bytes_(size > 0 ? size : 1) {}
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    uint8_t front() const { return bytes_[head_]; }
    void pop_front() {
        head_ = head_ + 1 == bytes_.size() ? 0 : head_ + 1;
        --count_;
    }
    // The caller checks that there is room (size() below the ring's size).
    void push_back(uint8_t b) {
        size_t at = head_ + count_;
        if (at >= bytes_.size()) at -= bytes_.size();
        bytes_[at] = b;
        ++count_;
    }
    void clear() { head_ = count_ = 0; }

private:
    std::vector<uint8_t> bytes_;
    size_t head_ = 0, count_ = 0;
};

class Uart final : public UartLink {
public:
    Uart(Board& board, int unit, size_t rx_size, size_t tx_size);

    // ---- board side (through the platform operations)
    void begin(uint32_t baud);
    void end();
    // The firmware polls these in every pass of its loop: inline, each costs it one call.
    // `b` is this port's board, which the caller holds already (one load less a poll).
    int available(Board& b) {
        if (rx_.empty()) b.poll();
        else b.call();
        return static_cast<int>(rx_.size());
    }
    int read(Board& b) {
        if (rx_.empty()) {
            b.poll();
            if (rx_.empty()) return -1;
        } else {
            b.call();
        }
        uint8_t v = rx_.front();
        rx_.pop_front();
        return v;
    }
    int peek(Board& b) {
        if (rx_.empty()) b.poll();
        else b.call();
        return rx_.empty() ? -1 : rx_.front();
    }
    size_t write(uint8_t b);
    void flush();

    // ---- device side (UartLink)
    void attach(UartDevice* device, uint32_t device_baud) { device_ = device; device_baud_ = device_baud; }
    void send(const uint8_t* data, size_t n) override;
    using UartLink::send;
    void set_baud(uint32_t baud) override { device_baud_ = baud; }
    uint32_t baud() const override { return device_baud_; }
    size_t send_pending() const override;

    // ---- events
    Nanos next_to_board() const { return next_rx_; }
    Nanos next_to_device() const { return next_tx_; }
    void deliver_to_board(Nanos now);
    void deliver_to_device(Nanos now);
    void hardware_reset(Nanos now);

    uint32_t board_baud() const { return baud_; }
    uint64_t bytes_to_board() const { return rx_count_; }
    uint64_t bytes_from_board() const { return tx_count_; }
    uint64_t dropped() const { return dropped_; }
    // Runs of dropped bytes: when each began and how many bytes it lost; a byte that
    // arrives into a queue with room again ends a run. The first kDropRunsKept only.
    struct DropRun {
        Nanos start = 0;
        uint64_t bytes = 0;
    };
    static constexpr size_t kDropRunsKept = 256;
    const std::vector<DropRun>& drop_runs() const { return drop_runs_; }

private:
    void plan_rx();
    void plan_tx();

    Board& board_;
    int unit_;
    size_t rx_size_, tx_size_;
    uint32_t baud_ = 0;          // 0 = port not started
    UartDevice* device_ = nullptr;
    uint32_t device_baud_ = 9600;
    LineDirection to_board_, to_device_;
    ByteRing rx_;
    Nanos next_rx_ = ~Nanos(0), next_tx_ = ~Nanos(0);
    uint8_t next_rx_byte_ = 0, next_tx_byte_ = 0;
    Nanos next_rx_ready_ = 0, next_tx_ready_ = 0;
    uint64_t rx_count_ = 0, tx_count_ = 0, dropped_ = 0;
    std::vector<DropRun> drop_runs_;
    bool dropping_ = false;      // the last byte that arrived was dropped
    bool counting_run_ = false;  // the current run has its entry in drop_runs_
};

} // namespace sim
