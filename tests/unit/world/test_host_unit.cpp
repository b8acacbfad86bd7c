// The host telemetry unit: reading its script and refusing bad ones with the file, the line
// and what was expected; sending telecommands at their times and rates; cutting what the
// buoy sends into lines, judging each sentence's checksum, and writing host.log.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fake_world.h"
#include "world/host_unit.h"

namespace sim {
namespace {

using test::FakeScheduler;
using test::FakeUartLink;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<uint8_t> bytes_of(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

HostScript parse_ok(const std::string& text) {
    std::istringstream in(text);
    std::string error;
    const std::optional<HostScript> s = HostUnit::parse_script(in, "host.txt", error);
    EXPECT_TRUE(s.has_value()) << error;
    return s.value_or(HostScript{});
}

// The message for a script that must be refused ("" if it was accepted).
std::string parse_error(const std::string& text) {
    std::istringstream in(text);
    std::string error;
    if (HostUnit::parse_script(in, "host.txt", error)) return "";
    return error;
}

struct Rig {
    FakeScheduler clock;
    FakeUartLink line{clock, 115200};
    HostUnit unit{clock, line};

    // The buoy's bytes reach the unit at time t, one after the other.
    void arrive(Nanos t, const std::string& text) {
        clock.at(t, [this, text] {
            for (char c : text) unit.on_byte(static_cast<uint8_t>(c));
        });
    }
};

// The rows after the log's header, whose last line names the starting rate.
std::string rows_of(const std::string& log, uint32_t baud = 38400) {
    const std::string last_header = "# The unit listened at " + std::to_string(baud) + " baud from the start.\n";
    const size_t at = log.find(last_header);
    EXPECT_NE(at, std::string::npos) << log;
    return at == std::string::npos ? log : log.substr(at + last_header.size());
}

// ------------------------------------------------------------------ script: accepted forms

TEST(HostScriptParse, AcceptedForms) {
    const HostScript s = parse_ok(
        "# deployment checks\n"
        "\n"
        "   \t\n"
        "600 1,8\n"
        "600 4,26,2,29,12,0,0   # set the clock\r\n"
        "  900.25\t13,6\n"
        "900.25 baud 56000 # follow the buoy\n"
        "1000 raw $KVX03,1,8*00 # not a comment \n"
        "1000.000000001 rawhex ff5A 0d0A\n"
        "1001 3,,1\n");
    EXPECT_EQ(s.name, "host.txt");
    ASSERT_EQ(s.commands.size(), 7u);

    EXPECT_EQ(s.commands[0].time, 600 * kSecond);
    EXPECT_EQ(s.commands[0].kind, HostCommand::Kind::Send);
    EXPECT_EQ(s.commands[0].bytes, bytes_of("$KVX03,1,8*4F\r\n"));
    EXPECT_EQ(s.commands[0].line, 4u);

    EXPECT_EQ(s.commands[1].time, 600 * kSecond); // same time as the one before: allowed
    EXPECT_EQ(s.commands[1].bytes, bytes_of("$KVX03,4,26,2,29,12,0,0*60\r\n"));

    EXPECT_EQ(s.commands[2].time, 900 * kSecond + 250 * kMilli);
    EXPECT_EQ(s.commands[2].bytes, bytes_of("$KVX03,13,6*72\r\n"));
    EXPECT_EQ(s.commands[2].line, 6u);

    EXPECT_EQ(s.commands[3].kind, HostCommand::Kind::Baud);
    EXPECT_EQ(s.commands[3].baud, 56000u);
    EXPECT_TRUE(s.commands[3].bytes.empty());

    // raw: everything after the blanks that follow the keyword, "#" and trailing blank
    // included, nothing added.
    EXPECT_EQ(s.commands[4].time, 1000 * kSecond);
    EXPECT_EQ(s.commands[4].bytes, bytes_of("$KVX03,1,8*00 # not a comment "));

    EXPECT_EQ(s.commands[5].time, 1000 * kSecond + 1);
    EXPECT_EQ(s.commands[5].bytes, (std::vector<uint8_t>{0xFF, 0x5A, 0x0D, 0x0A}));

    EXPECT_EQ(s.commands[6].bytes, bytes_of("$KVX03,3,,1*68\r\n"));
    EXPECT_EQ(s.commands[6].line, 10u);
}

TEST(HostScriptParse, EmptyScriptListensOnly) {
    EXPECT_TRUE(parse_ok("").commands.empty());
    EXPECT_TRUE(parse_ok("# nothing to send\n\n").commands.empty());
}

// ------------------------------------------------------------------ script: refusals

TEST(HostScriptParse, ErrorsNameFileLineAndWhatWasExpected) {
    struct Case {
        const char* text;
        const char* where; // "host.txt:N: "
        const char* says;
    };
    const Case cases[] = {
        {"abc 1,8\n", "host.txt:1: ", "expected a time in seconds (e.g. 600 or 600.25), found \"abc\""},
        {"# note\n\n-5 1,8\n", "host.txt:3: ", "expected a time in seconds"},
        {"600. 1,8\n", "host.txt:1: ", "expected a time in seconds"},
        {"1e3 1,8\n", "host.txt:1: ", "expected a time in seconds"},
        {"600#x 1,8\n", "host.txt:1: ", "expected a time in seconds"},
        {"0.1234567891 1,8\n", "host.txt:1: ", "at most nine decimals"},
        {"1000000000.5 1,8\n", "host.txt:1: ", "at most 1000000000 s"},
        {"99999999999999999999999 1,8\n", "host.txt:1: ", "at most 1000000000 s"},
        {"600\n", "host.txt:1: ", "expected telecommand fields (e.g. 1,8), baud, raw or rawhex after the time"},
        {"600   # forgot\n", "host.txt:1: ", "expected telecommand fields"},
        {"600 1, 8\n", "host.txt:1: ", "expected the telecommand fields as one word (e.g. 1,8), or baud, raw or rawhex, found \"1, 8\""},
        {"600 bauds 9600\n", "host.txt:1: ", "as one word"},
        {"600 1;8\n", "host.txt:1: ", "expected decimal numbers separated by commas (e.g. 1,8), found \";\""},
        {"600 $KVX03,1,8\n", "host.txt:1: ", "only the fields after \"$KVX03,\""},
        {"600 baud\n", "host.txt:1: ", "expected a baud rate after baud (4800, 9600, 14400, 19200, 28800, 38400, 56000, 57600, 115200)"},
        {"600 baud 5600\n", "host.txt:1: ", "expected one of the buoy's host rates after baud"},
        {"600 baud 56000x\n", "host.txt:1: ", "found \"56000x\""},
        {"600 baud 9600 56000\n", "host.txt:1: ", "expected one baud rate after baud, found \"9600 56000\""},
        {"600 raw\n", "host.txt:1: ", "expected the text to send after raw"},
        {"600 raw  \t \n", "host.txt:1: ", "expected the text to send after raw"},
        {"600 raw#x\n", "host.txt:1: ", "expected a blank and the text to send after raw"},
        {"600 rawhex\n", "host.txt:1: ", "expected hexadecimal byte pairs after rawhex (e.g. FF5A06), found \"\""},
        {"600 rawhex F\n", "host.txt:1: ", "found \"F\""},
        {"600 rawhex FF 5\n", "host.txt:1: ", "found \"FF5\""},
        {"600 rawhex GG\n", "host.txt:1: ", "found \"GG\""},
        {"600 1,8\n\n# later\n500 1,8\n", "host.txt:4: ",
         "time 500 is before 600 on line 1; expected times that do not go backwards"},
        {"600 1,8\n700 baud 56000\n699.999 1,8\n", "host.txt:3: ", "before 700 on line 2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string error = parse_error(c.text);
        EXPECT_EQ(error.rfind(c.where, 0), 0u) << error;
        EXPECT_TRUE(contains(error, c.says)) << error;
    }
}

TEST(HostScriptParse, LoadReadsAFileAndNamesItInErrors) {
    const std::string path = ::testing::TempDir() + "host_unit_script.txt";
    {
        std::ofstream out(path, std::ios::binary);
        out << "10 1,8\n20 baud 57600\n";
    }
    std::string error;
    std::optional<HostScript> s = HostUnit::load_script(path, error);
    ASSERT_TRUE(s.has_value()) << error;
    EXPECT_EQ(s->name, path);
    ASSERT_EQ(s->commands.size(), 2u);
    EXPECT_EQ(s->commands[1].baud, 57600u);

    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "10 1,8\n20 1,x\n";
    }
    EXPECT_FALSE(HostUnit::load_script(path, error).has_value());
    EXPECT_EQ(error.rfind(path + ":2: expected decimal numbers", 0), 0u) << error;
    std::remove(path.c_str());

    EXPECT_FALSE(HostUnit::load_script(path, error).has_value());
    EXPECT_EQ(error.rfind(path + ": cannot open the host script", 0), 0u) << error;
}

// ------------------------------------------------------------------ sending

TEST(HostUnitSend, AttachingSetsTheUnitsRate) {
    Rig rig; // the link starts at 115200
    EXPECT_EQ(rig.line.baud(), kHostDefaultBaud);
    FakeScheduler clock;
    FakeUartLink line{clock, 9600};
    HostUnit unit{clock, line, 57600};
    EXPECT_EQ(line.baud(), 57600u);
    EXPECT_EQ(unit.baud(), 57600u);
}

TEST(HostUnitSend, CommandsLeaveAtTheirTimesWithCrLf) {
    Rig rig;
    rig.unit.schedule(parse_ok("600 1,8\n900.5 13,6\n"));
    rig.clock.run_until(600 * kSecond - 1);
    EXPECT_TRUE(rig.line.bytes.empty());

    rig.clock.run_until(600 * kSecond);
    EXPECT_EQ(rig.line.text(), "$KVX03,1,8*4F\r\n");
    // 38400 baud, ten bit times of 26041 ns per byte: the first stop bit ends 260410 ns after
    // the command was due, the last byte of the 15 at 15 times that.
    ASSERT_EQ(rig.line.times.size(), 15u);
    EXPECT_EQ(rig.line.times.front(), 600 * kSecond + 260410);
    EXPECT_EQ(rig.line.times.back(), 600 * kSecond + 15 * 260410);

    rig.clock.run_until(900 * kSecond + 500 * kMilli - 1);
    EXPECT_EQ(rig.line.bytes.size(), 15u);
    rig.clock.run_until(900 * kSecond + 500 * kMilli);
    EXPECT_EQ(rig.line.text(), "$KVX03,1,8*4F\r\n$KVX03,13,6*72\r\n");
    EXPECT_EQ(rig.line.times[15], 900 * kSecond + 500 * kMilli + 260410);
    EXPECT_EQ(rig.clock.pending(), 0u);
}

TEST(HostUnitSend, RawBytesGoAsWritten) {
    Rig rig;
    rig.unit.schedule(parse_ok("5 raw $KVX03,1,8*4F\n6 rawhex FF5A0006\n"));
    rig.clock.run_until(10 * kSecond);
    EXPECT_EQ(rig.line.bytes, bytes_of(std::string("$KVX03,1,8*4F") + std::string("\xFF\x5A\x00\x06", 4)));
}

TEST(HostUnitSend, BaudDirectiveChangesTheRateFromItsTimeInScriptOrder) {
    Rig rig;
    rig.unit.schedule(parse_ok("0 1,8\n900 1,8\n900 baud 56000\n900 1,8\n1000 baud 9600\n"));
    rig.clock.run_until(899 * kSecond);
    EXPECT_EQ(rig.line.baud(), 38400u);
    EXPECT_EQ(rig.line.times[0], 260410u);

    rig.clock.run_until(900 * kSecond);
    EXPECT_EQ(rig.line.baud(), 56000u);
    ASSERT_EQ(rig.line.times.size(), 45u);
    // The command written before the directive still leaves at 38400 baud ...
    EXPECT_EQ(rig.line.times[15], 900 * kSecond + 260410);
    EXPECT_EQ(rig.line.times[29], 900 * kSecond + 15 * 260410);
    // ... and the one after it queues behind at 56000 baud (17857 ns a bit).
    EXPECT_EQ(rig.line.times[30], 900 * kSecond + 15 * 260410 + 178570);
    EXPECT_EQ(rig.line.times[44], 900 * kSecond + 15 * 260410 + 15 * 178570);

    rig.clock.run_until(1000 * kSecond);
    EXPECT_EQ(rig.line.baud(), 9600u);
    EXPECT_EQ(rig.unit.baud(), 9600u);
}

// ------------------------------------------------------------------ receiving

TEST(HostUnitReceive, SplitsLinesAndJudgesEverySentence) {
    Rig rig;
    rig.arrive(1 * kSecond,
               "Ondavix banner\r\n"
               "$OLA,01,01*42\r\n"
               "$OLA,01,01*43\r\n"
               "#OLA,0012,0034\r\n"
               "$RES,01,01,26,12,00,00123*73\r\n"
               "$OLA,01,01\r\n"
               "$OLA,01,01*4f\r\n"
               "\r\n");
    rig.clock.run_until(2 * kSecond);
    const std::vector<HostLine>& l = rig.unit.lines();
    ASSERT_EQ(l.size(), 8u);
    const struct {
        const char* text;
        LineCheck check;
    } expected[] = {
        {"Ondavix banner", LineCheck::Text},
        {"$OLA,01,01*42", LineCheck::Right},
        {"$OLA,01,01*43", LineCheck::Wrong},
        {"#OLA,0012,0034", LineCheck::Text},
        {"$RES,01,01,26,12,00,00123*73", LineCheck::Right},
        {"$OLA,01,01", LineCheck::Wrong},    // a sentence without its checksum
        {"$OLA,01,01*4f", LineCheck::Wrong}, // the buoy writes upper-case digits
        {"", LineCheck::Text},
    };
    for (size_t i = 0; i < l.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(l[i].text, expected[i].text);
        EXPECT_EQ(l[i].check, expected[i].check);
        EXPECT_EQ(l[i].end, LineEnd::CrLf);
        EXPECT_EQ(l[i].time, 1 * kSecond);
    }
    EXPECT_FALSE(rig.unit.open_line().has_value());
}

TEST(HostUnitReceive, SentenceSplitAcrossBurstsTakesTheTimeOfItsLastByte) {
    Rig rig;
    rig.arrive(10 * kSecond, "$OLA,0");
    rig.arrive(10 * kSecond + 300 * kMilli, "1,01*4");
    rig.arrive(10 * kSecond + 700 * kMilli, "2\r");
    rig.arrive(11 * kSecond, "\n$OLA,03");
    rig.clock.run_until(10 * kSecond + 500 * kMilli);
    EXPECT_TRUE(rig.unit.lines().empty());
    std::optional<HostLine> open = rig.unit.open_line();
    ASSERT_TRUE(open.has_value());
    EXPECT_EQ(open->text, "$OLA,01,01*4");
    EXPECT_EQ(open->time, 10 * kSecond + 300 * kMilli);
    EXPECT_EQ(open->end, LineEnd::Open);
    EXPECT_EQ(open->check, LineCheck::Wrong);

    rig.clock.run_until(12 * kSecond);
    ASSERT_EQ(rig.unit.lines().size(), 1u);
    const HostLine& l = rig.unit.lines()[0];
    EXPECT_EQ(l.text, "$OLA,01,01*42");
    EXPECT_EQ(l.check, LineCheck::Right);
    EXPECT_EQ(l.end, LineEnd::CrLf);
    EXPECT_EQ(l.time, 11 * kSecond); // its line feed came last
    open = rig.unit.open_line();
    ASSERT_TRUE(open.has_value());
    EXPECT_EQ(open->text, "$OLA,03");
}

TEST(HostUnitReceive, LineEndsAndNoiseBeforeASentence) {
    Rig rig;
    rig.arrive(1 * kSecond, "Format begins.\n");
    // Noise (a rate mismatch) runs into a sentence: the sentence starts its own line.
    rig.arrive(2 * kSecond, std::string("\x00\xF8\x80", 3));
    rig.arrive(3 * kSecond, "$OLA,01,01*42\r\n");
    // A sentence whose line end is lost: the next "$" cuts it, with its CR still in it.
    rig.arrive(4 * kSecond, "$OLA,01,01*42\r$OLA,03,01*40\r\n");
    rig.clock.run_until(5 * kSecond);
    const std::vector<HostLine>& l = rig.unit.lines();
    ASSERT_EQ(l.size(), 5u);
    EXPECT_EQ(l[0].text, "Format begins.");
    EXPECT_EQ(l[0].end, LineEnd::Lf);
    EXPECT_EQ(l[1].text, std::string("\x00\xF8\x80", 3));
    EXPECT_EQ(l[1].end, LineEnd::Cut);
    EXPECT_EQ(l[1].check, LineCheck::Text);
    EXPECT_EQ(l[1].time, 2 * kSecond);
    EXPECT_EQ(l[2].check, LineCheck::Right);
    EXPECT_EQ(l[2].time, 3 * kSecond);
    EXPECT_EQ(l[3].text, "$OLA,01,01*42\r");
    EXPECT_EQ(l[3].end, LineEnd::Cut);
    EXPECT_EQ(l[3].check, LineCheck::Wrong);
    EXPECT_EQ(l[4].text, "$OLA,03,01*40");
    EXPECT_EQ(l[4].check, LineCheck::Right);
}

TEST(HostUnitReceive, LongLinesAreCutAtTheLimit) {
    Rig rig;
    rig.arrive(1 * kSecond, std::string(kHostLineLimit + 10, 'A') + "\r\n");
    rig.clock.run_until(2 * kSecond);
    const std::vector<HostLine>& l = rig.unit.lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].text.size(), kHostLineLimit);
    EXPECT_EQ(l[0].end, LineEnd::Cut);
    EXPECT_EQ(l[1].text, std::string(10, 'A'));
    EXPECT_EQ(l[1].end, LineEnd::CrLf);
}

TEST(HostUnitReceive, RawBytesKeepEverythingInOrder) {
    Rig rig;
    const std::string stream = std::string("Hola\r\n\xFF\x5A\x00\x0A$RES*00\r", 11);
    rig.arrive(1 * kSecond, stream.substr(0, 5));
    rig.arrive(2 * kSecond, stream.substr(5));
    rig.clock.run_until(3 * kSecond);
    EXPECT_EQ(rig.unit.raw_bytes(), bytes_of(stream));
}

// ------------------------------------------------------------------ host.log

TEST(HostUnitLog, RowsInterleaveReceivedLinesAndTheUnitsActions) {
    Rig rig;
    rig.unit.schedule(parse_ok("600 1,8\n900 baud 56000\n"));
    rig.arrive(1 * kSecond + 999999999, "Ondavix\r\n"); // 1.999999999 s: shown as 1.999
    rig.arrive(600 * kSecond + 135 * kMilli, "$OLA,01,01*42\r\n$OLA,01,01*43\n");
    rig.arrive(1200 * kSecond, "$OLA,01,0");
    rig.clock.run_until(1300 * kSecond);

    const std::string log = rig.unit.log_text();
    EXPECT_EQ(log.rfind("# ", 0), 0u);
    EXPECT_EQ(rows_of(log),
              "      1.999  txt   crlf  Ondavix\n"
              "#   600.000  sent  $KVX03,1,8*4F\\r\\n\n"
              "    600.135  ok    crlf  $OLA,01,01*42\n"
              "    600.135  BAD   lf    $OLA,01,01*43\n"
              "#   900.000  baud  56000\n"
              "   1200.000  BAD   open  $OLA,01,0\n");
}

TEST(HostUnitLog, TextIsEscapedButUtf8IsKept) {
    Rig rig;
    // U+FFFD as the buoy's messages carry it, a tab, a backslash, a lone CR, stray bytes
    // (a broken UTF-8 start, a lone continuation byte), an empty line and a cut line.
    rig.arrive(2 * kSecond, std::string("Revisi\xEF\xBF\xBD" "n\ta\\b\rc" "\xE2\x82" "z\x80\x01\r\n\r\nx\x00$", 28));
    rig.clock.run_until(3 * kSecond);
    EXPECT_EQ(rows_of(rig.unit.log_text()),
              "      2.000  txt   crlf  Revisi\xEF\xBF\xBD" "n\\ta\\\\b\\rc\\xE2\\x82z\\x80\\x01\n"
              "      2.000  txt   crlf\n"
              "      2.000  txt   cut   x\\x00\n"
              "      2.000  BAD   open  $\n");
}

// A run of days: host.log and host.raw are written a piece at a time and the oldest rows and
// bytes let go; the pieces add up to the log of a unit that kept everything, while memory
// holds only the latest.
TEST(HostUnitLog, RowsGivenOutInPiecesAddUpWhileMemoryKeepsTheLatest) {
    Rig whole, streamed;
    for (Rig* r : {&whole, &streamed}) {
        r->unit.schedule(parse_ok("5 1,8\n30 baud 56000\n31 1,2\n"));
        for (int i = 0; i < 40; ++i) r->arrive((i + 1) * kSecond, "$OLA,01," + std::to_string(10 + i) + "*00\r\n");
        r->arrive(45 * kSecond, "$OLA,0");
    }
    HostLogPosition at;
    uint64_t raw_done = 0;
    std::string log, raw;
    for (Nanos t = 0; t <= 60 * kSecond; t += 3 * kSecond) {
        streamed.clock.run_until(t);
        log += streamed.unit.log_rows(at);
        const std::vector<uint8_t>& kept = streamed.unit.raw_bytes();
        raw.append(kept.end() - static_cast<std::ptrdiff_t>(streamed.unit.raw_received() - raw_done), kept.end());
        raw_done = streamed.unit.raw_received();
        streamed.unit.keep_latest(at, raw_done, 4, 16);
        EXPECT_LT(streamed.unit.lines().size(), 8u);
    }
    whole.clock.run_until(60 * kSecond);
    EXPECT_EQ(log + streamed.unit.open_line_row(), whole.unit.log_text());
    EXPECT_EQ(raw, std::string(whole.unit.raw_bytes().begin(), whole.unit.raw_bytes().end()));
    EXPECT_EQ(streamed.unit.lines_received(), 40u);
    ASSERT_GE(streamed.unit.lines().size(), 4u);
    EXPECT_EQ(streamed.unit.lines().back().text, whole.unit.lines().back().text);
    EXPECT_LT(streamed.unit.raw_bytes().size(), 32u);
}

TEST(HostUnitLog, HeaderNamesTheStartingRate) {
    FakeScheduler clock;
    FakeUartLink line{clock};
    HostUnit unit{clock, line, 115200};
    EXPECT_EQ(rows_of(unit.log_text(), 115200), "");
}

} // namespace
} // namespace sim
