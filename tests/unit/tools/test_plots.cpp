// The run's plots: wave limits and crests where the records put them, every plot drawn
// (with or without the sea's truth), the truth file and the span read or refused with what
// was expected, and ondavix-sim --plots drawing from its own card and sea.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/sim_run.h"
#include "tools/plot/plots.h"

namespace {

using sim::test::read_file;

bool is_png(const std::string& path) { return read_file(path).compare(0, 8, "\x89PNG\r\n\x1a\n") == 0; }

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty() && l[0] != '#') out.push_back(l);
    return out;
}

// One minute of an 8 s, 1 m swell at 10 samples a second, the point count starting again
// after every upward crossing as the firmware's does (and once more at 20 s, as a new raw
// file makes it, which is no wave limit).
tools::CardRecords swell_minute() {
    tools::CardRecords c;
    uint32_t point = 0;
    int previous = 0;
    for (int i = 0; i < 600; ++i) {
        const double t = i / 10.0;
        tools::RawSample r;
        char when[32];
        std::snprintf(when, sizeof when, "2026-03-14T10:%02d:%02dZ", i / 600, (i / 10) % 60);
        r.time_utc = when;
        r.heave_cm = static_cast<int>(std::lround(50 * std::sin(2 * M_PI * (t + 0.37) / 8)));
        r.point = i == 200 ? 0 : point++;
        if (i > 0 && previous < 0 && r.heave_cm >= 0) point = 0;
        previous = r.heave_cm;
        c.raw.push_back(r);
    }
    for (int k = 0; k < 6; ++k) {
        tools::WaveRecord w;
        w.height_cm = 100;
        w.period_ds = 80;
        w.dir_velocity_dd = 2400 + 10 * k;
        c.waves.push_back(w);
    }
    for (int k = 0; k < 3; ++k) {
        tools::ResultRecord r;
        r.start_utc = "2026-03-14T" + std::to_string(10 + k) + ":00Z";
        r.h13_cm = 100;
        r.hmax_cm = 101;
        r.tpeak_ds = 80;
        c.results.push_back(r);
    }
    return c;
}

TEST(Plots, LimitsAndCrestsComeFromTheRecordsAndEveryPlotIsDrawn) {
    const std::string dir = sim::test::fresh_dir("plots") + "/plots";
    tools::PlotReport report;
    std::string error;
    const tools::SeaTruthFigures truth{1.414, 8.0, 8.0, 240.0, 0.0, "swell,h=1,t=8,dir=240"};
    ASSERT_TRUE(tools::write_plots(swell_minute(), truth, tools::PlotSpan(), dir, report, error)) << error;
    ASSERT_EQ(report.written.size(), 4u);
    for (const std::string& png : report.written) EXPECT_TRUE(is_png(png)) << png;
    EXPECT_TRUE(report.notes.empty());
    // Upward crossings at 7.7 s, 15.7 s, ...: the span starts at the first, every 8 s after.
    const std::vector<std::string> limits = lines_of(read_file(dir + "/limits.dat"));
    ASSERT_EQ(limits.size(), 7u);
    for (size_t k = 0; k < limits.size(); ++k) EXPECT_EQ(limits[k].substr(0, limits[k].find(' ')), std::to_string(8 * k) + ".00");
    const std::vector<std::string> marks = lines_of(read_file(dir + "/crests.dat"));
    ASSERT_EQ(marks.size(), 12u);
    for (size_t k = 0; k < marks.size(); ++k) EXPECT_NE(marks[k].find(k % 2 ? " -50 0" : " 50 1"), std::string::npos) << marks[k];
    const std::string gp = read_file(dir + "/plots.gp");
    EXPECT_NE(gp.find("sea Hs 1.41 m"), std::string::npos);
    EXPECT_NE(gp.find("sea Tp 8.00 s"), std::string::npos);

    // A chosen span; without a truth the intervals are still drawn, and that is said.
    tools::PlotSpan span;
    ASSERT_TRUE(tools::parse_span("2026-03-14T10:00:30Z,20", span, error)) << error;
    report = tools::PlotReport();
    ASSERT_TRUE(tools::write_plots(swell_minute(), std::nullopt, span, dir, report, error)) << error;
    EXPECT_EQ(lines_of(read_file(dir + "/heave.dat")).size(), 201u);
    EXPECT_EQ(lines_of(read_file(dir + "/limits.dat")).size(), 3u); // 31.7 s, 39.7 s, 47.7 s
    ASSERT_EQ(report.notes.size(), 1u);
    EXPECT_NE(report.notes[0].find("without the sea's truth"), std::string::npos);
    // A span with no samples is refused, naming it.
    ASSERT_TRUE(tools::parse_span("+3600", span, error));
    EXPECT_FALSE(tools::write_plots(swell_minute(), std::nullopt, span, dir, report, error));
    EXPECT_NE(error.find("+3600, 120 s) holds no raw samples"), std::string::npos) << error;
}

TEST(Plots, TruthFileAndSpanAreReadOrRefusedWithWhatWasExpected) {
    const std::string dir = sim::test::fresh_dir("plots_input");
    std::optional<tools::SeaTruthFigures> truth;
    std::string error;
    ASSERT_TRUE(tools::read_sea_truth(dir + "/none.csv", truth, error));
    EXPECT_FALSE(truth);
    const tools::SeaTruthFigures t{2.067, 9.0, 7.14, 243.9, 26.9, "hs=2,tp=9"};
    std::ofstream(dir + "/ok.csv") << tools::sea_truth_csv(t);
    ASSERT_TRUE(tools::read_sea_truth(dir + "/ok.csv", truth, error)) << error;
    ASSERT_TRUE(truth);
    EXPECT_EQ(truth->hs_m, 2.067);
    EXPECT_EQ(truth->from_deg, 243.9);
    EXPECT_EQ(truth->sea, "hs=2,tp=9");
    std::ofstream(dir + "/bad.csv") << tools::kSeaTruthHeader << "\n2.0,9.0,x,1,2,\"s\"\n";
    EXPECT_FALSE(tools::read_sea_truth(dir + "/bad.csv", truth, error));
    EXPECT_EQ(error.rfind(dir + "/bad.csv:2: expected five numbers", 0), 0u) << error;

    tools::PlotSpan span;
    for (const char* bad : {"10:00", "+", "+5x", "2026-03-14T10:00:30Z,0", "+5,", "+5,abc"}) {
        EXPECT_FALSE(tools::parse_span(bad, span, error)) << bad;
        EXPECT_EQ(error.rfind(std::string("--span ") + bad + ": expected", 0), 0u) << error;
    }
}

TEST(Plots, SimulatorDrawsItsOwnCardBesideItsSea) {
    const std::string dir = sim::test::fresh_dir("plots_sim");
    std::string out;
    ASSERT_EQ(sim::test::run_sim_exe({"--duration", "1300", "--plots", "--out", dir}, out), 0) << out;
    EXPECT_NE(out.find("plots            4 in " + dir + "/plots/"), std::string::npos) << out;
    for (const char* png : {"heave", "waves", "intervals", "rose"}) EXPECT_TRUE(is_png(dir + "/plots/" + png + ".png")) << png;
    // The truth file holds the summary's truth.
    std::optional<tools::SeaTruthFigures> truth;
    std::string error;
    ASSERT_TRUE(tools::read_sea_truth(dir + "/sea_truth.csv", truth, error)) << error;
    ASSERT_TRUE(truth);
    char line[128];
    std::snprintf(line, sizeof line, "truth          Hs %.3f m, Tp %.2f s", truth->hs_m, truth->tp_s);
    EXPECT_NE(out.find(line), std::string::npos) << out;
    // A run without a sea leaves no truth of the earlier one.
    ASSERT_EQ(sim::test::run_sim_exe({"--duration", "10", "--sea", "off", "--out", dir}, out), 0) << out;
    EXPECT_FALSE(std::ifstream(dir + "/sea_truth.csv").good());
}

} // namespace
