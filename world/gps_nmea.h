// NMEA 0183 text helpers shared by the simulated GPS receivers: the sentence checksum,
// sentence framing, and UTC calendar arithmetic on Unix seconds.
//
// Sentence on the wire: "$", the body (talker and type, then comma-separated fields), "*",
// the XOR of every body character as two upper-case hexadecimal digits, CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// XOR of the n body characters (those between "$" and "*").
uint8_t nmea_checksum(const char* body, size_t n);
uint8_t nmea_checksum(const std::string& body);

// "$" body "*HH" CR LF, HH the checksum in upper-case hexadecimal.
std::string nmea_sentence(const std::string& body);

// Reads a received line "$body*HH" (CR LF already removed). On return `body` holds the
// characters between "$" and "*" (or up to the end when there is no "*"), `has_checksum`
// says whether a "*" followed by exactly two hexadecimal digits (either case) ended the
// line, and the result says whether the line is well framed: it starts with "$", any "*"
// is followed by exactly two hexadecimal digits, and a present checksum matches.
bool nmea_parse_line(const std::string& line, std::string& body, bool& has_checksum);

// The comma-separated fields of a sentence body ("PMTK314,0,1" gives "PMTK314", "0", "1").
std::vector<std::string> nmea_fields(const std::string& body);
// A field holding a decimal integer (an optional '-', then 1 to 9 digits).
bool nmea_integer(const std::string& field, long& value);

// A UTC calendar date and time of day.
struct UtcTime {
    int year = 1970;  // four digits
    int month = 1;    // 1..12
    int day = 1;      // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// Proleptic Gregorian calendar, no leap seconds (as Unix time counts).
UtcTime utc_from_unix(int64_t unix_seconds);
int64_t unix_from_utc(const UtcTime& t);

// Reads "YYYY-MM-DDTHH:MM:SSZ" (the form of the simulator's start-time option). Returns
// false with `error` saying what was expected for any other text, or for a date or time
// out of range (month 13, 30 February, hour 24, second 60, years before 1970 or after
// 2099: the receivers report a four-digit year and the firmware keeps two digits).
bool parse_utc_text(const std::string& text, int64_t& unix_seconds, std::string& error);

} // namespace sim
