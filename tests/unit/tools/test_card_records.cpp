// Reading the card's records back into CSV: each layout field by field, malformed lines
// named with file and line, interval starts across midnight, and a simulated card whose
// CSV rows are exactly its records.
#include <gtest/gtest.h>

#include <fstream>

#include "support/sim_run.h"
#include "tools/export/card_records.h"

using tools::DirectionMethod;

TEST(CardRecords, LayoutsParseWithSignsUnitsAndMethods) {
    tools::RawSample r;
    std::string expected;
    ASSERT_TRUE(tools::parse_raw("07,12,26,10,15,42,00123,0354,-00007,-00000.2500, 00001.0300,1,0", r, expected));
    EXPECT_EQ(r.time_utc, "2026-12-07T10:15:42Z");
    EXPECT_EQ(r.point, 123u);
    EXPECT_EQ(r.heave_cm, -7);
    EXPECT_DOUBLE_EQ(r.north_m_s, -0.25);
    EXPECT_DOUBLE_EQ(r.east_m_s, 1.03);
    EXPECT_EQ(r.alignment_valid, 0);
    // Before the clock is valid the six clock fields are 00: no time, still a sample.
    ASSERT_TRUE(tools::parse_raw("00,00,00,00,00,00,00001,0005, 00000, 00000.0000, 00000.0000,1,1", r, expected));
    EXPECT_EQ(r.time_utc, "");
    for (const char* bad : {"07,12,26,10,15,42,00123,0354,+00007,-00000.2500, 00001.0300,1,0", // sign
                            "07,12,26,10,15,42,00123,0354,-00007,-0000.25000, 00001.0300,1,0", // float form
                            "07,13,26,10,15,42,00123,0354,-00007,-00000.2500, 00001.0300,1,0", // month 13
                            "07,12,26,10,15,42,0123,0354,-00007,-00000.2500, 00001.0300,1,0"})  // width
        EXPECT_FALSE(tools::parse_raw(bad, r, expected)) << bad;

    tools::WaveRecord w;
    ASSERT_TRUE(tools::parse_wave("07,12,26,10,15,00012 0150 100 00100 2400 100 099", DirectionMethod::velocity, w,
                                  expected));
    EXPECT_EQ(w.height_cm, 150);
    EXPECT_EQ(w.period_ds, 100);
    EXPECT_EQ(w.dir_velocity_dd, 2400);
    EXPECT_FALSE(w.dir_drift_dd);
    EXPECT_EQ(w.alignment_quality, 99);
    ASSERT_TRUE(tools::parse_wave("07,12,26,10,15,00012 0150 100 00100 2400 0300 100 099", DirectionMethod::velocity,
                                  w, expected));
    EXPECT_EQ(w.dir_drift_dd, 300);
    ASSERT_TRUE(tools::parse_wave("07,12,26,10,15,00012 0150 100 00100 2400 100 099", DirectionMethod::drift, w,
                                  expected));
    EXPECT_FALSE(w.dir_velocity_dd);
    EXPECT_EQ(w.dir_drift_dd, 2400);

    tools::ResultRecord res;
    ASSERT_TRUE(tools::parse_result("07,12,26,10,00,00159 0322 0203 0255 0135 125 075 082 082 073 2419 0139 100 100",
                                    DirectionMethod::velocity, res, expected));
    EXPECT_EQ(res.h13_cm, 203);
    EXPECT_EQ(res.tpeak_ds, 75);
    EXPECT_EQ(res.spread_velocity_dd, 139);
    EXPECT_FALSE(tools::parse_result("07,12,26,10,00,00159 0322 0203 0255 0135 125 075 082 082 073 2419 100 100",
                                     DirectionMethod::velocity, res, expected));
}

TEST(CardRecords, IntervalStartsInHour23BelongToThePreviousDayWhenTheIntervalEndedPastMidnight) {
    const char* lines[] = {"31,12,26,23,40,00010 0100 0100 0100 0100 100 100 100 100 100 0100 0100 100 100",
                           "01,01,27,23,50,00010 0100 0100 0100 0100 100 100 100 100 100 0100 0100 100 100",
                           "01,01,27,00,00,00010 0100 0100 0100 0100 100 100 100 100 100 0100 0100 100 100",
                           "01,01,27,23,00,00010 0100 0100 0100 0100 100 100 100 100 100 0100 0100 100 100"};
    std::vector<tools::ResultRecord> v(4);
    std::string expected;
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(tools::parse_result(lines[i], DirectionMethod::velocity, v[i], expected));
    tools::infer_result_starts(v);
    EXPECT_EQ(v[0].start_utc, "2026-12-31T23:40Z");
    EXPECT_EQ(v[1].start_utc, "2026-12-31T23:50Z"); // ended 00:00:01 on 1 January
    EXPECT_EQ(v[2].start_utc, "2027-01-01T00:00Z");
    EXPECT_EQ(v[3].start_utc, "2027-01-01T23:00Z"); // a later interval on its own day
}

TEST(CardRecords, SimulatedCardGivesOneCsvRowPerRecordAndNamesMalformedLines) {
    const std::string dir = sim::test::fresh_dir("card_records");
    std::string out;
    ASSERT_EQ(sim::test::run_sim_exe({"--duration", "1500", "--out", dir}, out), 0) << out;
    std::ofstream(dir + "/sd/260101/2359.wav", std::ios::binary) << "01,01,26,23,59,garbage\r\n";

    tools::CardRecords c;
    std::string error;
    ASSERT_TRUE(tools::read_card_folder(dir + "/sd", DirectionMethod::velocity, c, error)) << error;
    ASSERT_EQ(c.problems.size(), 1u);
    EXPECT_EQ(c.problems[0].rfind(dir + "/sd/260101/2359.wav:1: expected dd,mm,yy", 0), 0u) << c.problems[0];
    size_t lines[3] = {0, 0, 0};
    for (const std::string& f : c.files) {
        const std::string text = sim::test::read_file(f);
        const int kind = f.find(".raw") != std::string::npos ? 0 : f.find(".wav") != std::string::npos ? 1 : 2;
        lines[kind] += sim::test::count_of(text, "\r\n");
    }
    EXPECT_GT(c.raw.size(), 14000u);
    EXPECT_EQ(c.raw.size(), lines[0]);
    EXPECT_EQ(c.waves.size() + 1, lines[1]);
    EXPECT_EQ(c.results.size(), lines[2]);
    ASSERT_TRUE(tools::write_csv_files(c, dir, error)) << error;
    EXPECT_EQ(sim::test::count_of(sim::test::read_file(dir + "/raw.csv"), "\n"), c.raw.size() + 1);
    EXPECT_EQ(sim::test::count_of(sim::test::read_file(dir + "/waves.csv"), "\n"), c.waves.size() + 1);
    EXPECT_EQ(sim::test::count_of(sim::test::read_file(dir + "/results.csv"), "\n"), c.results.size() + 1);
}
