#include "world/gps_nmea.h"

#include <cstdio>

namespace sim {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool leap_year(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap_year(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to the first day of month m of year y. The year is counted from
// March so that the leap day falls at its end; eras of 400 years repeat exactly.
int64_t days_from_civil(int y, int m, int d) {
    const int64_t ym = m <= 2 ? y - 1 : y;
    const int64_t era = (ym >= 0 ? ym : ym - 399) / 400;
    const int64_t year_of_era = ym - era * 400;                        // 0..399
    const int64_t month_from_march = m > 2 ? m - 3 : m + 9;              // 0..11
    const int64_t day_of_year = (153 * month_from_march + 2) / 5 + d - 1; // 0..365
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468; // 719468: days from 0000-03-01 to 1970-01-01
}

// Reads exactly `width` decimal digits at text[at].
bool digits(const std::string& text, size_t at, size_t width, int& value) {
    if (at + width > text.size()) return false;
    value = 0;
    for (size_t i = 0; i < width; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

} // namespace

uint8_t nmea_checksum(const char* body, size_t n) {
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i) x ^= static_cast<uint8_t>(body[i]);
    return x;
}

uint8_t nmea_checksum(const std::string& body) { return nmea_checksum(body.data(), body.size()); }

std::string nmea_sentence(const std::string& body) {
    char tail[6];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", nmea_checksum(body));
    return "$" + body + tail;
}

bool nmea_parse_line(const std::string& line, std::string& body, bool& has_checksum) {
    body.clear();
    has_checksum = false;
    if (line.empty() || line[0] != '$') return false;
    const size_t star = line.find('*');
    if (star == std::string::npos) {
        body = line.substr(1);
        return true;
    }
    body = line.substr(1, star - 1);
    if (line.size() != star + 3) return false;
    const int hi = hex_value(line[star + 1]);
    const int lo = hex_value(line[star + 2]);
    if (hi < 0 || lo < 0) return false;
    has_checksum = true;
    return nmea_checksum(body) == static_cast<uint8_t>(hi * 16 + lo);
}

std::vector<std::string> nmea_fields(const std::string& body) {
    std::vector<std::string> fields(1);
    for (char c : body) {
        if (c == ',') fields.emplace_back();
        else fields.back() += c;
    }
    return fields;
}

bool nmea_integer(const std::string& field, long& value) {
    size_t i = field.size() > 0 && field[0] == '-' ? 1 : 0;
    const size_t n = field.size() - i;
    if (n == 0 || n > 9) return false;
    long v = 0;
    for (; i < field.size(); ++i) {
        if (field[i] < '0' || field[i] > '9') return false;
        v = v * 10 + (field[i] - '0');
    }
    value = field[0] == '-' ? -v : v;
    return true;
}

UtcTime utc_from_unix(int64_t unix_seconds) {
    int64_t days = unix_seconds / kSecondsPerDay;
    int64_t rest = unix_seconds % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --days;
    }
    UtcTime t;
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    // Inverse of days_from_civil: era, day of era, year of era, then the month counted from
    // March.
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t day_of_era = z - era * 146097;
    const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_from_march = (5 * day_of_year + 2) / 153;
    t.day = static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    t.month = static_cast<int>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    t.year = static_cast<int>(year_of_era + era * 400 + (t.month <= 2 ? 1 : 0));
    return t;
}

int64_t unix_from_utc(const UtcTime& t) {
    return days_from_civil(t.year, t.month, t.day) * kSecondsPerDay + t.hour * 3600 + t.minute * 60 + t.second;
}

bool parse_utc_text(const std::string& text, int64_t& unix_seconds, std::string& error) {
    const std::string expected = "expected a UTC time as YYYY-MM-DDTHH:MM:SSZ";
    UtcTime t;
    const bool shape = text.size() == 20 && text[4] == '-' && text[7] == '-' && text[10] == 'T' &&
                       text[13] == ':' && text[16] == ':' && text[19] == 'Z';
    if (!shape || !digits(text, 0, 4, t.year) || !digits(text, 5, 2, t.month) || !digits(text, 8, 2, t.day) ||
        !digits(text, 11, 2, t.hour) || !digits(text, 14, 2, t.minute) || !digits(text, 17, 2, t.second)) {
        error = "'" + text + "': " + expected;
        return false;
    }
    if (t.year < 1970 || t.year > 2099) {
        error = "'" + text + "': year " + std::to_string(t.year) + " outside 1970..2099";
        return false;
    }
    if (t.month < 1 || t.month > 12) {
        error = "'" + text + "': month " + std::to_string(t.month) + " outside 1..12";
        return false;
    }
    if (t.day < 1 || t.day > days_in_month(t.year, t.month)) {
        error = "'" + text + "': day " + std::to_string(t.day) + " outside 1.." +
                std::to_string(days_in_month(t.year, t.month)) + " for that month";
        return false;
    }
    if (t.hour > 23 || t.minute > 59 || t.second > 59) {
        error = "'" + text + "': time of day outside 00:00:00..23:59:59";
        return false;
    }
    unix_seconds = unix_from_utc(t);
    return true;
}

} // namespace sim
