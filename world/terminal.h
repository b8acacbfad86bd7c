// A plain serial terminal: keeps every byte it receives, with its arrival time, and types
// text into the line at given times. Stands for the console and, until a richer model is
// attached, for any peer that only listens.
#pragma once

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

    const std::string& text() const { return text_; }
    const std::vector<Nanos>& times() const { return times_; }
    void clear() { text_.clear(); times_.clear(); }

private:
    Scheduler* clock_ = nullptr;
    UartLink* line_ = nullptr;
    std::string text_;
    std::vector<Nanos> times_;
};

} // namespace sim
