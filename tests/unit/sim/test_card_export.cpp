// Copying a card image's files out after a run: the tree, the names and every byte, and a
// clear refusal of an image that is not there.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

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

TEST(CardExport, CopiesTheTreeWithShortNamesAndEveryByte) {
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
    // The long name shows under its short alias, as the card's own directory holds it.
    EXPECT_EQ(slurp(dir + "/sd/_sd/ESCRIT~1.TXT"), "x");
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
