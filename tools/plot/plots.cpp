// The plots are drawn from data files written here and one gnuplot script, all kept beside
// the PNG files so that a person can change a plot and draw it again (gnuplot plots.gp).
#include "tools/plot/plots.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

namespace tools {

namespace {

// "YYYY-MM-DDTHH:MM:SSZ" or "YYYY-MM-DDTHH:MMZ" as seconds since 1970; false otherwise.
bool utc_seconds(const std::string& text, double& out) {
    int y, mo, d, h, mi, s = 0;
    char z = 0;
    int used = 0;
    const bool full = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &y, &mo, &d, &h, &mi, &s, &z, &used) == 7;
    if (!full) {
        s = 0;
        used = 0;
        if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%c%n", &y, &mo, &d, &h, &mi, &z, &used) != 6) return false;
    }
    if (z != 'Z' || static_cast<size_t>(used) != text.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 ||
        mi > 59 || s > 59)
        return false;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    out = static_cast<double>(timegm(&tm));
    return true;
}

// Gnuplot takes single-quoted strings; a quote inside one is doubled.
std::string gp_quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

// A clocked raw sample placed in time: records carry whole seconds, so the samples of one
// second are spread over it at the record's usual rate.
struct Placed {
    double t;
    int heave_cm;
    uint32_t point;
};

std::vector<Placed> place_samples(const std::vector<RawSample>& raw) {
    std::map<int, int> per_second; // samples in a second -> how many seconds had that many
    std::vector<Placed> out;
    std::vector<size_t> run; // first index of each second in `out`
    double previous = -1;
    size_t count = 0;
    for (const RawSample& r : raw) {
        double t;
        if (!utc_seconds(r.time_utc, t)) continue; // no clock yet
        if (t != previous) {
            if (count) ++per_second[static_cast<int>(count)];
            count = 0;
            previous = t;
        }
        ++count;
        out.push_back({t, r.heave_cm, r.point});
    }
    if (count) ++per_second[static_cast<int>(count)];
    int rate = 1, seen = 0;
    for (const auto& [n, seconds] : per_second)
        if (seconds > seen) rate = n, seen = seconds;
    size_t k = 0;
    double second = -1;
    for (Placed& p : out) {
        k = p.t == second ? k + 1 : 0;
        second = p.t;
        p.t += static_cast<double>(k) / rate;
    }
    return out;
}

// The samples at which the firmware closed one wave and began the next: the point count
// starts again at 0 on the record after an upward zero crossing of the heave (positive down).
bool is_limit(const std::vector<Placed>& s, size_t i) {
    return i >= 1 && i + 1 < s.size() && s[i + 1].point == 0 && s[i].heave_cm >= 0 && s[i - 1].heave_cm <= 0;
}

std::string fixed(double v, int decimals) {
    char b[32];
    std::snprintf(b, sizeof b, "%.*f", decimals, v);
    return b;
}

} // namespace

std::string sea_truth_csv(const SeaTruthFigures& t) {
    return std::string(kSeaTruthHeader) + "\n" + fixed(t.hs_m, 3) + "," + fixed(t.tp_s, 2) + "," +
           fixed(t.tm02_s, 2) + "," + fixed(t.from_deg, 1) + "," + fixed(t.spread_deg, 1) + ",\"" + t.sea + "\"\n";
}

bool read_sea_truth(const std::string& path, std::optional<SeaTruthFigures>& out, std::string& error) {
    out.reset();
    std::ifstream in(path, std::ios::binary);
    if (!in) return true;
    std::string header, row;
    std::getline(in, header);
    if (header != kSeaTruthHeader) {
        error = path + ":1: expected the header \"" + kSeaTruthHeader + "\"";
        return false;
    }
    std::getline(in, row);
    SeaTruthFigures t;
    int used = 0;
    if (std::sscanf(row.c_str(), "%lf,%lf,%lf,%lf,%lf,%n", &t.hs_m, &t.tp_s, &t.tm02_s, &t.from_deg, &t.spread_deg,
                    &used) != 5 ||
        used == 0 || row.size() < static_cast<size_t>(used) + 2 || row[used] != '"' || row.back() != '"') {
        error = path + ":2: expected five numbers and the quoted sea (Hs m, Tp s, Tm02 s, from deg, spread deg)";
        return false;
    }
    t.sea = row.substr(used + 1, row.size() - used - 2);
    out = t;
    return true;
}

bool parse_span(const std::string& text, PlotSpan& span, std::string& error) {
    const size_t comma = text.find(',');
    span = PlotSpan();
    span.start = text.substr(0, comma);
    double t;
    char* end = nullptr;
    const bool offset = !span.start.empty() && span.start[0] == '+' &&
                        (std::strtod(span.start.c_str() + 1, &end), end && *end == '\0' && end != span.start.c_str() + 1);
    if (!offset && !utc_seconds(span.start, t)) {
        error = "--span " + text + ": expected START[,SECONDS], START a UTC time YYYY-MM-DDTHH:MM:SSZ or +S "
                "(seconds after the first sample)";
        return false;
    }
    if (comma != std::string::npos) {
        const std::string s = text.substr(comma + 1);
        span.seconds = std::strtod(s.c_str(), &end);
        if (s.empty() || *end != '\0' || !(span.seconds > 0 && span.seconds <= 86400)) {
            error = "--span " + text + ": expected SECONDS after the comma, above 0 and at most 86400";
            return false;
        }
    }
    return true;
}

namespace {

bool run_gnuplot(const std::string& dir, const std::string& script, std::string& error) {
    const std::string log = dir + "/gnuplot.log";
    const pid_t child = fork();
    if (child < 0) {
        error = std::string("cannot start gnuplot: ") + std::strerror(errno);
        return false;
    }
    if (child == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        if (chdir(dir.c_str()) == 0) execlp("gnuplot", "gnuplot", script.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream in(log);
        std::stringstream ss;
        ss << in.rdbuf();
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        error = code == 127 ? "gnuplot cannot be run (Debian package gnuplot-nox)"
                            : "gnuplot failed on " + dir + "/" + script + ": " + ss.str();
        return false;
    }
    unlink(log.c_str());
    return true;
}

constexpr const char* kTerminal = "set terminal pngcairo size 800,480 font 'sans,10'\n";

// Heave over the span, the limits as vertical lines, the crests (the highest heave of each
// wave, as the firmware takes it) and troughs as points.
bool heave_plot(const std::vector<Placed>& s, const PlotSpan& span, const std::string& dir, std::string& gp,
                std::string& error) {
    double t0 = 0;
    if (span.start.empty()) {
        size_t i = 0;
        while (i < s.size() && !is_limit(s, i)) ++i;
        t0 = i < s.size() ? s[i].t : s.front().t;
    } else if (span.start[0] == '+') {
        t0 = s.front().t + std::strtod(span.start.c_str() + 1, nullptr);
    } else {
        utc_seconds(span.start, t0);
    }
    const double t1 = t0 + span.seconds;
    std::string data = "# t_s heave_cm (positive down), seconds after the span's start\n";
    std::vector<double> limit_times;
    std::string marks = "# t_s heave_cm kind (1 crest, 0 trough)\n";
    size_t n = 0;
    size_t begin = s.size();
    int lowest = 0, highest = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i].t < t0 || s[i].t > t1) continue;
        lowest = n == 0 ? s[i].heave_cm : std::min(lowest, s[i].heave_cm);
        highest = n == 0 ? s[i].heave_cm : std::max(highest, s[i].heave_cm);
        ++n;
        data += fixed(s[i].t - t0, 2) + " " + std::to_string(s[i].heave_cm) + "\n";
        if (!is_limit(s, i)) continue;
        limit_times.push_back(s[i].t - t0);
        if (begin < i) {
            size_t hi = begin, lo = begin;
            for (size_t j = begin; j <= i; ++j) {
                if (s[j].heave_cm > s[hi].heave_cm) hi = j;
                if (s[j].heave_cm < s[lo].heave_cm) lo = j;
            }
            marks += fixed(s[hi].t - t0, 2) + " " + std::to_string(s[hi].heave_cm) + " 1\n";
            marks += fixed(s[lo].t - t0, 2) + " " + std::to_string(s[lo].heave_cm) + " 0\n";
        }
        begin = i;
    }
    if (n == 0) {
        error = "the heave span (" + std::string(span.start.empty() ? "first wave limit" : span.start) + ", " +
                fixed(span.seconds, 0) + " s) holds no raw samples with a clock";
        return false;
    }
    // The limit lines run over the heave's whole range.
    std::string limits = "# t_s heave_from_cm length_cm of each wave limit's line\n";
    for (double t : limit_times)
        limits += fixed(t, 2) + " " + std::to_string(lowest) + " " + std::to_string(highest - lowest) + "\n";
    if (!write_text_file(dir + "/heave.dat", data, error) || !write_text_file(dir + "/limits.dat", limits, error) ||
        !write_text_file(dir + "/crests.dat", marks, error))
        return false;
    const std::time_t start = static_cast<std::time_t>(t0);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&start));
    gp += std::string(kTerminal) + "set output 'heave.png'\nset grid\n" +
          "set title " + gp_quoted("heave from " + std::string(when) + ": the wave limits the firmware marked (" +
                                   std::to_string(limit_times.size()) + "), crest and trough between each two") +
          "\nset xlabel 'seconds from " + when + "'\nset ylabel 'heave as recorded (cm, positive down)'\n" +
          "set xrange [0:" + fixed(span.seconds, 2) + "]\n"
          "plot 'heave.dat' using 1:2 with lines lc rgb '#1f77b4' title 'heave', \\\n"
          "  'limits.dat' using 1:2:(0):3 with vectors nohead lc rgb '#999999' dt 2 title 'wave limits', \\\n"
          "  'crests.dat' using 1:($3 == 1 ? $2 : 1/0) with points pt 7 ps 0.8 lc rgb '#d62728' title 'crests', \\\n"
          "  'crests.dat' using 1:($3 == 0 ? $2 : 1/0) with points pt 9 ps 0.8 lc rgb '#2ca02c' title 'troughs'\n"
          "set xrange [*:*]\nunset title\n";
    return true;
}

} // namespace

bool write_plots(const CardRecords& c, const std::optional<SeaTruthFigures>& truth, const PlotSpan& span,
                 const std::string& dir, PlotReport& report, std::string& error) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = dir + ": cannot create the folder (" + std::strerror(errno) + ")";
        return false;
    }
    std::string gp = "# Draws the PNG files of this folder from its .dat files: gnuplot plots.gp\n";
    std::vector<std::string> pngs;

    const std::vector<Placed> samples = place_samples(c.raw);
    if (samples.empty()) {
        report.notes.push_back("heave.png: no raw samples with a clock on the card");
    } else {
        if (!heave_plot(samples, span, dir, gp, error)) return false;
        pngs.push_back("heave.png");
    }

    if (c.waves.empty()) {
        report.notes.push_back("waves.png, rose.png: no per-wave records on the card");
    } else {
        std::string data = "# period_s height_m\n";
        for (const WaveRecord& w : c.waves) data += fixed(w.period_ds / 10.0, 1) + " " + fixed(w.height_cm / 100.0, 2) + "\n";
        if (!write_text_file(dir + "/waves.dat", data, error)) return false;
        gp += std::string(kTerminal) + "set output 'waves.png'\nset grid\nset title " +
              gp_quoted(std::to_string(c.waves.size()) + " waves: height against period") +
              "\nset xlabel 'period (s)'\nset ylabel 'height (m)'\n"
              "plot 'waves.dat' using 1:2 with points pt 7 ps 0.4 lc rgb '#1f77b4' notitle\nunset title\n";
        pngs.push_back("waves.png");

        // The rose: share of waves coming from each 15-degree sector, as wedges.
        constexpr int kSectors = 24;
        int counts[kSectors] = {};
        size_t with_dir = 0;
        for (const WaveRecord& w : c.waves) {
            const std::optional<int> d = w.dir_velocity_dd ? w.dir_velocity_dd : w.dir_drift_dd;
            if (!d || *d < 0 || *d >= 3600) continue;
            ++counts[((*d + 75) / 150) % kSectors]; // sector 0 is centred on north
            ++with_dir;
        }
        if (with_dir == 0) {
            report.notes.push_back("rose.png: no per-wave record carries a direction");
        } else {
            std::string wedges = "# x y (east, north) of each sector's wedge, percent of the waves as radius\n";
            double top = 0;
            for (int k = 0; k < kSectors; ++k) {
                const double pct = 100.0 * counts[k] / with_dir;
                top = std::max(top, pct);
                wedges += "0 0\n";
                for (int j = 0; j <= 6; ++j) {
                    const double a = (k * 15.0 - 7.5 + j * 2.5) * M_PI / 180.0;
                    wedges += fixed(pct * std::sin(a), 3) + " " + fixed(pct * std::cos(a), 3) + "\n";
                }
                wedges += "0 0\n\n\n";
            }
            if (!write_text_file(dir + "/rose.dat", wedges, error)) return false;
            const double ring = top > 40 ? 20 : top > 20 ? 10 : top > 8 ? 5 : 2;
            const double r = std::ceil(top / ring) * ring;
            std::string rings;
            for (double q = ring; q <= r + 1e-9; q += ring)
                rings += "set object circle at 0,0 size " + fixed(q, 1) + " fs empty border lc rgb '#bbbbbb' dt 2 back\n"
                         "set label " + gp_quoted(fixed(q, 0) + " %") + " at " + fixed(q * 0.71, 2) + "," +
                         fixed(q * 0.71, 2) + " tc rgb '#777777' front\n";
            const double m = r * 1.12;
            std::string title = std::to_string(with_dir) + " waves by the direction they come from";
            std::string truth_plot;
            if (truth) {
                const double a = truth->from_deg * M_PI / 180.0;
                title += "; the sea's mean direction (" + fixed(truth->from_deg, 1) + " deg) as the arrow";
                truth_plot = ", \\\n  '+' using (0):(0):(" + fixed(r * std::sin(a), 3) + "):(" + fixed(r * std::cos(a), 3) +
                             ") every ::0::0 with vectors lw 2 lc rgb '#d62728' title 'sea truth'";
            }
            gp += std::string(kTerminal) + "set output 'rose.png'\nunset grid\nset size ratio -1\n"
                  "unset xtics\nunset ytics\nunset border\nunset xlabel\nunset ylabel\nset key bottom right\n" +
                  rings + "set xrange [" + fixed(-m, 1) + ":" + fixed(m, 1) + "]\nset yrange [" + fixed(-m, 1) + ":" +
                  fixed(m, 1) + "]\n" + "set label 'N' at 0," + fixed(r * 1.06, 2) + " center front\n" +
                  "set label 'E' at " + fixed(r * 1.06, 2) + ",0 center front\nset label 'S' at 0," +
                  fixed(-r * 1.06, 2) + " center front\nset label 'W' at " + fixed(-r * 1.06, 2) + ",0 center front\n" +
                  "set title " + gp_quoted(title) + "\n" +
                  "plot for [i=0:" + std::to_string(kSectors - 1) +
                  "] 'rose.dat' index i using 1:2 with filledcurves closed fc rgb '#1f77b4' fs solid 0.6 border lc rgb '#1f77b4' "
                  "notitle" + truth_plot + "\n"
                  "unset object\nunset label\nunset title\nset size noratio\nset border\nset xtics\nset ytics\n"
                  "set xrange [*:*]\nset yrange [*:*]\nset key default\n";
            pngs.push_back("rose.png");
        }
    }

    if (c.results.empty()) {
        report.notes.push_back("intervals.png: no result records on the card");
    } else {
        std::string data = "# start_unix_s h13_m hmax_m tpeak_s\n";
        for (const ResultRecord& r : c.results) {
            double t;
            if (!utc_seconds(r.start_utc, t)) continue;
            data += fixed(t, 0) + " " + fixed(r.h13_cm / 100.0, 2) + " " + fixed(r.hmax_cm / 100.0, 2) + " " +
                    fixed(r.tpeak_ds / 10.0, 1) + "\n";
        }
        if (!write_text_file(dir + "/intervals.dat", data, error)) return false;
        std::string hs_line, tp_line, title = std::to_string(c.results.size()) + " intervals";
        if (truth) {
            hs_line = ", \\\n  " + fixed(truth->hs_m, 3) + " with lines dt 2 lw 2 lc rgb '#1f77b4' title 'sea Hs " +
                      fixed(truth->hs_m, 2) + " m'";
            tp_line = ", \\\n  " + fixed(truth->tp_s, 2) + " with lines dt 2 lw 2 lc rgb '#9467bd' title 'sea Tp " +
                      fixed(truth->tp_s, 2) + " s'";
            title += " beside the sea's truth (" + truth->sea + ")";
        } else {
            report.notes.push_back("intervals.png: no sea_truth.csv (a motion replay, or not a simulator folder): "
                                   "drawn without the sea's truth");
            title += " (no sea truth known)";
        }
        gp += std::string(kTerminal) + "set output 'intervals.png'\nset grid\nset xdata time\nset timefmt '%s'\n"
              "set format x \"%m-%d\\n%H:%M\"\nset xlabel 'interval start (UTC)'\nset key outside right\n"
              "set multiplot layout 2,1 title " + gp_quoted(title) + "\n"
              "set ylabel 'height (m)'\nset yrange [0:*]\n"
              "plot 'intervals.dat' using 1:2 with linespoints pt 7 lc rgb '#1f77b4' title 'H1/3', \\\n"
              "  '' using 1:3 with linespoints pt 5 lc rgb '#ff7f0e' title 'Hmax'" + hs_line + "\n"
              "set ylabel 'period (s)'\n"
              "plot 'intervals.dat' using 1:4 with linespoints pt 7 lc rgb '#9467bd' title 'Tp'" + tp_line + "\n"
              "unset multiplot\nset xdata\nset yrange [*:*]\n";
        pngs.push_back("intervals.png");
    }

    if (pngs.empty()) {
        error = "nothing to plot: the card holds no raw, per-wave or result records";
        return false;
    }
    if (!write_text_file(dir + "/plots.gp", gp, error) || !run_gnuplot(dir, "plots.gp", error)) return false;
    for (const std::string& p : pngs) report.written.push_back(dir + "/" + p);
    return true;
}

} // namespace tools
