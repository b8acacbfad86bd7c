// The SD card model: its image file, factory format, erase, presence and busy time, and the
// FAT file system on it through the simulated board's card calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sys/stat.h>

#include "fat/fat.h"
#include "platform.h"
#include "support/fat_image.h"
#include "support/harness.h"
#include "world/sdcard.h"

using sim::SdCard;
using sim::SdCardConfig;
using sim::test::FileImage;

namespace {

SdCardConfig card_config(uint32_t blocks, bool sdhc) {
    SdCardConfig c;
    c.blocks = blocks;
    c.high_capacity = sdhc;
    return c;
}

std::string fresh_path(const std::string& name) {
    std::string path = sim::test::temp_path(name);
    std::remove(path.c_str());
    return path;
}

TEST(SdCardModel, NewCardsComeSparseWithOnePartitionOfFat16OrFat32) {
    struct Case {
        uint32_t blocks;
        bool sdhc;
        uint8_t bits;
        uint8_t min_cluster_blocks;
    } cases[] = {
        {131072, false, 16, 4},  // 64 MiB standard capacity
        {3970048, false, 16, 64}, // a "2 GB" standard-capacity card: 32 KiB clusters
        {8388608, true, 32, 64}, // 4 GiB SDHC
        {262144, true, 32, 1},   // a small SDHC test image still gets FAT32
    };
    for (const Case& c : cases) {
        std::string path = fresh_path("card" + std::to_string(c.blocks) + ".img");
        std::string error;
        {
            SdCard card(card_config(c.blocks, c.sdhc));
            ASSERT_TRUE(card.open(path, error)) << error;
            EXPECT_EQ(card.block_count(), c.blocks);
            EXPECT_EQ(card.blocks_written(), 0u); // the factory's writes are not card traffic
        }
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(static_cast<uint64_t>(st.st_size), uint64_t(c.blocks) * 512);
        EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, uint64_t(c.blocks) * 512 / 8) << "not sparse";
        FileImage image(path);
        FatVolume v;
        v.attach(image.device());
        EXPECT_FALSE(v.mount(0));
        ASSERT_TRUE(v.mount(1)) << c.blocks;
        EXPECT_EQ(v.fatBits(), c.bits);
        EXPECT_GE(v.clusterBlocks(), c.min_cluster_blocks);
        EXPECT_EQ(v.freeClusters(), static_cast<int32_t>(v.dataClusters() - (c.bits == 32 ? 1 : 0)));
        EXPECT_EQ(v.volumeFirstBlock() % 64, 0u); // aligned to the flash's erase units
        auto report = sim::test::check_fat(image);
        EXPECT_TRUE(report.clean()) << report.text();
        std::remove(path.c_str());
    }
}

TEST(SdCardModel, BadImageFilesAreRefusedNamingTheFileAndTheExpectedSize) {
    std::string path = fresh_path("odd.img");
    std::ofstream(path, std::ios::binary) << std::string(1000, 'x');
    std::string error;
    SdCard any(card_config(0, false));
    EXPECT_FALSE(any.open(path, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_NE(error.find("1000 bytes"), std::string::npos) << error;
    EXPECT_NE(error.find("512-byte blocks"), std::string::npos) << error;
    EXPECT_FALSE(any.present());

    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(8192 * 512, '\0');
    SdCard sized(card_config(16384, false));
    error.clear();
    EXPECT_FALSE(sized.open(path, error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_NE(error.find("4194304 bytes"), std::string::npos) << error;
    EXPECT_NE(error.find("8388608 bytes"), std::string::npos) << error;
    error.clear();
    EXPECT_TRUE(any.open(path, error)) << error; // size taken from the image
    EXPECT_EQ(any.block_count(), 8192u);
    std::remove(path.c_str());

    error.clear();
    EXPECT_FALSE(any.open(path, error)); // no image and no size to make one
    EXPECT_NE(error.find(path), std::string::npos) << error;
    SdCard huge(card_config(16777216, false)); // 8 GiB cannot be a standard-capacity card
    error.clear();
    EXPECT_FALSE(huge.open(path, error));
    EXPECT_NE(error.find("4 GiB"), std::string::npos) << error;
    SdCard tiny(card_config(1000, false));
    error.clear();
    EXPECT_FALSE(tiny.open(path, error));
    EXPECT_NE(error.find("too small"), std::string::npos) << error;
    struct stat st;
    EXPECT_NE(stat(path.c_str(), &st), 0); // nothing left behind
}

TEST(SdCardModel, EraseLeavesZerosOrOnesAndCountsTraffic) {
    for (bool ones : {false, true}) {
        std::string path = fresh_path(ones ? "ones.img" : "zeros.img");
        SdCardConfig config = card_config(20000, false);
        config.erased_reads_ones = ones;
        SdCard card(config);
        std::string error;
        ASSERT_TRUE(card.open(path, error)) << error;
        uint8_t block[512], back[512];
        for (int i = 0; i < 512; ++i) block[i] = static_cast<uint8_t>(i * 7 + 1);
        for (uint32_t b = 100; b < 110; ++b) ASSERT_TRUE(card.write(b, block));
        ASSERT_TRUE(card.erase(102, 105));
        for (uint32_t b = 100; b < 110; ++b) {
            ASSERT_TRUE(card.read(b, back));
            bool erased = b >= 102 && b <= 105;
            for (int i = 0; i < 512; ++i) {
                uint8_t want = erased ? (ones ? 0xFF : 0x00) : block[i];
                ASSERT_EQ(back[i], want) << "block " << b << " byte " << i;
            }
        }
        EXPECT_EQ(card.blocks_written(), 10u);
        EXPECT_EQ(card.blocks_read(), 10u);
        EXPECT_EQ(card.erase_commands(), 1u);
        EXPECT_FALSE(card.erase(5, 4));
        EXPECT_FALSE(card.read(20000, back)); // past the end
        EXPECT_FALSE(card.write(20000, block));
        card.set_present(false);
        EXPECT_FALSE(card.present());
        EXPECT_FALSE(card.read(100, back));
        EXPECT_FALSE(card.write(100, block));
        EXPECT_FALSE(card.erase(100, 100));
        std::remove(path.c_str());
    }
}

TEST(SdCardModel, FactoryFormatWipesTheVolume) {
    std::string path = fresh_path("reformat.img");
    SdCard card(card_config(65536, false));
    std::string error;
    ASSERT_TRUE(card.open(path, error)) << error;
    {
        FileImage image(path);
        FatVolume v;
        v.attach(image.device());
        ASSERT_TRUE(v.mount(1));
        ASSERT_TRUE(v.mkdir("/231207", true));
        FatFile f;
        ASSERT_TRUE(f.open(v, "/231207/1430.raw", 521));
        f.print("data");
        ASSERT_TRUE(f.close());
    }
    ASSERT_TRUE(card.factory_format(error)) << error;
    FileImage image(path);
    FatVolume v;
    v.attach(image.device());
    ASSERT_TRUE(v.mount(1));
    EXPECT_FALSE(v.exists("/231207"));
    EXPECT_EQ(v.freeClusters(), static_cast<int32_t>(v.dataClusters()));
    EXPECT_TRUE(sim::test::check_fat(image).clean());
    std::remove(path.c_str());
}

// The file system's default device: the board's card calls on a card in the socket.
TEST(SdCardOnBoard, FileSystemRunsOverTheBoardsCardCallsWithTheCardsBusyTime) {
    std::string path = fresh_path("board.img");
    SdCard card(card_config(131072, false));
    std::string error;
    ASSERT_TRUE(card.open(path, error)) << error;
    sim::test::Harness h;
    h.board.connect_card(&card);
    sim::Nanos elapsed = 0;
    h.run([&] {
        FatVolume v;
        ASSERT_TRUE(v.startCard(19, 2000000));
        EXPECT_EQ(sd_card_type(), SD_CARD_SD2);
        ASSERT_TRUE(v.mount(1) || v.mount(0));
        EXPECT_EQ(v.fatBits(), 16);
        ASSERT_TRUE(v.mkdir("_sd", true));
        FatFile f;
        ASSERT_TRUE(f.open(v, "/_sd/escritura_sd.txt", 521));
        f.print("Escritura sd ok: ");
        f.print(30);
        f.print(14);
        ASSERT_TRUE(f.close());
        ASSERT_TRUE(v.exists("/_sd/escritura_sd.txt"));
        uint64_t written = card.blocks_written();
        sim::Nanos start = h.board.now();
        ASSERT_TRUE(f.open(v, "/_sd/big.raw", 521));
        std::string data(20 * 512, 'r');
        f.write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        ASSERT_TRUE(f.close());
        elapsed = h.board.now() - start;
        written = card.blocks_written() - written;
        // Each block costs its SPI transfer at 2 MHz and the card's programming time.
        EXPECT_GE(elapsed, written * (card.busy_time(1) + 512 * 8 * 500));
    });
    EXPECT_GT(elapsed, 0u);
    // The image holds what was written, for anyone who reads it.
    FileImage image(path);
    FatVolume v;
    v.attach(image.device());
    ASSERT_TRUE(v.mount(1));
    FatFile f;
    ASSERT_TRUE(f.open(v, "/_SD/ESCRITURA_SD.TXT", O_READ));
    char text[32] = {};
    EXPECT_EQ(f.read(text, sizeof text), 21);
    EXPECT_STREQ(text, "Escritura sd ok: 3014");
    EXPECT_TRUE(sim::test::check_fat(image).clean()) << sim::test::check_fat(image).text();

    // Pulled out: the card does not answer.
    card.set_present(false);
    h.run([&] {
        FatVolume again;
        EXPECT_FALSE(again.startCard(19, 2000000));
        EXPECT_FALSE(again.mount(1));
        EXPECT_EQ(sd_card_block_count(), 0u);
    });
    std::remove(path.c_str());
}

} // namespace
