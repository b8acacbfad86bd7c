#include "world/motion_csv.h"

#include "world/motion_text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <istream>
#include <sys/stat.h>

namespace sim {

using namespace motion_text;

namespace {

constexpr size_t kFields = 5;
const char* const kFieldNames[kFields] = {"time_s", "elevation_m", "v_north_ms", "v_east_ms", "heading_deg"};
// Latest time accepted, s: round(time_s * 1e6) must fit a signed 64-bit count of us.
constexpr double kMaxTime_s = 1e12;

} // namespace

MotionCsvError::MotionCsvError(const std::string& file, size_t line, const std::string& message)
    : std::runtime_error(file + (line ? ":" + std::to_string(line) : std::string()) + ": " + message),
      file_(file), line_(line), message_(message) {}

MotionReplay MotionReplay::load(const std::string& path) {
    std::ifstream in;
    open_motion_file(path, "a motion CSV file", in);
    return parse(in, path);
}

MotionReplay MotionReplay::parse(std::istream& in, const std::string& name) {
    MotionReplay replay;
    replay.name_ = name;
    std::string line;
    size_t number = 0;
    bool header_seen = false;
    size_t previous_line = 0;
    std::string previous_time; // as written, for the message
    size_t blank_line = 0;     // first blank line after the header

    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back(); // files written on Windows
        // Spreadsheets often start a UTF-8 file with a byte-order mark: it is accepted
        // before the header, as the marker it is, not taken as part of the header.
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        if (!header_seen) {
            if (line != kMotionCsvHeader)
                throw MotionCsvError(name, number,
                                     std::string("expected the header \"") + kMotionCsvHeader + "\", found " + quoted(line));
            header_seen = true;
            continue;
        }
        // Blank lines may end the file (editors add them) but not interrupt the rows.
        if (trim(line).empty()) {
            if (blank_line == 0) blank_line = number;
            continue;
        }
        if (blank_line != 0)
            throw MotionCsvError(name, blank_line, "expected a row of 5 comma-separated fields, found an empty line");
        const std::vector<std::string> fields = split(line);
        if (fields.size() != kFields)
            throw MotionCsvError(name, number,
                                 "expected 5 comma-separated fields (" + std::string(kMotionCsvHeader) + "), found " +
                                     std::to_string(fields.size()));
        double v[kFields];
        for (size_t i = 0; i < kFields; ++i) {
            std::string reason;
            if (!parse_number(trim(fields[i]), v[i], reason))
                throw MotionCsvError(name, number,
                                     "field " + std::to_string(i + 1) + " (" + kFieldNames[i] + "): " + reason);
        }
        if (std::isnan(v[0]) || v[0] < 0.0 || v[0] > kMaxTime_s)
            throw MotionCsvError(name, number,
                                 "field 1 (time_s): expected a time between 0 and 1e12 s, found " + quoted(trim(fields[0])));
        if (!replay.rows_.empty() && !(v[0] > replay.rows_.back().time_s))
            throw MotionCsvError(name, number,
                                 "field 1 (time_s): " + trim(fields[0]) + " is not after " + previous_time +
                                     " on line " + std::to_string(previous_line) + "; expected strictly increasing times");
        MotionRow row;
        row.time_s = v[0];
        row.motion.elevation_m = v[1];
        row.motion.v_north_ms = v[2];
        row.motion.v_east_ms = v[3];
        row.motion.heading_deg = v[4];
        replay.rows_.push_back(row);
        previous_line = number;
        previous_time = trim(fields[0]);
    }
    if (in.bad()) throw MotionCsvError(name, number, "read error");
    if (!header_seen)
        throw MotionCsvError(name, 0, std::string("the file is empty; expected the header \"") + kMotionCsvHeader + "\"");
    if (replay.rows_.empty())
        throw MotionCsvError(name, 0, "no rows after the header; expected at least one row per sensor epoch");
    return replay;
}

MotionSample MotionReplay::sample(double t_s) {
    const size_t n = rows_.size();
    // Replay asks in order, so the row is almost always the cursor's or the next one.
    const auto holds = [&](size_t i) {
        return rows_[i].time_s <= t_s && (i + 1 >= n || rows_[i + 1].time_s > t_s);
    };
    if (holds(cursor_)) return rows_[cursor_].motion;
    if (cursor_ + 1 < n && holds(cursor_ + 1)) return rows_[++cursor_].motion;
    const auto it = std::upper_bound(rows_.begin(), rows_.end(), t_s,
                                     [](double t, const MotionRow& r) { return t < r.time_s; });
    cursor_ = it == rows_.begin() ? 0 : static_cast<size_t>(it - rows_.begin()) - 1;
    return rows_[cursor_].motion;
}

} // namespace sim
