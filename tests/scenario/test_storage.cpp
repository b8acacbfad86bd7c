// The card after a simulated deployment: the day directory and its files hold exactly the
// records the firmware reported on the console and the host port; a card pulled out and
// put back is written again; the image passes fsck.fat.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "fat/fat.h"
#include "sim/simulation.h"
#include "support/fat_image.h"
#include "support/sim_run.h"
#include "support/tools.h"

using namespace sim;
using sim::test::fresh_dir;
using sim::test::read_file;

namespace {

Scenario card_scenario(const std::string& dir, double seconds) {
    Scenario s;
    s.out_dir = dir;
    s.eeprom_file = dir + "/eeprom.bin";
    s.card_file = dir + "/sd.img";
    s.card_blocks = 1u << 21; // 1 GiB SDHC: FAT32
    s.duration_s = seconds;
    s.start_text = "2026-03-14T09:26:40Z";
    EXPECT_TRUE(parse_utc(s.start_text, s.start_unix));
    s.firmware_image = ONDAVIX_FW_IMAGE;
    return s;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, sep)) out.push_back(item);
    return out;
}

// The lines of every file with `ext` in the folder, files in name order (HHMM).
std::vector<std::string> records(const std::string& dir, const std::string& ext) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > ext.size() && n.compare(n.size() - ext.size(), ext.size(), ext) == 0) names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> out;
    for (const std::string& n : names) {
        std::string text = read_file(dir + "/" + n);
        EXPECT_TRUE(text.empty() || text.compare(text.size() - 2, 2, "\r\n") == 0) << n << " ends mid-record";
        for (std::string& l : split(text, '\n')) {
            if (!l.empty() && l.back() == '\r') l.pop_back();
            if (!l.empty()) out.push_back(l);
        }
    }
    return out;
}

// "IndOla=N Altura=H Periodo=P" of the console, as "N H P" with the record's widths.
std::vector<std::string> console_waves(const std::string& con) {
    std::vector<std::string> out;
    const std::string key = "IndOla=";
    for (size_t at = con.find(key); at != std::string::npos; at = con.find(key, at + 1)) {
        long n = std::strtol(con.c_str() + at + key.size(), nullptr, 10);
        size_t h = con.find("Altura=", at), p = con.find("Periodo=", at);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%05ld %04ld %03ld", n, std::strtol(con.c_str() + h + 7, nullptr, 10),
                      std::strtol(con.c_str() + p + 8, nullptr, 10));
        out.push_back(buf);
    }
    return out;
}

bool fsck_clean(const std::string& image, std::string& report) {
    std::string fsck = sim::test::find_tool("fsck.fat");
    if (fsck.empty()) {
        report = "fsck.fat missing";
        return std::getenv("CI") == nullptr; // a workstation without dosfstools skips the check
    }
    // fsck.fat knows no partition tables: partition 1, as the MBR places it, is checked alone.
    std::string mbr(512, '\0');
    std::ifstream in(image, std::ios::binary);
    if (!in.read(&mbr[0], 512)) {
        report = "no MBR in " + image;
        return false;
    }
    auto le32 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(mbr[at]) | static_cast<uint8_t>(mbr[at + 1]) << 8 |
                                     static_cast<uint8_t>(mbr[at + 2]) << 16) |
               static_cast<uint32_t>(static_cast<uint8_t>(mbr[at + 3])) << 24;
    };
    std::string part = image + ".part1";
    if (!sim::test::extract_blocks(image, le32(446 + 8), le32(446 + 12), part)) {
        report = "cannot extract the partition";
        return false;
    }
    sim::test::ToolRun r = sim::test::run(fsck + " -n " + sim::test::quote(part));
    report = r.out;
    std::remove(part.c_str());
    return r.status == 0;
}

} // namespace

TEST(StorageScenario, DayOfRecordsOnTheCardMatchesConsoleAndHost) {
    std::string dir = fresh_dir("storage_day");
    Simulation sim(card_scenario(dir, 7200));
    sim.run();
    std::string error;
    ASSERT_TRUE(sim.write_outputs(error)) << error;
    const std::string day = dir + "/sd/260314";

    // Result records: the host's "$RES" sentences with waves carry the same statistics
    // (from field 6 on; the record's time is the interval start, the sentence's its end).
    std::vector<std::string> res = records(day, ".res");
    std::vector<std::string> sent;
    for (const HostLine& l : sim.host().lines())
        if (l.text.rfind("$RES,", 0) == 0 && l.text.compare(22, 5, "00000") != 0) sent.push_back(l.text);
    ASSERT_EQ(res.size(), sent.size());
    ASSERT_GE(res.size(), 5u);
    for (size_t i = 0; i < res.size(); ++i) {
        std::string stats = res[i].substr(15);
        std::replace(stats.begin(), stats.end(), ' ', ',');
        EXPECT_EQ("$RES," + sent[i].substr(5, 15) + stats + sent[i].substr(sent[i].find('*')), sent[i]) << i;
    }

    // Per-wave records: every wave the console reported once the files existed, in order.
    std::vector<std::string> wav = records(day, ".wav");
    std::vector<std::string> con = console_waves(sim.console().text());
    ASSERT_GE(con.size(), wav.size());
    EXPECT_LE(con.size() - wav.size(), 3u); // waves closed before the GPS gave the date
    for (size_t i = 0; i < wav.size(); ++i) {
        std::vector<std::string> f = split(wav[i], ',');
        ASSERT_EQ(f.size(), 6u) << wav[i];
        EXPECT_EQ(f[5].substr(0, 14), con[con.size() - wav.size() + i]) << i;
    }

    // Raw records: one per sample, ten a second, none missing in the middle of the run.
    std::vector<std::string> raw = records(day, ".raw");
    std::map<std::string, int> per_second;
    for (const std::string& r : raw) {
        ASSERT_EQ(split(r, ',').size(), 13u) << r;
        per_second[r.substr(0, 17)]++;
    }
    ASSERT_GT(per_second.size(), 7000u);
    int short_seconds = 0;
    for (auto it = std::next(per_second.begin()); it != std::prev(per_second.end()); ++it) {
        EXPECT_LE(it->second, 10) << it->first;
        if (it->second < 10) ++short_seconds;
    }
    EXPECT_LE(short_seconds, 5);
    std::string report;
    EXPECT_TRUE(fsck_clean(dir + "/sd.img", report)) << report;
}

TEST(StorageScenario, CardPulledOutAndPutBackIsWrittenAgainAndStaysConsistent) {
    std::string dir = fresh_dir("storage_pull");
    Scenario s = card_scenario(dir, 1500);
    s.card_out = {{600, 700}};
    Simulation sim(s);
    sim.run();
    std::string error;
    ASSERT_TRUE(sim.write_outputs(error)) << error;
    std::vector<std::string> raw = records(dir + "/sd/260314", ".raw");
    ASSERT_FALSE(raw.empty());
    // Records from before the card went and from well after it came back.
    auto at = [&](const std::string& hhmm) {
        return std::any_of(raw.begin(), raw.end(), [&](const std::string& r) { return r.compare(9, 5, hhmm) == 0; });
    };
    EXPECT_TRUE(at("09,33")); // 09:26:40 + 400 s
    EXPECT_TRUE(at("09,50")); // 09:26:40 + 1400 s
    EXPECT_FALSE(at("09,37")); // out of the socket from 09:36:40 to 09:38:20
    std::string report;
    EXPECT_TRUE(fsck_clean(dir + "/sd.img", report)) << report;
}

// Resets at moments spread over a writing run (fixed pseudo-random times, so the test is
// repeatable): the card never shows corruption to fsck.fat, and every raw record older
// than the last second before each reset is on it.
TEST(StorageScenario, ResetsAtRandomMomentsLeaveAConsistentCardAndLoseAtMostTheLastSecond) {
    std::string dir = fresh_dir("storage_resets");
    Scenario s = card_scenario(dir, 2400);
    std::mt19937 rng(20261208);
    std::uniform_real_distribution<double> jitter(0.0, 150.0);
    for (double t = 150; t < 2200; t += 200) s.resets.push_back(t + jitter(rng));
    Simulation sim(s);
    sim.run();
    std::string error;
    ASSERT_TRUE(sim.write_outputs(error)) << error;
    EXPECT_EQ(sim.board().restarts().size(), s.resets.size());

    std::map<std::string, int> per_second;
    for (const std::string& r : records(dir + "/sd/260314", ".raw")) per_second[r.substr(9, 8)]++;
    for (double t : s.resets) {
        // The clock follows GPS time from the start 09:26:40 (set again after each reset).
        for (int back = 2; back <= 20; ++back) {
            long sec = 9 * 3600 + 26 * 60 + 40 + static_cast<long>(t) - back;
            char key[64];
            std::snprintf(key, sizeof key, "%02ld,%02ld,%02ld", sec / 3600, sec / 60 % 60, sec % 60);
            EXPECT_GE(per_second[key], 9) << "reset at " << t << " s, records of " << key;
        }
    }
    std::string report;
    EXPECT_TRUE(fsck_clean(dir + "/sd.img", report)) << report;
}

// A card that fills up during the day: writing ends once, with the card's full message,
// every record on it whole, the FAT used to the last cluster and no restart. (It used to
// search the whole FAT for every byte of every record, starve the watchdog and restart
// the buoy every few seconds.)
TEST(StorageScenario, CardFillingUpMidDayEndsWritingOnceWithoutARestart) {
    std::string dir = fresh_dir("storage_full");
    Scenario s = card_scenario(dir, 1);
    s.card_blocks = 1u << 17; // 64 MiB: FAT16
    { Simulation(s).run(); }  // a new card, formatted as from the factory
    {
        sim::test::FileImage image(dir + "/sd.img");
        FatVolume v;
        v.attach(image.device());
        ASSERT_TRUE(v.mount(1) || v.mount(0));
        ASSERT_GE(v.freeClusters(), 0);
        FatFile filler;
        ASSERT_TRUE(filler.open(v, "/filler.bin", O_WRITE | O_CREAT));
        const uint32_t keep = 1100 * 1024 / (v.clusterBlocks() * 512u); // clusters left free: ~1.1 MB
        std::vector<uint8_t> block(512, 0x5A);
        while (static_cast<uint32_t>(v.knownFreeClusters()) > keep)
            ASSERT_EQ(filler.write(block.data(), block.size()), block.size());
        ASSERT_TRUE(filler.close());
    }
    s.duration_s = 2400;
    Simulation sim(s);
    sim.run();
    std::string error;
    ASSERT_TRUE(sim.write_outputs(error)) << error;
    EXPECT_TRUE(sim.board().restarts().empty());
    EXPECT_EQ(sim::test::count_of(sim.console().text(), "L\xEF\xBF\xBDmite m\xEF\xBF\xBDximo de memoria SD superado."), 1u);
    std::vector<std::string> raw = records(dir + "/sd/260314", ".raw"); // each file ends on a whole record
    EXPECT_GT(raw.size(), 5000u);
    for (const std::string& r : raw) EXPECT_EQ(split(r, ',').size(), 13u) << r;
    sim::test::FileImage image(dir + "/sd.img");
    auto report = sim::test::check_fat(image);
    EXPECT_TRUE(report.clean()) << report.text();
    EXPECT_EQ(report.free, 0u);
    std::string fsck;
    EXPECT_TRUE(fsck_clean(dir + "/sd.img", fsck)) << fsck;
}
