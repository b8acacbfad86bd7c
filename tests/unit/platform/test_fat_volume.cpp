// Mounting FAT volumes and the facts the firmware reads from them: FAT width, cluster size
// and count, where the FAT lies, and the free-cluster counts (plain and bounded).
#include <gtest/gtest.h>

#include <cstring>

#include "fat/fat.h"
#include "support/fat_image.h"

using sim::FatFormat;
using sim::test::RamImage;

namespace {

uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

FatFormat shape(uint8_t bits, bool partitioned, uint8_t cluster_blocks = 0) {
    FatFormat f;
    f.fat_bits = bits;
    f.partitioned = partitioned;
    f.cluster_blocks = cluster_blocks;
    return f;
}

TEST(FatVolumeMount, PartitionOneOrTheWholeDeviceWhicheverHoldsTheVolume) {
    RamImage partitioned(65536);
    auto layout = partitioned.format(shape(16, true));
    FatVolume v;
    v.attach(partitioned.device());
    EXPECT_FALSE(v.mount(0)); // block 0 is an MBR, not a boot sector
    EXPECT_FALSE(v.mount(2)); // an empty partition entry
    ASSERT_TRUE(v.mount(1));
    EXPECT_EQ(v.volumeFirstBlock(), layout.volume_first);
    EXPECT_GT(layout.volume_first, 0u);

    RamImage whole(65536);
    whole.format(shape(16, false));
    v.attach(whole.device());
    EXPECT_FALSE(v.mount(1)); // the boot sector's code is no partition table
    ASSERT_TRUE(v.mount(0));
    EXPECT_EQ(v.volumeFirstBlock(), 0u);

    RamImage blank(65536);
    v.attach(blank.device());
    EXPECT_FALSE(v.mount(1));
    EXPECT_FALSE(v.mount(0));
    EXPECT_FALSE(v.mounted());
    EXPECT_EQ(v.fatBits(), 0);
    EXPECT_EQ(v.freeClusters(), -1);
    EXPECT_FALSE(v.exists("/"));
}

TEST(FatVolumeMount, FactsMatchTheLayoutForFat16AndFat32) {
    struct Case {
        uint32_t blocks;
        FatFormat format;
    } cases[] = {{65536, shape(16, true, 4)}, {200000, shape(32, true, 1)}, {140000, shape(32, false, 2)}};
    for (const Case& c : cases) {
        RamImage image(c.blocks);
        auto layout = image.format(c.format);
        FatVolume v;
        v.attach(image.device());
        ASSERT_TRUE(v.mount(c.format.partitioned ? 1 : 0));
        EXPECT_EQ(v.fatBits(), c.format.fat_bits);
        EXPECT_EQ(v.clusterBlocks(), c.format.cluster_blocks);
        EXPECT_EQ(v.dataClusters(), layout.clusters);
        EXPECT_EQ(v.fatFirstBlock(), layout.volume_first + layout.reserved_blocks);
        EXPECT_EQ(v.fatBlocks(), layout.fat_blocks);
        EXPECT_EQ(v.fatCopies(), 2);
        EXPECT_EQ(v.dataFirstBlock(), layout.data_first);
        // A fresh volume: everything free but FAT32's root cluster.
        EXPECT_EQ(v.freeClusters(), static_cast<int32_t>(layout.clusters - (c.format.fat_bits == 32 ? 1 : 0)));
    }
}

TEST(FatVolumeMount, ImpossibleBootSectorsAreRefused) {
    RamImage image(20000);
    auto layout = image.format(shape(16, false, 4));
    uint8_t boot[512];
    ASSERT_TRUE(image.read(0, boot));
    auto try_mount = [&](void (*patch)(uint8_t*)) {
        uint8_t copy[512];
        std::memcpy(copy, boot, 512);
        patch(copy);
        image.write(0, copy);
        FatVolume v;
        v.attach(image.device());
        bool ok = v.mount(0);
        image.write(0, boot);
        return ok;
    };
    EXPECT_TRUE(try_mount([](uint8_t*) {}));
    EXPECT_FALSE(try_mount([](uint8_t* b) { b[510] = 0; }));                 // no signature
    EXPECT_FALSE(try_mount([](uint8_t* b) { b[11] = 0; b[12] = 4; }));       // 1024-byte blocks
    EXPECT_FALSE(try_mount([](uint8_t* b) { b[13] = 3; }));                  // cluster not a power of two
    EXPECT_FALSE(try_mount([](uint8_t* b) { b[16] = 0; }));                  // no FAT
    EXPECT_FALSE(try_mount([](uint8_t* b) { b[19] = 0x30; b[20] = 0x75; })); // 30000 blocks on 20000
    EXPECT_FALSE(try_mount([](uint8_t* b) { b[22] = 1; b[23] = 0; }));       // FAT too small for the clusters
    // Fewer than 4085 clusters make it FAT12, which this file system does not handle.
    EXPECT_FALSE(try_mount([](uint8_t* b) { b[19] = 0x00; b[20] = 0x40; })); // 16384 blocks, 4 a cluster
    (void)layout;
}

TEST(FatVolumeFree, CountFollowsAllocationAndFsInfoKeepsUp) {
    RamImage image(140000);
    auto layout = image.format(shape(32, true, 1));
    FatVolume v;
    v.attach(image.device());
    ASSERT_TRUE(v.mount(1));
    const int32_t fresh = v.freeClusters();
    FatFile f;
    ASSERT_TRUE(f.open(v, "/1430.raw", 521));
    std::string data(10 * 512 + 1, 'x');
    f.write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    ASSERT_TRUE(f.close());
    ASSERT_TRUE(v.mkdir("/231207", true));
    EXPECT_EQ(v.freeClusters(), fresh - 11 - 1);
    // The FSInfo block tells other systems the same count.
    uint8_t fsinfo[512];
    ASSERT_TRUE(v.readDeviceBlock(layout.volume_first + 1, fsinfo));
    EXPECT_EQ(get32(fsinfo + 488), static_cast<uint32_t>(fresh - 12));
    ASSERT_TRUE(v.remove("/1430.raw"));
    ASSERT_TRUE(v.readDeviceBlock(layout.volume_first + 1, fsinfo));
    EXPECT_EQ(get32(fsinfo + 488), static_cast<uint32_t>(fresh - 1));
    EXPECT_EQ(v.freeClusters(), fresh - 1);
    auto report = sim::test::check_fat(image);
    EXPECT_TRUE(report.clean()) << report.text();
    EXPECT_EQ(report.free, static_cast<uint32_t>(fresh - 1));
}

struct StepLog {
    int calls = 0;
    int give_up_at = -1; // the call that returns false; -1 never
};

bool step(void* context) {
    StepLog* log = static_cast<StepLog*>(context);
    return log->calls++ != log->give_up_at;
}

TEST(FatVolumeFree, BoundedCountVisitsEveryFatBlockAndCanGiveUp) {
    for (uint8_t bits : {16, 32}) {
        RamImage image(bits == 16 ? 30000 : 140000);
        auto layout = image.format(shape(bits, true, 1));
        FatVolume v;
        v.attach(image.device());
        ASSERT_TRUE(v.mount(1));
        const uint32_t per_block = bits == 16 ? 256 : 128;
        const int blocks = static_cast<int>((layout.clusters + 2 + per_block - 1) / per_block);
        StepLog all;
        EXPECT_EQ(v.freeClusterCount(step, &all), v.freeClusters());
        EXPECT_EQ(all.calls, blocks);
        StepLog early;
        early.give_up_at = blocks / 2;
        EXPECT_EQ(v.freeClusterCount(step, &early), -1);
        EXPECT_EQ(early.calls, blocks / 2 + 1);
        // Walking the FAT from its first block, as the firmware does, gives the same count.
        int32_t zeros = 0;
        uint8_t b[512];
        for (uint32_t i = 0; i < layout.clusters + 2; ++i) {
            if (i % per_block == 0) {
                ASSERT_TRUE(v.readDeviceBlock(v.fatFirstBlock() + i / per_block, b));
            }
            uint32_t at = (i % per_block) * (bits / 8);
            uint32_t value = bits == 16 ? (b[at] | b[at + 1] << 8) : get32(b + at) & 0x0FFFFFFF;
            zeros += value == 0;
        }
        EXPECT_EQ(zeros, v.freeClusters());
    }
}

// The count in slices gives the full count's figure, with clusters taken and freed between
// slices on both sides of where it stands; a read error starts it over.
TEST(FatVolumeFree, CountInSlicesFollowsClustersTakenMeanwhile) {
    for (uint8_t bits : {16, 32}) {
        RamImage image(bits == 16 ? 30000 : 140000);
        image.format(shape(bits, true, 1));
        FatVolume v;
        v.attach(image.device());
        ASSERT_TRUE(v.mount(1));
        const int32_t fresh = v.freeClusters();
        ASSERT_TRUE(v.mount(1)); // the count forgotten again (no FSInfo count on FAT16)
        if (bits == 32) {
            uint8_t fsinfo[512];
            ASSERT_TRUE(v.readDeviceBlock(v.volumeFirstBlock() + 1, fsinfo));
            memset(fsinfo + 488, 0xFF, 4);
            ASSERT_TRUE(image.write(v.volumeFirstBlock() + 1, fsinfo));
            ASSERT_TRUE(v.mount(1));
        }
        ASSERT_FALSE(v.freeCountKnown());
        image.set_present(false);
        EXPECT_EQ(v.countFreeSlice(3), -1);
        image.set_present(true);
        EXPECT_EQ(v.countFreeSlice(1), 0);
        // A file of 300 clusters: its first entries lie in the block already counted, the
        // rest after it.
        FatFile f;
        ASSERT_TRUE(f.open(v, "/1430.raw", 521));
        std::string data(300 * 512, 'x');
        f.write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        ASSERT_TRUE(f.close());
        EXPECT_FALSE(v.freeCountKnown());
        int slices = 0;
        while (v.countFreeSlice(3) == 0) ++slices;
        EXPECT_GT(slices, 0);
        EXPECT_EQ(v.knownFreeClusters(), fresh - 300);
        ASSERT_TRUE(v.remove("/1430.raw"));
        EXPECT_EQ(v.knownFreeClusters(), fresh);
        EXPECT_EQ(v.freeClusters(), fresh);
    }
}

TEST(FatVolumeFree, ReadErrorGivesMinusOne) {
    RamImage image(30000);
    image.format(shape(16, false, 1));
    FatVolume v;
    v.attach(image.device());
    ASSERT_TRUE(v.mount(0));
    image.set_present(false);
    StepLog log;
    EXPECT_EQ(v.freeClusterCount(step, &log), -1);
    EXPECT_EQ(v.freeClusters(), -1);
}

TEST(FatVolumeCopies, EveryFatChangeReachesBothCopiesOrTheOnlyOne) {
    for (uint8_t copies : {1, 2}) {
        RamImage image(30000);
        FatFormat f = shape(16, true, 1);
        f.fat_copies = copies;
        image.format(f);
        FatVolume v;
        v.attach(image.device());
        ASSERT_TRUE(v.mount(1));
        EXPECT_EQ(v.fatCopies(), copies);
        ASSERT_TRUE(v.mkdir("/a/b", true));
        FatFile file;
        ASSERT_TRUE(file.open(v, "/a/b/x.raw", 521));
        std::string data(300 * 512, 'q');
        file.write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        ASSERT_TRUE(file.close());
        ASSERT_TRUE(v.remove("/a/b/x.raw"));
        ASSERT_TRUE(file.open(v, "/a/y.raw", 521));
        file.write(reinterpret_cast<const uint8_t*>(data.data()), 1000);
        ASSERT_TRUE(file.close());
        auto report = sim::test::check_fat(image);
        EXPECT_TRUE(report.clean()) << report.text();
    }
}

TEST(FatVolumeClock, EntriesCarryTheClocksDateAndTime) {
    RamImage image(30000);
    image.format(shape(16, false, 1));
    FatVolume v;
    v.attach(image.device());
    ASSERT_TRUE(v.mount(0));
    FatFile f;
    ASSERT_TRUE(f.open(v, "/a.txt", 521));
    ASSERT_TRUE(f.close());
    v.setClock([](uint16_t* date, uint16_t* time) {
        *date = static_cast<uint16_t>((2023 - 1980) << 9 | 12 << 5 | 7); // 7 December 2023
        *time = static_cast<uint16_t>(14 << 11 | 30 << 5 | 10 / 2);     // 14:30:10
    });
    ASSERT_TRUE(f.open(v, "/b.txt", 521));
    f.print("x");
    ASSERT_TRUE(f.close());
    uint8_t root[512];
    ASSERT_TRUE(v.readDeviceBlock(v.dataFirstBlock() - 32, root)); // first root block (512 entries)
    auto date_of = [&](int entry) { return root[32 * entry + 24] | root[32 * entry + 25] << 8; };
    auto time_of = [&](int entry) { return root[32 * entry + 22] | root[32 * entry + 23] << 8; };
    EXPECT_EQ(date_of(0), 1 << 5 | 1); // 1 January 1980 without a clock
    EXPECT_EQ(date_of(1), (2023 - 1980) << 9 | 12 << 5 | 7);
    EXPECT_EQ(time_of(1), 14 << 11 | 30 << 5 | 5);
}

} // namespace

// A volume that fills up: the write that finds no cluster stops short, the next ones fail at
// once without reading the FAT again (a byte-by-byte writer would otherwise scan it per
// byte), and a freed file makes room again.
TEST(FatVolumeFree, FullVolumeIsSearchedOnceAndFreedRoomIsUsedAgain) {
    RamImage image(30000);
    image.format(shape(16, false, 1));
    FatVolume v;
    v.attach(image.device());
    ASSERT_TRUE(v.mount(0));
    StepLog search;
    v.setSearchStep(step, &search);
    FatFile small, big;
    ASSERT_TRUE(small.open(v, "/small.txt", 521));
    ASSERT_EQ(small.write(reinterpret_cast<const uint8_t*>("abc"), 3), 3u);
    ASSERT_TRUE(small.close());
    const int32_t free_before = v.freeClusters();
    EXPECT_EQ(v.knownFreeClusters(), free_before);
    ASSERT_TRUE(big.open(v, "/big.raw", 521));
    std::string chunk(4096, 'r');
    size_t written = 0;
    for (;;) {
        size_t n = big.write(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        written += n;
        if (n < chunk.size()) break;
    }
    EXPECT_EQ(written, static_cast<size_t>(free_before) * 512);
    EXPECT_TRUE(v.full());
    EXPECT_EQ(v.knownFreeClusters(), 0);
    EXPECT_GE(search.calls, 2); // the search that found nothing fed its step per FAT block
    uint64_t reads = image.reads;
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(big.write('x'), 0u);
    EXPECT_FALSE(v.hasFreeCluster());
    EXPECT_LE(image.reads - reads, 2u);
    ASSERT_TRUE(big.close());
    EXPECT_EQ(v.freeClusters(), 0);

    ASSERT_TRUE(v.remove("/small.txt"));
    EXPECT_FALSE(v.full());
    EXPECT_TRUE(v.hasFreeCluster());
    ASSERT_TRUE(big.open(v, "/big.raw", 521));
    EXPECT_EQ(big.write(reinterpret_cast<const uint8_t*>(chunk.data()), 512), 512u);
    EXPECT_EQ(big.size(), written + 512);
    ASSERT_TRUE(big.close());
    auto report = sim::test::check_fat(image);
    EXPECT_TRUE(report.clean()) << report.text();
    EXPECT_EQ(report.free, 0u);
}
