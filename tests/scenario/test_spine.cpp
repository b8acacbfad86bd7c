// The firmware booting on the simulated board through ondavix-sim: start-up on a blank and
// on a kept EEPROM, the clock line and the heartbeat, the command line, determinism.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "sim/simulation.h"
#include "support/sim_run.h"

using namespace sim;
using sim::test::count_of;
using sim::test::fresh_dir;
using sim::test::read_file;

namespace {

Scenario quiet_scenario(const std::string& dir, double seconds) {
    Scenario s;
    s.out_dir = dir;
    s.eeprom_file = dir + "/eeprom.bin";
    s.duration_s = seconds;
    s.firmware_image = ONDAVIX_FW_IMAGE;
    // No receiver and no card: the start-up and the clock alone.
    s.gps_model.clear();
    s.card_present = false;
    return s;
}

const std::string kResets = "n\xEF\xBF\xBD reinicios = ";

} // namespace

TEST(SpineScenario, BlankEepromBootWritesDefaultsAndTheNextBootKeepsThemAndCountsOneMoreReset) {
    std::string dir = fresh_dir("eeprom");
    {
        Simulation sim(quiet_scenario(dir, 130));
        sim.run();
        std::string error;
        ASSERT_TRUE(sim.write_outputs(error)) << error;
        const std::string& con = sim.console().text();
        size_t a = con.find("Grabacion de parametros por defecto.");
        size_t b = con.find("Grabacion de parametros por defecto secundarios.");
        size_t c = con.find("Revision de parametros.");
        ASSERT_NE(a, std::string::npos);
        ASSERT_NE(b, std::string::npos);
        ASSERT_NE(c, std::string::npos);
        EXPECT_LT(a, b);
        EXPECT_LT(b, c);
        EXPECT_NE(con.find(kResets + "1 "), std::string::npos);
        EXPECT_NE(con.find("Hardware:04_0"), std::string::npos);
        EXPECT_NE(sim.host_bytes().find("Hardware:4_0"), std::string::npos);
        // Two minute changes in 130 s: two clock displays framed by lines of 63 asterisks.
        EXPECT_EQ(count_of(con, "\r\n" + std::string(63, '*') + "\r\n"), 4u);
        EXPECT_TRUE(sim.board().restarts().empty());
        EXPECT_EQ(sim.eeprom().data()[7], 20); // averaging interval default
        EXPECT_EQ(sim.eeprom().data()[31], 5); // host baud code default: 38400
    }
    {
        Simulation sim(quiet_scenario(dir, 20));
        sim.run();
        const std::string& con = sim.console().text();
        EXPECT_EQ(con.find("Grabacion de parametros por defecto."), std::string::npos);
        EXPECT_NE(con.find("Revision de parametros."), std::string::npos);
        EXPECT_NE(con.find(kResets + "2 "), std::string::npos);
    }
}

TEST(SpineScenario, HeartbeatIsLowForOneTenthOfEverySecond) {
    std::string dir = fresh_dir("heartbeat");
    Simulation sim(quiet_scenario(dir, 30));
    sim.run();
    const auto& h = sim.board().pin_history(32);
    // Past start-up, every low phase lasts 100 ms and every cycle 1 s of the 1 ms tick.
    int lows = 0;
    for (size_t i = 1; i + 1 < h.size(); ++i) {
        if (h[i].first < 5 * kSecond || h[i].second != 0) continue;
        double low_ms = (h[i + 1].first - h[i].first) / 1e6;
        EXPECT_NEAR(low_ms, 100.0, 0.5);
        if (i + 2 < h.size()) {
            EXPECT_NEAR((h[i + 2].first - h[i].first) / 1e6, 1000.0, 0.5);
        }
        ++lows;
    }
    EXPECT_GE(lows, 24);
}

TEST(SpineScenario, AbsentEepromDoesNotHoldStartUpAndTheFirmwareRunsOnDefaults) {
    std::string dir = fresh_dir("noeeprom");
    Scenario s = quiet_scenario(dir, 90);
    s.eeprom_present = false;
    Simulation sim(s);
    sim.run();
    const std::string& con = sim.console().text();
    EXPECT_NE(con.find("ONDAVIX"), std::string::npos);
    EXPECT_TRUE(sim.board().restarts().empty());
    // The clock display runs: the main loop is alive.
    EXPECT_GE(count_of(con, "\r\n" + std::string(63, '*') + "\r\n"), 2u);
}

TEST(SpineScenario, SameOptionsGiveByteIdenticalOutput) {
    std::string out;
    std::string a = fresh_dir("a"), b = fresh_dir("b");
    ASSERT_EQ(test::run_sim_exe({"--duration", "200", "--out", a, "--oscillator-ppm", "150", "--card-size", "64M",
                                 "--card-type", "sdsc", "--firmware", ONDAVIX_FW_IMAGE}, out), 0) << out;
    ASSERT_EQ(test::run_sim_exe({"--duration", "200", "--out", b, "--oscillator-ppm", "150", "--card-size", "64M",
                                 "--card-type", "sdsc", "--firmware", ONDAVIX_FW_IMAGE}, out), 0) << out;
    std::string ca = read_file(a + "/console.log");
    EXPECT_GT(ca.size(), 1000u);
    EXPECT_EQ(ca, read_file(b + "/console.log"));
    EXPECT_EQ(read_file(a + "/host.log"), read_file(b + "/host.log"));
    EXPECT_EQ(read_file(a + "/host.raw"), read_file(b + "/host.raw"));
    EXPECT_EQ(read_file(a + "/eeprom.bin"), read_file(b + "/eeprom.bin"));
    // The card too, block for block, with the day's files on it.
    std::string card = read_file(a + "/sd.img");
    EXPECT_EQ(card.size(), 64u << 20);
    EXPECT_TRUE(card == read_file(b + "/sd.img"));
    EXPECT_FALSE(read_file(a + "/sd/260101/0000.raw").empty());
}

TEST(SpineScenario, CommandLineErrorsNameTheOptionAndWhatWasExpected) {
    std::string out;
    EXPECT_EQ(test::run_sim_exe({"--duration", "ten"}, out), 2);
    EXPECT_NE(out.find("--duration ten"), std::string::npos);
    EXPECT_EQ(test::run_sim_exe({"--dip1", "half"}, out), 2);
    EXPECT_NE(out.find("expected open or closed"), std::string::npos);
    EXPECT_EQ(test::run_sim_exe({"--start", "2024-02-30T00:00:00Z"}, out), 2);
    EXPECT_NE(out.find("YYYY-MM-DDTHH:MM:SSZ"), std::string::npos);
    EXPECT_EQ(test::run_sim_exe({"--bogus"}, out), 2);
    EXPECT_NE(out.find("unknown option --bogus"), std::string::npos);
    EXPECT_EQ(test::run_sim_exe({"--help"}, out), 0);
    for (const char* opt : {"--duration", "--out", "--eeprom", "--no-eeprom", "--oscillator-ppm", "--dip1",
                            "--sea", "--start", "--heap-limit", "--firmware", "--motion", "--rate", "--host-script"})
        EXPECT_NE(out.find(opt), std::string::npos) << opt;
}

TEST(SpineScenario, BadEepromImageIsRefusedAndLeftUntouched) {
    std::string dir = fresh_dir("badeeprom");
    std::string path = dir + "/eeprom.bin";
    {
        std::ofstream f(path, std::ios::binary);
        f << std::string(100, 'z');
    }
    std::string out;
    EXPECT_EQ(test::run_sim_exe({"--duration", "5", "--out", dir, "--eeprom", path,
                                 "--firmware", ONDAVIX_FW_IMAGE}, out), 1);
    EXPECT_NE(out.find(path), std::string::npos);
    EXPECT_NE(out.find("expected exactly 4096 bytes"), std::string::npos);
    EXPECT_EQ(read_file(path), std::string(100, 'z'));
}

TEST(SpineScenario, PathsAreCheckedBeforeTheRunAndImagesInUseAreRefused) {
    std::string dir = fresh_dir("paths");
    std::string out;
    // A card to run on, made by a short run.
    ASSERT_EQ(test::run_sim_exe({"--duration", "2", "--out", dir + "/a", "--card-size", "8M", "--no-eeprom",
                                 "--firmware", ONDAVIX_FW_IMAGE}, out), 0) << out;
    const std::string card = dir + "/a/sd.img";
    const std::string card_bytes = read_file(card);
    { std::ofstream(dir + "/plain") << "text\n"; }
    ASSERT_EQ(mkdir((dir + "/folder").c_str(), 0755), 0);
    ASSERT_EQ(symlink((dir + "/gone.img").c_str(), (dir + "/dangling.img").c_str()), 0);
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        // An output folder that cannot be made, with an existing card: refused at once.
        {{"--out", dir + "/plain/run", "--card", card}, {"--out", dir + "/plain/run", "cannot create"}},
        {{"--eeprom", dir + "/missing/eeprom.bin"}, {"--eeprom", "the folder " + dir + "/missing does not exist"}},
        {{"--eeprom", dir + "/folder"}, {"--eeprom " + dir + "/folder: is a folder", "EEPROM image file of 4096 bytes"}},
        {{"--motion", dir + "/folder"}, {"--motion " + dir + "/folder: is a folder", "expected a motion CSV file"}},
        {{"--firmware", dir + "/plain"}, {"--firmware " + dir + "/plain: not a firmware image"}},
        {{"--card", dir + "/dangling.img"}, {"--card " + dir + "/dangling.img: a symbolic link to a missing file"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--duration", "3600", "--out", dir + "/b"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (std::find(args.begin(), args.end(), "--firmware") == args.end())
            args.insert(args.end(), {"--firmware", ONDAVIX_FW_IMAGE});
        EXPECT_EQ(test::run_sim_exe(args, out), 1) << c.args[1];
        for (const std::string& s : c.said) EXPECT_NE(out.find(s), std::string::npos) << s << "\n" << out;
        EXPECT_EQ(out.find("console"), std::string::npos) << "the run started:\n" << out;
    }
    EXPECT_TRUE(read_file(card) == card_bytes) << "a refused run changed the card";
    EXPECT_FALSE(std::ifstream(dir + "/b/eeprom.bin").good()) << "a refused run left an EEPROM image";
    EXPECT_FALSE(std::ifstream(dir + "/b/sd.img").good()) << "a refused run made a card";

    // Another run holding the card's or the EEPROM's lock: the second is refused.
    const std::string eeprom = dir + "/eeprom.bin";
    { std::ofstream(eeprom, std::ios::binary) << std::string(4096, '\xFF'); }
    for (const std::string& image : {card, eeprom}) {
        int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
        // With the card held, the EEPROM is a new one in the output folder.
        std::vector<std::string> args = {"--duration", "2", "--out", dir + "/c", "--card", card,
                                         "--firmware", ONDAVIX_FW_IMAGE};
        if (image == eeprom) args.insert(args.end(), {"--eeprom", eeprom});
        EXPECT_EQ(test::run_sim_exe(args, out), 1);
        EXPECT_NE(out.find(image + ": the "), std::string::npos) << out;
        EXPECT_NE(out.find("is in use by another run (locked)"), std::string::npos) << out;
        close(fd);
    }
    EXPECT_FALSE(std::ifstream(dir + "/c/eeprom.bin").good()) << "a refused run left a new EEPROM image";
    EXPECT_TRUE(read_file(card) == card_bytes);
    EXPECT_EQ(test::run_sim_exe({"--duration", "2", "--out", dir + "/c", "--card", card, "--eeprom", eeprom,
                                 "--firmware", ONDAVIX_FW_IMAGE}, out), 0) << out;
}
