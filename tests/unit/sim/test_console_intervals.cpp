// The firmware's interval results read from the console a piece at a time, with the oldest
// text let go between pieces, as a run of days does.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/console_intervals.h"
#include "tests/support/fake_world.h"
#include "world/terminal.h"

namespace sim {
namespace {

TEST(ConsoleIntervals, ReadInPiecesWhileTheTerminalLetsTextGoAsReadWhole) {
    test::FakeScheduler clock;
    test::FakeUartLink line{clock};
    Terminal whole, kept;
    whole.attach(clock, line);
    kept.attach(clock, line);
    ConsoleIntervals pieces;
    for (int i = 0; i < 40; ++i) {
        std::string text = "Tiempo " + std::to_string(i) + "\r\n";
        if (i % 10 == 3) text += "Buffer promedio: 01,02,27,10," + std::to_string(20 + i) + ",00\r\n";
        // The second result has no buffer line before it; the last one ends without its
        // second line.
        if (i % 10 == 4 || i == 15 || i == 39)
            text += "NumOlas=" + std::to_string(i) + " Hmax=266 H(1/3)=x\r\n" + (i == 39 ? "" : " DirMedMetVel=2421\r\n");
        clock.run_until(static_cast<Nanos>(i) * kSecond);
        for (char c : text) {
            whole.on_byte(static_cast<uint8_t>(c));
            kept.on_byte(static_cast<uint8_t>(c));
        }
        // The first byte of the last line ("NumOlas=39 ...") arrives after a scan.
        if (i % 3 == 0) {
            pieces.scan(kept.text(), kept.times(), kept.received() - kept.text().size());
            kept.keep_latest(64);
        }
    }
    pieces.scan(kept.text(), kept.times(), kept.received() - kept.text().size());
    EXPECT_LT(kept.text().size(), 2 * 64u + 120u);
    ConsoleIntervals at_once;
    at_once.scan(whole.text(), whole.times(), 0);

    const std::vector<ConsoleResult>& r = pieces.results();
    ASSERT_EQ(r.size(), 5u); // 4, 14, 15, 24, 34
    ASSERT_EQ(at_once.results().size(), r.size());
    for (size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(r[i].lines, at_once.results()[i].lines);
        EXPECT_EQ(r[i].at_s, at_once.results()[i].at_s);
        EXPECT_EQ(r[i].firmware_time, at_once.results()[i].firmware_time);
    }
    EXPECT_EQ(r[0].firmware_time, "2027-02-01T10:23");
    EXPECT_EQ(r[0].at_s, 4.0);
    EXPECT_EQ(r[2].firmware_time, ""); // the buffer line before 14 is not 15's
    EXPECT_EQ(r[0].lines, "NumOlas=4 Hmax=266 H(1/3)=x\r\n DirMedMetVel=2421\r");
    const std::map<std::string, long> f = result_fields(r[4]);
    EXPECT_EQ(f.at("NumOlas"), 34);
    EXPECT_EQ(f.at("DirMedMetVel"), 2421);
    EXPECT_EQ(f.count("H(1/3)"), 0u); // not a number
}

} // namespace
} // namespace sim
