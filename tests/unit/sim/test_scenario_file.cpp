// Scenario files: world keys read as the options they stand for, the command line over
// the file, the timeline's events, and errors that name the file, the line and the key.
#include <gtest/gtest.h>

#include <fstream>

#include "sim/scenario.h"
#include "support/sim_run.h"

namespace {

struct Parsed {
    bool ok = false;
    sim::Scenario s;
    std::string error;
};

// Writes `toml` to a file of the test's own and parses `--scenario FILE` plus `more`.
Parsed with_file(const std::string& toml, std::vector<std::string> more = {}, std::string* path_out = nullptr) {
    const std::string path = sim::test::fresh_dir("toml") + "/s.toml";
    std::ofstream(path) << toml;
    if (path_out) *path_out = path;
    std::vector<std::string> args = {"--scenario", path};
    args.insert(args.end(), more.begin(), more.end());
    Parsed p;
    bool help = false;
    p.ok = sim::parse_command_line(args, p.s, help, p.error);
    return p;
}

} // namespace

TEST(ScenarioFile, WorldKeysAreTheirOptionsAndTheCommandLineOverridesThem) {
    const std::string world = "duration = 7200\nstart = \"2026-06-30T23:40:00Z\"\n"
                              "[sea]\nkind = \"swell\"\nh = 1.5\nt = 10\n"
                              "[sensor]\nrate = 5\ndropped = 0.01\n"
                              "[gps]\nmodel = \"cfgmsg\"\nbaud = 38400\ndop = [6.1, 2.5, 4.0]\nno_fix = true\n"
                              "[card]\npresent = false\n[eeprom]\nimage = \"e.bin\"\n";
    Parsed p = with_file(world);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_DOUBLE_EQ(p.s.duration_s, 7200);
    EXPECT_EQ(p.s.start_text, "2026-06-30T23:40:00Z");
    EXPECT_EQ(p.s.sea_text, "swell,h=1.5,t=10");
    EXPECT_DOUBLE_EQ(p.s.sensor_rate_hz, 5);
    EXPECT_DOUBLE_EQ(p.s.sensor_drop, 0.01);
    EXPECT_EQ(p.s.gps_model, "UC6226NIS");
    EXPECT_EQ(p.s.gps_baud, 38400u);
    EXPECT_DOUBLE_EQ(p.s.gps_hdop, 2.5);
    EXPECT_TRUE(p.s.gps_no_fix);
    EXPECT_FALSE(p.s.card_present);
    EXPECT_EQ(p.s.eeprom_file, "e.bin");
    Parsed over = with_file(world, {"--duration", "60", "--gps-baud=9600", "--sea", "calm"});
    ASSERT_TRUE(over.ok) << over.error;
    EXPECT_DOUBLE_EQ(over.s.duration_s, 60);
    EXPECT_EQ(over.s.gps_baud, 9600u);
    EXPECT_EQ(over.s.sea_text, "calm");
    EXPECT_EQ(over.s.gps_model, "UC6226NIS"); // what the command line does not give stays
}

TEST(ScenarioFile, EventsKeepTheirOrderTimesAndValues) {
    Parsed p = with_file("duration = 3000\n"
                         "[[event]]\nat = 100\nwhat = \"telecommand\"\nfields = \"1,8\"\n"
                         "[[event]]\nat = 200\nuntil = 400\nwhat = \"sensor-faults\"\ndropped = 0.5\nbad_crc = 0.25\n"
                         "[[event]]\nat = 50\nwhat = \"console\"\ntext = \"TEST\"\n"
                         "[[event]]\nat = 60\nwhat = \"sensor-garbage\"\nbytes = 300\n");
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.s.events.size(), 4u);
    using Kind = sim::TimelineEvent::Kind;
    EXPECT_EQ(p.s.events[0].kind, Kind::Telecommand);
    EXPECT_EQ(p.s.events[0].text, "1,8");
    EXPECT_EQ(p.s.events[1].kind, Kind::SensorFaults);
    EXPECT_DOUBLE_EQ(p.s.events[1].until, 400);
    EXPECT_DOUBLE_EQ(p.s.events[1].crc, 0.25);
    EXPECT_DOUBLE_EQ(p.s.events[2].at, 50);
    EXPECT_LT(p.s.events[2].until, 0);
    EXPECT_EQ(p.s.events[3].count, 300u);
    EXPECT_NE(p.s.events[3].where.find("s.toml:16: event[4]"), std::string::npos) << p.s.events[3].where;
}

TEST(ScenarioFile, ErrorsNameTheFileTheLineAndTheKey) {
    struct Case {
        const char* toml;
        int line;
        const char* said;
    };
    const Case cases[] = {
        {"duration = 100\n[gps]\nbaud = 38401\n", 3, "gps.baud: --gps-baud 38401: expected one of 4800"},
        {"duration = 100\n[gps]\nbaudd = 1\n", 3, "gps.baudd: unknown key in [gps] (expected model, baud"},
        {"[card]\npresent = \"no\"\n", 2, "card.present: expected true or false"},
        {"[sea]\nkind = \"calm\"\nh = 2\n", 1, "sea: --sea calm,h=2: 'h' does not apply to a calm sea"},
        {"[weather]\nwind = 3\n", 1, "weather: unknown table"},
        {"duration = 100\n[[event]]\nat = 50\nwhat = \"explode\"\n", 4, "event[1].what: 'explode': expected one of reset"},
        {"duration = 100\n[[event]]\nat = 500\nwhat = \"reset\"\n", 2, "event[1].at: 500 s: expected a time within the run"},
        {"[[event]]\nat = 5\nwhat = \"reset\"\nuntil = 9\n", 4, "event[1].until: not a key of a reset event"},
        {"[[event]]\nat = 5\nuntil = 4\nwhat = \"card-out\"\n", 3, "event[1].until: expected simulated seconds after at"},
        {"[[event]]\nat = 5\nwhat = \"telecommand\"\n", 1, "event[1].fields: a telecommand needs its fields"},
        {"[[event]]\nat = 5\nwhat = \"sensor-faults\"\ndropped = 2\n", 4, "event[1].dropped: expected a probability"},
        {"duration = = 1\n", 1, ""},
    };
    for (const Case& c : cases) {
        std::string path;
        Parsed p = with_file(c.toml, {}, &path);
        EXPECT_FALSE(p.ok) << c.toml;
        EXPECT_EQ(p.error.rfind(path + ":" + std::to_string(c.line) + ": " + c.said, 0), 0u) << c.toml << "\n" << p.error;
    }
    Parsed missing = with_file("");
    ASSERT_TRUE(missing.ok);
    bool help = false;
    sim::Scenario s;
    std::string error;
    EXPECT_FALSE(sim::parse_command_line({"--scenario", "/nonexistent/x.toml"}, s, help, error));
    EXPECT_NE(error.find("/nonexistent/x.toml"), std::string::npos) << error;
}

TEST(ScenarioFile, EveryShippedExampleReads) {
    // examples/ beside tests/ in the source tree.
    std::string here = __FILE__;
    const std::string examples = here.substr(0, here.rfind("/tests/")) + "/examples/";
    size_t n = 0;
    for (const char* name : {"storm-day", "gps-outage", "card-pulled", "telecommand-session", "sensor-fault",
                             "power-and-eeprom"}) {
        sim::Scenario s;
        bool help = false;
        std::string error;
        EXPECT_TRUE(sim::parse_command_line({"--scenario", examples + name + ".toml"}, s, help, error)) << error;
        n += s.events.size();
    }
    EXPECT_GE(n, 10u);
}
