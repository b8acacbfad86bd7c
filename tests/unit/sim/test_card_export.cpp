// Copying a card image's files out after a run: the tree, the names and every byte, a
// damaged file passed over and named, and a clear refusal of an image that is not there.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "fat/fat_file.h"
#include "fat/fat_volume.h"
#include "sim/simulation.h"
#include "support/fat_image.h"
#include "support/sim_run.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(FatVolume& volume, const char* path, const std::string& text) {
    FatFile f;
    ASSERT_TRUE(f.open(volume, path, O_WRITE | O_CREAT | O_APPEND)) << path;
    ASSERT_EQ(f.write(reinterpret_cast<const uint8_t*>(text.data()), text.size()), text.size());
    ASSERT_TRUE(f.close());
}

TEST(CardExport, CopiesTheTreeWithItsNamesAndEveryByte) {
    sim::test::RamImage image(65536);
    image.format({.fat_bits = 16});
    FatVolume volume;
    volume.attach(image.device());
    ASSERT_TRUE(volume.mount(1));
    ASSERT_TRUE(volume.mkdir("_sd", false));
    ASSERT_TRUE(volume.mkdir("260101", false));
    // More than one cluster, so the copy must follow the chain.
    std::string raw;
    for (int i = 0; i < 3000; ++i) raw += "0000" + std::to_string(i) + ",1,2,3\r\n";
    write_file(volume, "/260101/0000.raw", raw);
    write_file(volume, "/260101/0000.res", "result\r\n");
    write_file(volume, "/_sd/escritura_sd.txt", "x");
    volume.unmount();
    std::string dir = sim::test::fresh_dir("card_export");
    image.save(dir + "/sd.img");

    bool mounted = false;
    std::string error;
    long n = sim::export_card_files(dir + "/sd.img", dir + "/sd", mounted, error);
    ASSERT_EQ(n, 3) << error;
    EXPECT_TRUE(mounted);
    EXPECT_EQ(slurp(dir + "/sd/260101/0000.raw"), raw);
    EXPECT_EQ(slurp(dir + "/sd/260101/0000.res"), "result\r\n");
    // The long name shows, as a computer shows it, not its short alias.
    EXPECT_EQ(slurp(dir + "/sd/_sd/escritura_sd.txt"), "x");
}

// Finds the root directory entry with the 11-byte short name `sfn` in the first cluster of
// a FAT32 root and lets `patch` change it in place.
template <typename Patch>
void patch_root_entry(sim::test::RamImage& image, const sim::FatFormatLayout& layout, const char* sfn, Patch patch) {
    uint8_t b[512];
    for (uint32_t i = 0; i < layout.cluster_blocks; ++i) {
        const uint32_t block = layout.data_first + i; // the root is cluster 2
        ASSERT_TRUE(image.read(block, b));
        for (int e = 0; e < 512; e += 32)
            if (std::memcmp(b + e, sfn, 11) == 0) {
                patch(b + e);
                ASSERT_TRUE(image.write(block, b));
                return;
            }
    }
    FAIL() << "no root entry " << sfn;
}

TEST(CardExport, ADamagedFileIsNamedEscapedAndTheRestOfTheCardStillCopied) {
    sim::test::RamImage image(131072); // 64 MiB, FAT32
    const sim::FatFormatLayout layout = image.format({.fat_bits = 32}, true);
    ASSERT_EQ(layout.fat_bits, 32);
    FatVolume volume;
    volume.attach(image.device());
    ASSERT_TRUE(volume.mount(1));
    std::string a(5000, 'a');
    write_file(volume, "/A.RAW", a);
    write_file(volume, "/B.RAW", std::string(3000, 'b'));
    write_file(volume, "/C.RAW", "c");
    ASSERT_TRUE(volume.mkdir("/D", false));
    write_file(volume, "/D/E.RAW", "e");
    volume.unmount();
    // B starts at a reserved cluster value; C's name holds bytes that do not print.
    patch_root_entry(image, layout, "B       RAW", [](uint8_t* e) {
        e[20] = 0xFF, e[21] = 0x0F, e[26] = 0xF0, e[27] = 0xFF;
    });
    patch_root_entry(image, layout, "C       RAW", [](uint8_t* e) { e[1] = 0x01, e[2] = 0x9B; });
    // So does the folder D.
    patch_root_entry(image, layout, "D          ", [](uint8_t* e) {
        e[20] = 0xFF, e[21] = 0x0F, e[26] = 0xF0, e[27] = 0xFF;
    });
    std::string dir = sim::test::fresh_dir("card_export_damaged");
    image.save(dir + "/sd.img");

    bool mounted = false;
    std::string error;
    std::vector<std::string> unreadable;
    long n = sim::export_card_files(dir + "/sd.img", dir + "/sd", mounted, error, &unreadable);
    ASSERT_EQ(n, 2) << error;
    EXPECT_EQ(slurp(dir + "/sd/A.RAW"), a);
    EXPECT_EQ(slurp(dir + "/sd/C\\x01\\x9B.RAW"), "c");
    ASSERT_EQ(unreadable.size(), 2u);
    EXPECT_NE(unreadable[0].find("/B.RAW: read error"), std::string::npos) << unreadable[0];
    EXPECT_NE(unreadable[1].find("card directory /D: cannot be read"), std::string::npos) << unreadable[1];

    // The run's summary is finished and says the same, with the name escaped.
    std::string out;
    EXPECT_EQ(sim::test::run_sim_exe({"--duration", "1", "--out", dir + "/run", "--card", dir + "/sd.img"}, out), 0)
        << out;
    EXPECT_NE(out.find("unreadable     2"), std::string::npos) << out;
    EXPECT_NE(out.find("card file /B.RAW: read error in the image after 0 of 3000 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("serial ports"), std::string::npos) << out;
    EXPECT_EQ(out.find("\x01"), std::string::npos) << "a raw control byte reached the terminal";
}

// Lets `patch` see every entry in the first cluster of a FAT32 root until it returns true.
template <typename Patch>
void patch_root_entries(sim::test::RamImage& image, const sim::FatFormatLayout& layout, Patch patch) {
    uint8_t b[512];
    for (uint32_t i = 0; i < layout.cluster_blocks; ++i) {
        const uint32_t block = layout.data_first + i;
        ASSERT_TRUE(image.read(block, b));
        for (int e = 0; e < 512; e += 32)
            if (patch(b + e)) {
                ASSERT_TRUE(image.write(block, b));
                return;
            }
    }
    FAIL() << "no root entry to patch";
}

// Long names: parts taken in order (three parts; a name filling its part without a
// terminator), UCS-2 beyond ASCII as UTF-8, and a long name whose checksum is not its short
// entry's left for the alias.
TEST(CardExport, LongNamesAreReadInOrderAndCheckedAgainstTheirShortEntry) {
    sim::test::RamImage image(131072);
    const sim::FatFormatLayout layout = image.format({.fat_bits = 32}, true);
    FatVolume volume;
    volume.attach(image.device());
    ASSERT_TRUE(volume.mount(1));
    const char* names[] = {"escritura_sd.txt", "a_long_name_in_three_parts.txt", "Notes_day.txt", "checksum_off.txt"};
    for (const char* n : names) write_file(volume, (std::string("/") + n).c_str(), n);
    volume.unmount();
    const auto first_part_of = [](uint8_t* e, char c0, char c1) {
        return e[11] == 0x0F && e[0] == 0x01 && e[1] == c0 && e[3] == c1;
    };
    // "escritura_sd": its 12th character becomes U+00F1.
    patch_root_entries(image, layout, [&](uint8_t* e) {
        if (!first_part_of(e, 'e', 's')) return false;
        e[28] = 0xF1, e[29] = 0x00;
        return true;
    });
    patch_root_entries(image, layout, [&](uint8_t* e) {
        if (!first_part_of(e, 'c', 'h')) return false;
        e[13] ^= 0xFF;
        return true;
    });
    std::string dir = sim::test::fresh_dir("card_export_long");
    image.save(dir + "/sd.img");

    bool mounted = false;
    std::string error;
    ASSERT_EQ(sim::export_card_files(dir + "/sd.img", dir + "/sd", mounted, error), 4) << error;
    EXPECT_EQ(slurp(dir + "/sd/escritura_s\xC3\xB1.txt"), "escritura_sd.txt");
    EXPECT_EQ(slurp(dir + "/sd/a_long_name_in_three_parts.txt"), "a_long_name_in_three_parts.txt");
    EXPECT_EQ(slurp(dir + "/sd/Notes_day.txt"), "Notes_day.txt");
    EXPECT_EQ(slurp(dir + "/sd/CHECKS~1.TXT"), "checksum_off.txt");
}

TEST(CardExport, UnformattedImageCopiesNothingAndMissingImageIsNamed) {
    sim::test::RamImage blank(8192);
    std::string dir = sim::test::fresh_dir("card_export_blank");
    blank.save(dir + "/blank.img");
    bool mounted = true;
    std::string error;
    EXPECT_EQ(sim::export_card_files(dir + "/blank.img", dir + "/sd", mounted, error), 0);
    EXPECT_FALSE(mounted);

    EXPECT_EQ(sim::export_card_files(dir + "/nothing.img", dir + "/sd2", mounted, error), -1);
    EXPECT_NE(error.find("nothing.img"), std::string::npos);
}

} // namespace
