// A plain serial terminal: keeps the bytes it receives, with their arrival times, and types
// text into the line at given times. Stands for the console and, until a richer model is
// attached, for any peer that only listens.
//
// What it keeps: every byte, until its owner has written them out and lets the oldest go
// (keep_latest), as a run of days does with console.log, so memory does not grow with the
// run's length (a day's console at the default settings is about 2 MB, 9 bytes each with
// its time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "world/link.h"

namespace sim {

class Terminal : public UartDevice {
public:
    Terminal() = default;
    // Attaches the terminal's transmit side (the line to the board) and its clock.
    void attach(Scheduler& clock, UartLink& line) { clock_ = &clock; line_ = &line; }

    void on_byte(uint8_t b) override;
    // Sends text now (or at time t); bytes leave at the line's rate.
    void type(const std::string& text);
    void type_at(Nanos t, const std::string& text);

    // The bytes received since the start or, once keep_latest let some go, the latest of
    // them; times()[i] is when text()[i] arrived.
    const std::string& text() const { return text_; }
    const std::vector<Nanos>& times() const { return times_; }
    // Bytes received in all: text() holds those from received() - text().size() on.
    uint64_t received() const { return received_; }
    // Lets the oldest bytes go once text() holds 2 * `kept` or more, keeping the latest
    // `kept` (by halves, so each byte is moved at most once on average).
    void keep_latest(size_t kept);
    void clear() { text_.clear(); times_.clear(); }

private:
    Scheduler* clock_ = nullptr;
    UartLink* line_ = nullptr;
    std::string text_;
    std::vector<Nanos> times_;
    uint64_t received_ = 0;
};

} // namespace sim
