// The analysis maths on hand-made records: a sinusoid whose height, period and direction are
// known exactly, the heave sign and rounding of the RAW record, and where gaps break runs.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "analysis.h"

using namespace analyze;

namespace {

constexpr double kPi = 3.14159265358979323846;

// A regular wave from bearing `from_deg` (coming from), sampled at 10 Hz for `seconds`:
// elevation a cos(w t); water at the crest moves toward from + 180; heave is positive down.
std::vector<RawSample> regular_wave(double a_m, double period_s, double from_deg, double seconds) {
    std::vector<RawSample> out;
    const double w = 2 * kPi / period_s, th = from_deg * kPi / 180;
    for (int i = 0; i < static_cast<int>(seconds * 10); ++i) {
        const double t = i / 10.0, eta = a_m * std::cos(w * t);
        out.push_back({1000000 + i / 10, -eta, -w * eta * std::cos(th), -w * eta * std::sin(th)});
    }
    return out;
}

SeaState state_of(const std::vector<RawSample>& s, Spectra* spectra = nullptr) {
    WelchOptions o;
    Welch w(o, 10.0);
    std::vector<double> z, n, e;
    for (const RawSample& r : s) z.push_back(r.heave_down_m), n.push_back(r.v_north_ms), e.push_back(r.v_east_ms);
    w.add_run(z.data(), n.data(), e.data(), z.size());
    if (spectra) *spectra = w.spectra();
    return sea_state(w.spectra(), o);
}

} // namespace

// A sinusoid of amplitude a has m0 = a^2 / 2; Hann-tapered Welch keeps the variance of a
// line exactly only when it falls on a bin, so 1 % allows for a period between bins (the
// scalloping of a Hann window is at most -1.4 dB on the peak bin, but the band sum of its
// three bins holds the power to well under 1 %). Directions come from the co-spectra of one
// line, exact to rounding; 0.5 degree is ample. Bearings near north and the heave sign:
// a wrong sign turns the answer by 180 degrees, a swapped north and east mirrors it.
TEST(AnalyzeSpectrum, RegularWaveGivesItsHeightPeriodAndDirection) {
    for (double from : {355.0, 30.0, 240.0}) {
        for (double period : {8.0, 10.3}) {
            const SeaState s = state_of(regular_wave(1.0, period, from, 1800));
            EXPECT_NEAR(s.hm0_m, 4 * std::sqrt(0.5), 0.01 * 4 * std::sqrt(0.5)) << from << " " << period;
            EXPECT_LT(std::fabs(1 / s.tp_s - 1 / period), 1.0 / 256) << period; // within one bin
            const double d = std::remainder(s.mean_dir_deg - from, 360.0);
            EXPECT_LT(std::fabs(d), 0.5) << from;
            EXPECT_LT(std::fabs(std::remainder(s.peak_dir_deg - from, 360.0)), 0.5) << from;
            EXPECT_LT(s.spread_deg, 1.0); // one direction: no spread
        }
    }
}

// Two equal wave trains 60 degrees apart at different periods: the mean direction is half
// way between them and the spread that of two unit vectors 60 degrees apart,
// sqrt(2 (1 - cos 30 deg)) = 29.8 degrees, the same figure the simulated sea's truth uses.
TEST(AnalyzeSpectrum, CrossingSeasAverageTheirDirectionsByEnergy) {
    std::vector<RawSample> a = regular_wave(1.0, 8.0, 200, 1800), b = regular_wave(1.0, 12.0, 260, 1800);
    for (size_t i = 0; i < a.size(); ++i) {
        a[i].heave_down_m += b[i].heave_down_m;
        a[i].v_north_ms += b[i].v_north_ms;
        a[i].v_east_ms += b[i].v_east_ms;
    }
    const SeaState s = state_of(a);
    EXPECT_NEAR(s.mean_dir_deg, 230.0, 0.5);
    EXPECT_NEAR(s.spread_deg, std::sqrt(2 * (1 - std::cos(30 * kPi / 180))) * 180 / kPi, 0.5);
}

// The RAW heave is whole centimetres rounded away from zero: 3 stands for (2, 3], read as
// 2.5; -3 for [-3, -2), read as -2.5. A line out of layout is named and counted, not used.
TEST(AnalyzeRecords, HeaveIsReadAtMidCentimetreAndBadLinesAreCounted) {
    const std::string text =
        "01,01,26,00,20,02,00037,0006,-00003, 00000.0121,-00000.0107,1,1\r\n"
        "01,01,26,00,20,02,00038,0006, 00003, 00000.0342,-00000.0289,1,1\r\n"
        "01,01,26,00,20,02,00039,0006, 000x3, 00000.0342,-00000.0289,1,1\r\n"
        "01,01,26,00,20,0";
    std::vector<LineError> errors;
    const std::vector<RawSample> s = parse_raw(text, "0020.raw", errors);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_DOUBLE_EQ(s[0].heave_down_m, -0.025);
    EXPECT_DOUBLE_EQ(s[1].heave_down_m, 0.025);
    EXPECT_DOUBLE_EQ(s[0].v_east_ms, -0.0107);
    EXPECT_EQ(s[0].utc, utc_seconds(2026, 1, 1, 0, 20, 2));
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].line, 3);
    EXPECT_NE(errors[0].text().find("0020.raw:3: heave"), std::string::npos);
    EXPECT_EQ(errors[1].line, 4); // a record cut short by a reset
}

// A second with one record short breaks the run and its records are left out; a short
// second beside a long one is the clock's second edge moving, not a loss; a missing second
// breaks the run too. Partial first and last seconds are normal.
TEST(AnalyzeRecords, RunsBreakAtLostSamplesAndMissingSeconds) {
    auto stream = [](const std::vector<int>& counts) {
        std::vector<RawSample> s;
        int64_t t = 100;
        for (int c : counts) {
            if (c < 0) { // a second with no record at all
                ++t;
                continue;
            }
            for (int i = 0; i < c; ++i) s.push_back({t, 0, 0, 0});
            ++t;
        }
        return s;
    };
    using Runs = std::vector<std::pair<size_t, size_t>>;
    EXPECT_EQ(gap_free_runs(stream({3, 10, 10, 9, 11, 10, 4}), 10), (Runs{{0, 57}}));
    EXPECT_EQ(gap_free_runs(stream({3, 10, 9, 10, 10, 4}), 10), (Runs{{0, 13}, {22, 46}}));
    EXPECT_EQ(gap_free_runs(stream({10, 10, -1, 10, 10}), 10), (Runs{{0, 20}, {20, 40}}));
}
