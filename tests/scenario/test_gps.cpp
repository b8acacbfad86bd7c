// The GPS receiver and the clock through the simulator: each receiver family found at the
// rate it was left at, configured and captured; the tick rate measured against the
// sensor's time stamps and against GPS time; interval ends on clock boundaries.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "sim/simulation.h"
#include "support/sim_run.h"

using namespace sim;
using sim::test::count_of;
using sim::test::fresh_dir;

namespace {

Scenario gps_scenario(const std::string& dir, double seconds) {
    Scenario s;
    s.out_dir = dir;
    s.eeprom_file = dir + "/eeprom.bin";
    s.card_present = false;
    s.duration_s = seconds;
    s.sea_off = true;
    s.start_text = "2026-03-14T09:26:40Z";
    EXPECT_TRUE(parse_utc(s.start_text, s.start_unix));
    s.firmware_image = ONDAVIX_FW_IMAGE;
    return s;
}

// The first host line that starts with `prefix`, or nullptr.
const HostLine* first_line(Simulation& sim, const std::string& prefix) {
    for (const HostLine& l : sim.host().lines())
        if (l.text.compare(0, prefix.size(), prefix) == 0) return &l;
    return nullptr;
}

std::vector<const HostLine*> lines_with(Simulation& sim, const std::string& prefix) {
    std::vector<const HostLine*> out;
    for (const HostLine& l : sim.host().lines())
        if (l.text.compare(0, prefix.size(), prefix) == 0) out.push_back(&l);
    return out;
}

std::vector<std::string> fields(const std::string& sentence) {
    std::vector<std::string> out;
    std::string body = sentence.substr(0, sentence.find('*'));
    size_t start = 0;
    for (;;) {
        size_t comma = body.find(',', start);
        out.push_back(body.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

// Every value printed after `label` on the console, as integers.
std::vector<long> values_after(const std::string& text, const std::string& label) {
    std::vector<long> out;
    for (size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1))
        out.push_back(std::strtol(text.c_str() + at + label.size(), nullptr, 10));
    return out;
}

void expect_captured(Simulation& sim, double within_s) {
    const std::string& con = sim.console().text();
    ASSERT_NE(con.find("Fecha capturada:14/03/26 09:"), std::string::npos) << con.substr(0, 4000);
    const HostLine* gps = first_line(sim, "$GPS,");
    ASSERT_NE(gps, nullptr);
    EXPECT_EQ(gps->check, LineCheck::Right) << gps->text;
    EXPECT_LT(static_cast<double>(gps->time) / 1e9, within_s);
    std::vector<std::string> f = fields(gps->text);
    ASSERT_GE(f.size(), 19u) << gps->text;
    EXPECT_EQ(f[1], "26");
    EXPECT_EQ(f[2], "03");
    EXPECT_EQ(f[3], "14");
    EXPECT_EQ(f[7], "8");   // satellites
    EXPECT_EQ(f[8], "43");  // 43.37 N = 43 deg 22.2000 min
    EXPECT_EQ(f[9], "22");
    EXPECT_EQ(f[10], "2000");
    EXPECT_EQ(f[11], "N");
    EXPECT_EQ(f[12], "8");  // 8.40 W = 8 deg 24.0000 min
    EXPECT_EQ(f[13], "24");
    EXPECT_EQ(f[14], "0");
    EXPECT_EQ(f[15], "W");
    // After the capture the receiver is switched off until the next time request.
    EXPECT_FALSE(sim.gps()->powered());
}

} // namespace

TEST(GpsScenario, PmtkReceiverLeftAt38400IsFoundConfiguredAndCapturedWhileTheEepromSays9600) {
    std::string dir = fresh_dir("gps_pmtk");
    Scenario s = gps_scenario(dir, 400);
    s.gps_model = "L76LB";
    s.gps_baud = 38400;
    Simulation sim(s);
    sim.run();
    expect_captured(sim, 300);
    const std::string& con = sim.console().text();
    EXPECT_NE(con.find("Cambio baudios GPS:"), std::string::npos);
    // The PMTK family is assumed from start-up, so its identification prints nothing new.
    EXPECT_EQ(con.find("Identificado modulo SIM66M"), std::string::npos);
    EXPECT_EQ(sim.eeprom().data()[1025], 4); // 38400 confirmed and kept
    EXPECT_TRUE(sim.gps()->sbas_enabled());
    EXPECT_EQ(sim.gps()->configured_sentences(), (std::vector<std::string>{"GGA", "GSA", "ZDA"}));
}

TEST(GpsScenario, CfgmsgReceiverRunsItsWholeConfigurationAndSavesIt) {
    std::string dir = fresh_dir("gps_cfgmsg");
    Scenario s = gps_scenario(dir, 400);
    s.gps_model = "UC6226NIS";
    Simulation sim(s);
    sim.run();
    expect_captured(sim, 300);
    const std::string& con = sim.console().text();
    EXPECT_NE(con.find("Identificado modulo SIM66M"), std::string::npos);
    EXPECT_NE(con.find("Reconfiguramos modulo GPS"), std::string::npos);
    EXPECT_EQ(sim.gps()->configured_sentences(), (std::vector<std::string>{"GGA", "GSA", "ZDA"}));
    auto* cfg = dynamic_cast<CfgmsgReceiver*>(sim.gps());
    ASSERT_NE(cfg, nullptr);
    EXPECT_TRUE(cfg->has_saved_configuration());
    EXPECT_EQ(sim.gps()->stats().commands_not_understood, 0u);
}

TEST(GpsScenario, ReceiverWithoutFixLeavesTheClockUnsetAndSendsNoPosition) {
    std::string dir = fresh_dir("gps_nofix");
    Scenario s = gps_scenario(dir, 300);
    s.gps_no_fix = true;
    Simulation sim(s);
    sim.run();
    EXPECT_EQ(sim.console().text().find("Fecha capturada:"), std::string::npos);
    EXPECT_EQ(first_line(sim, "$GPS,"), nullptr);
    EXPECT_TRUE(sim.gps()->powered()); // still waiting for a fix
}

TEST(GpsScenario, FastOscillatorIsCorrectedByTheSensorTimeWithinOneCountInSixtySeconds) {
    std::string dir = fresh_dir("gps_ppm");
    Scenario s = gps_scenario(dir, 400);
    s.sea_off = false;
    s.oscillator_ppm = 5000;
    Simulation sim(s);
    sim.run();
    std::vector<long> v = values_after(sim.console().text(), "CALCULO MICRO vs SBG: ");
    ASSERT_FALSE(v.empty());
    // 48000 x 1.005 = 48240; one 100 ms count in about 60 s is about 0.17 %.
    EXPECT_NEAR(v.front(), 48240, 80);
    // The new compare value is kept in the EEPROM (address 29, 16 bits, high byte first).
    const uint8_t* e = sim.eeprom().data().data();
    EXPECT_EQ((e[29] << 8) | e[30], v.back());
}

TEST(GpsScenario, ResultSentencesCarryTheClocksHourAndMinuteOfTheIntervalEnds) {
    std::string dir = fresh_dir("gps_intervals");
    Scenario s = gps_scenario(dir, 3700);
    s.sea_off = false;
    Simulation sim(s);
    sim.run();
    std::vector<const HostLine*> res = lines_with(sim, "$RES,");
    ASSERT_GE(res.size(), 2u);
    // Started 09:26:40 with a capture within a minute: the 20-minute intervals end at
    // 09:40:01, 10:00:01 and 10:20:01 on the clock.
    std::vector<std::string> hhmm;
    for (const HostLine* l : res) {
        std::vector<std::string> f = fields(l->text);
        ASSERT_GE(f.size(), 6u);
        hhmm.push_back(f[4] + ":" + f[5]);
    }
    EXPECT_EQ(hhmm.back(), "10:20");
    EXPECT_NE(std::find(hhmm.begin(), hhmm.end(), "10:00"), hhmm.end());
}

// The sensor-time measurement resolves one 100 ms count in about 60 s; what it leaves
// shows against GPS time over the hours between two captures. Above 15 s the comparison
// corrects the compare value, below it leaves it alone.
TEST(GpsScenario, GpsComparisonTakesOutWhatTheSensorMeasurementLeftWhenItExceeds15Seconds) {
    // Which side of 15 s a case falls on depends on the phase of the 100 ms counts against
    // the measurement's minute (one count is 1667 ppm); the cases are chosen so that both
    // sides are taken, and each is checked for the side it took.
    bool corrected_seen = false, left_seen = false;
    for (double ppm : {-1200.0, -2000.0}) {
        SCOPED_TRACE(ppm);
        std::string dir = fresh_dir("gps_compare" + std::to_string(static_cast<int>(ppm)));
        Scenario s = gps_scenario(dir, 9 * 3600);
        s.start_text = "2026-01-01T00:00:00Z";
        ASSERT_TRUE(parse_utc(s.start_text, s.start_unix));
        s.sea_off = false;
        s.oscillator_ppm = ppm;
        Simulation sim(s);
        sim.run();
        const std::string& con = sim.console().text();
        const long exact = std::lround(48000 * (1 + ppm * 1e-6));
        std::vector<long> sensor = values_after(con, "CALCULO MICRO vs SBG: ");
        ASSERT_EQ(sensor.size(), 1u);
        EXPECT_NEAR(sensor[0], exact, 80);
        // Captures every 4 hours by the internal clock: the first comparison at the third.
        std::vector<long> resta = values_after(con, "RESTA TIEMPOS: ");
        std::vector<long> gps = values_after(con, "CALCULO CON GPS:");
        std::vector<long> span = values_after(con, "Dif Gps(1)-Gpx(0)=");
        ASSERT_GE(resta.size(), 1u);
        ASSERT_EQ(gps.size(), resta.size());
        ASSERT_EQ(span.size(), resta.size());
        // Seconds the clock lost or gained between the two captures, against the drift the
        // measured compare value predicts over the GPS time between them (one second of
        // rounding each way).
        double predicted = static_cast<double>(span[0]) * (static_cast<double>(sensor[0]) - exact) / exact;
        EXPECT_NEAR(resta[0], predicted, 2.0);
        if (std::labs(resta[0]) > 15) {
            corrected_seen = true;
            EXPECT_NEAR(gps[0], exact, 3);
            EXPECT_NE(gps[0], sensor[0]);
        } else {
            left_seen = true;
            EXPECT_EQ(gps[0], sensor[0]);
        }
        const uint8_t* e = sim.eeprom().data().data();
        EXPECT_EQ((e[29] << 8) | e[30], gps.back());
    }
    EXPECT_TRUE(corrected_seen);
    EXPECT_TRUE(left_seen);
}
