#include "records.h"

#include <cstdio>
#include <cstdlib>

namespace analyze {

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's days_from_civil).
int64_t days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The lines of a text, without their CR LF (or LF) ends. A last line without its end is
// still a line: a record cut short by a reset shows up as a malformed line, not as nothing.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const size_t stop = end == std::string::npos ? text.size() : end;
        std::string l = text.substr(start, stop - start);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        out.push_back(l);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t at = s.find(sep, start);
        out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return out;
        start = at + 1;
    }
}

bool all_digits(const std::string& s, size_t width) {
    if (s.size() != width) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Fields 1 to 6 of a record (day, month, year, hour, minute[, second]) as a time; -1 when
// they are all zero (the firmware writes 00 while its clock is not valid). False when a
// field is not two digits or out of range.
bool clock_fields(const std::vector<std::string>& f, size_t n, int64_t& utc, std::string& problem) {
    int v[6] = {0, 0, 0, 0, 0, 0};
    bool any = false;
    for (size_t i = 0; i < n; ++i) {
        if (!all_digits(f[i], 2)) {
            problem = "field " + std::to_string(i + 1) + " '" + f[i] + "' should be two digits";
            return false;
        }
        v[i] = std::atoi(f[i].c_str());
        any = any || v[i] != 0;
    }
    if (!any) {
        utc = -1;
        return true;
    }
    if (v[0] < 1 || v[0] > 31 || v[1] < 1 || v[1] > 12 || v[3] > 23 || v[4] > 59 || v[5] > 59) {
        problem = "the date and time fields should be DD,MM,YY,hh,mm" + std::string(n == 6 ? ",ss" : "") +
                  " of a valid time (or all 00)";
        return false;
    }
    utc = utc_seconds(2000 + v[2], v[1], v[0], v[3], v[4], v[5]);
    return true;
}

bool number(const std::string& s, double& v) {
    if (s.empty()) return false;
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size();
}

} // namespace

int64_t utc_seconds(int year, int month, int day, int hour, int minute, int second) {
    return days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

std::string utc_text(int64_t utc) {
    if (utc < 0) return "";
    int64_t z = utc / 86400 + 719468;
    const int64_t era = z / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int y = static_cast<int>(yoe + era * 400 + (m <= 2));
    const int64_t s = utc % 86400;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", y, m, d, static_cast<int>(s / 3600),
                  static_cast<int>(s / 60 % 60), static_cast<int>(s % 60));
    return buf;
}

// RAW record: DD,MM,YY,hh,mm,ss,point(5),heading(4),heave(sign + 5 digits, cm),
// north and east velocity (sign + "%010.4f", m/s),heading flag,alignment flag.
//
// The heave is the sensor's, positive DOWN, in whole centimetres rounded AWAY from zero
// (2.1 cm is written 3, -2.1 cm is written -3). A written k > 0 therefore stands for a true
// heave in (k - 1, k], k < 0 for [k, k + 1): the middle of that centimetre, k -/+ 0.5, is the
// unbiased reading. Taking k as it is would add about 0.5 cm to every magnitude and raise
// the variance by roughly E|heave| cm^2, +0.8 % in Hm0 for a 2 m sea.
std::vector<RawSample> parse_raw(const std::string& text, const std::string& file, std::vector<LineError>& errors) {
    std::vector<RawSample> out;
    long n = 0;
    for (const std::string& l : lines_of(text)) {
        ++n;
        const std::vector<std::string> f = split(l, ',');
        std::string problem;
        RawSample s;
        double vn = 0, ve = 0;
        if (f.size() != 13) {
            problem = "expected 13 comma-separated fields (date and time, point, heading, heave, north and east "
                      "velocity, two flags), got " + std::to_string(f.size());
        } else if (!clock_fields(f, 6, s.utc, problem)) {
        } else if (!all_digits(f[6], 5) || !all_digits(f[7], 4)) {
            problem = "point number and heading should be 5 and 4 digits";
        } else if (f[8].size() != 6 || (f[8][0] != ' ' && f[8][0] != '-') || !all_digits(f[8].substr(1), 5)) {
            problem = "heave '" + f[8] + "' should be a sign (blank or -) and 5 digits of centimetres";
        } else if (f[9].size() != 11 || f[10].size() != 11 || !number(f[9], vn) || !number(f[10], ve)) {
            problem = "north and east velocity should be a sign and 10 characters of m/s";
        } else if (!all_digits(f[11], 1) || !all_digits(f[12], 1)) {
            problem = "the two flags should be one digit each";
        }
        if (!problem.empty()) {
            errors.push_back({file, n, problem});
            continue;
        }
        const double cm = std::atof(f[8].c_str() + 1) * (f[8][0] == '-' ? -1.0 : 1.0);
        s.heave_down_m = (cm > 0 ? cm - 0.5 : cm < 0 ? cm + 0.5 : 0.0) / 100.0;
        s.v_north_ms = vn;
        s.v_east_ms = ve;
        out.push_back(s);
    }
    return out;
}

// Result record: DD,MM,YY,hh,mm (interval start; the date is the interval end's),N(5) then
// blank-separated Hmax H1/3 H1/10 Hav (cm, 4 digits), Tmax Tpico T1/3 T1/10 Tav (0.1 s,
// 3 digits), one or two directions and one or two spreads (0.1 degree, 4 digits), heading
// and alignment quality (%, 3 digits).
std::vector<FirmwareResult> parse_results(const std::string& text, const std::string& file,
                                          std::vector<LineError>& errors) {
    std::vector<FirmwareResult> out;
    long n = 0;
    for (const std::string& l : lines_of(text)) {
        ++n;
        std::vector<std::string> f = split(l, ',');
        std::string problem;
        FirmwareResult r;
        std::vector<std::string> t;
        if (f.size() == 6) {
            for (const std::string& tok : split(f[5], ' '))
                if (!tok.empty()) t.push_back(tok);
            f[5] = "00"; // no seconds field: the clock check takes them as 00
        }
        if (f.size() != 6) {
            problem = "expected DD,MM,YY,hh,mm, then the blank-separated statistics";
        } else if (!clock_fields(f, 6, r.start_utc, problem)) {
        } else if (t.size() != 14 && t.size() != 16) {
            problem = "expected 14 or 16 blank-separated statistics after the time, got " + std::to_string(t.size());
        } else {
            for (const std::string& tok : t)
                if (!all_digits(tok, tok.size())) problem = "statistic '" + tok + "' should be digits";
        }
        if (!problem.empty()) {
            errors.push_back({file, n, problem});
            continue;
        }
        std::vector<double> v;
        for (const std::string& tok : t) v.push_back(std::atof(tok.c_str()));
        const size_t methods = (t.size() - 12) / 2;
        r.waves = static_cast<long>(v[0]);
        r.hmax_m = v[1] / 100, r.h13_m = v[2] / 100, r.h110_m = v[3] / 100, r.hav_m = v[4] / 100;
        r.tmax_s = v[5] / 10, r.tpico_s = v[6] / 10, r.t13_s = v[7] / 10, r.t110_s = v[8] / 10, r.tav_s = v[9] / 10;
        r.dir_deg = v[10] / 10;
        r.spread_deg = v[10 + methods] / 10;
        out.push_back(r);
    }
    return out;
}

} // namespace analyze
