// Reading the buoy's records back: every field is a fixed-width decimal, so a line is
// checked field by field against its layout, and anything else is named, never guessed.
#include "tools/export/card_records.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace tools {

namespace {

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t end = s.find(sep, start);
        out.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

// A field of exactly `width` decimal digits.
bool digits(const std::string& f, size_t width, int& value) {
    if (f.size() != width || width == 0 || width > 9) return false;
    value = 0;
    for (char c : f) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// Day, month, two-digit year, hour, minute (and second) fields; all zero while the buoy had
// no valid clock. Two-digit years are this century's: the firmware keeps no century.
bool clock_fields(const std::vector<std::string>& f, size_t n, std::string& iso) {
    int v[6] = {0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < n; ++i)
        if (!digits(f[i], 2, v[i])) return false;
    if (v[0] == 0 && v[1] == 0 && v[2] == 0) {
        iso.clear();
        return v[3] == 0 && v[4] == 0 && v[5] == 0;
    }
    if (v[0] < 1 || v[0] > 31 || v[1] < 1 || v[1] > 12 || v[3] > 23 || v[4] > 59 || v[5] > 59) return false;
    char buf[32];
    if (n == 6)
        std::snprintf(buf, sizeof buf, "20%02d-%02d-%02dT%02d:%02d:%02dZ", v[2], v[1], v[0], v[3], v[4], v[5]);
    else
        std::snprintf(buf, sizeof buf, "20%02d-%02d-%02dT%02d:%02dZ", v[2], v[1], v[0], v[3], v[4]);
    iso = buf;
    return true;
}

// Sign character (' ' or '-') followed by `width` digits.
bool signed_digits(const std::string& f, size_t width, int& value) {
    if (f.empty() || (f[0] != ' ' && f[0] != '-') || !digits(f.substr(1), width, value)) return false;
    if (f[0] == '-') value = -value;
    return true;
}

// The float field: sign character and "%010.4f" (" 00001.0300", "-00000.2500").
bool velocity(const std::string& f, double& value) {
    if (f.size() != 11 || (f[0] != ' ' && f[0] != '-') || f[6] != '.') return false;
    for (size_t i = 1; i < f.size(); ++i)
        if (i != 6 && !std::isdigit(static_cast<unsigned char>(f[i]))) return false;
    value = std::strtod(f.c_str() + 1, nullptr);
    if (f[0] == '-') value = -value;
    return true;
}

// Blank-separated fixed-width numbers after the clock fields of a per-wave or result record.
bool numbers(const std::string& s, const std::vector<size_t>& widths, std::vector<int>& out) {
    std::vector<std::string> f = split(s, ' ');
    if (f.size() != widths.size()) return false;
    out.assign(f.size(), 0);
    for (size_t i = 0; i < f.size(); ++i)
        if (!digits(f[i], widths[i], out[i])) return false;
    return true;
}

} // namespace

bool parse_raw(const std::string& line, RawSample& r, std::string& expected) {
    expected = "13 comma-separated fields: dd,mm,yy,hh,mm,ss,ppppp,hhhh,+hhhhh,+vvvvv.vvvv,+vvvvv.vvvv,f,f";
    std::vector<std::string> f = split(line, ',');
    if (f.size() != 13 || !clock_fields(f, 6, r.time_utc)) return false;
    int point = 0;
    if (!digits(f[6], 5, point) || !digits(f[7], 4, r.heading_deg) || !signed_digits(f[8], 5, r.heave_cm) ||
        !velocity(f[9], r.north_m_s) || !velocity(f[10], r.east_m_s) || !digits(f[11], 1, r.heading_valid) ||
        !digits(f[12], 1, r.alignment_valid))
        return false;
    r.point = static_cast<uint32_t>(point);
    return true;
}

bool parse_wave(const std::string& line, DirectionMethod single, WaveRecord& w, std::string& expected) {
    expected = "dd,mm,yy,hh,mm,nnnnn hhhh ttt sssss [dddd [dddd]] qqq qqq";
    std::vector<std::string> f = split(line, ',');
    if (f.size() != 6 || !clock_fields(f, 5, w.time_utc) || w.time_utc.empty()) return false;
    const size_t blanks = static_cast<size_t>(std::count(f[5].begin(), f[5].end(), ' '));
    if (blanks < 5 || blanks > 7) return false;
    std::vector<size_t> widths = {5, 4, 3, 5};
    widths.insert(widths.end(), blanks - 5, 4);
    widths.insert(widths.end(), {3, 3});
    std::vector<int> v;
    if (!numbers(f[5], widths, v)) return false;
    w.number = v[0];
    w.height_cm = v[1];
    w.period_ds = v[2];
    w.samples = v[3];
    w.dir_velocity_dd.reset();
    w.dir_drift_dd.reset();
    if (blanks == 7) {
        w.dir_velocity_dd = v[4];
        w.dir_drift_dd = v[5];
    } else if (blanks == 6) {
        (single == DirectionMethod::velocity ? w.dir_velocity_dd : w.dir_drift_dd) = v[4];
    }
    w.heading_quality = v[v.size() - 2];
    w.alignment_quality = v.back();
    return true;
}

bool parse_result(const std::string& line, DirectionMethod single, ResultRecord& r, std::string& expected) {
    expected = "dd,mm,yy,hh,mm,nnnnn hhhh hhhh hhhh hhhh ttt ttt ttt ttt ttt [dddd [dddd] ssss [ssss]] qqq qqq";
    std::vector<std::string> f = split(line, ',');
    std::string iso;
    if (f.size() != 6 || !clock_fields(f, 5, iso) || iso.empty()) return false;
    r.date = iso.substr(0, 10);
    digits(f[3], 2, r.start_hour);
    digits(f[4], 2, r.start_minute);
    const size_t blanks = static_cast<size_t>(std::count(f[5].begin(), f[5].end(), ' '));
    // Directions and spreads come in pairs of fields: none, one method or both.
    if (blanks != 11 && blanks != 13 && blanks != 15) return false;
    const size_t per_method = (blanks - 11) / 2;
    std::vector<size_t> widths = {5, 4, 4, 4, 4, 3, 3, 3, 3, 3};
    widths.insert(widths.end(), 2 * per_method, 4);
    widths.insert(widths.end(), {3, 3});
    std::vector<int> v;
    if (!numbers(f[5], widths, v)) return false;
    r.waves = v[0];
    r.hmax_cm = v[1];
    r.h13_cm = v[2];
    r.h110_cm = v[3];
    r.hav_cm = v[4];
    r.tmax_ds = v[5];
    r.tpeak_ds = v[6];
    r.t13_ds = v[7];
    r.t110_ds = v[8];
    r.tav_ds = v[9];
    r.dir_velocity_dd.reset();
    r.dir_drift_dd.reset();
    r.spread_velocity_dd.reset();
    r.spread_drift_dd.reset();
    if (per_method == 2) {
        r.dir_velocity_dd = v[10];
        r.dir_drift_dd = v[11];
        r.spread_velocity_dd = v[12];
        r.spread_drift_dd = v[13];
    } else if (per_method == 1) {
        const bool vel = single == DirectionMethod::velocity;
        (vel ? r.dir_velocity_dd : r.dir_drift_dd) = v[10];
        (vel ? r.spread_velocity_dd : r.spread_drift_dd) = v[11];
    }
    r.heading_quality = v[v.size() - 2];
    r.alignment_quality = v.back();
    return true;
}

namespace {

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
long days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

std::string civil_from_days(long z) {
    z += 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const long doe = z - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    const long d = doy - (153 * mp + 2) / 5 + 1;
    const long m = mp + (mp < 10 ? 3 : -9);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", static_cast<int>(yoe + era * 400 + (m <= 2)),
                  static_cast<int>(m), static_cast<int>(d));
    return buf;
}

long day_number(const std::string& iso_date) {
    return days_from_civil(std::atoi(iso_date.substr(0, 4).c_str()), std::atoi(iso_date.substr(5, 2).c_str()),
                           std::atoi(iso_date.substr(8, 2).c_str()));
}

} // namespace

void infer_result_starts(std::vector<ResultRecord>& results) {
    // Intervals last at most 60 minutes and end one second past a boundary, so only a start
    // in hour 23 can lie on the day before the record's date: it does when the previous
    // record is dated earlier, or when the next one, of the same date, starts earlier in the
    // day. A lone record keeps its own date.
    for (size_t i = 0; i < results.size(); ++i) {
        ResultRecord& r = results[i];
        long day = day_number(r.date);
        if (r.start_hour == 23) {
            const int minute_of_day = r.start_hour * 60 + r.start_minute;
            const bool previous_earlier = i > 0 && day_number(results[i - 1].date) < day;
            const bool next_earlier = i + 1 < results.size() && results[i + 1].date == r.date &&
                                      results[i + 1].start_hour * 60 + results[i + 1].start_minute < minute_of_day;
            if (previous_earlier || next_earlier) --day;
        }
        char hm[16];
        std::snprintf(hm, sizeof hm, "T%02d:%02dZ", r.start_hour, r.start_minute);
        r.start_utc = civil_from_days(day) + hm;
    }
}

namespace {

std::vector<std::string> sorted_entries(const std::string& dir, bool& ok) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    ok = d != nullptr;
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool is_day_folder(const std::string& name) {
    return name.size() == 6 && std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

template <typename Record, typename Parse>
void read_file(const std::string& path, std::vector<Record>& out, std::vector<std::string>& problems, Parse parse) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problems.push_back(path + ": cannot be read");
        return;
    }
    std::string line, expected;
    for (long number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Record r;
        if (parse(line, r, expected))
            out.push_back(r);
        else
            problems.push_back(path + ":" + std::to_string(number) + ": expected " + expected);
    }
}

} // namespace

bool read_card_folder(const std::string& card_dir, DirectionMethod single, CardRecords& out, std::string& error) {
    bool ok = false;
    std::vector<std::string> days = sorted_entries(card_dir, ok);
    if (!ok) {
        error = card_dir + ": cannot be read as a card folder";
        return false;
    }
    for (const std::string& day : days) {
        if (!is_day_folder(day)) continue;
        const std::string folder = card_dir + "/" + day;
        // Within a day, file names are the creation's hour and minute: name order is time order.
        for (const std::string& name : sorted_entries(folder, ok)) {
            const std::string ext = lower(name.size() > 4 ? name.substr(name.size() - 4) : "");
            const std::string path = folder + "/" + name;
            if (ext == ".raw")
                read_file(path, out.raw, out.problems, parse_raw);
            else if (ext == ".wav")
                read_file(path, out.waves, out.problems, [single](const std::string& l, WaveRecord& w, std::string& e) {
                    return parse_wave(l, single, w, e);
                });
            else if (ext == ".res")
                read_file(path, out.results, out.problems,
                          [single](const std::string& l, ResultRecord& r, std::string& e) {
                              return parse_result(l, single, r, e);
                          });
            else
                continue;
            out.files.push_back(path);
        }
    }
    infer_result_starts(out.results);
    return true;
}

namespace {

std::string tenths(std::optional<int> v) {
    if (!v) return "";
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d.%d", *v / 10, *v % 10);
    return buf;
}
std::string tenths(int v) { return tenths(std::optional<int>(v)); }

} // namespace

bool write_text_file(const std::string& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        error = path + ": cannot be written";
        return false;
    }
    return true;
}

bool write_csv_files(const CardRecords& c, const std::string& dir, std::string& error) {
    std::string raw = "time_utc,point,heading_deg,heave_cm,north_velocity_m_s,east_velocity_m_s,heading_valid,"
                      "alignment_valid\n";
    char buf[160];
    for (const RawSample& r : c.raw) {
        std::snprintf(buf, sizeof buf, "%s,%u,%d,%d,%.4f,%.4f,%d,%d\n", r.time_utc.c_str(), r.point, r.heading_deg,
                      r.heave_cm, r.north_m_s, r.east_m_s, r.heading_valid, r.alignment_valid);
        raw += buf;
    }
    std::string waves = "time_utc,wave,height_cm,period_s,samples,dir_velocity_deg,dir_drift_deg,"
                        "heading_quality_pct,alignment_quality_pct\n";
    for (const WaveRecord& w : c.waves)
        waves += w.time_utc + "," + std::to_string(w.number) + "," + std::to_string(w.height_cm) + "," +
                 tenths(w.period_ds) + "," + std::to_string(w.samples) + "," + tenths(w.dir_velocity_dd) + "," +
                 tenths(w.dir_drift_dd) + "," + std::to_string(w.heading_quality) + "," +
                 std::to_string(w.alignment_quality) + "\n";
    std::string results = "start_utc,end_date,waves,hmax_cm,h13_cm,h110_cm,hav_cm,tmax_s,tpeak_s,t13_s,t110_s,"
                          "tav_s,dir_velocity_deg,dir_drift_deg,spread_velocity_deg,spread_drift_deg,"
                          "heading_quality_pct,alignment_quality_pct\n";
    for (const ResultRecord& r : c.results)
        results += r.start_utc + "," + r.date + "," + std::to_string(r.waves) + "," + std::to_string(r.hmax_cm) +
                   "," + std::to_string(r.h13_cm) + "," + std::to_string(r.h110_cm) + "," +
                   std::to_string(r.hav_cm) + "," + tenths(r.tmax_ds) + "," + tenths(r.tpeak_ds) + "," +
                   tenths(r.t13_ds) + "," + tenths(r.t110_ds) + "," + tenths(r.tav_ds) + "," +
                   tenths(r.dir_velocity_dd) + "," + tenths(r.dir_drift_dd) + "," + tenths(r.spread_velocity_dd) +
                   "," + tenths(r.spread_drift_dd) + "," + std::to_string(r.heading_quality) + "," +
                   std::to_string(r.alignment_quality) + "\n";
    return write_text_file(dir + "/raw.csv", raw, error) && write_text_file(dir + "/waves.csv", waves, error) &&
           write_text_file(dir + "/results.csv", results, error);
}

} // namespace tools
