#include "sim/console_intervals.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace sim {

namespace {

const char kResultMarker[] = "NumOlas=";
const char kBufferMarker[] = "Buffer promedio: ";

} // namespace

std::map<std::string, long> result_fields(const ConsoleResult& r) {
    std::map<std::string, long> out;
    std::stringstream fields(r.lines.substr(r.fields_at));
    std::string item;
    while (fields >> item) {
        size_t eq = item.find('=');
        if (eq == std::string::npos || eq + 1 >= item.size()) continue;
        char* stop = nullptr;
        long v = std::strtol(item.c_str() + eq + 1, &stop, 10);
        if (stop && *stop == 0) out[item.substr(0, eq)] = v;
    }
    return out;
}

void ConsoleIntervals::scan(const std::string& text, const std::vector<Nanos>& times, uint64_t first) {
    if (next_ < first) next_ = first;
    for (;;) {
        const size_t from = static_cast<size_t>(next_ - first);
        const size_t end = text.find('\n', from);
        if (end == std::string::npos) return;
        line(text, from, end, times);
        next_ = first + end + 1;
    }
}

void ConsoleIntervals::line(const std::string& text, size_t from, size_t to, const std::vector<Nanos>& times) {
    const std::string l = text.substr(from, to - from);
    if (open_) {
        open_result_.lines += "\n" + l;
        results_.push_back(std::move(open_result_));
        open_ = false;
    }
    const size_t buffer = l.find(kBufferMarker), result = l.find(kResultMarker);
    if (buffer != std::string::npos && (result == std::string::npos || buffer < result)) {
        unsigned d, mo, y, h, mi;
        buffer_time_.clear();
        if (std::sscanf(l.c_str() + buffer + sizeof kBufferMarker - 1, "%2u,%2u,%2u,%2u,%2u", &d, &mo, &y, &h, &mi) == 5) {
            char t[48];
            std::snprintf(t, sizeof t, "20%02u-%02u-%02uT%02u:%02u", y, mo, d, h, mi);
            buffer_time_ = t;
        }
    }
    if (result == std::string::npos) return;
    ConsoleResult r;
    const size_t at = from + result;
    r.at_s = at < times.size() ? static_cast<double>(times[at]) / 1e9 : 0;
    r.firmware_time = std::move(buffer_time_);
    buffer_time_.clear();
    r.lines = l;
    r.fields_at = result;
    open_result_ = std::move(r);
    open_ = true;
}

} // namespace sim
