// The host unit driving the buoy through telecommands, end to end through the simulator:
// restart after the reply, SD format over the link, the armed EEPROM erase, transparent
// mode both ways.
#include <gtest/gtest.h>

#include <fstream>

#include "sim/simulation.h"
#include "support/fat_image.h"
#include "support/sim_run.h"
#include "support/tools.h"

using namespace sim;
using sim::test::count_of;
using sim::test::fresh_dir;

namespace {

Scenario host_scenario(const std::string& dir, double seconds, const std::string& script) {
    Scenario s;
    s.out_dir = dir;
    s.eeprom_file = dir + "/eeprom.bin";
    s.duration_s = seconds;
    s.card_present = false;
    s.firmware_image = ONDAVIX_FW_IMAGE;
    s.host_script = dir + "/script.txt";
    std::ofstream(s.host_script) << script;
    return s;
}

// The host lines that start with `prefix`, in order of arrival.
std::vector<HostLine> replies(Simulation& sim, const std::string& prefix) {
    std::vector<HostLine> out;
    for (const HostLine& l : sim.host().lines())
        if (l.text.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
}

} // namespace

TEST(HostScenario, RestartTelecommandRestartsTheBuoyAfterItsReplyHasLeft) {
    std::string dir = fresh_dir("host_restart");
    Simulation sim(host_scenario(dir, 90, "60 1,2\n"));
    sim.run();
    std::vector<HostLine> r = replies(sim, "$OLA,01,01*");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].check, LineCheck::Right);
    ASSERT_EQ(sim.board().restarts().size(), 1u);
    Nanos restart = sim.board().restarts()[0].time;
    EXPECT_GT(restart, r[0].time);
    EXPECT_LT(restart, r[0].time + 10 * kSecond);
    // The buoy came back: its banner a second time on the host port.
    EXPECT_EQ(count_of(sim.host_bytes(), "Hardware:4_0"), 2u);
}

TEST(HostScenario, ArmedEepromEraseAndRestartBringTheDefaultsBack) {
    std::string dir = fresh_dir("host_erase");
    // Change the averaging interval first (group 3, field 8), then erase and restart.
    Simulation sim(host_scenario(dir, 120, "20 3,,,,,,,30\n40 1,30\n42 1,31\n44 1,31\n46 1,31\n50 1,2\n"));
    sim.run();
    std::vector<std::string> bodies;
    for (const HostLine& l : sim.host().lines())
        if (l.text.rfind("$OLA,", 0) == 0) bodies.push_back(l.text.substr(0, l.text.find('*')));
    EXPECT_EQ(bodies, (std::vector<std::string>{"$OLA,03,01", "$OLA,01,01,30,1", "$OLA,01,01,31,2",
                                                "$OLA,01,01,31,3", "$OLA,01,01,31,0", "$OLA,01,01"}));
    ASSERT_EQ(sim.board().restarts().size(), 1u);
    const std::string& con = sim.console().text();
    // Defaults written at the first start (blank chip) and again after the erase.
    EXPECT_EQ(count_of(con, "Grabacion de parametros por defecto.\r\n"), 2u);
    EXPECT_EQ(sim.eeprom().data()[7], 20); // the interval is back at its default
}

TEST(HostScenario, TransparentModeForwardsBothWaysUntilSwitchedOff) {
    std::string dir = fresh_dir("host_transparent");
    Scenario s = host_scenario(dir, 100, "30 14,1\n35 raw HELLO SENSOR\n40 14,0\n");
    s.gps_model.clear();
    Simulation sim(s);
    sim.run();
    std::vector<HostLine> r = replies(sim, "$OLA,14,01*");
    ASSERT_EQ(r.size(), 2u);
    // Host to sensor: what the host sent while the mode was on (two telecommands and the
    // text) reached the sensor port; nothing else is ever written there.
    uint64_t to_sensor = sim.board().uart_bytes_from_board(2);
    EXPECT_GE(to_sensor, std::string("HELLO SENSOR").size());
    EXPECT_LT(to_sensor, 100u);
    // Sensor to host: about ten seconds of sensor bursts (one frame sync per log, three
    // logs an epoch), not the whole run.
    size_t syncs = count_of(sim.host_bytes(), std::string("\xFF\x5A", 2));
    EXPECT_GE(syncs, 3u * 95);
    EXPECT_LE(syncs, 3u * 105);
}

TEST(HostScenario, SdFormatOverTheLinkLeavesACardThatFsckAcceptsAndTheBuoyUsesAgain) {
    std::string dir = fresh_dir("host_format");
    Scenario s = host_scenario(dir, 1500, "200 1,14\n");
    s.card_present = true;
    s.card_file = dir + "/sd.img";
    s.card_sdhc = false;
    s.card_blocks = 64u * 2048; // 64 MiB standard-capacity card: FAT16
    Simulation sim(s);
    sim.run();
    std::string error;
    ASSERT_TRUE(sim.write_outputs(error)) << error;
    ASSERT_EQ(replies(sim, "$OLA,01,01,14,").size(), 1u);
    EXPECT_NE(sim.host_bytes().find("Format done!"), std::string::npos);
    EXPECT_GE(sim.card()->erase_commands(), 1u);
    // The files of before the format (00:00) are gone; the card was started again and the
    // day directory made anew with the files of the moment (00:03) and of the next interval.
    EXPECT_TRUE(sim::test::read_file(dir + "/sd/260101/0000.raw").empty());
    EXPECT_FALSE(sim::test::read_file(dir + "/sd/260101/0003.raw").empty());
    EXPECT_FALSE(sim::test::read_file(dir + "/sd/260101/0020.raw").empty());
    std::string fsck = sim::test::find_tool("fsck.fat");
    if (fsck.empty()) {
        if (std::getenv("CI")) FAIL() << "fsck.fat missing";
        GTEST_SKIP() << "fsck.fat missing";
    }
    // Our formatter writes an MBR; the partition's first block is in its first entry.
    sim::test::FileImage image(dir + "/sd.img");
    uint8_t mbr[512];
    ASSERT_TRUE(image.read(0, mbr));
    uint32_t first = mbr[454] | mbr[455] << 8 | mbr[456] << 16 | static_cast<uint32_t>(mbr[457]) << 24;
    uint32_t count = mbr[458] | mbr[459] << 8 | mbr[460] << 16 | static_cast<uint32_t>(mbr[461]) << 24;
    ASSERT_TRUE(sim::test::extract_blocks(dir + "/sd.img", first, count, dir + "/part1.img"));
    sim::test::ToolRun r = sim::test::run(fsck + " -n " + sim::test::quote(dir + "/part1.img"));
    EXPECT_EQ(r.status, 0) << r.out;
}
