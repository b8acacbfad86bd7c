// ondavix-analyze's figures against the sea's truth, through the whole chain: the sea, the
// sensor's frames, the firmware's RAW records on the simulated card, read back off the card
// image. Two simulated hours per irregular sea: the second hour is a full window of 3600 s
// (the first loses its first half minute to the GPS fix, before which no file is written).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "analysis.h"
#include "sim/scenario.h"
#include "support/sim_run.h"
#include "world/sea.h"

using namespace analyze;

namespace {

struct Truth {
    double hs = 0, tp = 0, from = 0, spread = 0;
    double tp_drawn = 0; // the peak of the components drawn, as 256 s segments resolve it
};

// Runs ondavix-sim and analyses its card image; fills the truth the summary printed.
Report run(const std::string& sea, int seconds, int64_t window, Truth& truth) {
    const std::string dir = sim::test::fresh_dir("out");
    std::string output;
    EXPECT_EQ(sim::test::run_sim_exe({"--out", dir, "--sea", sea, "--duration", std::to_string(seconds)}, output), 0)
        << output;
    const size_t at = output.find("truth ");
    EXPECT_NE(at, std::string::npos) << output;
    if (at != std::string::npos) {
        EXPECT_EQ(std::sscanf(output.c_str() + at, "truth Hs %lf m, Tp %lf s, Tm02 %*f s, from %lf deg, spread %lf",
                              &truth.hs, &truth.tp, &truth.from, &truth.spread),
                  4)
            << output.substr(at, 100);
    }
    sim::Scenario scenario;
    std::string sea_error;
    EXPECT_TRUE(sim::parse_sea(sea, scenario, sea_error)) << sea_error;
    truth.tp_drawn = sim::Sea(scenario.sea).truth().tp_drawn_s;
    CardFiles files;
    std::string error;
    EXPECT_TRUE(gather_files({dir + "/sd.img"}, files, error)) << error;
    Options o;
    o.window_s = window;
    return analyse(files, o);
}

double angle_between(double a, double b) { return std::fabs(std::remainder(a - b, 360.0)); }

} // namespace

// Tolerances, for one full hour (about 27 Welch segments of 256 s, 54 degrees of freedom
// per bin):
// - Hm0 5 %: the truth is 4 sqrt(m0) of the components drawn, i.e. of an infinitely long
//   record; one hour of a sea of ~150 components spaced ~2.6 mHz apart leaves their beats
//   only partly averaged, a sampling error of about 1-2 % (measured: -1.9 % to +0.5 %).
// - Tp 5 % of the peak of the components drawn: the peak of the spectrum the sea was drawn
//   from is not the peak of its draw, whose random component energies move it a bin or two
//   (1/256 Hz, 4.3 % of fp at Tp 11 s), and no record of the draw shows it (measured:
//   +5.1 %, +5.2 % and +0.2 % from the nominal Tp; within 0.7 % of the drawn peak on five
//   seas of Tp 6 to 13 s).
// - Mean direction 3 degrees and spread 5 degrees: energy-weighted band means over many
//   degrees of freedom; measured within 0.7 and 0.5 degrees.
TEST(Analyze, DirectionalSeasMeetTheirTruth) {
    for (const std::string sea : {"hs=2,tp=9,dir=240,spread=30,seed=1", "hs=3,tp=11,dir=355,spread=20,seed=4",
                                  "hs=4,tp=13,dir=90,spread=35,seed=3"}) {
        Truth t;
        const Report r = run(sea, 7300, 3600, t);
        ASSERT_GE(r.rows.size(), 2u) << sea;
        const Row& hour = r.rows[1];
        EXPECT_GE(hour.segments, 20u) << sea;
        EXPECT_NEAR(hour.sea.hm0_m, t.hs, 0.05 * t.hs) << sea;
        EXPECT_NEAR(hour.sea.tp_s, t.tp_drawn, 0.05 * t.tp_drawn) << sea;
        EXPECT_LT(angle_between(hour.sea.mean_dir_deg, t.from), 3.0) << sea;
        EXPECT_NEAR(hour.sea.spread_deg, t.spread, 5.0) << sea;
    }
}

// A regular swell, per averaging interval (20 minutes, 8 segments): one line, so Tp within
// one bin and every direction within 1 degree; the firmware's own interval results are
// matched to every row, and its H1/3 of identical waves is their height H = Hm0 / sqrt(2)
// to the centimetre rounding of its records (2 %).
TEST(Analyze, RegularSwellAndTheFirmwaresResultsBesideIt) {
    Truth t;
    const Report r = run("swell,h=1.5,t=10,dir=240", 3700, 0, t);
    ASSERT_GE(r.rows.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        const Row& row = r.rows[i];
        ASSERT_GT(row.segments, 0u);
        EXPECT_LT(std::fabs(1 / row.sea.tp_s - 1 / t.tp), 1.0 / 256) << row.sea.tp_s;
        EXPECT_LT(angle_between(row.sea.mean_dir_deg, t.from), 1.0);
        EXPECT_LT(angle_between(row.sea.peak_dir_deg, t.from), 1.0);
        ASSERT_TRUE(row.has_firmware) << utc_text(row.start_utc);
        EXPECT_LE(row.firmware.start_utc, row.start_utc);
        EXPECT_GT(row.firmware.start_utc + 1200, row.start_utc);
        EXPECT_NEAR(row.firmware.h13_m, row.sea.hm0_m / std::sqrt(2.0), 0.02 * row.sea.hm0_m);
    }
}
