// ondavix-sim --record-sensor: the file holds every byte the sensor port received, in
// records whose arrival times follow the line; a file that cannot be made is refused.
#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/simulation.h"
#include "support/sim_run.h"

using namespace sim;

namespace {

uint64_t le(const std::string& s, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t(uint8_t(s[at + i])) << (8 * i);
    return v;
}

Scenario recording(const std::string& dir, const std::string& file) {
    Scenario s;
    s.out_dir = dir;
    s.eeprom_file = dir + "/eeprom.bin";
    s.duration_s = 15;
    s.firmware_image = ONDAVIX_FW_IMAGE;
    s.gps_model.clear();
    s.card_present = false;
    s.record_sensor_file = file;
    return s;
}

} // namespace

TEST(SensorRecorder, RecordsEveryByteTheSensorSentWithTimesThatFollowTheLine) {
    std::string dir = sim::test::fresh_dir("record_sensor");
    uint64_t board_bytes = 0;
    {
        Simulation sim(recording(dir, dir + "/sensor.bin"));
        sim.run();
        board_bytes = sim.board().uart_bytes_to_board(2);
    }
    std::string f = sim::test::read_file(dir + "/sensor.bin");
    ASSERT_GE(f.size(), 8u);
    EXPECT_EQ(f.substr(0, 8), "ODXSENS1");
    const uint64_t byte_ns = (10 * kSecond + 57600) / 115200; // ten bits at 115200 baud
    uint64_t bytes = 0, records = 0, last = 0;
    size_t at = 8;
    while (at + 14 <= f.size()) {
        uint64_t first = le(f, at, 8), step = le(f, at + 8, 4), n = le(f, at + 12, 2);
        ASSERT_GT(n, 0u);
        EXPECT_EQ(step, byte_ns);
        if (records > 0) {
            EXPECT_GE(first, last + byte_ns) << "record " << records;
        }
        last = first + (n - 1) * step;
        bytes += n;
        ++records;
        at += 14 + n;
    }
    EXPECT_EQ(at, f.size()) << "a record runs past the end of the file";
    EXPECT_GT(records, 100u); // 10 epochs a second
    EXPECT_LE(last, uint64_t(15 * kSecond));
    EXPECT_EQ(bytes, board_bytes);
}

TEST(SensorRecorder, AFileThatCannotBeCreatedIsNamedInTheError) {
    std::string dir = sim::test::fresh_dir("record_sensor_bad");
    try {
        Simulation sim(recording(dir, dir + "/missing/sensor.bin"));
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(dir + "/missing/sensor.bin"), std::string::npos) << e.what();
    }
}
