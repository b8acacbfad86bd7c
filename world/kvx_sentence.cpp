#include "world/kvx_sentence.h"

#include <stdexcept>

namespace sim {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

// Value of one upper-case hexadecimal digit, or -1.
int upper_hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_hex(char c) {
    return upper_hex_value(c) >= 0 || (c >= 'a' && c <= 'f');
}

// A character quoted for a message: printable ones as they are, others as a byte value.
std::string describe(char c) {
    const auto b = static_cast<uint8_t>(c);
    if (b >= 0x20 && b < 0x7F) return std::string("\"") + c + "\"";
    return "byte 0x" + kvx_hex(b);
}

} // namespace

uint8_t kvx_checksum(const std::string& text) {
    uint8_t x = 0;
    for (char c : text) x ^= static_cast<uint8_t>(c);
    return x;
}

std::string kvx_hex(uint8_t value) {
    return std::string{kHexDigits[value >> 4], kHexDigits[value & 0x0F]};
}

std::string kvx_fields_problem(const std::string& fields) {
    if (fields.empty()) return "expected at least the group field (e.g. 1,8), found nothing";
    if (fields.rfind("$", 0) == 0 || fields.rfind(kKvxKeyword, 0) == 0)
        return "expected only the fields after \"$KVX03,\" (e.g. 1,8), found \"" +
               (fields.size() > 20 ? fields.substr(0, 20) + "..." : fields) + "\"";
    for (char c : fields)
        if (!(c >= '0' && c <= '9') && c != ',')
            return "expected decimal numbers separated by commas (e.g. 1,8), found " + describe(c);
    return "";
}

std::string kvx_telecommand(const std::string& fields) {
    const std::string problem = kvx_fields_problem(fields);
    if (!problem.empty()) throw std::invalid_argument(problem);
    const std::string body = std::string(kKvxKeyword) + "," + fields;
    return "$" + body + "*" + kvx_hex(kvx_checksum(body));
}

SentenceCheck kvx_check(const std::string& sentence) {
    SentenceCheck r;
    const std::string& s = sentence;
    if (s.empty() || s[0] != '$') {
        r.problem = s.empty() ? "empty sentence; expected \"$\" first" : "expected \"$\" first, found " + describe(s[0]);
        return r;
    }
    const size_t star = s.rfind('*');
    if (star == std::string::npos) {
        r.problem = "no \"*\"; expected \"*\" and two checksum digits at the end";
        return r;
    }
    r.computed = kvx_checksum(s.substr(1, star - 1));
    const std::string digits = s.substr(star + 1);
    if (digits.size() != 2 || !is_hex(digits[0]) || !is_hex(digits[1])) {
        r.problem = "expected two hexadecimal digits after the last \"*\" and nothing else, found \"" +
                    (digits.size() > 8 ? digits.substr(0, 8) + "..." : digits) + "\"";
        return r;
    }
    if (upper_hex_value(digits[0]) < 0 || upper_hex_value(digits[1]) < 0) {
        r.problem = "expected upper-case checksum digits, found \"" + digits + "\"";
        return r;
    }
    r.stated = static_cast<uint8_t>(upper_hex_value(digits[0]) * 16 + upper_hex_value(digits[1]));
    if (r.stated != r.computed) {
        r.verdict = ChecksumVerdict::Wrong;
        r.problem = "the sentence says " + digits + ", the characters between \"$\" and \"*\" give " +
                    kvx_hex(r.computed);
        return r;
    }
    r.verdict = ChecksumVerdict::Right;
    return r;
}

} // namespace sim
