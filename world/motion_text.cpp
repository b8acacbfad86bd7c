#include "world/motion_text.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "world/motion_csv.h"

namespace sim::motion_text {

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

void open_motion_file(const std::string& path, const std::string& kind, std::ifstream& in) {
    // A folder opens as a stream and fails only at the first read: name it instead.
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) throw MotionCsvError(path, 0, "is a folder; expected " + kind);
    in.open(path, std::ios::binary);
    if (!in) throw MotionCsvError(path, 0, std::string("cannot open the motion file: ") + std::strerror(errno));
}

} // namespace sim::motion_text
