// The checksummed sentences of the host serial line, as the host side builds and checks
// them: "$", a keyword and comma-separated fields, "*", two upper-case hexadecimal digits of
// the exclusive-or of every character between "$" and "*", then CR LF on the wire.
// Telecommands to the buoy carry the keyword KVX03 ("$KVX03,1,8*4F"); the buoy answers with
// "$OLA,..." and sends "$RES,..." and "$GPS,..." on its own. Used by the host unit model and
// by the ondavix-kvx command; the firmware has its own code for its end of the line.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

constexpr const char* kKvxKeyword = "KVX03";

// Exclusive-or of every byte of `text` (pass the characters between "$" and "*").
uint8_t kvx_checksum(const std::string& text);

// Two upper-case hexadecimal digits, as a sentence carries its checksum ("0A", "4A").
std::string kvx_hex(uint8_t value);

// Why `fields` cannot follow "$KVX03," in a telecommand, or "" when it can. Every field of a
// telecommand is an unsigned decimal number or empty, so only digits and commas are taken
// (and at least one character); anything else is far likelier a slip than a wish, and a
// sentence with other characters can still be sent as raw bytes. The numbers themselves are
// not judged: a test may send a group the buoy refuses.
std::string kvx_fields_problem(const std::string& fields);

// "$KVX03," fields "*" and the checksum digits, without a line end ("1,8" gives
// "$KVX03,1,8*4F"). Throws std::invalid_argument with kvx_fields_problem's text when the
// fields are refused.
std::string kvx_telecommand(const std::string& fields);

enum class ChecksumVerdict {
    Right,     // "$...*hh" and hh is the checksum of the characters between
    Wrong,     // well formed, but hh differs from the checksum of the characters between
    Malformed, // no "$" first, no "*", not two upper-case hexadecimal digits, or text after them
};

struct SentenceCheck {
    ChecksumVerdict verdict = ChecksumVerdict::Malformed;
    uint8_t computed = 0;  // checksum of the characters between "$" and "*" (when a "*" exists)
    uint8_t stated = 0;    // the sentence's own digits (Right and Wrong only)
    std::string problem;   // what is wrong, in words; empty when Right
};

// Checks one received sentence, given without its line end: the checksum covers everything
// between the leading "$" and the last "*", and the two digits must end the text.
SentenceCheck kvx_check(const std::string& sentence);

} // namespace sim
