// NMEA checksum and framing, and the UTC calendar the GPS receiver models rely on.
// Known answers come from published receiver manuals (checksums) and from the calendar.
#include <gtest/gtest.h>

#include <string>

#include "world/gps_nmea.h"

namespace sim {
namespace {

TEST(GpsNmea, ChecksumMatchesPublishedSentences) {
    // Sentences printed with their checksums in receiver manuals.
    EXPECT_EQ(nmea_checksum("PMTK001,604,3"), 0x32);
    EXPECT_EQ(nmea_checksum("PMTK011,MTKGPS"), 0x08);
    EXPECT_EQ(nmea_checksum("PMTK010,001"), 0x2E);
    EXPECT_EQ(nmea_checksum("PMTK251,38400"), 0x27);
    EXPECT_EQ(nmea_checksum("PMTK251,57600"), 0x2C);
    EXPECT_EQ(nmea_checksum("GPZDA,200000.00,14,01,2020,00,00"), 0x60);
    EXPECT_EQ(nmea_checksum(""), 0x00);
}

TEST(GpsNmea, SentenceFramingUsesUpperCaseHexAndCrLf) {
    EXPECT_EQ(nmea_sentence("PMTK010,001"), "$PMTK010,001*2E\r\n");
    EXPECT_EQ(nmea_sentence("OK"), "$OK*04\r\n");
    // 0x0A must print as two upper-case digits, never "a" or "A" alone.
    EXPECT_EQ(nmea_sentence("PMTK001,251,0\x3f"), "$PMTK001,251,0?*0A\r\n");
}

TEST(GpsNmea, ParseLineChecksTheChecksum) {
    std::string body;
    bool has = false;
    EXPECT_TRUE(nmea_parse_line("$PMTK313,1*2E", body, has));
    EXPECT_TRUE(has);
    EXPECT_EQ(body, "PMTK313,1");
    // Receivers take lower-case digits as well.
    EXPECT_TRUE(nmea_parse_line("$PMTK313,1*2e", body, has));
    EXPECT_FALSE(nmea_parse_line("$PMTK313,1*2F", body, has));
    EXPECT_FALSE(nmea_parse_line("$PMTK313,1*2", body, has));   // one digit
    EXPECT_FALSE(nmea_parse_line("$PMTK313,1*2EE", body, has)); // three
    EXPECT_FALSE(nmea_parse_line("$PMTK313,1*G0", body, has));
    EXPECT_FALSE(nmea_parse_line("PMTK313,1*2E", body, has));   // no "$"
    // Without "*" the line is well framed and says it carries no checksum.
    EXPECT_TRUE(nmea_parse_line("$CFGMSG,0,3,0", body, has));
    EXPECT_FALSE(has);
    EXPECT_EQ(body, "CFGMSG,0,3,0");
}

TEST(GpsNmea, FieldsAndIntegers) {
    const auto f = nmea_fields("PMTK314,-1,,7");
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0], "PMTK314");
    EXPECT_EQ(f[2], "");
    long v = 0;
    EXPECT_TRUE(nmea_integer("-1", v));
    EXPECT_EQ(v, -1);
    EXPECT_TRUE(nmea_integer("115200", v));
    EXPECT_EQ(v, 115200);
    EXPECT_FALSE(nmea_integer("", v));
    EXPECT_FALSE(nmea_integer("-", v));
    EXPECT_FALSE(nmea_integer("1.5", v));
    EXPECT_FALSE(nmea_integer("h2", v));
    EXPECT_FALSE(nmea_integer("1234567890", v)); // longer than any field the models read
}

TEST(GpsNmea, CalendarKnownDates) {
    EXPECT_EQ(unix_from_utc({1970, 1, 1, 0, 0, 0}), 0);
    EXPECT_EQ(unix_from_utc({2000, 3, 1, 0, 0, 0}), 951868800);
    EXPECT_EQ(unix_from_utc({2026, 1, 1, 0, 0, 0}), 1767225600);
    EXPECT_EQ(unix_from_utc({2024, 2, 29, 23, 59, 59}), 1709251199);

    const UtcTime leap = utc_from_unix(1709251199 + 1);
    EXPECT_EQ(leap.year, 2024);
    EXPECT_EQ(leap.month, 3);
    EXPECT_EQ(leap.day, 1);
    EXPECT_EQ(leap.hour, 0);

    const UtcTime t = utc_from_unix(1767225600 - 1);
    EXPECT_EQ(t.year, 2025);
    EXPECT_EQ(t.month, 12);
    EXPECT_EQ(t.day, 31);
    EXPECT_EQ(t.hour, 23);
    EXPECT_EQ(t.minute, 59);
    EXPECT_EQ(t.second, 59);
}

TEST(GpsNmea, CalendarRoundTripsEveryDayOfACentury) {
    // Day by day from 1970 to 2100: each converts back to itself and the next one is the
    // following calendar day (catches leap-year and month-length slips).
    UtcTime prev = utc_from_unix(0);
    for (int64_t day = 1; day < 47482; ++day) {
        const int64_t s = day * 86400 + 43200 + 61;
        const UtcTime t = utc_from_unix(s);
        ASSERT_EQ(unix_from_utc(t), s);
        ASSERT_EQ(t.hour, 12);
        ASSERT_EQ(t.second, 1);
        if (t.day != 1) {
            ASSERT_EQ(t.day, prev.day + 1);
            ASSERT_EQ(t.month, prev.month);
        } else {
            ASSERT_TRUE(t.month == prev.month + 1 || (t.month == 1 && prev.month == 12 && t.year == prev.year + 1));
            const bool leap = (prev.year % 4 == 0 && prev.year % 100 != 0) || prev.year % 400 == 0;
            const int lengths[12] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
            ASSERT_EQ(prev.day, lengths[prev.month - 1]) << prev.year << "-" << prev.month;
        }
        prev = t;
    }
    EXPECT_EQ(prev.year, 2099);
}

TEST(GpsNmea, ParseUtcText) {
    int64_t s = 0;
    std::string error;
    ASSERT_TRUE(parse_utc_text("2026-12-07T10:38:42Z", s, error)) << error;
    EXPECT_EQ(s, unix_from_utc({2026, 12, 7, 10, 38, 42}));
    ASSERT_TRUE(parse_utc_text("2024-02-29T00:00:00Z", s, error)) << error;

    const char* bad[] = {"2026-12-07 10:38:42Z", "2026-12-07T10:38:42", "2026-13-01T00:00:00Z", "2025-02-29T00:00:00Z",
                         "2026-04-31T00:00:00Z", "2026-01-01T24:00:00Z", "2026-01-01T00:00:60Z", "1969-12-31T23:59:59Z",
                         "2026-1-01T00:00:00Z",  ""};
    for (const char* text : bad) {
        error.clear();
        EXPECT_FALSE(parse_utc_text(text, s, error)) << text;
        EXPECT_NE(error.find(std::string("'") + text + "'"), std::string::npos) << error;
    }
    parse_utc_text("2025-02-29T00:00:00Z", s, error);
    EXPECT_NE(error.find("day 29"), std::string::npos) << error;
    parse_utc_text("x", s, error);
    EXPECT_NE(error.find("YYYY-MM-DDTHH:MM:SSZ"), std::string::npos) << error;
}

} // namespace
} // namespace sim
