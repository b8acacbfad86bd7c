// The firmware's interval results as it printed them on the console: the "NumOlas=" line
// and the one after it, KEY=VALUE fields, with the date and time of the interval's average
// buffer printed just before ("Buffer promedio: dd,mm,yy,hh,mm,...") and the simulated
// instant of the line. Read as the console text comes, a line at a time, so a run of months
// keeps its results and not its console.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "world/link.h"

namespace sim {

struct ConsoleResult {
    double at_s = 0;           // arrival of the "N" of "NumOlas="
    std::string firmware_time; // "2026-01-01T00:20", empty when no buffer line came before
    std::string lines;         // the two lines as printed, without their last line end
    size_t fields_at = 0;      // where "NumOlas=" begins in `lines`
};

// KEY=VALUE fields of a result whose value is a whole number.
std::map<std::string, long> result_fields(const ConsoleResult& r);

class ConsoleIntervals {
public:
    // Reads the complete lines of `text` not read yet; text[0] is byte `first` of all the
    // console received and times[i] the arrival of text[i]. Bytes let go before they were
    // read are passed over.
    void scan(const std::string& text, const std::vector<Nanos>& times, uint64_t first);
    // The results whose two lines have come, in order.
    const std::vector<ConsoleResult>& results() const { return results_; }

private:
    void line(const std::string& text, size_t from, size_t to, const std::vector<Nanos>& times);

    uint64_t next_ = 0; // the first byte not read yet
    std::vector<ConsoleResult> results_;
    ConsoleResult open_result_; // its first line read, waiting for the second
    bool open_ = false;
    std::string buffer_time_;
};

} // namespace sim
