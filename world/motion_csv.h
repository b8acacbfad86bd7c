// Recorded motion replayed through the inertial sensor. The file is CSV with the header
//   time_s,elevation_m,v_north_ms,v_east_ms,heading_deg
// and one row per sensor epoch: time in seconds of the sensor's clock (strictly increasing,
// 0 or more), elevation in metres positive up, velocities in m/s, heading in degrees
// clockwise from north. A field written nan stands for a value the sensor failed to measure.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "world/sea.h"

namespace sim {

constexpr const char* kMotionCsvHeader = "time_s,elevation_m,v_north_ms,v_east_ms,heading_deg";

// A file that cannot be replayed. what() reads "FILE:LINE: what was wrong and what was
// expected" (no line for a file that cannot be opened or has no rows).
class MotionCsvError : public std::runtime_error {
public:
    MotionCsvError(const std::string& file, size_t line, const std::string& message);
    const std::string& file() const { return file_; }
    size_t line() const { return line_; } // 1-based; 0 when the fault is the whole file's
    const std::string& message() const { return message_; }

private:
    std::string file_;
    size_t line_;
    std::string message_;
};

struct MotionRow {
    double time_s = 0.0;
    MotionSample motion; // v_up_ms is 0: the file has no vertical velocity
};

class MotionReplay : public MotionSource {
public:
    // Reads and checks a whole file; throws MotionCsvError.
    static MotionReplay load(const std::string& path);
    // The same from a stream; `name` is the file name the errors quote.
    static MotionReplay parse(std::istream& in, const std::string& name);

    // The row in force at t_s: the last one whose time is at or before t_s (the first row
    // before the recording starts).
    MotionSample sample(double t_s) override;
    size_t recorded_epochs() const override { return rows_.size(); }
    double epoch_time(size_t i) const override { return rows_.at(i).time_s; }

    const std::vector<MotionRow>& rows() const { return rows_; }
    const std::string& name() const { return name_; }

private:
    MotionReplay() = default;

    std::string name_;
    std::vector<MotionRow> rows_;
    size_t cursor_ = 0; // row found last: replay reads the rows in order
};

} // namespace sim
