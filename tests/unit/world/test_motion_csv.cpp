// Replay of recorded motion: reading the file, refusing bad files with a message that says
// where and what, and the sensor sending one burst per row with the row's own time stamp;
// a moored buoy's raw displacement record turned into sensor epochs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fake_world.h"
#include "world/motion_csv.h"
#include "world/sbg_sensor.h"

namespace sim {
namespace {

using test::FakeScheduler;
using test::FakeUartLink;

const std::string kHeader = "time_s,elevation_m,v_north_ms,v_east_ms,heading_deg\n";

MotionReplay parse(const std::string& text, const std::string& name = "swell.csv") {
    std::istringstream in(text);
    return MotionReplay::parse(in, name);
}

// The message of the error that parsing `text` raises, or "" when it parses.
std::string error_of(const std::string& text, size_t* line = nullptr) {
    try {
        parse(text);
    } catch (const MotionCsvError& e) {
        if (line) *line = e.line();
        EXPECT_EQ(e.file(), "swell.csv");
        return e.what();
    }
    return "";
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

uint32_t u32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

// ------------------------------------------------------------------ reading

TEST(MotionCsvRead, RowsComeBackAsWritten) {
    const MotionReplay r = parse(kHeader +
                                 "0.1,0.25,-0.5,1.5,359.5\r\n"
                                 "0.2,nan,0.0,-2e-3,NaN\n"
                                 " 0.3 , -1 ,0,0, 10\n"
                                 "\n");
    ASSERT_EQ(r.rows().size(), 3u);
    EXPECT_EQ(r.recorded_epochs(), 3u);
    EXPECT_DOUBLE_EQ(r.epoch_time(0), 0.1);
    EXPECT_DOUBLE_EQ(r.rows()[0].motion.elevation_m, 0.25);
    EXPECT_DOUBLE_EQ(r.rows()[0].motion.v_north_ms, -0.5);
    EXPECT_DOUBLE_EQ(r.rows()[0].motion.v_east_ms, 1.5);
    EXPECT_DOUBLE_EQ(r.rows()[0].motion.heading_deg, 359.5);
    EXPECT_TRUE(std::isnan(r.rows()[1].motion.elevation_m));
    EXPECT_DOUBLE_EQ(r.rows()[1].motion.v_east_ms, -0.002);
    EXPECT_TRUE(std::isnan(r.rows()[1].motion.heading_deg));
    EXPECT_DOUBLE_EQ(r.rows()[2].time_s, 0.3);
    EXPECT_DOUBLE_EQ(r.rows()[2].motion.elevation_m, -1.0);
    EXPECT_DOUBLE_EQ(r.rows()[2].motion.heading_deg, 10.0);
    // A UTF-8 byte-order mark before the header, as spreadsheets write it.
    EXPECT_EQ(parse("\xEF\xBB\xBF" + kHeader + "0.1,0.5,0,0,0\n").rows().size(), 1u);
}

TEST(MotionCsvRead, SampleHoldsTheRowInForce) {
    MotionReplay r = parse(kHeader + "1,0.1,0,0,0\n2,0.2,0,0,0\n3,0.3,0,0,0\n");
    EXPECT_DOUBLE_EQ(r.sample(0.5).elevation_m, 0.1); // before the first row
    EXPECT_DOUBLE_EQ(r.sample(1.0).elevation_m, 0.1);
    EXPECT_DOUBLE_EQ(r.sample(2.5).elevation_m, 0.2);
    EXPECT_DOUBLE_EQ(r.sample(3.0).elevation_m, 0.3);
    EXPECT_DOUBLE_EQ(r.sample(99.0).elevation_m, 0.3);
    EXPECT_DOUBLE_EQ(r.sample(1.999).elevation_m, 0.1); // backwards
}

TEST(MotionCsvRead, LoadsFromAFileAndNamesAMissingOne) {
    const std::string path = ::testing::TempDir() + "motion_replay_test.csv";
    {
        std::ofstream out(path);
        out << kHeader << "0.1,0.5,0,0,0\n";
    }
    const MotionReplay r = MotionReplay::load(path);
    EXPECT_EQ(r.rows().size(), 1u);
    EXPECT_EQ(r.name(), path);
    std::remove(path.c_str());

    try {
        MotionReplay::load(path);
        FAIL() << "a missing file was read";
    } catch (const MotionCsvError& e) {
        EXPECT_TRUE(contains(e.what(), path)) << e.what();
        EXPECT_TRUE(contains(e.what(), "cannot open")) << e.what();
    }
}

// ------------------------------------------------------------------ bad files

TEST(MotionCsvErrors, EachFaultNamesFileLineAndWhatWasExpected) {
    struct Case {
        std::string text;
        size_t line;
        std::vector<std::string> says;
    };
    const Case cases[] = {
        {"", 0, {"swell.csv: ", "empty", "expected the header"}},
        {kHeader, 0, {"swell.csv: ", "no rows", "expected at least one row"}},
        {"0.1,0.5,0,0,0\n0.2,0.5,0,0,0\n", 1, {"swell.csv:1: ", "expected the header", "\"0.1,0.5,0,0,0\""}},
        {"time_s,elevation_m,v_north_ms,v_east_ms\n", 1, {"swell.csv:1: ", "expected the header"}},
        {"\xEF\xBB" + kHeader, 1, {"swell.csv:1: ", "expected the header", "found \"\\xEF\\xBBtime_s,"}},
        {kHeader + "0.1,0.5,0,0,0\n0.2,0.5,0,0\n", 3, {"swell.csv:3: ", "expected 5", "found 4"}},
        {kHeader + "0.1,0.5,0,0,0,7\n", 2, {"swell.csv:2: ", "expected 5", "found 6"}},
        {kHeader + "0.1,0.5,abc,0,0\n", 2, {"swell.csv:2: ", "field 3 (v_north_ms)", "expected a number or nan", "\"abc\""}},
        {kHeader + "0.1,0.5,0,0,12deg\n", 2, {"swell.csv:2: ", "field 5 (heading_deg)", "\"12deg\""}},
        {kHeader + "0.1,,0,0,0\n", 2, {"swell.csv:2: ", "field 2 (elevation_m)", "empty"}},
        {kHeader + "0.1,inf,0,0,0\n", 2, {"swell.csv:2: ", "field 2 (elevation_m)", "finite"}},
        {kHeader + "0.1,1e999,0,0,0\n", 2, {"swell.csv:2: ", "out of range"}},
        {kHeader + "nan,0.5,0,0,0\n", 2, {"swell.csv:2: ", "field 1 (time_s)", "expected a time"}},
        {kHeader + "-1,0.5,0,0,0\n", 2, {"swell.csv:2: ", "field 1 (time_s)", "expected a time"}},
        {kHeader + "0.1,0.5,0,0,0\n0.3,0.5,0,0,0\n0.2,0.5,0,0,0\n", 4,
         {"swell.csv:4: ", "0.2", "not after", "0.3", "line 3", "strictly increasing"}},
        {kHeader + "0.1,0.5,0,0,0\n0.1,0.5,0,0,0\n", 3, {"swell.csv:3: ", "not after", "strictly increasing"}},
        {kHeader + "0.1,0.5,0,0,0\n\n0.2,0.5,0,0,0\n", 3, {"swell.csv:3: ", "empty line"}},
    };
    for (const Case& c : cases) {
        size_t line = 999;
        const std::string message = error_of(c.text, &line);
        ASSERT_FALSE(message.empty()) << "accepted:\n" << c.text;
        EXPECT_EQ(line, c.line) << message;
        for (const std::string& part : c.says) EXPECT_TRUE(contains(message, part)) << message << "\nlacks: " << part;
    }
}

// ------------------------------------------------------------------ through the sensor

TEST(MotionCsvReplay, SensorSendsOneBurstPerRowWithTheRowsTimeStamp) {
    // Rows 0.1 s apart except one late row, whose time stamp rounds up (450000.7 us); the
    // last time lies past the 2^32 us wrap: round(4295.467296 s * 1e6) mod 2^32 = 500000.
    MotionReplay replay = parse(kHeader +
                                "0.1,0.5,1.0,-1.0,90\n"
                                "0.2,nan,0.25,0.5,270\n"
                                "0.4500007,-0.2,0,0,180\n"
                                "4295.467296,0.3,0,0,0\n");
    FakeScheduler clock;
    FakeUartLink line(clock);
    SbgSensor sensor(clock, line, replay);
    clock.run_until(1 * kSecond); // powered up at 1 s
    sensor.start();
    clock.run_until(5000 * kSecond);

    const size_t burst = 41 + 81 + 55;
    ASSERT_EQ(line.bytes.size(), 4 * burst);
    const Nanos byte_time = 10 * (1000000000ull / 115200);
    // Rows go out at power-up plus their offset from the first row.
    const Nanos sent[4] = {1 * kSecond, 1100 * kMilli, 1350000700, 1 * kSecond + 4295367296ull * kMicro};
    const uint32_t stamp[4] = {100000u, 200000u, 450001u, 500000u};
    for (size_t k = 0; k < 4; ++k) {
        const size_t b = k * burst;
        EXPECT_EQ(line.times[b], sent[k] + byte_time) << k;
        EXPECT_EQ(line.bytes[b + 2], 6);
        EXPECT_EQ(line.bytes[b + 41 + 2], 8);
        EXPECT_EQ(line.bytes[b + 41 + 81 + 2], 9);
        EXPECT_EQ(u32(line.bytes, b + 6), stamp[k]) << k;
        EXPECT_EQ(u32(line.bytes, b + 41 + 6), stamp[k]) << k;
        EXPECT_EQ(u32(line.bytes, b + 41 + 81 + 6), stamp[k]) << k;
    }
    auto f32 = [&](size_t at) {
        const uint32_t bits = u32(line.bytes, at);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    };
    // Row 1: heave -0.5 (positive down), velocities as written, yaw +pi/2.
    EXPECT_FLOAT_EQ(f32(41 + 81 + 22), -0.5f);
    EXPECT_FLOAT_EQ(f32(41 + 10), 1.0f);
    EXPECT_FLOAT_EQ(f32(41 + 14), -1.0f);
    EXPECT_FLOAT_EQ(f32(18), static_cast<float>(3.14159265358979323846 / 2));
    // Row 2: nan elevation is a NaN heave; heading 270 is yaw -pi/2.
    EXPECT_TRUE(std::isnan(f32(burst + 41 + 81 + 22)));
    EXPECT_FLOAT_EQ(f32(burst + 18), static_cast<float>(-3.14159265358979323846 / 2));
    // Row 3: heading 180 is yaw +pi, not -pi.
    EXPECT_FLOAT_EQ(f32(2 * burst + 18), static_cast<float>(3.14159265358979323846));
    EXPECT_FLOAT_EQ(f32(2 * burst + 41 + 81 + 22), 0.2f);
    // Status: heading valid and alignment valid.
    const uint32_t status = u32(line.bytes, 41 + 74);
    EXPECT_NE(status & (1u << 5), 0u);
    EXPECT_NE(status & (1u << 27), 0u);
    EXPECT_EQ(sensor.stats().epochs, 4u);
}

// ------------------------------------------------------------------ raw displacement records

MotionReplay parse_datawell(const std::string& text, double rate_hz, DatawellReport* report = nullptr) {
    std::istringstream in(text);
    return MotionReplay::parse_datawell(in, "buoy.txt", rate_hz, report);
}

// Six samples by hand: a bad one between good ones takes their line, a bad last one keeps
// the last good value. At 2.56 Hz every even epoch is a sample of the file and every odd one
// lies half-way; displacement steps of 40 cm north and -80 cm west a sample (0.78125 s)
// are 0.512 m/s north and 1.024 m/s east (half that where the held sample stops them).
TEST(DatawellReplay, HandMadeRecordGivesElevationAndCentralDifferenceVelocities) {
    const std::string text = "0,10,0,0\n0,20,40,-80\n1,999,999,999\n0,40,120,-240\n 0 , 30 , 160 , -320 \r\n2,0,0,0\n\n";
    DatawellReport report;
    const MotionReplay r = parse_datawell(text, 2.56, &report);
    EXPECT_EQ(report.rows, 6u);
    EXPECT_EQ(report.bad_rows, 2u);
    EXPECT_EQ(report.held_rows, 1u);
    ASSERT_EQ(r.recorded_epochs(), 11u); // 0 .. 5 / 1.28 s
    const double elevation[11] = {0.10, 0.15, 0.20, 0.25, 0.30, 0.35, 0.40, 0.35, 0.30, 0.30, 0.30};
    const double north[6] = {0.512, 0.512, 0.512, 0.512, 0.256, 0.0};
    const double up[6] = {0.128, 0.128, 0.128, 0.0, -0.064, 0.0};
    for (size_t k = 0; k < 11; ++k) {
        const MotionSample& m = r.rows()[k].motion;
        EXPECT_NEAR(r.epoch_time(k), k / 2.56, 1e-12);
        EXPECT_NEAR(m.elevation_m, elevation[k], 1e-9) << k;
        EXPECT_EQ(m.heading_deg, 0.0);
        if (k % 2) continue;
        EXPECT_NEAR(m.v_north_ms, north[k / 2], 1e-9) << k;
        EXPECT_NEAR(m.v_east_ms, 2 * north[k / 2], 1e-9) << k;
        EXPECT_NEAR(m.v_up_ms, up[k / 2], 1e-9) << k;
    }
    EXPECT_NEAR(r.rows()[9].motion.v_north_ms, 0.128, 1e-9); // half-way to the held sample
    // At the sensor's 10 Hz every interval between two samples holds 7 or 8 epochs.
    EXPECT_EQ(parse_datawell(text, 10.0).recorded_epochs(), 40u);
}

TEST(DatawellReplay, EachFaultNamesFileLineAndWhatWasExpected) {
    struct Case {
        std::string text;
        size_t line;
        std::vector<std::string> says;
    };
    const Case cases[] = {
        {"", 0, {"buoy.txt: ", "no samples", "status,heave,north,west"}},
        {"0,10,0,0\n", 0, {"buoy.txt: ", "one sample only"}},
        {"1,10,0,0\n3,10,0,0\n", 0, {"buoy.txt: ", "no sample has status 0"}},
        {"0,10,0,0\n0,10,0\n", 2, {"buoy.txt:2: ", "expected 4", "found 3", "\"0,10,0\""}},
        {"0,10,0,0\n0,1.5,0,0\n", 2, {"buoy.txt:2: ", "field 2 (heave)", "whole number of centimetres", "\"1.5\""}},
        {"0,10,0,0\n0,10,0,w\n", 2, {"buoy.txt:2: ", "field 4 (west)", "\"w\""}},
        {"-1,10,0,0\n0,10,0,0\n", 1, {"buoy.txt:1: ", "field 1 (status)", "0 for a good sample"}},
        {"0,10,0,0\n\n0,10,0,0\n", 2, {"buoy.txt:2: ", "empty line"}},
        {"time,heave\n", 1, {"buoy.txt:1: ", "expected 4"}},
    };
    for (const Case& c : cases) {
        try {
            parse_datawell(c.text, 10.0);
            ADD_FAILURE() << "accepted:\n" << c.text;
        } catch (const MotionCsvError& e) {
            EXPECT_EQ(e.line(), c.line) << e.what();
            for (const std::string& part : c.says) EXPECT_TRUE(contains(e.what(), part)) << e.what() << "\nlacks: " << part;
        }
    }
    EXPECT_THROW(parse_datawell("0,1,0,0\n0,1,0,0\n", 1.0), std::invalid_argument);
}

} // namespace
} // namespace sim
