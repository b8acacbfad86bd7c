#include "world/motion_csv.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <istream>
#include <sys/stat.h>

namespace sim {

namespace {

constexpr size_t kFields = 5;
const char* const kFieldNames[kFields] = {"time_s", "elevation_m", "v_north_ms", "v_east_ms", "heading_deg"};
// Latest time accepted, s: round(time_s * 1e6) must fit a signed 64-bit count of us.
constexpr double kMaxTime_s = 1e12;

std::string trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
    return s.substr(a, b - a);
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t comma = line.find(',', start);
        out.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return out;
        start = comma + 1;
    }
}

// Shortens a quoted piece of the file so one bad line cannot flood the message; bytes
// that do not print show as \xNN, so that the message says what the file holds.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size() && i < 40; ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            static const char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out + (s.size() > 40 ? "...\"" : "\"");
}

// A field as a number: decimal text (locale-independent) or nan. Returns false with a
// reason otherwise.
bool parse_number(const std::string& text, double& out, std::string& reason) {
    if (text.empty()) {
        reason = "expected a number or nan, found an empty field";
        return false;
    }
    const char* first = text.data();
    const char* last = text.data() + text.size();
    const auto r = std::from_chars(first, last, out);
    if (r.ec == std::errc::result_out_of_range) {
        reason = "expected a number or nan, found " + quoted(text) + " (out of range)";
        return false;
    }
    if (r.ec != std::errc() || r.ptr != last) {
        reason = "expected a number or nan, found " + quoted(text);
        return false;
    }
    if (std::isinf(out)) {
        reason = "expected a finite number or nan, found " + quoted(text);
        return false;
    }
    return true;
}

} // namespace

MotionCsvError::MotionCsvError(const std::string& file, size_t line, const std::string& message)
    : std::runtime_error(file + (line ? ":" + std::to_string(line) : std::string()) + ": " + message),
      file_(file), line_(line), message_(message) {}

MotionReplay MotionReplay::load(const std::string& path) {
    // A folder opens as a stream and fails only at the first read: name it instead.
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw MotionCsvError(path, 0, "is a folder; expected a motion CSV file");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw MotionCsvError(path, 0, std::string("cannot open the motion file: ") + std::strerror(errno));
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
