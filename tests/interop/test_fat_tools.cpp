// The FAT file system against the standard tools: volumes made by mkfs.fat mount here;
// what this file system writes passes fsck.fat -n and reads back with mtools; the SD card
// model's factory format passes fsck.fat -n too. A missing tool skips the test on a
// workstation and fails it on the build machine (CI=true).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "fat/fat.h"
#include "support/fat_image.h"
#include "support/tools.h"
#include "world/sdcard.h"

using sim::test::FileImage;

using sim::test::find_tool;
using sim::test::quote;
using sim::test::run;
using sim::test::ToolRun;

namespace {

std::string pattern(size_t n, uint32_t seed) {
    std::string s;
    char line[64];
    for (uint32_t i = 0; s.size() < n; ++i) {
        snprintf(line, sizeof line, "%06u,%+05d,%03u,%07.3f\r\n", i, static_cast<int>((i * seed) % 900) - 450,
                 (i * 7 + seed) % 360, (i % 1000) / 7.0);
        s += line;
    }
    s.resize(n);
    return s;
}

void write_file(FatVolume& v, const std::string& path, const std::string& data) {
    FatFile f;
    ASSERT_TRUE(f.open(v, path.c_str(), 521)) << path;
    // Byte by byte for the first records, as the firmware writes, then in larger pieces.
    size_t head = std::min<size_t>(data.size(), 700);
    for (size_t i = 0; i < head; ++i) ASSERT_EQ(f.write(static_cast<uint8_t>(data[i])), 1u);
    ASSERT_EQ(f.write(reinterpret_cast<const uint8_t*>(data.data()) + head, data.size() - head), data.size() - head);
    ASSERT_TRUE(f.close()) << path;
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

class FatTools : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"mkfs.fat", "fsck.fat", "mdir", "mcopy", "mmd"}) {
            std::string path = find_tool(tool);
            if (!path.empty()) {
                tools_[tool] = path;
                continue;
            }
            const char* ci = getenv("CI");
            if (ci && std::string(ci) == "true") {
                FAIL() << tool << " is missing on the build machine (apt-get install dosfstools mtools)";
            }
            GTEST_SKIP() << tool << " is not installed (apt-get install dosfstools mtools)";
        }
    }
    void TearDown() override {
        for (const std::string& f : files_) std::remove(f.c_str());
    }
    std::string tool(const char* name) { return tools_[name]; }
    std::string temp(const std::string& name) {
        std::string path = sim::test::temp_path(name);
        std::remove(path.c_str());
        files_.push_back(path);
        return path;
    }
    // mtools on a volume that starts `offset_blocks` into the image.
    ToolRun mtools(const char* command, const std::string& image, uint32_t offset_blocks, const std::string& args) {
        std::string target = image + (offset_blocks ? "@@" + std::to_string(offset_blocks * 512ull) : "");
        return run("MTOOLS_SKIP_CHECK=1 " + tool(command) + " -i " + quote(target) + " " + args);
    }
    // fsck.fat -n on the volume; the partition is copied out first.
    ToolRun fsck(const std::string& image, uint32_t first, uint32_t count, const char* options = "-n") {
        std::string target = image;
        if (first != 0) {
            target = image + ".part";
            files_.push_back(target);
            if (!sim::test::extract_blocks(image, first, count, target)) return ToolRun{};
        }
        return run(tool("fsck.fat") + " " + options + " " + quote(target));
    }
    // Clusters in use and in all, from fsck.fat's summary line "N files, U/T clusters".
    static bool fsck_clusters(const std::string& out, uint32_t& used, uint32_t& total) {
        size_t at = out.rfind(" files, ");
        return at != std::string::npos && sscanf(out.c_str() + at, " files, %u/%u clusters", &used, &total) == 2;
    }
    // mkfs.fat on a file of `blocks` blocks; with `partitioned`, the volume starts at block
    // 2048 and an MBR with one partition entry points at it.
    std::string mkfs(const std::string& name, uint32_t blocks, const std::string& options, bool partitioned,
                     uint32_t& first, uint32_t& count) {
        std::string path = temp(name);
        first = partitioned ? 2048 : 0;
        count = blocks - first;
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, static_cast<off_t>(blocks) * 512), 0);
        std::string offset = partitioned ? " --offset=2048 -h 2048" : "";
        ToolRun r = run(tool("mkfs.fat") + " " + options + offset + " " + quote(path) + " " + std::to_string(count / 2));
        EXPECT_EQ(r.status, 0) << r.out;
        if (partitioned) {
            uint8_t mbr[512] = {};
            uint8_t* e = mbr + 446;
            e[1] = 0xFE, e[2] = 0xFF, e[3] = 0xFF; // addresses beyond CHS: LBA only
            e[4] = 0x0C;
            e[5] = 0xFE, e[6] = 0xFF, e[7] = 0xFF;
            put32(e + 8, first);
            put32(e + 12, count);
            mbr[510] = 0x55;
            mbr[511] = 0xAA;
            EXPECT_EQ(pwrite(fd, mbr, 512, 0), 512);
        }
        close(fd);
        return path;
    }

    std::map<std::string, std::string> tools_;
    std::vector<std::string> files_;
};

struct MkfsShape {
    const char* label;
    const char* options;
    uint32_t blocks;
    bool partitioned;
    uint8_t bits;
};

void PrintTo(const MkfsShape& s, std::ostream* os) { *os << s.label; }

class FatToolsShapes : public FatTools, public ::testing::WithParamInterface<MkfsShape> {};

// A day of the firmware's files on volumes that mkfs.fat made: fsck.fat finds nothing,
// mtools lists the names as written (lower case kept, long names shown) and reads the data.
TEST_P(FatToolsShapes, FirmwareFilesPassFsckAndReadBackWithMtools) {
    const MkfsShape& shape = GetParam();
    uint32_t first, count;
    std::string image = mkfs(std::string(shape.label) + ".img", shape.blocks, shape.options, shape.partitioned,
                             first, count);
    FileImage file(image);
    FatVolume v;
    v.attach(file.device());
    ASSERT_EQ(v.mount(1), shape.partitioned);
    if (!shape.partitioned) {
        ASSERT_TRUE(v.mount(0));
    }
    ASSERT_EQ(v.fatBits(), shape.bits);
    uint32_t used = 0, total = 0;
    ToolRun before = fsck(image, first, count);
    ASSERT_EQ(before.status, 0) << before.out;
    ASSERT_TRUE(fsck_clusters(before.out, used, total)) << before.out;
    EXPECT_EQ(v.dataClusters(), total);
    EXPECT_EQ(v.freeClusters(), static_cast<int32_t>(total - used));

    ASSERT_TRUE(v.mkdir("_sd", true));
    write_file(v, "/_sd/escritura_sd.txt", "Escritura sd ok: 3014");
    ASSERT_TRUE(v.mkdir("231207", true));
    const std::string raw = pattern(300 * 1024, 3), wav = pattern(20000, 5), res = pattern(900, 7);
    write_file(v, "231207/1430.raw", raw);
    write_file(v, "231207/1430.wav", wav);
    write_file(v, "/231207/0905.RES", res);
    write_file(v, "/231207/0905.RES", res); // reopened and appended

    ToolRun after = fsck(image, first, count);
    EXPECT_EQ(after.status, 0) << after.out;
    ASSERT_TRUE(fsck_clusters(after.out, used, total)) << after.out;
    EXPECT_EQ(v.freeClusters(), static_cast<int32_t>(total - used));

    ToolRun listing = mtools("mdir", image, first, "-b ::/231207 ::/_sd");
    EXPECT_EQ(listing.status, 0) << listing.out;
    EXPECT_EQ(listing.out,
              "::/231207/1430.raw\n::/231207/1430.wav\n::/231207/0905.RES\n::/_sd/escritura_sd.txt\n");
    ToolRun back = mtools("mcopy", image, first, "-n ::/231207/1430.raw -");
    EXPECT_EQ(back.status, 0);
    EXPECT_TRUE(back.out == raw) << "1430.raw differs: " << back.out.size() << " bytes read back";
    EXPECT_EQ(mtools("mcopy", image, first, "-n ::/231207/0905.res -").out, res + res);
    EXPECT_EQ(mtools("mcopy", image, first, "-n ::/_sd/escritura_sd.txt -").out, "Escritura sd ok: 3014");
}

INSTANTIATE_TEST_SUITE_P(
    Mkfs, FatToolsShapes,
    ::testing::Values(MkfsShape{"Fat16WholeDevice", "-F 16 -s 4", 65536, false, 16},
                      MkfsShape{"Fat16Partitioned", "-F 16 -s 1", 40960, true, 16},
                      MkfsShape{"Fat32WholeDevice", "-F 32 -s 1", 81920, false, 32},
                      MkfsShape{"Fat32Partitioned", "-F 32 -s 2 -f 1", 200000, true, 32}),
    [](const ::testing::TestParamInfo<MkfsShape>& info) { return info.param.label; });

TEST_F(FatTools, DirectoryOfManyFilesListsInOrder) {
    uint32_t first, count;
    std::string image = mkfs("many.img", 40960, "-F 16 -s 1", false, first, count);
    FileImage file(image);
    FatVolume v;
    v.attach(file.device());
    ASSERT_TRUE(v.mount(0));
    ASSERT_TRUE(v.mkdir("/231207", true));
    std::string expected;
    // 16 entries a cluster: 300 files take 19 clusters of directory.
    for (int i = 0; i < 300; ++i) {
        char name[24];
        snprintf(name, sizeof name, "%02d%02d.%s", i / 60, i % 60, i % 2 ? "wav" : "raw");
        write_file(v, std::string("/231207/") + name, std::to_string(i));
        expected += std::string("::/231207/") + name + "\n";
    }
    ToolRun check = fsck(image, 0, count);
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_EQ(mtools("mdir", image, 0, "-b ::/231207").out, expected);
    EXPECT_EQ(mtools("mcopy", image, 0, "-n ::/231207/0459.wav -").out, "299");
}

TEST_F(FatTools, FullCardStopsCleanly) {
    uint32_t first, count;
    std::string image = mkfs("full.img", 10240, "-F 16 -s 1", true, first, count);
    FileImage file(image);
    FatVolume v;
    v.attach(file.device());
    ASSERT_TRUE(v.mount(1));
    ASSERT_TRUE(v.mkdir("/231207", true));
    FatFile f;
    ASSERT_TRUE(f.open(v, "/231207/1430.raw", 521));
    const std::string chunk = pattern(3000, 1);
    std::string written;
    for (;;) {
        size_t n = f.write(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        written += chunk.substr(0, n);
        if (n < chunk.size()) break;
    }
    ASSERT_TRUE(f.close());
    EXPECT_EQ(v.freeClusters(), 0);
    ToolRun check = fsck(image, first, count);
    EXPECT_EQ(check.status, 0) << check.out;
    uint32_t used = 0, total = 0;
    ASSERT_TRUE(fsck_clusters(check.out, used, total));
    EXPECT_EQ(used, total);
    EXPECT_TRUE(mtools("mcopy", image, first, "-n ::/231207/1430.raw -").out == written);
}

// Long names written by another system are found, skipped in iteration (their short alias
// is listed), kept intact when the directory changes around them, and removed whole.
TEST_F(FatTools, LongNamesOfOtherSystemsSurvive) {
    uint32_t first, count;
    std::string image = mkfs("lfn.img", 40960, "-F 16 -s 1", false, first, count);
    std::string local = temp("local.txt");
    { std::ofstream(local) << "from elsewhere"; }
    ASSERT_EQ(mtools("mmd", image, 0, "::/231207").status, 0);
    ASSERT_EQ(mtools("mcopy", image, 0, quote(local) + " '::/231207/Resumen del dia.txt'").status, 0);
    ASSERT_EQ(mtools("mcopy", image, 0, quote(local) + " '::/231207/otro fichero largo.csv'").status, 0);
    FileImage file(image);
    FatVolume v;
    v.attach(file.device());
    ASSERT_TRUE(v.mount(0));
    EXPECT_TRUE(v.exists("/231207/resumen del dia.txt"));
    FatFile read;
    ASSERT_TRUE(read.open(v, "/231207/Resumen del dia.txt", O_READ));
    EXPECT_EQ(read.size(), 14u);
    for (int i = 0; i < 40; ++i) write_file(v, "/231207/" + std::to_string(1000 + i) + ".raw", "x");
    ASSERT_TRUE(v.remove("/231207/otro fichero largo.csv"));
    ASSERT_TRUE(v.remove("/231207/1005.raw"));
    FatFile dir, entry;
    ASSERT_TRUE(dir.open(v, "/231207", O_READ));
    ASSERT_TRUE(entry.openNext(dir, O_READ));
    char name[13];
    entry.getName(name, sizeof name);
    EXPECT_STREQ(name, "RESUME~1.TXT");
    ToolRun check = fsck(image, 0, count);
    EXPECT_EQ(check.status, 0) << check.out;
    ToolRun listing = mtools("mdir", image, 0, "-b ::/231207");
    EXPECT_EQ(listing.out.find("::/231207/Resumen del dia.txt\n"), 0u) << listing.out;
    EXPECT_EQ(listing.out.find("otro"), std::string::npos) << listing.out;
    EXPECT_EQ(listing.out.find("1005.raw"), std::string::npos) << listing.out;
    EXPECT_NE(listing.out.find("::/231207/1039.raw\n"), std::string::npos) << listing.out;
}

TEST_F(FatTools, Fat12AndFakeMbrVolumes) {
    uint32_t first, count;
    std::string fat12 = mkfs("fat12.img", 8192, "-F 12", false, first, count);
    {
        FileImage file(fat12);
        FatVolume v;
        v.attach(file.device());
        EXPECT_FALSE(v.mount(1));
        EXPECT_FALSE(v.mount(0)); // FAT12 is not handled: the firmware reports no card
    }
    // mkfs.fat's "fake MBR": a partition table inside the boot sector, pointing at itself.
    std::string fake = mkfs("fakembr.img", 40960, "-F 16 --mbr=y", false, first, count);
    FileImage file(fake);
    FatVolume v;
    v.attach(file.device());
    ASSERT_TRUE(v.mount(1) || v.mount(0));
    write_file(v, "/1430.raw", pattern(5000, 2));
    ToolRun check = fsck(fake, 0, count);
    EXPECT_EQ(check.status, 0) << check.out;
}

// As cards come from a shop: the model's own formatter passes fsck.fat, and files written
// afterwards keep it clean.
TEST_F(FatTools, SdCardFactoryFormatPassesFsck) {
    struct Case {
        uint32_t blocks;
        bool sdhc;
        const char* entries;
    } cases[] = {{131072, false, "16 bit entries"}, {3970048, false, "16 bit entries"},
                 {8388608, true, "32 bit entries"}, {262144, true, "32 bit entries"}};
    for (const Case& c : cases) {
        std::string image = temp("factory" + std::to_string(c.blocks) + ".img");
        sim::SdCardConfig config;
        config.blocks = c.blocks;
        config.high_capacity = c.sdhc;
        uint32_t first, count;
        {
            sim::SdCard card(config);
            std::string error;
            ASSERT_TRUE(card.open(image, error)) << error;
            uint8_t mbr[512];
            ASSERT_TRUE(card.read(0, mbr));
            first = mbr[454] | mbr[455] << 8 | mbr[456] << 16 | static_cast<uint32_t>(mbr[457]) << 24;
            count = mbr[458] | mbr[459] << 8 | mbr[460] << 16 | static_cast<uint32_t>(mbr[461]) << 24;
        }
        ToolRun check = fsck(image, first, count, "-n -v");
        EXPECT_EQ(check.status, 0) << c.blocks << "\n" << check.out;
        EXPECT_NE(check.out.find(c.entries), std::string::npos) << check.out;
        EXPECT_NE(check.out.find(std::to_string(first) + " hidden sectors"), std::string::npos) << check.out;
        EXPECT_EQ(mtools("mdir", image, first, "::/").status, 0);

        FileImage file(image);
        FatVolume v;
        v.attach(file.device());
        ASSERT_TRUE(v.mount(1));
        ASSERT_TRUE(v.mkdir("/231207", true));
        write_file(v, "/231207/1430.raw", pattern(100000, 4));
        check = fsck(image, first, count);
        EXPECT_EQ(check.status, 0) << check.out;
        EXPECT_EQ(mtools("mdir", image, first, "-b ::/231207").out, "::/231207/1430.raw\n");
    }
}

} // namespace
