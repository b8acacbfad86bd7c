// A scenario's timeline in a run: each event does to the world what it says, at its time.
#include <gtest/gtest.h>

#include "sim/simulation.h"
#include "support/sim_run.h"

using namespace sim;
using sim::test::fresh_dir;
using Kind = TimelineEvent::Kind;

namespace {

TimelineEvent event(Kind kind, double at, double until = -1) {
    TimelineEvent e;
    e.kind = kind;
    e.at = at;
    e.until = until;
    e.where = "t.toml:1: event";
    return e;
}

Scenario base(const std::string& dir, double seconds) {
    Scenario s;
    s.out_dir = dir;
    s.eeprom_file = dir + "/eeprom.bin";
    s.card_file = dir + "/sd.img";
    s.duration_s = seconds;
    s.firmware_image = ONDAVIX_FW_IMAGE;
    return s;
}

// The first completed host line starting with `prefix` at or after `after` seconds.
const HostLine* host_line(Simulation& sim, const std::string& prefix, double after) {
    for (const HostLine& l : sim.host().lines())
        if (l.text.rfind(prefix, 0) == 0 && l.time >= static_cast<Nanos>(after * 1e9)) return &l;
    return nullptr;
}

} // namespace

TEST(Timeline, ConsoleTelecommandEepromFaultsPowerCutAndReset) {
    std::string dir = fresh_dir("board");
    Scenario s = base(dir, 200);
    s.card_present = false;
    s.gps_model.clear();
    TimelineEvent typed = event(Kind::Console, 20);
    typed.text = "INFO SD";
    TimelineEvent ask = event(Kind::Telecommand, 30);
    ask.text = "1,30";
    TimelineEvent change = event(Kind::Telecommand, 150);
    change.text = "3,,,,,,,30"; // averaging interval to 30 minutes, refused by the chip
    s.events = {typed, ask, event(Kind::EepromAbsent, 100, 110), event(Kind::PowerCut, 105),
                event(Kind::EepromWriteErrors, 140, 200), change, event(Kind::Reset, 180)};
    Simulation sim(s);
    sim.run();
    const std::string& con = sim.console().text();
    // The line typed at 20 s comes back as the line editor's echo, after 20 s.
    size_t echo = con.find("INFO SD\r");
    ASSERT_NE(echo, std::string::npos);
    EXPECT_GE(sim.console().times()[echo], 20 * kSecond);
    const HostLine* reply = host_line(sim, "$OLA,01,01,30,1*", 30);
    ASSERT_NE(reply, nullptr);
    EXPECT_LT(reply->time, 31 * kSecond);
    // Two restarts with their causes; the boot after the power cut found no EEPROM.
    ASSERT_EQ(sim.board().restarts().size(), 2u);
    EXPECT_EQ(sim.board().restarts()[0].time, 105 * kSecond);
    EXPECT_EQ(sim.board().restarts()[0].cause, "power cut (t.toml:1: event)");
    EXPECT_EQ(sim.board().restarts()[1].cause, "reset line pulled (t.toml:1: event)");
    EXPECT_EQ(test::count_of(con, "EEPROM sin respuesta"), 1u);
    EXPECT_GT(sim.eeprom().nacks(), 0u);
    // The interval change answered but never stored: the chip refused its writes.
    EXPECT_NE(host_line(sim, "$OLA,03,01*", 150), nullptr);
    EXPECT_EQ(sim.eeprom().data()[7], 20);
}

namespace {

// Lines of the raw file of the interval that began at 00:03 (the first fix, and so the
// first valid time, comes at 200 s).
size_t raw_records(const std::string& dir) { return test::count_of(test::read_file(dir + "/sd/260101/0003.raw"), "\n"); }

} // namespace

TEST(Timeline, SensorGpsAndCardEvents) {
    std::string dir = fresh_dir("world"), plain = fresh_dir("plain");
    Scenario s = base(dir, 1300);
    s.card_blocks = 16 * 2048;
    TimelineEvent faults = event(Kind::SensorFaults, 400, 600);
    faults.drop = 0.2;
    faults.crc = 0.1;
    TimelineEvent noise = event(Kind::SensorGarbage, 300);
    noise.count = 1000;
    s.events = {event(Kind::GpsNoFix, 0, 200), event(Kind::SensorSilent, 100, 160), noise, faults,
                event(Kind::CardOut, 700, 800), event(Kind::CardWriteErrors, 900, 1000)};
    Simulation sim(s);
    sim.run();
    std::string error;
    ASSERT_TRUE(sim.write_outputs(error)) << error;
    // No sky until 200 s: the first fix comes once it is back, not at the 30 s of its ttff.
    ASSERT_TRUE(sim.gps()->first_fix_time());
    EXPECT_GE(*sim.gps()->first_fix_time(), 200 * kSecond);
    EXPECT_LT(*sim.gps()->first_fix_time(), 202 * kSecond);
    // Sixty silent seconds: 600 epochs fewer than 10 a second over the run.
    const SbgSensor::Stats& st = sim.sensor()->stats();
    EXPECT_NEAR(static_cast<double>(st.epochs), 13000 - 600, 5);
    // Faults only within their span: 200 s of 30 frames a second at 0.2 and 0.1.
    EXPECT_NEAR(static_cast<double>(st.frames_dropped), 6000 * 0.2, 150);
    EXPECT_NEAR(static_cast<double>(st.frames_corrupted), 6000 * 0.8 * 0.1, 100);
    // The noise reached the board's sensor port beside the frames.
    EXPECT_GE(sim.board().uart_bytes_to_board(2), 1000u);
    // The card out and its writes refused for 100 s each: about those 2000 records (10 a
    // second) fewer on the card than in the same run without them (the faults' span costs
    // both runs the same).
    Scenario same = base(plain, 1300);
    same.card_blocks = s.card_blocks;
    same.events = {s.events.begin(), s.events.begin() + 4};
    {
        Simulation run(same);
        run.run();
        ASSERT_TRUE(run.write_outputs(error)) << error;
    }
    const size_t with = raw_records(dir), without = raw_records(plain);
    EXPECT_GT(without, 8000u);
    EXPECT_NEAR(static_cast<double>(without - with), 2000, 200) << with << " of " << without;
}

// A card filled on a computer and put back mid-run: the firmware finds it full, says so
// once, and writes nothing more, with no restart; the filler file is on the card.
TEST(Timeline, CardFilledElsewhereEndsWritingOnceWithoutARestart) {
    std::string dir = fresh_dir("full");
    Scenario s = base(dir, 600);
    s.card_blocks = 64 * 2048;
    s.events = {event(Kind::CardFull, 300)};
    Simulation sim(s);
    sim.run();
    std::string error;
    ASSERT_TRUE(sim.write_outputs(error)) << error;
    EXPECT_TRUE(sim.board().restarts().empty());
    const std::string& con = sim.console().text();
    EXPECT_EQ(test::count_of(con, "L\xEF\xBF\xBD" "mite m\xEF\xBF\xBD" "ximo de memoria SD superado."), 1u);
    EXPECT_GT(test::read_file(dir + "/sd/RELLENO.BIN").size(), 60u * 1024 * 1024);
    // Records stop at the swap: none stamped in the last minute of the run.
    const std::string raw = test::read_file(dir + "/sd/260101/0000.raw");
    EXPECT_GT(test::count_of(raw, "\n"), 2000u);
    EXPECT_EQ(raw.find(",00,09,"), std::string::npos);
}
