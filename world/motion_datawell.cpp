// A moored wave buoy's raw displacements replayed through the inertial sensor: the record
// is read and checked like a motion CSV (world/motion_text.h), then turned into the
// elevation and velocities the sensor reports, at the sensor's own rate.
#include <charconv>
#include <cmath>
#include <fstream>
#include <istream>
#include <stdexcept>

#include "world/motion_csv.h"
#include "world/motion_text.h"

namespace sim {

using namespace motion_text;

namespace {

constexpr size_t kFields = 4;
const char* const kFieldNames[kFields] = {"status", "heave", "north", "west"};
constexpr const char* kLayout = "status,heave,north,west";

struct Sample {
    long status;
    double heave_m, north_m, west_m;
};

bool whole_number(const std::string& text, long& out) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    const auto r = std::from_chars(first, last, out);
    return !text.empty() && r.ec == std::errc() && r.ptr == last;
}

// A bad sample takes the line between the good samples around it; one with a good sample on
// one side only keeps that sample's value. Returns how many were held so.
size_t replace_bad(std::vector<Sample>& s) {
    size_t held = 0;
    size_t previous = s.size(); // last good sample so far; none yet
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i].status == 0) {
            previous = i;
            continue;
        }
        size_t next = i + 1;
        while (next < s.size() && s[next].status != 0) ++next;
        for (size_t j = i; j < next; ++j) {
            Sample& b = s[j];
            if (previous < s.size() && next < s.size()) {
                const double f = static_cast<double>(j - previous) / static_cast<double>(next - previous);
                b.heave_m = s[previous].heave_m + f * (s[next].heave_m - s[previous].heave_m);
                b.north_m = s[previous].north_m + f * (s[next].north_m - s[previous].north_m);
                b.west_m = s[previous].west_m + f * (s[next].west_m - s[previous].west_m);
            } else {
                const Sample& keep = s[previous < s.size() ? previous : next];
                b.heave_m = keep.heave_m, b.north_m = keep.north_m, b.west_m = keep.west_m;
                ++held;
            }
        }
        i = next - 1;
    }
    return held;
}

// Rate of change of x at sample i, per second: central differences, one-sided at the ends.
template <typename Get>
double derivative(const std::vector<Sample>& s, size_t i, Get x) {
    constexpr double dt = 1.0 / kDatawellRate_hz;
    if (i == 0) return (x(s[1]) - x(s[0])) / dt;
    if (i + 1 == s.size()) return (x(s[i]) - x(s[i - 1])) / dt;
    return (x(s[i + 1]) - x(s[i - 1])) / (2 * dt);
}

} // namespace

MotionReplay MotionReplay::load_datawell(const std::string& path, double rate_hz, DatawellReport* report) {
    std::ifstream in;
    open_motion_file(path, "a raw displacement file (" + std::string(kLayout) + ")", in);
    return parse_datawell(in, path, rate_hz, report);
}

MotionReplay MotionReplay::parse_datawell(std::istream& in, const std::string& name, double rate_hz,
                                          DatawellReport* report) {
    if (!(rate_hz >= kDatawellRate_hz))
        throw std::invalid_argument("--rate " + std::to_string(rate_hz) +
                                    ": expected at least 1.28 epochs per second with --motion-format datawell "
                                    "(a slower rate would pass samples of the record over)");
    std::vector<Sample> samples;
    std::string line;
    size_t number = 0, blank_line = 0, good = 0, bad = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (number == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        // Blank lines may end the file but not interrupt the samples.
        if (trim(line).empty()) {
            if (blank_line == 0) blank_line = number;
            continue;
        }
        if (blank_line != 0)
            throw MotionCsvError(name, blank_line,
                                 std::string("expected a sample (") + kLayout + "), found an empty line");
        const std::vector<std::string> fields = split(line);
        if (fields.size() != kFields)
            throw MotionCsvError(name, number,
                                 "expected 4 comma-separated fields (" + std::string(kLayout) + "), found " +
                                     std::to_string(fields.size()) + " in " + quoted(line));
        long v[kFields];
        for (size_t i = 0; i < kFields; ++i) {
            const std::string f = trim(fields[i]);
            if (!whole_number(f, v[i]) || (i == 0 && v[i] < 0))
                throw MotionCsvError(name, number,
                                     "field " + std::to_string(i + 1) + " (" + kFieldNames[i] + "): expected " +
                                         (i == 0 ? "a status, 0 for a good sample or a positive number for a bad one"
                                                 : "a whole number of centimetres") +
                                         ", found " + quoted(f));
        }
        samples.push_back({v[0], v[1] / 100.0, v[2] / 100.0, v[3] / 100.0});
        (v[0] == 0 ? good : bad)++;
    }
    if (in.bad()) throw MotionCsvError(name, number, "read error");
    if (samples.empty())
        throw MotionCsvError(name, 0, std::string("no samples; expected one line per sample (") + kLayout +
                                          ", centimetres, 1.28 a second)");
    if (samples.size() < 2)
        throw MotionCsvError(name, 0, "one sample only; expected at least two to make a motion of them");
    if (good == 0)
        throw MotionCsvError(name, 0, "no sample has status 0; expected at least one good sample");
    const size_t held = replace_bad(samples);
    if (report) *report = DatawellReport{samples.size(), bad, held};

    // Elevation and velocities at the record's own samples.
    std::vector<MotionSample> at(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        MotionSample& m = at[i];
        m.elevation_m = samples[i].heave_m;
        m.v_up_ms = derivative(samples, i, [](const Sample& s) { return s.heave_m; });
        m.v_north_ms = derivative(samples, i, [](const Sample& s) { return s.north_m; });
        m.v_east_ms = -derivative(samples, i, [](const Sample& s) { return s.west_m; });
    }
    // Sensor epochs at k / rate over the record's span, each on the line between the two
    // samples around it.
    MotionReplay replay;
    replay.name_ = name;
    const double span_s = static_cast<double>(samples.size() - 1) / kDatawellRate_hz;
    for (uint64_t k = 0;; ++k) {
        const double t = static_cast<double>(k) / rate_hz;
        if (t > span_s + 1e-9) break;
        const double x = t * kDatawellRate_hz;
        size_t j = static_cast<size_t>(std::floor(x + 1e-9));
        if (j + 1 >= samples.size()) j = samples.size() - 2;
        const double f = std::min(1.0, std::max(0.0, x - static_cast<double>(j)));
        const MotionSample& a = at[j];
        const MotionSample& b = at[j + 1];
        MotionRow row;
        row.time_s = t;
        row.motion.elevation_m = a.elevation_m + f * (b.elevation_m - a.elevation_m);
        row.motion.v_north_ms = a.v_north_ms + f * (b.v_north_ms - a.v_north_ms);
        row.motion.v_east_ms = a.v_east_ms + f * (b.v_east_ms - a.v_east_ms);
        row.motion.v_up_ms = a.v_up_ms + f * (b.v_up_ms - a.v_up_ms);
        row.motion.heading_deg = 0.0;
        replay.rows_.push_back(row);
    }
    return replay;
}

} // namespace sim
