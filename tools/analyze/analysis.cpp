#include "analysis.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>

namespace analyze {

namespace {

struct Second {
    int64_t utc;
    size_t begin, end;
    size_t count() const { return end - begin; }
};

std::vector<Second> seconds_of(const std::vector<RawSample>& s) {
    std::vector<Second> out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (out.empty() || s[i].utc != out.back().utc) out.push_back({s[i].utc, i, i});
        out.back().end = i + 1;
    }
    return out;
}

// The most common number of records per clock second, partial first and last seconds aside.
double modal_rate(const std::vector<RawSample>& s) {
    std::map<size_t, size_t> hist;
    const std::vector<Second> sec = seconds_of(s);
    for (size_t j = 1; j + 1 < sec.size(); ++j)
        if (sec[j].utc >= 0) ++hist[sec[j].count()];
    size_t best = 0, seen = 0;
    for (const auto& h : hist)
        if (h.second > seen) best = h.first, seen = h.second;
    return static_cast<double>(best);
}

std::string number(double v, int decimals) {
    if (std::isnan(v)) return "";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

void add_runs(Welch& w, const std::vector<RawSample>& s, const std::vector<std::pair<size_t, size_t>>& runs) {
    std::vector<double> z, n, e;
    for (const auto& r : runs) {
        z.clear(), n.clear(), e.clear();
        for (size_t i = r.first; i < r.second; ++i)
            z.push_back(s[i].heave_down_m), n.push_back(s[i].v_north_ms), e.push_back(s[i].v_east_ms);
        w.add_run(z.data(), n.data(), e.data(), z.size());
    }
}

Row row_of(const std::vector<RawSample>& s, const std::vector<std::pair<size_t, size_t>>& runs, const Options& o,
           double rate, const std::string& source) {
    Row row;
    row.source = source;
    row.samples = s.size();
    row.gaps = runs.empty() ? 0 : runs.size() - 1;
    if (!s.empty()) row.start_utc = s.front().utc, row.end_utc = s.back().utc;
    Welch w(o.welch, rate);
    add_runs(w, s, runs);
    row.spectra = w.spectra();
    row.segments = row.spectra.segments;
    row.sea = sea_state(row.spectra, o.welch);
    return row;
}

// The firmware's result for the interval a row begins in: the latest interval start at or
// before the row's first record, less than the longest averaging interval (60 min) before it.
bool firmware_for(const Row& row, const std::vector<FirmwareResult>& res, FirmwareResult& out) {
    bool found = false;
    if (row.start_utc < 0) return false;
    for (const FirmwareResult& r : res) {
        // The record's date is that of the interval END: an interval that began before
        // midnight carries the next day's date with the late start time.
        for (int64_t start : {r.start_utc, r.start_utc - 86400}) {
            if (start > row.start_utc + 1 || row.start_utc - start >= 3600) continue;
            if (!found || start > out.start_utc) {
                out = r;
                out.start_utc = start;
                found = true;
            }
        }
    }
    return found;
}

} // namespace

std::vector<std::pair<size_t, size_t>> gap_free_runs(const std::vector<RawSample>& s, double rate) {
    std::vector<std::pair<size_t, size_t>> runs;
    const std::vector<Second> sec = seconds_of(s);
    size_t start = 0;
    auto close = [&](size_t end) {
        if (end > start) runs.emplace_back(start, end);
    };
    for (size_t j = 0; j < sec.size(); ++j) {
        const Second& c = sec[j];
        if (c.utc < 0) continue; // no clock: nothing to check against
        if (j > 0 && sec[j - 1].utc >= 0 && c.utc != sec[j - 1].utc + 1) {
            close(c.begin);
            start = c.begin;
        }
        const bool inner = j > 0 && j + 1 < sec.size();
        const double made_up = std::max(j > 0 ? static_cast<double>(sec[j - 1].count()) : 0.0,
                                        j + 1 < sec.size() ? static_cast<double>(sec[j + 1].count()) : 0.0);
        if (inner && static_cast<double>(c.count()) < rate - 0.5 && !(made_up > rate + 0.5)) {
            close(c.begin);
            start = c.end;
        }
    }
    close(s.size());
    return runs;
}

Report analyse(const CardFiles& files, const Options& o) {
    Report rep;
    std::vector<std::vector<RawSample>> per_file;
    for (const DataFile& f : files.raw) per_file.push_back(parse_raw(f.text, f.label, rep.errors));
    std::vector<FirmwareResult> res;
    for (const DataFile& f : files.res) {
        std::vector<FirmwareResult> r = parse_results(f.text, f.label, rep.errors);
        res.insert(res.end(), r.begin(), r.end());
    }
    rep.rate_hz = o.rate_hz;
    if (!(rep.rate_hz > 0)) {
        std::vector<RawSample> all;
        for (const auto& v : per_file) all.insert(all.end(), v.begin(), v.end());
        rep.rate_hz = modal_rate(all);
    }
    if (!(rep.rate_hz > 0)) return rep; // no full second anywhere: nothing to analyse

    if (o.window_s <= 0) {
        for (size_t i = 0; i < per_file.size(); ++i) {
            rep.rows.push_back(row_of(per_file[i], gap_free_runs(per_file[i], rep.rate_hz), o, rep.rate_hz,
                                      files.raw[i].label));
        }
    } else {
        // One stream over all files, so that a window runs on across the file boundaries
        // where the records do; cut at every window edge.
        std::vector<RawSample> all;
        std::vector<std::string> source;
        for (size_t i = 0; i < per_file.size(); ++i) {
            all.insert(all.end(), per_file[i].begin(), per_file[i].end());
            source.insert(source.end(), per_file[i].size(), files.raw[i].label);
        }
        const auto runs = gap_free_runs(all, rep.rate_hz);
        size_t i = 0;
        while (i < all.size()) {
            if (all[i].utc < 0) {
                ++i;
                continue;
            }
            const int64_t w = all[i].utc / o.window_s;
            size_t j = i;
            while (j < all.size() && all[j].utc >= 0 && all[j].utc / o.window_s == w) ++j;
            std::vector<RawSample> part(all.begin() + static_cast<long>(i), all.begin() + static_cast<long>(j));
            std::vector<std::pair<size_t, size_t>> cut;
            for (const auto& r : runs) {
                const size_t b = std::max(r.first, i), e = std::min(r.second, j);
                if (b < e) cut.emplace_back(b - i, e - i);
            }
            Row row = row_of(part, cut, o, rep.rate_hz, source[i]);
            row.start_utc = w * o.window_s;
            row.end_utc = row.start_utc + o.window_s;
            row.gaps = cut.size() - 1 + (cut.front().first > 0) + (cut.back().second < part.size());
            rep.rows.push_back(std::move(row));
            i = j;
        }
    }
    for (Row& row : rep.rows)
        row.has_firmware = firmware_for(row, res, row.firmware);
    return rep;
}

std::string csv(const Report& r, bool compare) {
    std::string out = "start_utc,end_utc,hm0_m,tp_s,tm01_s,tm02_s,width,peak_dir_deg,mean_dir_deg,spread_deg,"
                      "samples,segments,gaps";
    if (compare)
        out += ",fw_start_utc,fw_waves,fw_hmax_m,fw_h13_m,fw_h110_m,fw_hav_m,fw_tpico_s,fw_t13_s,fw_tav_s,fw_dir_deg,"
               "fw_spread_deg";
    out += ",source\n";
    for (const Row& row : r.rows) {
        const SeaState& s = row.sea;
        out += utc_text(row.start_utc) + "," + utc_text(row.end_utc) + "," + number(s.hm0_m, 3) + "," +
               number(s.tp_s, 2) + "," + number(s.tm01_s, 2) + "," + number(s.tm02_s, 2) + "," + number(s.width, 3) +
               "," + number(s.peak_dir_deg, 1) + "," + number(s.mean_dir_deg, 1) + "," + number(s.spread_deg, 1) +
               "," + std::to_string(row.samples) + "," + std::to_string(row.segments) + "," +
               std::to_string(row.gaps);
        if (compare) {
            const FirmwareResult& f = row.firmware;
            if (row.has_firmware)
                out += "," + utc_text(f.start_utc) + "," + std::to_string(f.waves) + "," + number(f.hmax_m, 2) + "," +
                       number(f.h13_m, 2) + "," + number(f.h110_m, 2) + "," + number(f.hav_m, 2) + "," +
                       number(f.tpico_s, 1) + "," + number(f.t13_s, 1) + "," + number(f.tav_s, 1) + "," +
                       number(f.dir_deg, 1) + "," + number(f.spread_deg, 1);
            else
                out += ",,,,,,,,,,,";
        }
        out += "," + row.source + "\n";
    }
    return out;
}

std::string compare_table(const Report& r) {
    std::string out = "start                 Hm0 m  H1/3 m   Tp s Tpico s  Tm02 s  T1/3 s  dir deg fw dir  spread fw spr\n";
    char line[256];
    for (const Row& row : r.rows) {
        const SeaState& s = row.sea;
        const FirmwareResult& f = row.firmware;
        const double nan = NAN;
        std::snprintf(line, sizeof line, "%-20s %6.3f %7.2f %6.2f %7.1f %7.2f %7.1f %8.1f %6.1f %7.1f %6.1f\n",
                      utc_text(row.start_utc).c_str(), s.hm0_m, row.has_firmware ? f.h13_m : nan, s.tp_s,
                      row.has_firmware ? f.tpico_s : nan, s.tm02_s, row.has_firmware ? f.t13_s : nan, s.mean_dir_deg,
                      row.has_firmware ? f.dir_deg : nan, s.spread_deg, row.has_firmware ? f.spread_deg : nan);
        out += line;
    }
    return out;
}

bool plot(const Report& r, const std::string& dir, std::string& error) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = dir + ": cannot create the folder (" + std::strerror(errno) + ")";
        return false;
    }
    const std::string script = dir + "/spectra.gp";
    std::ofstream gp(script);
    gp << "set terminal pngcairo size 900,700\nset grid\n";
    size_t drawn = 0;
    for (size_t i = 0; i < r.rows.size(); ++i) {
        const Row& row = r.rows[i];
        if (row.segments == 0) continue;
        std::string name = utc_text(row.start_utc);
        name.erase(std::remove(name.begin(), name.end(), ':'), name.end());
        if (name.empty()) name = "row" + std::to_string(i + 1);
        const std::string data = dir + "/" + name + ".txt";
        std::ofstream d(data);
        d << "# f_hz S_m2_per_hz dir_deg spread_deg\n";
        const Directional dd = directional(row.spectra);
        for (size_t k = 1; k < row.spectra.zz.size(); ++k) {
            const double f = static_cast<double>(k) * row.spectra.df_hz;
            if (f > 1.0) break;
            d << f << " " << row.spectra.zz[k] << " " << (std::isnan(dd.dir_deg[k]) ? 0 : dd.dir_deg[k]) << " "
              << (std::isnan(dd.spread_deg[k]) ? 0 : dd.spread_deg[k]) << "\n";
        }
        char title[256];
        std::snprintf(title, sizeof title, "%s  Hm0 %.2f m  Tp %.1f s  mean dir %.0f deg  spread %.0f deg",
                      utc_text(row.start_utc).c_str(), row.sea.hm0_m, row.sea.tp_s, row.sea.mean_dir_deg,
                      row.sea.spread_deg);
        gp << "set output '" << dir << "/" << name << ".png'\n"
           << "set multiplot layout 2,1 title '" << title << "'\n"
           << "set xrange [0:0.6]\nset ylabel 'S (m^2/Hz)'\nunset y2tics\nset ytics auto\n"
           << "plot '" << data << "' using 1:2 with lines lw 2 title 'heave spectrum'\n"
           << "set xlabel 'frequency (Hz)'\nset ylabel 'direction, coming from (deg)'\nset yrange [0:360]\n"
           << "set ytics 45\nset y2label 'spread (deg)'\nset y2range [0:90]\nset y2tics 15\n"
           << "plot '" << data << "' using 1:3 with points pt 7 ps 0.5 title 'direction', '' using 1:4 axes x1y2 "
           << "with lines title 'spread'\n"
           << "unset multiplot\nset yrange [*:*]\nunset xlabel\nunset y2label\n";
        ++drawn;
    }
    gp.close();
    if (!gp) {
        error = script + ": cannot write";
        return false;
    }
    if (drawn == 0) return true;
    const std::string cmd = "gnuplot '" + script + "' 2>&1";
    const int status = std::system(cmd.c_str());
    if (status != 0) {
        error = "--plot: gnuplot failed on " + script + " (is gnuplot installed? exit status " +
                std::to_string(status) + ")";
        return false;
    }
    return true;
}

} // namespace analyze
