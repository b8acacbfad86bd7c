// The buoy's own text records as they lie on its card: RAW sample records (one line per
// motion sample) and result records (one line per averaging interval).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace analyze {

// Seconds since 1970-01-01T00:00:00Z of a UTC date and time (year with all four digits).
int64_t utc_seconds(int year, int month, int day, int hour, int minute, int second);
// "2026-01-01T00:20:00Z"; empty for a negative time (no clock).
std::string utc_text(int64_t utc);

// One RAW record.
struct RawSample {
    int64_t utc = -1;       // the firmware's clock when it wrote the record, whole seconds; -1: no clock
    double heave_down_m = 0; // heave as the sensor gives it, POSITIVE DOWN, metres (see parse_raw)
    double v_north_ms = 0;   // earth-frame velocity, m/s
    double v_east_ms = 0;
};

// One result record: the firmware's statistics of one averaging interval.
struct FirmwareResult {
    int64_t start_utc = -1; // interval start (the record's date is the interval's END date)
    long waves = 0;
    double hmax_m = 0, h13_m = 0, h110_m = 0, hav_m = 0;
    double tmax_s = 0, tpico_s = 0, t13_s = 0, t110_s = 0, tav_s = 0;
    double dir_deg = 0, spread_deg = 0; // first direction method written
};

// A malformed line: where it is and what was expected.
struct LineError {
    std::string file;
    long line = 0;
    std::string problem;
    std::string text() const { return file + ":" + std::to_string(line) + ": " + problem; }
};

// Parses the text of a RAW file; lines that do not follow the layout go to `errors` (their
// samples are not taken). `file` names the file in the messages.
std::vector<RawSample> parse_raw(const std::string& text, const std::string& file, std::vector<LineError>& errors);
// Parses the text of a result file, likewise.
std::vector<FirmwareResult> parse_results(const std::string& text, const std::string& file,
                                          std::vector<LineError>& errors);

} // namespace analyze
