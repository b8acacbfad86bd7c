// The wave analysis through the simulator, sea in and statistics out: a regular swell gives
// the same height, period and direction for every wave; an irregular sea gives the
// sea-state ratios of wave statistics within their sampling error; a sea without waves
// ends in the general restart; short chop is rejected by the period limit.
//
// The runs have no GPS receiver and no card: without a clock the firmware ends its
// 20-minute intervals on the sensor's time stamps, which keeps the runs short.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "sim/simulation.h"
#include "support/sim_run.h"

using namespace sim;
using sim::test::count_of;
using sim::test::fresh_dir;

namespace {

// One "IndOla=" line of the console: a wave the firmware accepted.
struct Wave {
    long index = 0;
    long height_cm = 0;
    long period_ds = 0; // tenths of a second
    long samples = 0;
    long dir_dd = 0;    // velocity method, tenths of a degree
};

// One "$RES," sentence with one direction method in force, its fields as numbers.
struct Result {
    long n = 0, hmax = 0, h13 = 0, h110 = 0, hav = 0;
    long tmax = 0, tpico = 0, t13 = 0, t110 = 0, tav = 0;
    long dir = 0, desv = 0, heading_quality = 0, alignment_quality = 0;
};

constexpr size_t kResFields = 20; // "$RES", five of date and time, fourteen values

// The scenario ondavix-sim would build from these options, plus the ones every run here
// shares. Fails the test on a rejected option.
Scenario scenario_with(const std::string& dir, std::vector<std::string> options) {
    std::vector<std::string> args = {"--out", dir, "--gps", "none", "--no-card", "--firmware", ONDAVIX_FW_IMAGE};
    args.insert(args.end(), options.begin(), options.end());
    Scenario s;
    bool help = false;
    std::string error;
    EXPECT_TRUE(parse_command_line(args, s, help, error)) << error;
    return s;
}

std::vector<Wave> accepted_waves(const std::string& console) {
    std::vector<Wave> out;
    for (size_t at = console.find("IndOla="); at != std::string::npos; at = console.find("IndOla=", at + 1)) {
        Wave o;
        int got = std::sscanf(console.c_str() + at, "IndOla=%ld Altura=%ld Periodo=%ld NumPtosOla=%ld Dir(MetVel)=%ld",
                              &o.index, &o.height_cm, &o.period_ds, &o.samples, &o.dir_dd);
        EXPECT_EQ(got, 5) << console.substr(at, 120);
        if (got == 5) out.push_back(o);
    }
    return out;
}

std::vector<std::string> fields(const std::string& sentence) {
    std::vector<std::string> out;
    std::string body = sentence.substr(0, sentence.find('*'));
    for (size_t start = 0;;) {
        size_t comma = body.find(',', start);
        out.push_back(body.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

// Every result sentence the host unit received; each must carry a right checksum and the
// one-method layout.
std::vector<Result> results(Simulation& sim) {
    std::vector<Result> out;
    for (const HostLine& l : sim.host().lines()) {
        if (l.text.compare(0, 5, "$RES,") != 0) continue;
        EXPECT_EQ(l.check, LineCheck::Right) << l.text;
        std::vector<std::string> f = fields(l.text);
        EXPECT_EQ(f.size(), kResFields) << l.text;
        if (f.size() != kResFields) continue;
        std::vector<long> v;
        for (size_t i = 6; i < kResFields; ++i) v.push_back(std::strtol(f[i].c_str(), nullptr, 10));
        out.push_back({v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11], v[12], v[13]});
    }
    return out;
}

// Every value printed after `label` on the console.
std::vector<long> values_after(const std::string& text, const std::string& label) {
    std::vector<long> out;
    for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1))
        out.push_back(std::strtol(text.c_str() + at + label.size(), nullptr, 10));
    return out;
}

// The accepted waves split by interval: the wave number starts again at 1 in each one.
std::vector<std::vector<Wave>> by_interval(const std::vector<Wave>& waves) {
    std::vector<std::vector<Wave>> out;
    for (const Wave& o : waves) {
        if (o.index == 1 || out.empty()) out.emplace_back();
        out.back().push_back(o);
    }
    return out;
}

// The height statistics of one interval worked out from its per-wave lines: mean of the
// highest third and tenth (rounded down), highest, and mean (rounded half up).
struct Heights {
    long hmax = 0, h13 = 0, h110 = 0, hav = 0;
};
Heights heights_of(const std::vector<Wave>& waves) {
    std::vector<long> h;
    for (const Wave& o : waves) h.push_back(o.height_cm);
    std::sort(h.begin(), h.end(), std::greater<long>());
    const size_t n = h.size();
    auto mean_of_highest = [&](size_t k) {
        return std::accumulate(h.begin(), h.begin() + long(k), 0L) / long(k);
    };
    Heights a;
    a.hmax = h.front();
    a.h13 = mean_of_highest((n + 2) / 3);   // ceil(n / 3) waves
    a.h110 = mean_of_highest((n + 9) / 10); // ceil(n / 10) waves
    a.hav = (std::accumulate(h.begin(), h.end(), 0L) * 2 + long(n)) / (2 * long(n));
    return a;
}

// Difference of two bearings in degrees, the shorter way round.
double bearing_difference(double a, double b) {
    double d = std::fmod(std::fabs(a - b), 360.0);
    return d > 180.0 ? 360.0 - d : d;
}

} // namespace

// A regular sinusoid has one height, one period and one direction; the sensor samples at
// 10 Hz and rounds heave to whole centimetres, so a height may be off by a centimetre at
// crest and at trough, and a period by a tenth.
TEST(WavesScenario, RegularSwellGivesEveryWaveItsHeightPeriodAndDirection) {
    for (double from : {240.0, 30.0}) {
        SCOPED_TRACE("swell from " + std::to_string(from));
        char sea[64];
        std::snprintf(sea, sizeof sea, "swell,h=1.5,t=10,dir=%g", from);
        Simulation sim(scenario_with(fresh_dir(from > 100 ? "swell240" : "swell30"), {"--sea", sea, "--duration", "2500"}));
        sim.run();
        ASSERT_NE(sim.sea(), nullptr);
        ASSERT_DOUBLE_EQ(sim.sea()->truth().regular_height_m, 1.5);
        const std::string& con = sim.console().text();

        // Two 20-minute intervals of 10 s waves; the first wave after power-up is discarded.
        std::vector<Wave> waves = accepted_waves(con);
        EXPECT_GE(waves.size(), 230u);
        EXPECT_EQ(count_of(con, "Ola descartada:"), 1u);
        for (const Wave& o : waves) {
            EXPECT_NEAR(o.height_cm, 150, 2) << "wave " << o.index;
            EXPECT_NEAR(o.period_ds, 100, 1) << "wave " << o.index;
            EXPECT_LE(bearing_difference(o.dir_dd / 10.0, from), 2.0) << "wave " << o.index;
        }

        std::vector<Result> res = results(sim);
        ASSERT_EQ(res.size(), 2u);
        // Each result counts the per-wave lines of its interval.
        std::vector<std::vector<Wave>> intervals = by_interval(waves);
        ASSERT_GE(intervals.size(), res.size());
        for (size_t i = 0; i < res.size(); ++i) EXPECT_EQ(res[i].n, long(intervals[i].size())) << "interval " << i;
        for (const Result& r : res) {
            // 1200 s of 10 s waves, less the one cut by the interval's start.
            EXPECT_NEAR(r.n, 120, 3);
            for (long h : {r.hmax, r.h13, r.h110, r.hav}) EXPECT_NEAR(h, 150, 2);
            for (long t : {r.tmax, r.tpico, r.t13, r.t110, r.tav}) EXPECT_NEAR(t, 100, 1);
            EXPECT_LE(bearing_difference(r.dir / 10.0, from), 2.0);
            EXPECT_LE(r.desv, 20);
            EXPECT_EQ(r.heading_quality, 100);
            EXPECT_EQ(r.alignment_quality, 100);
        }
        EXPECT_TRUE(sim.board().restarts().empty());
    }
}

// A moored buoy's raw record of the same kind of swell (1.5 m, 10 s, from 30 degrees: the
// north and west displacements of opposite signs), one sample in 300 with a bad status:
// replayed at 10 Hz it gives the swell's height, period and direction. Linear
// interpolation between samples 0.78 s apart lowers a 10 s crest by up to 3 %.
TEST(WavesScenario, RawDisplacementRecordOfASwellGivesItsHeightPeriodAndDirection) {
    const std::string dir = fresh_dir("datawell");
    const std::string file = dir + "/buoy.txt";
    {
        std::ofstream out(file);
        const double w = 2 * M_PI / 10.0, toward = (30.0 + 180.0) * M_PI / 180.0;
        for (int i = 0; i < 1700; ++i) {
            const double t = i / 1.28, xi = 75 * std::sin(w * t);
            const bool bad = i % 300 == 150;
            out << (bad ? 3 : 0) << "," << (bad ? 5000 : std::lround(75 * std::cos(w * t))) << ","
                << std::lround(xi * std::cos(toward)) << "," << std::lround(-xi * std::sin(toward)) << "\n";
        }
    }
    Simulation sim(scenario_with(dir, {"--motion", file, "--motion-format", "datawell", "--duration", "1300"}));
    sim.run();
    EXPECT_NE(sim.summary(1.0).find("1700 samples at 1.28 Hz, 6 with a bad status interpolated (0 of them"),
              std::string::npos)
        << sim.summary(1.0);
    std::vector<Result> res = results(sim);
    ASSERT_EQ(res.size(), 1u);
    EXPECT_NEAR(res[0].h13, 147, 3);
    EXPECT_NEAR(res[0].tav, 100, 1);
    EXPECT_LE(bearing_difference(res[0].dir / 10.0, 30.0), 2.0);
}

// A JONSWAP sea (Hs 2 m, Tp 9 s, 30 degrees of spread) drawn with several seeds, three
// intervals each. Expected ratios for a narrow-band sea with Rayleigh-distributed heights:
// H1/3 = 0.95 to 0.97 Hs (Hs = 4 sqrt(m0)) once the spectral width is allowed for, and
// H1/10 / H1/3 = 1.27. The coefficient of variation of H1/3 from N waves is about
// 0.7 / sqrt(N); the tolerances below are three such standard errors.
TEST(WavesScenario, IrregularSeaStatisticsMatchTheSeaWithinSamplingError) {
    constexpr double kH13TheoryLow = 0.95, kH13TheoryHigh = 0.97;
    constexpr double kH110OverH13 = 1.27;
    constexpr double kVariationPerWave = 0.7; // coefficient of variation times sqrt(N)

    long total_waves = 0;
    double sum_h13_hs = 0.0;      // sum over intervals of n * (H1/3 / Hs)
    std::vector<double> h110_h13; // per interval
    for (int seed : {1, 2, 3, 4}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::string sea = "hs=2,tp=9,dir=240,spread=30,seed=" + std::to_string(seed);
        Simulation sim(scenario_with(fresh_dir("jonswap"), {"--sea", sea, "--duration", "3700"}));
        sim.run();
        ASSERT_NE(sim.sea(), nullptr);
        const SeaTruth truth = sim.sea()->truth();
        std::vector<Result> res = results(sim);
        ASSERT_EQ(res.size(), 3u);
        // The result sentence agrees with the per-wave lines of its interval.
        std::vector<std::vector<Wave>> intervals = by_interval(accepted_waves(sim.console().text()));
        ASSERT_GE(intervals.size(), res.size());
        for (size_t i = 0; i < res.size(); ++i) {
            SCOPED_TRACE("interval " + std::to_string(i));
            ASSERT_EQ(res[i].n, long(intervals[i].size()));
            Heights a = heights_of(intervals[i]);
            EXPECT_EQ(res[i].hmax, a.hmax);
            EXPECT_EQ(res[i].h13, a.h13);
            EXPECT_EQ(res[i].h110, a.h110);
            EXPECT_EQ(res[i].hav, a.hav);
        }
        for (const Result& r : res) {
            ASSERT_GT(r.n, 100);
            double h13_hs = r.h13 / (100.0 * truth.hs_m);
            double std_error = kVariationPerWave / std::sqrt(double(r.n)) * kH13TheoryLow;
            // One interval alone, at four standard errors.
            EXPECT_GT(h13_hs, kH13TheoryLow - 4 * std_error) << "n " << r.n << " H1/3 " << r.h13;
            EXPECT_LT(h13_hs, kH13TheoryHigh + 4 * std_error) << "n " << r.n << " H1/3 " << r.h13;
            total_waves += r.n;
            sum_h13_hs += r.n * h13_hs;
            h110_h13.push_back(double(r.h110) / r.h13);

            // Order of the statistics of one sample of heights.
            EXPECT_LE(r.h13, r.h110);
            EXPECT_LE(r.h110, r.hmax);
            EXPECT_LT(r.hav, r.h13);
            EXPECT_LE(r.tav, r.tmax);
            // The mean of n per-wave directions scattered by the sea's spread: the standard
            // error of a mean bearing is the spread over sqrt(n).
            double dir_tolerance = 3 * truth.spread_deg / std::sqrt(double(r.n));
            EXPECT_LE(bearing_difference(r.dir / 10.0, truth.mean_from_deg), dir_tolerance)
                << "mean " << r.dir << " truth " << truth.mean_from_deg;
            // Mean period: between the mean zero-crossing period of the spectrum and its peak.
            EXPECT_GT(r.tav / 10.0, 0.85 * truth.tm02_s);
            EXPECT_LT(r.tav / 10.0, truth.tp_s);
        }
        EXPECT_TRUE(sim.board().restarts().empty());
    }

    double mean = sum_h13_hs / total_waves;
    double std_error = kVariationPerWave / std::sqrt(double(total_waves)) * kH13TheoryLow;
    EXPECT_GT(mean, kH13TheoryLow - 3 * std_error) << "waves " << total_waves;
    EXPECT_LT(mean, kH13TheoryHigh + 3 * std_error) << "waves " << total_waves;

    // H1/10 / H1/3: its standard error from the intervals' own scatter.
    double sum = 0.0, sum2 = 0.0;
    for (double x : h110_h13) {
        sum += x;
        sum2 += x * x;
    }
    double k = double(h110_h13.size());
    double mean_r = sum / k;
    double error_r = std::sqrt((sum2 / k - mean_r * mean_r) / (k - 1));
    EXPECT_NEAR(mean_r, kH110OverH13, 3 * error_r) << "scatter " << error_r;
}

// No waves for two hours of 20-minute intervals: the sixth empty interval starts the one
// second countdown, the timer interrupt then stops and the watchdog restarts the board.
TEST(WavesScenario, CalmSeaEndsInTheGeneralRestartThroughTheWatchdog) {
    Simulation sim(scenario_with(fresh_dir("calm"), {"--sea", "calm", "--duration", "7400"}));
    sim.run();
    const std::string& con = sim.console().text();

    EXPECT_EQ(values_after(con, "RESET POR FALTA DE OLAS: "), (std::vector<long>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(count_of(con, "Cuenta atr\xEF\xBF\xBDs=1,"), 1u);
    EXPECT_EQ(count_of(con, "RESET GENERAL POR FALTA DE OLAS"), 1u);
    EXPECT_EQ(con.find("IndOla="), std::string::npos);

    // Six empty result sentences; their last two fields carry the high and the low byte of
    // the discarded-wave counter, untouched at 65535.
    std::vector<Result> res = results(sim);
    ASSERT_EQ(res.size(), 6u);
    for (const Result& r : res) {
        EXPECT_EQ(r.n, 0);
        EXPECT_EQ(r.hmax + r.h13 + r.h110 + r.hav + r.tmax + r.tpico + r.t13 + r.t110 + r.tav + r.dir + r.desv, 0);
        EXPECT_EQ(r.heading_quality, 255);
        EXPECT_EQ(r.alignment_quality, 255);
    }

    const auto& restarts = sim.board().restarts();
    ASSERT_EQ(restarts.size(), 1u);
    EXPECT_NE(restarts[0].cause.find("watchdog"), std::string::npos) << restarts[0].cause;
    // Six intervals of 1200 s after the first sample, one second of countdown, then the
    // watchdog's 2 s.
    double t = restarts[0].time / 1e9;
    EXPECT_GT(t, 6 * 1200.0);
    EXPECT_LT(t, 6 * 1200.0 + 10.0);
    EXPECT_EQ(sim.board().boots(), 2u);
    EXPECT_NE(con.find("n\xEF\xBF\xBD reinicios = 2 "), std::string::npos);
}

// Waves of 1.5 s are below the 3 s minimum period: each one is discarded, no interval has
// a wave, and the result sentence carries the discarded-wave count in its last two fields.
TEST(WavesScenario, ShortChopIsDiscardedAndCountedInTheResult) {
    Simulation sim(scenario_with(fresh_dir("chop"), {"--sea", "chop", "--duration", "1300"}));
    sim.run();
    const std::string& con = sim.console().text();
    EXPECT_EQ(con.find("IndOla="), std::string::npos);

    std::vector<long> periods = values_after(con, "Periodo: ");
    std::vector<long> heights = values_after(con, "Altura: ");
    // About 1200 s / 1.5 s waves before the first interval ends.
    EXPECT_GT(periods.size(), 750u);
    ASSERT_EQ(periods.size(), heights.size());
    for (size_t i = 0; i < periods.size(); ++i) {
        EXPECT_NEAR(periods[i], 15, 1) << i;
        EXPECT_NEAR(heights[i], 20, 2) << i;
    }

    std::vector<Result> res = results(sim);
    ASSERT_EQ(res.size(), 1u);
    EXPECT_EQ(res[0].n, 0);
    // The counter starts the interval at 65535; the discard after power-up and those of the
    // interval bring it to the number printed last before the interval ended.
    size_t end = con.find("RESET POR FALTA DE OLAS: ");
    ASSERT_NE(end, std::string::npos);
    std::vector<long> counts = values_after(con.substr(0, end), "NumOlasDescartadas: ");
    ASSERT_FALSE(counts.empty());
    EXPECT_EQ(res[0].heading_quality * 256 + res[0].alignment_quality, counts.back());
    EXPECT_TRUE(sim.board().restarts().empty());
}

// The summary sets the samples the firmware formed against the epochs the sensor sent. With
// the GPS and the card, across an interval end, none is lost after the first minute at 10
// and 25 Hz, and at most 5 at the start of a first boot at 10 Hz; at 50 Hz the sensor port
// drops nothing after the first minute; the figures add up. Its last interval is the
// console's, as console.log (written as the run goes) has it.
TEST(WavesScenario, SummaryCountsSamplesFormedAgainstEpochsSent) {
    for (int rate : {10, 25, 50}) {
        SCOPED_TRACE(rate);
        std::string output;
        const std::string dir = fresh_dir("out" + std::to_string(rate));
        ASSERT_EQ(sim::test::run_sim_exe({"--out", dir, "--rate", std::to_string(rate), "--duration", "1300"}, output),
                  0)
            << output;
        std::string con = sim::test::read_file(dir + "/console.log");
        con.erase(std::remove(con.begin(), con.end(), '\r'), con.end());
        const size_t numolas = con.rfind("NumOlas=");
        ASSERT_NE(numolas, std::string::npos);
        const size_t from = con.rfind('\n', numolas) + 1, to = con.find('\n', con.find('\n', numolas) + 1);
        std::string interval;
        for (size_t p = from; p < to; p = con.find('\n', p) + 1)
            interval += "  " + con.substr(p, con.find('\n', p) + 1 - p);
        EXPECT_NE(output.find("firmware's last interval (heights cm, periods 0.1 s, directions 0.1 deg)\n" + interval),
                  std::string::npos)
            << interval << output;
        const size_t at = output.find("\nsamples        formed ");
        ASSERT_NE(at, std::string::npos) << output;
        unsigned long long formed = 0, sent = 0;
        long long lost = 0, later = 0;
        ASSERT_EQ(std::sscanf(output.c_str() + at,
                              "\nsamples        formed %llu of %llu epochs sent (%lld lost, %lld after the first minute)",
                              &formed, &sent, &lost, &later),
                  4)
            << output.substr(at, 120);
        EXPECT_NEAR(static_cast<double>(sent), 1300.0 * rate, 2.0); // the last, still on the line, is not counted
        EXPECT_EQ(lost, static_cast<long long>(sent) - static_cast<long long>(formed));
        if (rate == 10) {
            EXPECT_LE(lost, 5);
        }
        if (rate != 50) {
            EXPECT_EQ(later, 0);
        }
        // The interval's end (its files closed, its figures printed: some 100 ms) and the
        // card's steps keep the sensor port from overflowing, at 50 Hz too.
        for (size_t d = output.find("      dropped "); d != std::string::npos; d = output.find("      dropped ", d + 1)) {
            unsigned long long bytes = 0;
            double from_s = 0;
            ASSERT_EQ(std::sscanf(output.c_str() + d, "      dropped %llu bytes from %lf s", &bytes, &from_s), 2);
            EXPECT_LT(from_s, 60.0) << output.substr(d, 60);
        }
    }
}
