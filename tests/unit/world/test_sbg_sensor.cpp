// The inertial sensor model as the board's sensor port sees it: the bytes on the line, when
// they leave, and what they say. Frames are taken apart here by hand, independently of the
// model's writers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/fake_world.h"
#include "world/sbg_sensor.h"
#include "world/sea.h"

namespace sim {
namespace {

using test::FakeScheduler;
using test::FakeUartLink;

constexpr double kPi = 3.14159265358979323846;

uint16_t u16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}
uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
float f32(const std::vector<uint8_t>& b, size_t at) {
    const uint32_t bits = u32(b, at);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}
double f64(const std::vector<uint8_t>& b, size_t at) {
    const uint64_t bits = static_cast<uint64_t>(u32(b, at)) | (static_cast<uint64_t>(u32(b, at + 4)) << 32);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

struct Frame {
    size_t offset; // of the first sync byte in everything sent
    uint8_t id;
    uint8_t cls;
    std::vector<uint8_t> payload;
    uint16_t crc;     // as received, low byte first
    bool crc_ok;      // against a CRC computed over id .. end of payload
    uint8_t end_byte;
};

// Cuts a stream of back-to-back frames apart; fails the test on anything else.
std::vector<Frame> frames_of(const std::vector<uint8_t>& b) {
    std::vector<Frame> out;
    size_t p = 0;
    while (p < b.size()) {
        EXPECT_GE(b.size() - p, 9u) << "truncated frame at " << p;
        if (b.size() - p < 9) break;
        EXPECT_EQ(b[p], 0xFF) << "sync 1 at " << p;
        EXPECT_EQ(b[p + 1], 0x5A) << "sync 2 at " << p;
        Frame f;
        f.offset = p;
        f.id = b[p + 2];
        f.cls = b[p + 3];
        const size_t len = u16(b, p + 4);
        EXPECT_LE(p + 9 + len, b.size()) << "frame at " << p << " runs past the end";
        if (p + 9 + len > b.size()) break;
        f.payload.assign(b.begin() + static_cast<long>(p + 6), b.begin() + static_cast<long>(p + 6 + len));
        f.crc = u16(b, p + 6 + len);
        f.crc_ok = f.crc == sbg_crc16(b.data() + p + 2, 4 + len);
        f.end_byte = b[p + 8 + len];
        out.push_back(f);
        p += 9 + len;
    }
    return out;
}

// A motion source that answers from a function and remembers when it was asked.
class ScriptedMotion : public MotionSource {
public:
    explicit ScriptedMotion(std::function<MotionSample(double)> fn) : fn_(std::move(fn)) {}
    MotionSample sample(double t_s) override {
        asked.push_back(t_s);
        return fn_(t_s);
    }
    std::vector<double> asked;

private:
    std::function<MotionSample(double)> fn_;
};

MotionSample motion(double elevation, double vn, double ve, double heading) {
    MotionSample m;
    m.elevation_m = elevation;
    m.v_north_ms = vn;
    m.v_east_ms = ve;
    m.heading_deg = heading;
    return m;
}

struct Rig {
    FakeScheduler clock;
    FakeUartLink line{clock};
};

// ------------------------------------------------------------------ CRC

TEST(SensorCrc, KnownAnswerAndResidue) {
    const char* check = "123456789";
    EXPECT_EQ(sbg_crc16(reinterpret_cast<const uint8_t*>(check), 9), 0x2189);
    EXPECT_EQ(sbg_crc16(nullptr, 0), 0x0000);
    // A reflected CRC without final XOR leaves a zero remainder over data followed by its
    // CRC low byte first: pins the byte order the frames must use.
    const uint8_t data[] = {0x09, 0x00, 0x2E, 0x00, 0xFF, 0x5A, 0x33, 0x01};
    const uint16_t crc = sbg_crc16(data, sizeof data);
    uint8_t with_crc[sizeof data + 2];
    std::memcpy(with_crc, data, sizeof data);
    with_crc[sizeof data] = static_cast<uint8_t>(crc);
    with_crc[sizeof data + 1] = static_cast<uint8_t>(crc >> 8);
    EXPECT_EQ(sbg_crc16(with_crc, sizeof with_crc), 0);
}

// ------------------------------------------------------------------ layout

TEST(SensorFrames, EachEpochSendsEulerNavAndShipMotionWithTheirLayouts) {
    Rig rig;
    ScriptedMotion source([](double) { return motion(0.5, 1.25, -0.75, 30.0); });
    SbgSensor sensor(rig.clock, rig.line, source);
    sensor.start();
    rig.clock.run_until(100 * kMilli);

    const std::vector<Frame> f = frames_of(rig.line.bytes);
    ASSERT_EQ(f.size(), 3u);
    ASSERT_EQ(rig.line.bytes.size(), 41u + 81u + 55u);
    const uint8_t ids[3] = {6, 8, 9};
    const size_t lens[3] = {32, 72, 46};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(f[i].id, ids[i]);
        EXPECT_EQ(f[i].cls, 0);
        EXPECT_EQ(f[i].payload.size(), lens[i]);
        EXPECT_TRUE(f[i].crc_ok) << "frame " << i;
        EXPECT_EQ(f[i].end_byte, 0x33);
        EXPECT_EQ(u32(f[i].payload, 0), 100000u) << "time stamp of frame " << i;
    }
    // Where the firmware reads them: Euler yaw at frame offset 18, navigation velocities at 10
    // and 14 and status at 74, ship-motion heave at 22.
    const std::vector<uint8_t>& b = rig.line.bytes;
    EXPECT_FLOAT_EQ(f32(b, 18), static_cast<float>(30.0 * kPi / 180.0));
    EXPECT_FLOAT_EQ(f32(b, 41 + 10), 1.25f);
    EXPECT_FLOAT_EQ(f32(b, 41 + 14), -0.75f);
    EXPECT_FLOAT_EQ(f32(b, 41 + 81 + 22), -0.5f);

    const uint32_t nav_status = u32(b, 41 + 74);
    EXPECT_EQ(nav_status & 0xF, 4u);             // full navigation mode
    EXPECT_NE(nav_status & (1u << 5), 0u);       // heading valid
    EXPECT_NE(nav_status & (1u << 27), 0u);      // alignment valid
    EXPECT_EQ(u32(f[0].payload, 28), nav_status); // the Euler log carries the same word
    EXPECT_NE(u16(f[2].payload, 44) & 1u, 0u);   // heave valid

    // The rest of the navigation log is a plausible fixed position.
    EXPECT_DOUBLE_EQ(f64(f[1].payload, 28), 43.0);
    EXPECT_DOUBLE_EQ(f64(f[1].payload, 36), -9.5);
    EXPECT_GT(f32(f[1].payload, 16), 0.0f);
}

TEST(SensorFrames, StatusBitsFollowTheConfiguration) {
    Rig rig;
    ScriptedMotion source([](double) { return motion(0.0, 0.0, 0.0, 0.0); });
    SbgSensorConfig cfg;
    cfg.heading_valid = false;
    cfg.aligned = false;
    SbgSensor sensor(rig.clock, rig.line, source, cfg);
    sensor.start();
    rig.clock.run_until(100 * kMilli);
    const std::vector<Frame> f = frames_of(rig.line.bytes);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_EQ(u32(f[1].payload, 68) & ((1u << 5) | (1u << 27)), 0u);
}

TEST(SensorFrames, HeaveIsPositiveDown) {
    // A buoy lifted 1.2 m above mean level reports heave -1.2 m; one in a trough 0.8 m below
    // reports +0.8 m.
    Rig rig;
    ScriptedMotion source([](double t) { return motion(t < 0.15 ? 1.2 : -0.8, 0, 0, 0); });
    SbgSensor sensor(rig.clock, rig.line, source);
    sensor.start();
    rig.clock.run_until(200 * kMilli);
    const std::vector<Frame> f = frames_of(rig.line.bytes);
    ASSERT_EQ(f.size(), 6u);
    EXPECT_FLOAT_EQ(f32(f[2].payload, 16), -1.2f);
    EXPECT_FLOAT_EQ(f32(f[5].payload, 16), 0.8f);
}

TEST(SensorFrames, YawIsHeadingInRadiansWrappedToPlusMinusPi) {
    const double headings[] = {0.0, 90.0, 179.0, 180.0, 181.0, 270.0, 359.5, 360.0, 540.0, -90.0};
    const double expect_deg[] = {0.0, 90.0, 179.0, 180.0, -179.0, -90.0, -0.5, 0.0, 180.0, -90.0};
    const size_t n = sizeof headings / sizeof headings[0];
    Rig rig;
    ScriptedMotion source([&](double t) {
        const size_t k = static_cast<size_t>(std::lround(t * 10.0)) - 1;
        return motion(0, 0, 0, headings[k]);
    });
    SbgSensor sensor(rig.clock, rig.line, source);
    sensor.start();
    rig.clock.run_until(n * 100 * kMilli);
    const std::vector<Frame> f = frames_of(rig.line.bytes);
    ASSERT_EQ(f.size(), 3 * n);
    for (size_t k = 0; k < n; ++k) {
        const float yaw = f32(f[3 * k].payload, 12);
        EXPECT_GT(yaw, -static_cast<float>(kPi)) << headings[k];
        EXPECT_LE(yaw, static_cast<float>(kPi)) << headings[k];
        EXPECT_FLOAT_EQ(yaw, static_cast<float>(expect_deg[k] * kPi / 180.0)) << headings[k];
    }
}

TEST(SensorFrames, MissingValuesGoOutAsNaN) {
    Rig rig;
    ScriptedMotion source([](double) { return motion(NAN, NAN, 0.5, NAN); });
    SbgSensor sensor(rig.clock, rig.line, source);
    sensor.start();
    rig.clock.run_until(100 * kMilli);
    const std::vector<Frame> f = frames_of(rig.line.bytes);
    ASSERT_EQ(f.size(), 3u);
    EXPECT_TRUE(std::isnan(f32(f[0].payload, 12)));
    EXPECT_TRUE(std::isnan(f32(f[1].payload, 4)));
    EXPECT_FLOAT_EQ(f32(f[1].payload, 8), 0.5f);
    EXPECT_TRUE(std::isnan(f32(f[2].payload, 16)));
    EXPECT_TRUE(f[2].crc_ok);
}

// ------------------------------------------------------------------ time

TEST(SensorTiming, BurstsLeaveAtEveryEpochBackToBack) {
    for (double rate : {10.0, 25.0, 50.0}) {
        Rig rig;
        ScriptedMotion source([](double) { return motion(0.1, 0, 0, 0); });
        SbgSensorConfig cfg;
        cfg.rate_hz = rate;
        SbgSensor sensor(rig.clock, rig.line, source, cfg);
        sensor.start();
        rig.clock.run_until(2 * kSecond);

        const size_t burst = 41 + 81 + 55;
        const size_t epochs = static_cast<size_t>(2 * rate);
        ASSERT_EQ(rig.line.bytes.size(), epochs * burst) << rate;
        ASSERT_EQ(sensor.stats().epochs, epochs);
        const Nanos byte_time = 10 * (1000000000ull / 115200);
        const Nanos period = static_cast<Nanos>(1e9 / rate);
        for (size_t k = 0; k < epochs; ++k) {
            // The first byte starts on the epoch; the rest follow without a gap.
            EXPECT_EQ(rig.line.times[k * burst], (k + 1) * period + byte_time) << rate << " epoch " << k;
            EXPECT_EQ(rig.line.times[k * burst + burst - 1], (k + 1) * period + burst * byte_time);
            EXPECT_NEAR(source.asked[k], static_cast<double>((k + 1) * period) / 1e9, 1e-12);
        }
        const std::vector<Frame> f = frames_of(rig.line.bytes);
        for (size_t k = 0; k < epochs; ++k)
            EXPECT_EQ(u32(f[3 * k].payload, 0), static_cast<uint32_t>((k + 1) * period / 1000));
    }
}

TEST(SensorTiming, RatesTheLineCannotCarryAreRefused) {
    Rig rig;
    ScriptedMotion source([](double) { return MotionSample{}; });
    SbgSensorConfig cfg;
    cfg.rate_hz = 100.0; // 177 bytes take 15.4 ms at 115200 baud
    EXPECT_THROW(SbgSensor(rig.clock, rig.line, source, cfg), std::invalid_argument);
    cfg.rate_hz = 0.0;
    EXPECT_THROW(SbgSensor(rig.clock, rig.line, source, cfg), std::invalid_argument);
    cfg.rate_hz = 10.0;
    cfg.drop_probability = 1.5;
    EXPECT_THROW(SbgSensor(rig.clock, rig.line, source, cfg), std::invalid_argument);
}

TEST(SensorTiming, TimeStampWrapsEvery2To32Microseconds) {
    Rig rig;
    ScriptedMotion source([](double) { return motion(0.1, 0, 0, 0); });
    {
        SbgSensor sensor(rig.clock, rig.line, source);
        sensor.start();
        EXPECT_EQ(sensor.time_stamp_at(4294967295ull * kMicro), 4294967295u);
        EXPECT_EQ(sensor.time_stamp_at(4294967296ull * kMicro), 0u);
        EXPECT_EQ(sensor.time_stamp_at(4294967296ull * kMicro + 100 * kMilli), 100000u);
    }
    // A counter started 0.25 s before its wrap: 2^32 - 150000, 2^32 - 50000, 50000, 150000.
    Rig near;
    SbgSensorConfig cfg;
    cfg.clock_at_power_up_us = 4294967296ull - 250000;
    SbgSensor sensor(near.clock, near.line, source, cfg);
    sensor.start();
    near.clock.run_until(400 * kMilli);
    const std::vector<Frame> f = frames_of(near.line.bytes);
    ASSERT_EQ(f.size(), 12u);
    const uint32_t expect[4] = {4294817296u, 4294917296u, 50000u, 150000u};
    for (int k = 0; k < 4; ++k)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(u32(f[3 * k + j].payload, 0), expect[k]) << k << "," << j;
}

TEST(SensorTiming, CounterRunsFromPowerUpAndStopSilencesTheSensor) {
    Rig rig;
    ScriptedMotion source([](double) { return motion(0.1, 0, 0, 0); });
    SbgSensor sensor(rig.clock, rig.line, source);
    rig.clock.run_until(5 * kSecond); // the sensor is powered later than the world starts
    sensor.start();
    rig.clock.run_until(5 * kSecond + 300 * kMilli);
    std::vector<Frame> f = frames_of(rig.line.bytes);
    ASSERT_EQ(f.size(), 9u);
    EXPECT_EQ(u32(f[0].payload, 0), 100000u);
    EXPECT_NEAR(source.asked[0], 5.1, 1e-12); // the sea is sampled at world time
    sensor.stop();
    rig.clock.run_until(6 * kSecond);
    EXPECT_EQ(rig.line.bytes.size(), 3 * (41u + 81u + 55u));
    sensor.start(); // a power cycle: the counter starts again
    rig.clock.run_until(6 * kSecond + 100 * kMilli);
    f = frames_of(rig.line.bytes);
    ASSERT_EQ(f.size(), 12u);
    EXPECT_EQ(u32(f[9].payload, 0), 100000u);
}

// ------------------------------------------------------------------ with the sea

TEST(SensorOnSea, FramesCarryTheSeaAtEachEpoch) {
    SeaConfig c = sea_swell(1.5, 10.0, 240.0);
    Sea sea(c), reference(c);
    Rig rig;
    SbgSensor sensor(rig.clock, rig.line, sea);
    sensor.start();
    rig.clock.run_until(20 * kSecond);
    const std::vector<Frame> f = frames_of(rig.line.bytes);
    ASSERT_EQ(f.size(), 600u);
    for (size_t k = 0; k < 200; ++k) {
        const MotionSample m = reference.sample(static_cast<double>(k + 1) * 0.1);
        ASSERT_FLOAT_EQ(f32(f[3 * k + 2].payload, 16), static_cast<float>(-m.elevation_m));
        ASSERT_FLOAT_EQ(f32(f[3 * k + 1].payload, 4), static_cast<float>(m.v_north_ms));
        ASSERT_FLOAT_EQ(f32(f[3 * k + 1].payload, 8), static_cast<float>(m.v_east_ms));
        ASSERT_FLOAT_EQ(f32(f[3 * k + 1].payload, 12), static_cast<float>(-m.v_up_ms)); // velocity down
    }
    // At the crest of t = 10 s (epoch 100) heave is -0.75 m and the velocity points to 60.
    const float vn = f32(f[3 * 99 + 1].payload, 4), ve = f32(f[3 * 99 + 1].payload, 8);
    EXPECT_NEAR(f32(f[3 * 99 + 2].payload, 16), -0.75f, 1e-5);
    EXPECT_NEAR(std::atan2(ve, vn) * 180.0 / kPi, 60.0, 1e-3);
}

// ------------------------------------------------------------------ faults

TEST(SensorFaults, CorruptedCrcsAndDroppedFramesAtTheirRates) {
    Rig rig;
    ScriptedMotion source([](double) { return motion(0.3, 0.1, 0.2, 10.0); });
    SbgSensorConfig cfg;
    cfg.crc_error_probability = 0.2;
    cfg.drop_probability = 0.1;
    cfg.fault_seed = 9;
    SbgSensor sensor(rig.clock, rig.line, source, cfg);
    sensor.start();
    rig.clock.run_until(200 * kSecond); // 2000 epochs, 6000 frames

    const std::vector<Frame> f = frames_of(rig.line.bytes);
    size_t bad = 0;
    for (const Frame& fr : f) {
        bad += !fr.crc_ok;
        EXPECT_EQ(fr.end_byte, 0x33); // only the CRC is altered; the frame keeps its shape
    }
    const SbgSensor::Stats& s = sensor.stats();
    EXPECT_EQ(s.epochs, 2000u);
    EXPECT_EQ(s.frames_sent, f.size());
    EXPECT_EQ(s.frames_sent + s.frames_dropped, 6000u);
    EXPECT_EQ(s.frames_corrupted, bad);
    // Binomial counts: 6000 x 0.1 = 600 +- 23 dropped, 5400 x 0.2 = 1080 +- 29 corrupted.
    EXPECT_NEAR(static_cast<double>(s.frames_dropped), 600.0, 100.0);
    EXPECT_NEAR(static_cast<double>(bad), 1080.0, 150.0);
}

TEST(SensorFaults, FaultPatternFollowsItsOwnSeed) {
    auto run = [](uint64_t seed) {
        Rig rig;
        ScriptedMotion source([](double) { return motion(0.3, 0.1, 0.2, 10.0); });
        SbgSensorConfig cfg;
        cfg.crc_error_probability = 0.3;
        cfg.fault_seed = seed;
        SbgSensor sensor(rig.clock, rig.line, source, cfg);
        sensor.start();
        rig.clock.run_until(10 * kSecond);
        return rig.line.bytes;
    };
    const std::vector<uint8_t> a = run(1), b = run(1), c = run(2);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(a.size(), c.size());
}

TEST(SensorFaults, EveryFrameDroppedMeansSilence) {
    Rig rig;
    ScriptedMotion source([](double) { return motion(0.3, 0.1, 0.2, 10.0); });
    SbgSensorConfig cfg;
    cfg.drop_probability = 1.0;
    SbgSensor sensor(rig.clock, rig.line, source, cfg);
    sensor.start();
    rig.clock.run_until(1 * kSecond);
    EXPECT_TRUE(rig.line.bytes.empty());
    EXPECT_EQ(sensor.stats().frames_dropped, 30u);
}

} // namespace
} // namespace sim
