// Stand-ins for the board's side of the world interfaces, for testing one device model on
// its own: a scheduler that runs events in time order, and a serial link that records what
// the device sent with the time each byte finished leaving it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "world/link.h"

namespace sim::test {

class FakeScheduler : public Scheduler {
public:
    Nanos now() const override { return now_; }
    void at(Nanos t, std::function<void()> fn) override {
        events_.emplace(std::make_pair(t < now_ ? now_ : t, seq_++), std::move(fn));
    }
    // Runs every event due up to and including t, in time order, then sets now to t.
    void run_until(Nanos t) {
        while (!events_.empty() && events_.begin()->first.first <= t) {
            auto it = events_.begin();
            now_ = it->first.first;
            auto fn = std::move(it->second);
            events_.erase(it);
            fn();
        }
        if (t > now_) now_ = t;
    }
    size_t pending() const { return events_.size(); }

private:
    Nanos now_ = 0;
    uint64_t seq_ = 0;
    std::map<std::pair<Nanos, uint64_t>, std::function<void()>> events_;
};

class FakeUartLink : public UartLink {
public:
    explicit FakeUartLink(const Scheduler& clock, uint32_t baud = 115200) : clock_(clock), baud_(baud) {}
    void send(const uint8_t* data, size_t n) override {
        Nanos bit = 1000000000ull / baud_;
        for (size_t i = 0; i < n; ++i) {
            Nanos start = line_free_ > clock_.now() ? line_free_ : clock_.now();
            line_free_ = start + 10 * bit;
            bytes.push_back(data[i]);
            times.push_back(line_free_);
        }
    }
    using UartLink::send;
    void set_baud(uint32_t baud) override { baud_ = baud; }
    uint32_t baud() const override { return baud_; }
    size_t send_pending() const override {
        size_t n = 0;
        for (Nanos t : times) n += t > clock_.now();
        return n;
    }
    std::string text() const { return std::string(bytes.begin(), bytes.end()); }

    std::vector<uint8_t> bytes; // everything sent
    std::vector<Nanos> times;   // when each byte's stop bit ended

private:
    const Scheduler& clock_;
    uint32_t baud_;
    Nanos line_free_ = 0;
};

} // namespace sim::test
