// The sea model: regular seas against their closed form, the irregular sea's statistics
// against its own truth and against theory, directions, determinism and bad settings.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "world/sea.h"

namespace sim {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Bearing (degrees clockwise from north, [0, 360)) of a horizontal vector.
double bearing(double north, double east) {
    double b = std::atan2(east, north) * 180.0 / kPi;
    return b < 0.0 ? b + 360.0 : b;
}

// Smallest angle between two bearings, degrees.
double angle_between(double a, double b) {
    double d = std::fmod(std::fabs(a - b), 360.0);
    return d > 180.0 ? 360.0 - d : d;
}

SeaConfig steady(SeaConfig c) {
    c.heading_wander_deg = 0.0;
    return c;
}

// Times of the upward zero crossings of the elevation sampled every dt_s from 0 to span_s,
// by linear interpolation between samples.
std::vector<double> upward_crossings(Sea& sea, double dt_s, double span_s) {
    std::vector<double> out;
    double prev = sea.sample(0.0).elevation_m;
    const long n = std::lround(span_s / dt_s);
    for (long k = 1; k <= n; ++k) {
        const double t = static_cast<double>(k) * dt_s;
        const double e = sea.sample(t).elevation_m;
        if (prev < 0.0 && e >= 0.0) out.push_back(t - dt_s + dt_s * (-prev) / (e - prev));
        prev = e;
    }
    return out;
}

// ------------------------------------------------------------------ regular seas

TEST(RegularSwell, ElevationHasTheRequestedHeightAndPeriod) {
    Sea sea(steady(sea_swell(1.5, 10.0, 240.0)));
    double lo = 1e9, hi = -1e9;
    for (int k = 0; k <= 5000; ++k) { // 100 s at 50 Hz
        const double e = sea.sample(k * 0.02).elevation_m;
        lo = std::fmin(lo, e);
        hi = std::fmax(hi, e);
    }
    EXPECT_NEAR(hi, 0.75, 1e-6);
    EXPECT_NEAR(lo, -0.75, 1e-6);

    Sea again(steady(sea_swell(1.5, 10.0, 240.0)));
    const std::vector<double> up = upward_crossings(again, 0.02, 100.0);
    ASSERT_GE(up.size(), 9u);
    for (size_t i = 1; i < up.size(); ++i) EXPECT_NEAR(up[i] - up[i - 1], 10.0, 1e-6);

    // A sinusoid of height H has m0 = H^2 / 8, so 4 sqrt(m0) = sqrt(2) H.
    EXPECT_NEAR(sea.truth().hs_m, std::sqrt(2.0) * 1.5, 1e-9);
    EXPECT_DOUBLE_EQ(sea.truth().regular_height_m, 1.5);
    EXPECT_DOUBLE_EQ(sea.truth().tp_s, 10.0);
    // 0.1 Hz lies 0.4 of a 1/256 Hz bin off the grid: the refined drawn peak finds it to a
    // quarter of a bin (a parabola through a Hann window's power response is 0.1 bin off).
    EXPECT_NEAR(1.0 / sea.truth().tp_drawn_s, 0.1, 0.25 / 256.0);
    EXPECT_NEAR(sea.truth().mean_from_deg, 240.0, 1e-9);
}

TEST(RegularSwell, WaterAtACrestMovesAwayFromTheFromBearing) {
    // Waves from 240 degrees travel toward 60: at a crest the water moves toward 60, at a
    // trough toward 240.
    Sea sea(steady(sea_swell(1.5, 10.0, 240.0)));
    const double speed = 2.0 * kPi / 10.0 * 0.75; // omega a, deep water at the surface
    for (double crest : {0.0, 10.0, 20.0}) {
        const MotionSample m = sea.sample(crest);
        EXPECT_NEAR(m.elevation_m, 0.75, 1e-9);
        EXPECT_NEAR(bearing(m.v_north_ms, m.v_east_ms), 60.0, 1e-6);
        EXPECT_NEAR(std::hypot(m.v_north_ms, m.v_east_ms), speed, 1e-9);
        EXPECT_NEAR(m.v_up_ms, 0.0, 1e-9);
    }
    const MotionSample trough = sea.sample(25.0);
    EXPECT_NEAR(trough.elevation_m, -0.75, 1e-9);
    EXPECT_NEAR(bearing(trough.v_north_ms, trough.v_east_ms), 240.0, 1e-6);
    // A quarter period before a crest the surface rises fastest.
    const MotionSample rising = sea.sample(27.5);
    EXPECT_NEAR(rising.elevation_m, 0.0, 1e-9);
    EXPECT_NEAR(rising.v_up_ms, speed, 1e-9);
}

TEST(RegularSwell, CompassBearingsRunClockwiseFromNorth) {
    // From north the crest's water moves south; from east it moves west.
    Sea from_north(steady(sea_swell(2.0, 8.0, 0.0)));
    MotionSample m = from_north.sample(0.0);
    EXPECT_LT(m.v_north_ms, -0.5);
    EXPECT_NEAR(m.v_east_ms, 0.0, 1e-9);

    Sea from_east(steady(sea_swell(2.0, 8.0, 90.0)));
    m = from_east.sample(0.0);
    EXPECT_LT(m.v_east_ms, -0.5);
    EXPECT_NEAR(m.v_north_ms, 0.0, 1e-9);
}

TEST(SimpleSeas, CalmSeaDoesNotMove) {
    Sea sea(steady(sea_calm()));
    for (int k = 0; k < 1000; ++k) {
        const MotionSample m = sea.sample(k * 0.1);
        ASSERT_EQ(m.elevation_m, 0.0);
        ASSERT_EQ(m.v_north_ms, 0.0);
        ASSERT_EQ(m.v_east_ms, 0.0);
        ASSERT_EQ(m.v_up_ms, 0.0);
    }
    EXPECT_EQ(sea.truth().hs_m, 0.0);
    EXPECT_TRUE(std::isnan(sea.truth().tp_s));
    EXPECT_TRUE(std::isnan(sea.truth().mean_from_deg));
}

TEST(SimpleSeas, ShortChopIsSmallAndShort) {
    Sea sea(steady(sea_chop()));
    double hi = 0.0;
    for (int k = 0; k < 1500; ++k) hi = std::fmax(hi, std::fabs(sea.sample(k * 0.01).elevation_m));
    EXPECT_NEAR(hi, 0.1, 1e-6);
    Sea again(steady(sea_chop()));
    const std::vector<double> up = upward_crossings(again, 0.01, 30.0);
    ASSERT_GE(up.size(), 10u);
    EXPECT_NEAR((up.back() - up.front()) / static_cast<double>(up.size() - 1), 1.5, 1e-6);
}

TEST(SimpleSeas, DriftCurrentAddsASteadyVelocity) {
    SeaConfig c = steady(sea_swell(1.0, 8.0, 0.0));
    c.current_ms = 0.5;
    c.current_toward_deg = 90.0; // flowing east
    Sea sea(c);
    double n = 0.0, e = 0.0;
    const int samples = 800; // exactly ten periods at 10 Hz
    for (int k = 0; k < samples; ++k) {
        const MotionSample m = sea.sample(k * 0.1);
        n += m.v_north_ms;
        e += m.v_east_ms;
    }
    EXPECT_NEAR(n / samples, 0.0, 1e-9);
    EXPECT_NEAR(e / samples, 0.5, 1e-9);
}

TEST(SimpleSeas, HeadingWandersSlowlyAroundItsMeanAcrossNorth) {
    SeaConfig c = sea_swell(1.0, 8.0, 0.0);
    c.heading_deg = 0.0;
    c.heading_wander_deg = 20.0;
    Sea sea(c);
    bool east_of_north = false, west_of_north = false;
    double prev = sea.sample(0.0).heading_deg;
    for (int k = 1; k <= 72000; ++k) { // two hours at 10 Hz
        const double h = sea.sample(k * 0.1).heading_deg;
        ASSERT_GE(h, 0.0);
        ASSERT_LT(h, 360.0);
        ASSERT_LE(angle_between(h, 0.0), 20.0 + 1e-9);
        ASSERT_LT(angle_between(h, prev), 0.1); // under 1 degree per second
        east_of_north |= h > 5.0 && h < 180.0;
        west_of_north |= h > 180.0 && h < 355.0;
        prev = h;
    }
    EXPECT_TRUE(east_of_north);
    EXPECT_TRUE(west_of_north);
}

// ------------------------------------------------------------------ irregular sea

TEST(JonswapSea, TruthHsIsFourRootM0OfTheComponentsDrawn) {
    Sea sea(sea_jonswap(2.0, 9.0, 240.0, 11));
    double m0 = 0.0;
    for (const SeaComponent& c : sea.components()) m0 += 0.5 * (c.amp_re_m * c.amp_re_m + c.amp_im_m * c.amp_im_m);
    EXPECT_EQ(sea.components().size(), 150u);
    EXPECT_NEAR(sea.truth().hs_m, 4.0 * std::sqrt(m0), 1e-12);
    EXPECT_DOUBLE_EQ(sea.truth().tp_s, 9.0);
}

TEST(JonswapSea, MeasuredSignificantHeightAgreesWithTruth) {
    // 4 x the standard deviation of a long elevation record. The record is a fixed sum of
    // 150 sinusoids, so its variance converges to m0; over 40000 s the cross terms between
    // components leave a few tenths of a percent, and 2 % is a safe margin (with seeds
    // whose realised Hs differ by tens of percent, a wrong scale cannot hide inside it).
    for (uint64_t seed : {3u, 4u, 5u}) {
        Sea sea(sea_jonswap(2.0, 9.0, 240.0, seed));
        double s1 = 0.0, s2 = 0.0;
        const int n = 80000; // 2 Hz: above twice the highest component frequency (0.44 Hz)
        for (int k = 0; k < n; ++k) {
            const double e = sea.sample(k * 0.5).elevation_m;
            s1 += e;
            s2 += e * e;
        }
        const double mean = s1 / n;
        const double measured = 4.0 * std::sqrt(s2 / n - mean * mean);
        EXPECT_NEAR(measured / sea.truth().hs_m, 1.0, 0.02) << "seed " << seed;
        EXPECT_NEAR(mean, 0.0, 0.01) << "seed " << seed;
    }
}

TEST(JonswapSea, RealisedHsScattersAroundTheRequestedHs) {
    // Random complex amplitudes make m0 a sum of scaled chi-square(2) terms: its mean is the
    // requested (Hs / 4)^2 and it scatters from sea to sea. Fixed amplitudes with random
    // phases would give exactly the requested Hs every time.
    const int seas = 40;
    double sum = 0.0, sum2 = 0.0;
    for (int seed = 1; seed <= seas; ++seed) {
        Sea sea(sea_jonswap(2.0, 9.0, 240.0, static_cast<uint64_t>(seed)));
        const double r = (sea.truth().hs_m / 2.0) * (sea.truth().hs_m / 2.0); // m0 / expected m0
        sum += r;
        sum2 += r * r;
    }
    const double mean = sum / seas;
    const double sd = std::sqrt(sum2 / seas - mean * mean);
    // The peak's few components carry most of the energy: sd of m0 about 0.19, so the mean
    // of 40 seas is within 0.1 of 1 (over 3 standard errors).
    EXPECT_NEAR(mean, 1.0, 0.1);
    EXPECT_GT(sd, 0.1);
    EXPECT_LT(sd, 0.35);
}

TEST(JonswapSea, AveragedOverSeedsTheDrawnSpectrumHasTheJonswapShape) {
    // Hasselmann et al. (1973): S(f) ~ f^-5 exp(-5/4 (fp/f)^4) gamma^exp(-(f - fp)^2 /
    // (2 sigma^2 fp^2)), sigma 0.07 below the peak and 0.09 above. Share of the energy per
    // band of f / fp over the drawn band 0.5 .. 4, integrated here by the midpoint rule.
    const double fp = 1.0 / 9.0, gamma = 3.3;
    auto jonswap = [&](double f) {
        const double sigma = f <= fp ? 0.07 : 0.09;
        const double r = (f - fp) / (sigma * fp);
        return std::pow(f, -5.0) * std::exp(-1.25 * std::pow(fp / f, 4.0)) * std::pow(gamma, std::exp(-0.5 * r * r));
    };
    const double edges[] = {0.5, 0.8, 0.95, 1.05, 1.3, 2.0, 4.0};
    const int bands = 6;
    double theory[bands] = {}, theory_sum = 0.0;
    for (int b = 0; b < bands; ++b) {
        const int steps = 4000;
        const double lo = edges[b] * fp, h = (edges[b + 1] - edges[b]) * fp / steps;
        for (int i = 0; i < steps; ++i) theory[b] += jonswap(lo + (i + 0.5) * h) * h;
        theory_sum += theory[b];
    }
    // 40 seas: each band's share scatters by about 0.015 (the peak band by 0.02).
    double drawn[bands] = {}, drawn_sum = 0.0;
    for (int seed = 1; seed <= 40; ++seed) {
        Sea sea(sea_jonswap(2.0, 9.0, 240.0, static_cast<uint64_t>(seed)));
        for (const SeaComponent& c : sea.components()) {
            const double e = 0.5 * (c.amp_re_m * c.amp_re_m + c.amp_im_m * c.amp_im_m);
            const double x = c.freq_hz / fp;
            for (int b = 0; b < bands; ++b)
                if (x >= edges[b] && x < edges[b + 1]) drawn[b] += e;
            drawn_sum += e;
        }
    }
    for (int b = 0; b < bands; ++b)
        EXPECT_NEAR(drawn[b] / drawn_sum, theory[b] / theory_sum, 0.05) << "band from " << edges[b] << " fp";
    // The peak enhancement shows: the +-5 % band around fp holds over a quarter of the energy.
    EXPECT_GT(theory[2] / theory_sum, 0.25);
}

TEST(JonswapSea, ZeroCrossingPeriodMatchesTheSpectralMoments) {
    Sea sea(sea_jonswap(2.0, 9.0, 240.0, 21));
    // JONSWAP with gamma 3.3 has Tz = sqrt(m0 / m2) of about 0.78 Tp.
    EXPECT_GT(sea.truth().tm02_s / 9.0, 0.72);
    EXPECT_LT(sea.truth().tm02_s / 9.0, 0.88);
    // Rice: the mean interval between upward zero crossings of a Gaussian record is
    // sqrt(m0 / m2). About 2700 crossings in 20000 s: a few percent of sampling scatter.
    const std::vector<double> up = upward_crossings(sea, 0.25, 20000.0);
    ASSERT_GT(up.size(), 1000u);
    const double tz = (up.back() - up.front()) / static_cast<double>(up.size() - 1);
    EXPECT_NEAR(tz / sea.truth().tm02_s, 1.0, 0.04);
}

TEST(JonswapSea, DirectionsFollowTheFromBearingAndTheSpreading) {
    Sea sea(sea_jonswap(2.0, 9.0, 240.0, 8));
    // The realised mean lies near the requested one (the spread of 20 degrees over the
    // few dozen energetic components moves it by a few degrees).
    EXPECT_LT(angle_between(sea.truth().mean_from_deg, 240.0), 12.0);
    // cos-2s with s = 15: spread sqrt(2 / (s + 1)) = 20.3 degrees.
    EXPECT_NEAR(sea.truth().spread_deg, 20.3, 7.0);

    // The buoy sees the same direction: the co-variance of elevation with the horizontal
    // velocity points where the waves travel, FROM + 180.
    double cn = 0.0, ce = 0.0;
    for (int k = 0; k < 40000; ++k) {
        const MotionSample m = sea.sample(k * 0.5);
        cn += m.elevation_m * m.v_north_ms;
        ce += m.elevation_m * m.v_east_ms;
    }
    EXPECT_LT(angle_between(bearing(cn, ce), sea.truth().mean_from_deg + 180.0), 3.0);

    SeaConfig narrow = sea_jonswap(2.0, 9.0, 350.0, 8);
    narrow.spread_s = spread_s_from_deg(3.0);
    Sea swell_like(narrow);
    EXPECT_LT(angle_between(swell_like.truth().mean_from_deg, 350.0), 2.0);
    EXPECT_NEAR(swell_like.truth().spread_deg, 3.0, 1.5);
    for (const SeaComponent& c : swell_like.components()) EXPECT_LT(angle_between(c.from_deg, 350.0), 20.0);
}

TEST(JonswapSea, GridAndScatteredSampleTimesGiveTheSameSea) {
    // Evenly spaced calls take the incremental path; calls out of order are evaluated from
    // scratch. Both must describe the same surface.
    Sea grid(sea_jonswap(2.0, 9.0, 240.0, 5));
    Sea scattered(sea_jonswap(2.0, 9.0, 240.0, 5));
    std::vector<MotionSample> on_grid;
    for (int k = 0; k < 20000; ++k) on_grid.push_back(grid.sample(k * 0.1));
    for (int k : {19999, 7, 12345, 0, 8191, 8192, 8193, 500}) {
        const MotionSample m = scattered.sample(k * 0.1);
        EXPECT_NEAR(m.elevation_m, on_grid[k].elevation_m, 1e-9) << k;
        EXPECT_NEAR(m.v_north_ms, on_grid[k].v_north_ms, 1e-9) << k;
        EXPECT_NEAR(m.v_east_ms, on_grid[k].v_east_ms, 1e-9) << k;
        EXPECT_NEAR(m.v_up_ms, on_grid[k].v_up_ms, 1e-9) << k;
        EXPECT_DOUBLE_EQ(m.heading_deg, on_grid[k].heading_deg) << k;
    }
}

TEST(JonswapSea, SameSeedSameSeaOtherSeedOtherSea) {
    Sea a(sea_jonswap(2.0, 9.0, 240.0, 42));
    Sea b(sea_jonswap(2.0, 9.0, 240.0, 42));
    Sea c(sea_jonswap(2.0, 9.0, 240.0, 43));
    EXPECT_EQ(a.truth().hs_m, b.truth().hs_m);
    EXPECT_NE(a.truth().hs_m, c.truth().hs_m);
    int differ = 0;
    for (int k = 0; k < 3000; ++k) {
        const MotionSample ma = a.sample(k * 0.1), mb = b.sample(k * 0.1), mc = c.sample(k * 0.1);
        ASSERT_EQ(ma.elevation_m, mb.elevation_m);
        ASSERT_EQ(ma.v_north_ms, mb.v_north_ms);
        ASSERT_EQ(ma.v_east_ms, mb.v_east_ms);
        ASSERT_EQ(ma.heading_deg, mb.heading_deg);
        differ += std::fabs(ma.elevation_m - mc.elevation_m) > 1e-3;
    }
    EXPECT_GT(differ, 2500);
}

// ------------------------------------------------------------------ settings

TEST(SeaSettings, OutOfRangeSettingsAreRefusedByName) {
    auto refused = [](SeaConfig c, const std::string& word) {
        try {
            Sea sea(c);
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(word), std::string::npos) << e.what();
            return true;
        }
        return false;
    };
    EXPECT_TRUE(refused(sea_jonswap(0.0, 9.0, 0.0, 1), "significant height"));
    EXPECT_TRUE(refused(sea_jonswap(2.0, 0.0, 0.0, 1), "peak period"));
    EXPECT_TRUE(refused(sea_jonswap(2.0, NAN, 0.0, 1), "period_s"));
    EXPECT_TRUE(refused(sea_swell(1.0, 0.0, 0.0), "wave period"));
    SeaConfig c = sea_jonswap(2.0, 9.0, 0.0, 1);
    c.components = 0;
    EXPECT_TRUE(refused(c, "components"));
    c = sea_jonswap(2.0, 9.0, 0.0, 1);
    c.spread_s = -1.0;
    EXPECT_TRUE(refused(c, "spreading"));
    c = sea_calm();
    c.current_ms = -0.1;
    EXPECT_TRUE(refused(c, "current"));
    EXPECT_THROW(spread_s_from_deg(0.0), std::invalid_argument);
    EXPECT_FALSE(refused(sea_jonswap(2.0, 9.0, 0.0, 1), ""));
}

} // namespace
} // namespace sim
