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

// A moored wave buoy's raw displacement record ("datawell" format): one line per sample at
// 1.28 Hz, "status,heave,north,west", integers, displacements in centimetres, heave
// positive up, status 0 for a good sample. See MotionReplay::load_datawell.
constexpr double kDatawellRate_hz = 1.28;

struct DatawellReport {
    size_t rows = 0;      // samples in the file
    size_t bad_rows = 0;  // samples with a status other than 0, replaced
    size_t held_rows = 0; // of those, before the first or after the last good one: held at its value
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
    // Reads a raw displacement record and turns it into sensor epochs at `rate_hz` (at
    // least 1.28 Hz): a bad sample takes the line between the good ones around it; heave
    // and its central differences give the elevation and the vertical velocity, the north
    // and west displacements' central differences the north and east velocities; each is
    // then taken at t = k / rate_hz on the line between the two samples around t, so every
    // sample of the file shapes the epochs near it. Heading 0 (the record has none).
    // Throws MotionCsvError, and std::invalid_argument for a rate below 1.28 Hz.
    static MotionReplay load_datawell(const std::string& path, double rate_hz, DatawellReport* report = nullptr);
    static MotionReplay parse_datawell(std::istream& in, const std::string& name, double rate_hz,
                                       DatawellReport* report = nullptr);

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
