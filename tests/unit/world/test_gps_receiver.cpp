// The simulated GPS receivers on their own: power, timing and content of the sentences,
// faults, and each family's configuration commands. Expected checksums were computed
// independently of the code under test (and agree with receiver manuals where printed).
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "fake_world.h"
#include "world/gps_receiver.h"

namespace sim {
namespace {

using test::FakeScheduler;
using test::FakeUartLink;

// The firmware's configuration sentences, as it sends them.
const char* const kPmtkSbas = "$PMTK313,1*2E\r\n";
const char* const kPmtkGgaGsaZda = "$PMTK314,0,0,0,1,1,0,0,0,0,0,0,0,0,0,0,0,0,1,0*29\r\n";
const char* const kCfgmsgSequence[] = {
    "$CFGMSG,0,0,1*06\r\n", "$CFGMSG,0,1,0*06\r\n", "$CFGMSG,0,2,1*04\r\n", "$CFGMSG,0,3,0*04\r\n", "$CFGMSG,0,4,0*03\r\n",
    "$CFGMSG,0,5,0*02\r\n", "$CFGMSG,0,6,1*00\r\n", "$CFGMSG,0,7,0*00\r\n", "$CFGSAVE,h2*35\r\n",
};

GpsReceiverOptions quick() {
    GpsReceiverOptions o;
    o.ttff = 0;
    o.ttff_hot = 0;
    return o;
}

struct Line {
    std::string text; // without CR LF
    Nanos start;      // end of its first byte
    Nanos end;        // end of its LF
};

struct Rig {
    explicit Rig(const std::string& model, const GpsReceiverOptions& o = quick())
        : link(clock, o.baud), gps(make_gps_receiver(model, clock, link, o)) {}

    void type(const std::string& text) {
        for (char c : text) gps->on_byte(static_cast<uint8_t>(c));
    }
    void run_to(double seconds) { clock.run_until(static_cast<Nanos>(seconds * 1e9)); }

    // Every complete line sent so far.
    std::vector<Line> lines() const {
        std::vector<Line> out;
        size_t begin = 0;
        for (size_t i = 0; i < link.bytes.size(); ++i) {
            if (link.bytes[i] != '\n') continue;
            std::string text(link.bytes.begin() + begin, link.bytes.begin() + i + 1);
            EXPECT_GE(text.size(), 2u);
            EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << text;
            text.resize(text.size() - 2);
            out.push_back({text, link.times[begin], link.times[i]});
            begin = i + 1;
        }
        EXPECT_EQ(begin, link.bytes.size()) << "output ends in the middle of a line";
        return out;
    }
    // The NMEA sentence types (talker removed) of the lines that ended in [from, to) s.
    std::vector<std::string> types(double from, double to) const {
        std::vector<std::string> out;
        for (const Line& l : lines()) {
            if (l.end >= from * 1e9 && l.end < to * 1e9 && l.text.size() > 6 && l.text[0] == '$' && l.text[1] == 'G') {
                out.push_back(l.text.substr(3, 3));
            }
        }
        return out;
    }
    // The first line that ended in [from, to) s and is of NMEA sentence type `what` (three
    // letters, talker ignored) or starts with `what` (anything longer); empty if none.
    std::string find(const std::string& what, double from = 0, double to = 1e9) const {
        for (const Line& l : lines()) {
            if (l.end < from * 1e9 || l.end >= to * 1e9) continue;
            const bool match = what.size() == 3 ? l.text.size() > 6 && l.text.compare(3, 3, what) == 0
                                                : l.text.compare(0, what.size(), what) == 0;
            if (match) return l.text;
        }
        return {};
    }

    FakeScheduler clock;
    FakeUartLink link;
    std::unique_ptr<GpsReceiver> gps;
};

// "$body*HH": '$', no further '$' or '*', two upper-case hex digits, matching XOR.
::testing::AssertionResult valid_sentence(const std::string& s) {
    const size_t star = s.find('*');
    if (s.empty() || s[0] != '$' || star == std::string::npos || star + 3 != s.size()) {
        return ::testing::AssertionFailure() << "malformed: " << s;
    }
    unsigned x = 0;
    for (size_t i = 1; i < star; ++i) {
        if (s[i] == '$' || s[i] < 0x20 || s[i] > 0x7E) return ::testing::AssertionFailure() << "bad character: " << s;
        x ^= static_cast<uint8_t>(s[i]);
    }
    const char* hex = "0123456789ABCDEF";
    if (s[star + 1] != hex[x >> 4] || s[star + 2] != hex[x & 15]) return ::testing::AssertionFailure() << "checksum: " << s;
    return ::testing::AssertionSuccess();
}

std::vector<std::string> split(const std::string& s) {
    std::vector<std::string> f(1);
    for (char c : s) {
        if (c == ',') f.emplace_back();
        else f.back() += c;
    }
    return f;
}

std::vector<std::string> names(std::initializer_list<const char*> l) { return std::vector<std::string>(l.begin(), l.end()); }

// ---------------------------------------------------------------- common core

TEST(GpsReceiverPower, NoPowerNoBytesAndDeaf) {
    Rig rig("L76LB");
    rig.run_to(5);
    EXPECT_TRUE(rig.link.bytes.empty());
    // A command while switched off is not heard: after power-up the factory set is sent.
    rig.type(kPmtkGgaGsaZda);
    rig.gps->set_power(true);
    rig.run_to(8);
    EXPECT_EQ(rig.gps->stats().commands_received, 0u);
    EXPECT_EQ(rig.find("$PMTK001"), "");
    EXPECT_NE(rig.find("RMC"), "");

    // Switched off: nothing more leaves, however long we wait.
    rig.gps->set_power(false);
    const size_t sent = rig.link.bytes.size();
    rig.run_to(20);
    EXPECT_EQ(rig.link.bytes.size(), sent);
    rig.type(kPmtkSbas);
    rig.run_to(21);
    EXPECT_EQ(rig.link.bytes.size(), sent);
    EXPECT_FALSE(rig.gps->powered());
}

TEST(GpsReceiverPower, DeafWhileBooting) {
    Rig rig("L76LB");
    rig.gps->set_power(true);
    rig.run_to(0.1);
    rig.type(kPmtkSbas); // boot takes 500 ms
    rig.run_to(3);
    EXPECT_EQ(rig.find("$PMTK001"), "");
    EXPECT_FALSE(rig.gps->sbas_enabled());
    rig.type(kPmtkSbas);
    rig.run_to(4);
    EXPECT_EQ(rig.find("$PMTK001"), "$PMTK001,313,3*31");
}

TEST(GpsReceiverOutput, EverySentenceHasAValidChecksum) {
    for (const std::string& model : gps_receiver_models()) {
        GpsReceiverOptions o = quick();
        o.ttff = 4 * kSecond; // sentences before and after the fix
        o.satellites = 12;    // three GSV sentences
        o.latitude_deg = -33.8568;
        o.longitude_deg = 151.2153;
        Rig rig(model, o);
        rig.gps->set_power(true);
        rig.run_to(2.5);
        rig.type(model == "L76LB" ? "$PMTK314,1,1,1,1,1,1,0,0,0,0,0,0,0,0,0,0,0,1,0*29\r\n" : "$CFGMSG,0,6,1*00\r\n$CFGMSG,0,7,1*01\r\n");
        rig.run_to(9);
        const std::vector<Line> lines = rig.lines();
        ASSERT_GT(lines.size(), 40u) << model;
        size_t checked = 0;
        for (const Line& l : lines) {
            if (l.text.compare(0, model.size(), model) == 0) continue; // the CFGMSG family's announcement
            EXPECT_TRUE(valid_sentence(l.text)) << model;
            ++checked;
        }
        EXPECT_EQ(checked + (model == "L76LB" ? 0 : 1), lines.size()) << model;
        // Every type was seen, with and without a fix.
        for (const char* type : {"GGA", "GLL", "GSA", "GSV", "RMC", "VTG", "ZDA"}) {
            EXPECT_NE(rig.find(type, 3, 4), "") << model << " " << type;
            EXPECT_NE(rig.find(type, 6, 7), "") << model << " " << type;
        }
        EXPECT_EQ(rig.gps->stats().sentences_corrupted, 0u);
    }
}

TEST(GpsReceiverOutput, BurstsStartAfterEachUtcSecondAtTheReceiversRate) {
    GpsReceiverOptions o = quick();
    o.output_latency = 120 * kMilli;
    Rig rig("UC6226NIS", o);
    rig.gps->set_power(true);
    rig.run_to(6);
    const std::vector<Line> lines = rig.lines();
    const Nanos byte_time = 10 * (kSecond / 9600); // the fake line's rounding
    for (int k = 1; k <= 5; ++k) {
        // The first GGA of second k starts its burst: its first byte ends one byte time
        // after second k + latency, and each following byte one byte time later.
        const Line* gga = nullptr;
        for (const Line& l : lines) {
            if (l.text.compare(3, 3, "GGA") == 0 && l.end > k * kSecond && l.end < (k + 1) * kSecond) gga = &l;
        }
        ASSERT_NE(gga, nullptr) << k;
        EXPECT_EQ(gga->start, k * kSecond + o.output_latency + byte_time);
        EXPECT_EQ(gga->end - gga->start, (gga->text.size() + 1) * byte_time);
    }
}

TEST(GpsReceiverOutput, FixContentFollowsTheOptions) {
    GpsReceiverOptions o = quick();
    o.satellites = 9;
    o.pdop = 2.34;
    o.hdop = 1.05;
    o.vdop = 2.01;
    o.latitude_deg = 41.0 + 24.8963 / 60.0;
    o.longitude_deg = -(2.0 + 11.1234 / 60.0);
    o.start_unix = unix_from_utc({2026, 12, 7, 10, 38, 40});
    Rig rig("UC6226NIS", o);
    rig.gps->set_power(true);
    rig.run_to(1.5);
    rig.type("$CFGMSG,0,6,1*00\r\n");
    rig.run_to(2.9);

    const std::vector<std::string> gga = split(rig.find("GGA", 2, 3));
    ASSERT_EQ(gga.size(), 15u);
    EXPECT_EQ(gga[1], "103842.000");
    EXPECT_EQ(gga[2], "4124.8963");
    EXPECT_EQ(gga[3], "N");
    EXPECT_EQ(gga[4], "00211.1234");
    EXPECT_EQ(gga[5], "W");
    EXPECT_EQ(gga[6], "1");
    EXPECT_EQ(gga[7], "09");
    EXPECT_EQ(gga[8], "1.05");

    const std::vector<std::string> gsa = split(rig.find("GSA", 2, 3));
    ASSERT_EQ(gsa.size(), 18u);
    EXPECT_EQ(gsa[2], "3");
    EXPECT_EQ(gsa[15], "2.34");
    EXPECT_EQ(gsa[16], "1.05");
    EXPECT_EQ(gsa[17].substr(0, 4), "2.01");
    int used = 0;
    for (int i = 3; i <= 14; ++i) used += !gsa[i].empty();
    EXPECT_EQ(used, 9);

    EXPECT_EQ(rig.find("ZDA", 2, 3).substr(0, 34), "$GNZDA,103842.000,07,12,2026,00,00");
    const std::vector<std::string> gsv = split(rig.find("GSV", 2, 3));
    EXPECT_EQ(gsv[1], "3"); // 12 in view, four per sentence
    EXPECT_EQ(gsv[3], "12");
}

TEST(GpsReceiverOutput, PositionDecimalsAndHemispheres) {
    GpsReceiverOptions o = quick();
    o.position_decimals = 5;
    o.latitude_deg = -(5.0 + 59.999999 / 60.0); // rounds up into the next degree
    o.longitude_deg = 179.5;
    Rig rig("L76LB", o);
    rig.gps->set_power(true);
    rig.run_to(1.9);
    const std::vector<std::string> gga = split(rig.find("GGA"));
    ASSERT_EQ(gga.size(), 15u);
    EXPECT_EQ(gga[2], "0600.00000");
    EXPECT_EQ(gga[3], "S");
    EXPECT_EQ(gga[4], "17930.00000");
    EXPECT_EQ(gga[5], "E");
}

TEST(GpsReceiverTime, UtcFollowsTheStartAcrossMidnightAndMonthEnd) {
    struct Case {
        UtcTime start;
        const char* zda_before;
        const char* zda_after;
        const char* rmc_date_after;
    };
    const Case cases[] = {
        {{2024, 2, 29, 23, 59, 58}, "235959.000,29,02,2024", "000000.000,01,03,2024", "010324"}, // leap month end
        {{2026, 2, 28, 23, 59, 58}, "235959.000,28,02,2026", "000000.000,01,03,2026", "010326"}, // common February
        {{2025, 12, 31, 23, 59, 58}, "235959.000,31,12,2025", "000000.000,01,01,2026", "010126"}, // year end
        {{2026, 4, 30, 23, 59, 58}, "235959.000,30,04,2026", "000000.000,01,05,2026", "010526"}, // 30-day month
    };
    for (const Case& c : cases) {
        GpsReceiverOptions o = quick();
        o.start_unix = unix_from_utc(c.start);
        Rig rig("SIM66MD", o);
        rig.gps->set_power(true);
        rig.run_to(0.6); // booted
        rig.type("$CFGMSG,0,6,1*00\r\n");
        rig.run_to(2.9);
        EXPECT_EQ(rig.find("ZDA", 1, 2).substr(7, 21), c.zda_before);
        EXPECT_EQ(rig.find("ZDA", 2, 3).substr(7, 21), c.zda_after);
        EXPECT_EQ(split(rig.find("RMC", 2, 3))[9], c.rmc_date_after);
    }
}

TEST(GpsReceiverTime, UtcRunsWithTheWorldClockWhilePoweredOff) {
    GpsReceiverOptions o = quick();
    o.start_unix = unix_from_utc({2026, 1, 1, 0, 0, 0});
    Rig rig("L76LB", o);
    rig.run_to(3 * 3600 + 59 * 60 + 30); // 03:59:30 before the receiver is switched on
    rig.gps->set_power(true);
    rig.type(kPmtkGgaGsaZda);            // not heard: still booting
    rig.run_to(3 * 3600 + 59 * 60 + 31);
    rig.type(kPmtkGgaGsaZda);
    rig.run_to(3 * 3600 + 59 * 60 + 32.5);
    const std::string zda = rig.find("ZDA");
    EXPECT_EQ(zda.substr(7, 21), "035931.000,01,01,2026") << zda;
    EXPECT_EQ(rig.gps->utc_at(10 * kSecond + 999 * kMilli), o.start_unix + 10);
}

TEST(GpsReceiverFix, TimeToFirstFixAndNoFix) {
    GpsReceiverOptions o = quick();
    o.ttff = 10 * kSecond;
    Rig rig("L76LB", o);
    rig.gps->set_power(true);
    rig.run_to(9.9);
    EXPECT_FALSE(rig.gps->fix_time().has_value());
    // Before the fix: no time, no position, no satellites, no dilutions.
    EXPECT_EQ(rig.find("GGA", 9, 10), "$GNGGA,,,,,,0,00,,,M,,M,,*78");
    const std::vector<std::string> gsa = split(rig.find("GSA", 9, 10));
    EXPECT_EQ(gsa[2], "1");
    EXPECT_EQ(gsa[15] + gsa[16], "");
    rig.run_to(11);
    ASSERT_TRUE(rig.gps->fix_time().has_value());
    EXPECT_EQ(*rig.gps->fix_time(), 10 * kSecond + o.output_latency);
    EXPECT_EQ(rig.gps->first_fix_time(), rig.gps->fix_time());
    EXPECT_EQ(split(rig.find("GGA", 10, 11))[6], "1");

    GpsReceiverOptions none = quick();
    none.no_fix = true;
    Rig blind("UC6226NIS", none);
    blind.gps->set_power(true);
    blind.run_to(60);
    EXPECT_FALSE(blind.gps->first_fix_time().has_value());
    for (const Line& l : blind.lines()) {
        if (l.text.compare(3, 3, "GGA") == 0) {
            EXPECT_EQ(split(l.text)[6], "0");
        }
    }
    EXPECT_EQ(split(blind.find("GSV"))[3].substr(0, 3), "00*");
}

TEST(GpsReceiverFix, HotStartOnlyWhileTheOrbitsAreFresh) {
    GpsReceiverOptions o = quick();
    o.ttff = 30 * kSecond;
    o.ttff_hot = 3 * kSecond;
    Rig rig("L76LB", o);
    rig.gps->set_power(true);
    rig.run_to(40);
    ASSERT_EQ(*rig.gps->fix_time(), 30 * kSecond + o.output_latency);
    rig.gps->set_power(false);
    EXPECT_FALSE(rig.gps->fix_time().has_value());
    rig.run_to(3600);
    rig.gps->set_power(true); // one hour later: hot
    rig.run_to(3660);
    EXPECT_EQ(*rig.gps->fix_time(), 3603 * kSecond + o.output_latency);
    rig.gps->set_power(false);
    rig.run_to(3660 + 5 * 3600);
    rig.gps->set_power(true); // five hours later: cold again
    rig.run_to(3660 + 5 * 3600 + 60);
    EXPECT_EQ(*rig.gps->fix_time(), (3660 + 5 * 3600 + 30) * kSecond + o.output_latency);
    EXPECT_EQ(*rig.gps->first_fix_time(), 30 * kSecond + o.output_latency);
}

TEST(GpsReceiverFaults, ChecksumErrorsAndDropsFollowTheirSeed) {
    auto run = [](double bad, double drop, uint64_t seed) {
        GpsReceiverOptions o = quick();
        o.checksum_error_probability = bad;
        o.drop_probability = drop;
        o.fault_seed = seed;
        Rig rig("L76LB", o);
        rig.gps->set_power(true);
        rig.run_to(60);
        size_t valid = 0, invalid = 0;
        for (const Line& l : rig.lines()) (valid_sentence(l.text) ? valid : invalid) += 1;
        EXPECT_EQ(invalid, rig.gps->stats().sentences_corrupted);
        EXPECT_EQ(valid + invalid, rig.gps->stats().sentences_sent);
        return std::make_pair(rig.link.text(), rig.gps->stats());
    };
    const auto all_bad = run(1.0, 0.0, 1);
    EXPECT_GT(all_bad.second.sentences_corrupted, 400u);
    EXPECT_EQ(all_bad.second.sentences_corrupted, all_bad.second.sentences_sent);

    const auto silent = run(0.0, 1.0, 1);
    EXPECT_TRUE(silent.first.empty());
    EXPECT_GT(silent.second.sentences_dropped, 400u);

    const auto a = run(0.2, 0.1, 7);
    const auto b = run(0.2, 0.1, 7);
    const auto c = run(0.2, 0.1, 8);
    EXPECT_EQ(a.first, b.first);
    EXPECT_NE(a.first, c.first);
    const double total = static_cast<double>(a.second.sentences_sent + a.second.sentences_dropped);
    EXPECT_NEAR(a.second.sentences_dropped / total, 0.1, 0.04);
    EXPECT_NEAR(a.second.sentences_corrupted / static_cast<double>(a.second.sentences_sent), 0.2, 0.05);
}

TEST(GpsReceiverOutput, SlowRateSkipsBurstsInsteadOfQueueingWithoutEnd) {
    // The factory PMTK set with 16 satellites in view is more than 4800 baud carries in a
    // second.
    GpsReceiverOptions o = quick();
    o.baud = 4800;
    o.satellites = 13;
    Rig rig("L76LB", o);
    rig.gps->set_power(true);
    for (int s = 1; s <= 120; ++s) {
        rig.run_to(s + 0.05);
        ASSERT_LT(rig.link.send_pending(), 700u) << s;
    }
    EXPECT_GT(rig.gps->stats().bursts_skipped, 5u);
    EXPECT_GT(rig.gps->stats().bursts, 40u);
}

TEST(GpsReceiverOptionsCheck, RejectsOutOfRangeOptions) {
    FakeScheduler clock;
    FakeUartLink link(clock);
    auto expect_error = [&](GpsReceiverOptions o, const char* model, const std::string& words) {
        try {
            make_gps_receiver(model, clock, link, o);
            ADD_FAILURE() << "accepted: " << words;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
        }
    };
    GpsReceiverOptions o;
    o.baud = 12345;
    expect_error(o, "L76LB", "12345");
    o = {};
    o.satellites = 25;
    expect_error(o, "SIM66M", "satellites 25");
    o = {};
    o.pdop = 0.0;
    expect_error(o, "L76LB", "PDOP");
    o = {};
    o.latitude_deg = 90.5;
    expect_error(o, "L76LB", "latitude");
    o = {};
    o.drop_probability = 1.5;
    expect_error(o, "L76LB", "drop probability");
    expect_error({}, "NEO6M", "L76LB SIM66M SIM66MD UC6226NIS");
    EXPECT_THROW(CfgmsgReceiver(clock, link, "L76LB"), std::invalid_argument);
}

// ---------------------------------------------------------------- PMTK family

TEST(GpsPmtk, AnnouncesThenSendsItsFactorySetIncludingUnexpectedSentences) {
    Rig rig("L76LB");
    rig.gps->set_power(true);
    rig.run_to(3.9);
    const std::vector<Line> lines = rig.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "$PMTK011,MTKGPS*08");
    EXPECT_EQ(lines[1].text, "$PMTK010,001*2E");
    EXPECT_LT(lines[1].end, 1 * kSecond);
    for (int k = 1; k <= 3; ++k) {
        EXPECT_EQ(rig.types(k, k + 1), names({"RMC", "VTG", "GGA", "GSA", "GSV", "GSV", "GSV", "GLL"})) << k;
    }
    EXPECT_EQ(rig.gps->configured_sentences(), names({"RMC", "VTG", "GGA", "GSA", "GSV", "GLL"}));
    EXPECT_EQ(rig.link.baud(), 9600u);
}

TEST(GpsPmtk, Pmtk314SelectsTheSentencesAndIsAcknowledged) {
    Rig rig("L76LB");
    rig.gps->set_power(true);
    rig.run_to(2.8); // the burst of second 2 has left
    rig.type(kPmtkGgaGsaZda);
    rig.run_to(2.9);
    const std::vector<Line> lines = rig.lines();
    EXPECT_EQ(lines.back().text, "$PMTK001,314,3*36");
    EXPECT_EQ(lines.back().start, 2800 * kMilli + 10 * kMilli + 10 * (kSecond / 9600));
    rig.run_to(5.9);
    EXPECT_EQ(rig.types(3, 6), names({"GGA", "GSA", "ZDA", "GGA", "GSA", "ZDA", "GGA", "GSA", "ZDA"}));
    EXPECT_EQ(rig.gps->configured_sentences(), names({"GGA", "GSA", "ZDA"}));
    EXPECT_EQ(rig.gps->stats().commands_received, 1u);

    // Rates: GGA every second fix only.
    rig.type("$PMTK314,0,0,0,2,1,0,0,0,0,0,0,0,0,0,0,0,0,1,0*2A\r\n");
    rig.run_to(9.9);
    const size_t gga = rig.types(6, 10).size() - 8; // 4 GSA + 4 ZDA
    EXPECT_EQ(gga, 2u);
    EXPECT_EQ(rig.gps->sentence_rate(GpsSentence::GGA), 2);

    // The query answers in PMTK314's layout; -1 restores the factory set.
    rig.type("$PMTK414*33\r\n");
    rig.type("$PMTK314,-1*04\r\n");
    rig.run_to(10.5);
    EXPECT_NE(rig.link.text().find("$PMTK514,0,0,0,2,1,0,0,0,0,0,0,0,0,0,0,0,0,1,0*"), std::string::npos);
    EXPECT_EQ(rig.gps->configured_sentences(), names({"RMC", "VTG", "GGA", "GSA", "GSV", "GLL"}));
}

TEST(GpsPmtk, Pmtk313SwitchesSbasOn) {
    Rig rig("L76LB");
    rig.gps->set_power(true);
    rig.run_to(1.9);
    EXPECT_EQ(split(rig.find("GGA"))[6], "1");
    rig.type("$PMTK313,2*2D\r\n"); // not a valid setting
    rig.run_to(2.0);
    EXPECT_EQ(rig.lines().back().text, "$PMTK001,313,0*32");
    EXPECT_FALSE(rig.gps->sbas_enabled());
    rig.type(kPmtkSbas);
    rig.run_to(2.9);
    EXPECT_NE(rig.link.text().find("$PMTK001,313,3*31\r\n"), std::string::npos);
    EXPECT_TRUE(rig.gps->sbas_enabled());
    EXPECT_EQ(split(rig.find("GGA", 2, 3))[6], "2"); // differential fix
    // Not saved: gone after a power cycle.
    rig.gps->set_power(false);
    rig.gps->set_power(true);
    EXPECT_FALSE(rig.gps->sbas_enabled());
}

TEST(GpsPmtk, Pmtk251AnswersAtTheOldRateThenSwitches) {
    Rig rig("L76LB");
    rig.gps->set_power(true);
    rig.run_to(1.5);
    rig.type(kPmtkGgaGsaZda);
    rig.run_to(1.8); // the line is idle
    rig.type("$PMTK251,38400*27\r\n");
    rig.run_to(1.82); // the answer is half-way out: still the old rate
    EXPECT_EQ(rig.link.baud(), 9600u);
    EXPECT_EQ(rig.gps->baud(), 9600u);
    rig.run_to(1.9);
    const Line ack = rig.lines().back();
    EXPECT_EQ(ack.text, "$PMTK001,251,3*36");
    EXPECT_EQ(ack.end - ack.start, 18 * 10 * (kSecond / 9600)); // 19 bytes at 9600
    EXPECT_EQ(rig.gps->baud(), 38400u);
    EXPECT_EQ(rig.link.baud(), 38400u);
    rig.run_to(2.9);
    const std::string gga = rig.find("GGA", 2, 3);
    ASSERT_FALSE(gga.empty());
    for (const Line& l : rig.lines()) {
        if (l.text == gga) {
            EXPECT_EQ(l.end - l.start, (gga.size() + 1) * 10 * (kSecond / 38400));
        }
    }

    // A rate outside the table is refused and nothing changes.
    rig.type("$PMTK251,12345*29\r\n");
    rig.run_to(3.05);
    EXPECT_EQ(rig.lines().back().text, "$PMTK001,251,0*35");
    EXPECT_EQ(rig.gps->baud(), 38400u);

    // Nothing survives a power cycle: factory rate and sentences again.
    rig.gps->set_power(false);
    rig.run_to(4);
    rig.gps->set_power(true);
    EXPECT_EQ(rig.link.baud(), 9600u);
    EXPECT_EQ(rig.gps->baud(), 9600u);
    EXPECT_EQ(rig.gps->configured_sentences(), names({"RMC", "VTG", "GGA", "GSA", "GSV", "GLL"}));
}

TEST(GpsPmtk, CommandsWithBadChecksumOrFramingAreIgnored) {
    Rig rig("L76LB");
    rig.gps->set_power(true);
    rig.run_to(1.2);
    const size_t before = rig.link.bytes.size();
    rig.type("$PMTK314,0,0,0,1,1,0,0,0,0,0,0,0,0,0,0,0,0,1,0*28\r\n"); // wrong checksum
    rig.type("$PMTK314,0,0,0,1,1,0,0,0,0,0,0,0,0,0,0,0,0,1,0\r\n");    // none
    rig.type("$PMTK313,1*2E\n");                                        // LF without CR
    rig.type("$PMTK313,1*2E\r\r\n");                                    // stray CR
    rig.type("$PMTK3\x80" "13,1*2E\r\n");                               // a byte heard at the wrong rate
    rig.run_to(1.5);
    EXPECT_EQ(rig.link.bytes.size(), before);
    EXPECT_EQ(rig.gps->stats().commands_bad_checksum, 2u);
    EXPECT_EQ(rig.gps->stats().commands_received, 0u);
    EXPECT_FALSE(rig.gps->sbas_enabled());
    EXPECT_EQ(rig.gps->sentence_rate(GpsSentence::RMC), 1);

    // Garbage before a good command, a "$" restarting a broken one, lower-case digits.
    rig.type(std::string("\xff\x13") + '\0' + " $PMTK31$PMTK313,1*2e\r\n");
    rig.run_to(1.6);
    EXPECT_EQ(rig.lines().back().text, "$PMTK001,313,3*31");
    EXPECT_TRUE(rig.gps->sbas_enabled());
}

TEST(GpsPmtk, UnknownCommandsTestAndRestarts) {
    Rig rig("L76LB");
    rig.gps->set_power(true);
    rig.run_to(1.2);
    rig.type("$PMTK999*3B\r\n");
    rig.run_to(1.25);
    EXPECT_EQ(rig.lines().back().text, "$PMTK001,999,1*3B");
    rig.type("$PMTK000*32\r\n");
    rig.run_to(1.3);
    EXPECT_EQ(rig.lines().back().text, "$PMTK001,0,3*30");
    EXPECT_EQ(rig.gps->stats().commands_not_understood, 1u);
    // A command of the other family is not answered.
    rig.type("$CFGMSG,0,6,1*00\r\n");
    rig.run_to(1.35);
    EXPECT_EQ(rig.lines().back().text, "$PMTK001,0,3*30");

    // Full cold restart: factory settings, start-up lines again, no acknowledgement.
    rig.type("$PMTK251,57600*2C\r\n");
    rig.run_to(1.5);
    EXPECT_EQ(rig.gps->baud(), 9600u); // the burst of second 1 and the answer still leaving
    rig.run_to(1.95);
    ASSERT_EQ(rig.gps->baud(), 57600u);
    rig.type("$PMTK104*37\r\n");
    rig.run_to(2.6);
    EXPECT_EQ(rig.gps->baud(), 9600u);
    EXPECT_EQ(rig.lines().back().text, "$PMTK010,001*2E");
}

// ---------------------------------------------------------------- CFGMSG family

TEST(GpsCfgmsg, AnnouncesWithItsModelNameThenItsFactorySet) {
    for (const char* model : {"SIM66M", "SIM66MD", "UC6226NIS"}) {
        Rig rig(model);
        rig.gps->set_power(true);
        rig.run_to(2.9);
        const std::vector<Line> lines = rig.lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].text, std::string(model) + ",V1.0");
        EXPECT_EQ(rig.gps->model(), model);
        EXPECT_EQ(rig.types(1, 2), names({"GGA", "GLL", "GSA", "GSV", "GSV", "GSV", "RMC", "VTG"})) << model;
        EXPECT_EQ(rig.find("ZDA"), "");
    }
}

TEST(GpsCfgmsg, TheFirmwaresSequenceIsAnsweredStepByStep) {
    Rig rig("SIM66MD");
    rig.gps->set_power(true);
    rig.run_to(1.3);
    double t = 1.3;
    for (const char* command : kCfgmsgSequence) {
        const size_t before = rig.lines().size();
        rig.type(command);
        t += 0.05;
        rig.run_to(t);
        const std::vector<Line> lines = rig.lines();
        ASSERT_EQ(lines.size(), before + 1) << command;
        EXPECT_EQ(lines.back().text, "$OK*04") << command;
    }
    EXPECT_EQ(rig.gps->configured_sentences(), names({"GGA", "GSA", "ZDA"}));
    rig.run_to(4.9);
    EXPECT_EQ(rig.types(3, 5), names({"GGA", "GSA", "ZDA", "GGA", "GSA", "ZDA"}));
    EXPECT_EQ(rig.gps->stats().commands_received, 9u);
}

TEST(GpsCfgmsg, ConfigurationIsForgottenWithoutSaveAndKeptWithIt) {
    Rig rig("UC6226NIS");
    rig.gps->set_power(true);
    rig.run_to(1.2);
    rig.type("$CFGMSG,0,6,1*00\r\n$CFGMSG,0,4,0*03\r\n");
    rig.type("$CFGPRT,,0,38400,3,3*37\r\n");
    rig.run_to(1.9); // after the burst of second 1 and the three answers
    ASSERT_EQ(rig.gps->baud(), 38400u);
    const auto* cfg = dynamic_cast<const CfgmsgReceiver*>(rig.gps.get());
    ASSERT_NE(cfg, nullptr);
    EXPECT_FALSE(cfg->has_saved_configuration());

    rig.gps->set_power(false);
    rig.run_to(2);
    rig.gps->set_power(true);
    EXPECT_EQ(rig.gps->baud(), 9600u);
    EXPECT_EQ(rig.link.baud(), 9600u);
    EXPECT_EQ(rig.gps->configured_sentences(), names({"GGA", "GLL", "GSA", "GSV", "RMC", "VTG"}));

    rig.run_to(3.2);
    rig.type("$CFGMSG,0,6,1*00\r\n$CFGMSG,0,4,0*03\r\n");
    rig.type("$CFGPRT,,0,38400,3,3*37\r\n");
    rig.run_to(3.4);
    rig.type("$CFGSAVE,h2*35\r\n");
    rig.run_to(3.5);
    EXPECT_TRUE(cfg->has_saved_configuration());
    rig.gps->set_power(false);
    rig.run_to(100);
    rig.gps->set_power(true);
    EXPECT_EQ(rig.link.baud(), 38400u);
    EXPECT_EQ(rig.gps->configured_sentences(), names({"GGA", "GLL", "GSA", "GSV", "VTG", "ZDA"}));
    rig.run_to(101.9);
    EXPECT_EQ(rig.lines().back().text.substr(3, 3), "ZDA");
    size_t announcements = 0;
    for (const Line& l : rig.lines()) announcements += l.text == "UC6226NIS,V1.0";
    EXPECT_EQ(announcements, 3u);
}

TEST(GpsCfgmsg, ChecksumIsOptionalButMustMatch) {
    Rig rig("SIM66M");
    rig.gps->set_power(true);
    rig.run_to(1.2);
    const size_t before = rig.link.bytes.size();
    rig.type("$CFGMSG,0,6,1*01\r\n"); // wrong
    rig.run_to(1.3);
    EXPECT_EQ(rig.link.bytes.size(), before);
    EXPECT_EQ(rig.gps->sentence_rate(GpsSentence::ZDA), 0);
    EXPECT_EQ(rig.gps->stats().commands_bad_checksum, 1u);

    rig.type("$CFGMSG,0,3,0\r\n"); // none: taken
    rig.run_to(1.4);
    EXPECT_EQ(rig.lines().back().text, "$OK*04");
    EXPECT_EQ(rig.gps->sentence_rate(GpsSentence::GSV), 0);

    // Malformed or foreign commands get no answer.
    const size_t after = rig.link.bytes.size();
    rig.type("$CFGMSG,1,0,1*07\r\n$CFGMSG,0,9,1\r\n$CFGMSG,0,0,11\r\n$CFGMSG,0,0\r\n");
    rig.type(kPmtkSbas);
    rig.type(kPmtkGgaGsaZda);
    rig.run_to(1.5);
    EXPECT_EQ(rig.link.bytes.size(), after);
    EXPECT_EQ(rig.gps->stats().commands_not_understood, 6u);
    EXPECT_EQ(rig.gps->configured_sentences(), names({"GGA", "GLL", "GSA", "RMC", "VTG"}));
}

} // namespace
} // namespace sim
