// Sentences of the host line as the host side builds and checks them. The checksum values
// below were worked out independently (by hand for "OLA,01,01", with a Python one-liner for
// the rest), not with this code.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "world/kvx_sentence.h"

namespace sim {
namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// ------------------------------------------------------------------ checksum and digits

TEST(KvxChecksum, KnownValues) {
    EXPECT_EQ(kvx_checksum(""), 0x00);
    EXPECT_EQ(kvx_checksum("OLA,01,01"), 0x42);
    EXPECT_EQ(kvx_checksum("OLA,03,01"), 0x40);
    EXPECT_EQ(kvx_checksum("KVX03,1,8"), 0x4F);
    EXPECT_EQ(kvx_checksum("KVX03,13,6"), 0x72);
    EXPECT_EQ(kvx_checksum("RES,01,01,26,12,00,00123"), 0x73);
    EXPECT_EQ(kvx_checksum("GPS,4330.1234,N,00930.5678,W"), 0x6B);
    // Bytes above 0x7F count as unsigned values.
    EXPECT_EQ(kvx_checksum("\xEF\xBF\xBD"), 0xEF ^ 0xBF ^ 0xBD);
}

TEST(KvxChecksum, DigitsAreTwoUpperCaseHex) {
    EXPECT_EQ(kvx_hex(0x00), "00");
    EXPECT_EQ(kvx_hex(0x0A), "0A");
    EXPECT_EQ(kvx_hex(0x4F), "4F");
    EXPECT_EQ(kvx_hex(0xA0), "A0");
    EXPECT_EQ(kvx_hex(0xFF), "FF");
}

// ------------------------------------------------------------------ building telecommands

TEST(KvxTelecommand, KnownSentences) {
    EXPECT_EQ(kvx_telecommand("1,8"), "$KVX03,1,8*4F");
    EXPECT_EQ(kvx_telecommand("13,6"), "$KVX03,13,6*72");
    EXPECT_EQ(kvx_telecommand("4,26,2,29,12,0,0"), "$KVX03,4,26,2,29,12,0,0*60");
    // Empty fields are part of the protocol (they leave a setting unchanged).
    EXPECT_EQ(kvx_telecommand("3,,1"), "$KVX03,3,,1*68");
    EXPECT_EQ(kvx_telecommand("1,"), "$KVX03,1,*77");
}

TEST(KvxTelecommand, RefusesFieldsThatAreNotDecimalsAndCommas) {
    struct Case {
        const char* fields;
        const char* says;
    };
    const Case cases[] = {
        {"", "at least the group field"},
        {"1, 8", "found \" \""},
        {"1;8", "found \";\""},
        {"1,8*4F", "found \"*\""},
        {"-1", "found \"-\""},
        {"1,\r", "byte 0x0D"},
        {"1,\xC3\xA9", "byte 0xC3"},
        {"$KVX03,1,8", "only the fields after \"$KVX03,\""},
        {"KVX03,1,8", "only the fields after \"$KVX03,\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        const std::string problem = kvx_fields_problem(c.fields);
        EXPECT_TRUE(contains(problem, c.says)) << problem;
        EXPECT_THROW(kvx_telecommand(c.fields), std::invalid_argument);
    }
    EXPECT_EQ(kvx_fields_problem("1,8"), "");
    EXPECT_EQ(kvx_fields_problem(",,"), "");
}

// ------------------------------------------------------------------ checking sentences

TEST(KvxCheck, RightAndWrongChecksums) {
    SentenceCheck r = kvx_check("$OLA,01,01*42");
    EXPECT_EQ(r.verdict, ChecksumVerdict::Right);
    EXPECT_EQ(r.computed, 0x42);
    EXPECT_EQ(r.stated, 0x42);
    EXPECT_EQ(r.problem, "");

    r = kvx_check("$OLA,01,01*43");
    EXPECT_EQ(r.verdict, ChecksumVerdict::Wrong);
    EXPECT_EQ(r.computed, 0x42);
    EXPECT_EQ(r.stated, 0x43);
    EXPECT_TRUE(contains(r.problem, "says 43")) << r.problem;
    EXPECT_TRUE(contains(r.problem, "give 42")) << r.problem;

    EXPECT_EQ(kvx_check("$GPS,4330.1234,N,00930.5678,W*6B").verdict, ChecksumVerdict::Right);
    EXPECT_EQ(kvx_check("$RES,01,01,26,12,00,00123*73").verdict, ChecksumVerdict::Right);
    // The checksum runs up to the last "*": a "*" inside the body is covered.
    EXPECT_EQ(kvx_check("$A*B*29").verdict, ChecksumVerdict::Right);
}

TEST(KvxCheck, MalformedSentences) {
    struct Case {
        const char* sentence;
        const char* says;
    };
    const Case cases[] = {
        {"", "empty sentence"},
        {"OLA,01,01*42", "expected \"$\" first, found \"O\""},
        {"#OLA,01,01*42", "expected \"$\" first"},
        {"$OLA,01,01", "no \"*\""},
        {"$OLA,01,01*4", "found \"4\""},
        {"$OLA,01,01*", "found \"\""},
        {"$OLA,01,01*42X", "found \"42X\""},
        {"$OLA,01,01*4G", "found \"4G\""},
        {"$OLA,01,01*42\r\n", "found \"42\r\n\""}, // the caller strips the line end
        {"$KVX03,1,8*4f", "upper-case"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sentence);
        const SentenceCheck r = kvx_check(c.sentence);
        EXPECT_EQ(r.verdict, ChecksumVerdict::Malformed);
        EXPECT_TRUE(contains(r.problem, c.says)) << r.problem;
    }
}

TEST(KvxCheck, EveryBuiltTelecommandChecksAndAnyAlteredCharacterIsCaught) {
    for (const char* fields : {"1,8", "4,26,2,29,12,0,0", "3,24,1,0,20,500,30,200,10,4,1,30,60,90,65535", "14,1"}) {
        const std::string s = kvx_telecommand(fields);
        SCOPED_TRACE(s);
        ASSERT_EQ(kvx_check(s).verdict, ChecksumVerdict::Right);
        // Every character between "$" and "*" counts: change any one of them and the
        // checksum no longer fits.
        const size_t star = s.find('*');
        for (size_t i = 1; i < star; ++i) {
            std::string altered = s;
            altered[i] = static_cast<char>(altered[i] ^ 0x01);
            EXPECT_EQ(kvx_check(altered).verdict, ChecksumVerdict::Wrong) << "position " << i;
        }
    }
}

} // namespace
} // namespace sim
