// The FAT file system's files and directories on RAM images: writing across block, cluster
// and FAT-block boundaries, directories that grow, names and their case, iteration order,
// full volumes, and what a power cut leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fat/fat.h"
#include "support/fat_image.h"

using sim::FatFormat;
using sim::test::RamImage;

namespace {

// One-block clusters make every boundary come quickly: a FAT16 block maps 256 clusters
// (128 KiB of data), a FAT32 block 128 clusters (64 KiB).
struct Shape {
    const char* label;
    uint32_t blocks;
    FatFormat format;
};

void PrintTo(const Shape& shape, std::ostream* os) { *os << shape.label; }

const Shape kShapes[] = {
    {"Fat16Partitioned", 9000, [] { FatFormat f; f.fat_bits = 16; f.cluster_blocks = 1; return f; }()},
    {"Fat32WholeDevice", 72000,
     [] { FatFormat f; f.fat_bits = 32; f.cluster_blocks = 1; f.partitioned = false; return f; }()},
};

std::string pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>('a' + (x >> 16) % 26);
    }
    return s;
}

std::string read_all(FatVolume& volume, const char* path) {
    FatFile f;
    if (!f.open(volume, path, O_READ)) return "<cannot open>";
    std::string out(f.size(), '\0');
    int n = f.read(&out[0], out.size());
    if (n != static_cast<int>(out.size())) return "<short read>";
    EXPECT_EQ(f.read(), -1); // at the end
    return out;
}

std::vector<std::string> list(FatVolume& volume, const char* path) {
    std::vector<std::string> names;
    FatFile dir, entry;
    if (!dir.open(volume, path, O_READ)) return {"<cannot open>"};
    while (entry.openNext(dir, O_READ)) {
        char name[13];
        entry.getName(name, sizeof name);
        names.push_back(std::string(name) + (entry.isDir() ? "/" : ""));
    }
    return names;
}

// A day directory with 40 empty files of the given extension, each made by its open.
void fill_day(FatVolume& volume, const char* ext) {
    ASSERT_TRUE(volume.mkdir("/231207", true));
    for (int i = 0; i < 40; ++i) {
        char name[32];
        snprintf(name, sizeof name, "/231207/%04d.%s", i, ext);
        FatFile f;
        ASSERT_TRUE(f.open(volume, name, 521)) << name;
        EXPECT_TRUE(f.created());
        ASSERT_TRUE(f.close());
    }
}

class FatFiles : public ::testing::TestWithParam<Shape> {
protected:
    void SetUp() override {
        image = std::make_unique<RamImage>(GetParam().blocks);
        layout = image->format(GetParam().format);
        // Free clusters hold old data, as on a used card (FAT32's root cluster stays empty).
        uint32_t root = layout.fat_bits == 32 ? layout.cluster_blocks : 0;
        image->scribble(layout.data_first + root, 2000, 42);
        remount();
    }
    void remount() {
        volume.attach(image->device());
        ASSERT_TRUE(volume.mount(GetParam().format.partitioned ? 1 : 0));
    }
    void expect_clean() {
        auto report = sim::test::check_fat(*image);
        EXPECT_TRUE(report.clean()) << report.text();
    }

    std::unique_ptr<RamImage> image;
    sim::FatFormatLayout layout;
    FatVolume volume;
};

TEST_P(FatFiles, CreatedFileHoldsWhatWasWrittenAndReopensForAppendWith521) {
    FatFile f;
    ASSERT_TRUE(f.open(volume, "/notes.txt", 521));
    f.print("Escritura sd ok: ");
    f.print(30);
    f.print(14);
    ASSERT_TRUE(f.close());
    ASSERT_TRUE(volume.exists("/notes.txt"));
    EXPECT_EQ(read_all(volume, "/notes.txt"), "Escritura sd ok: 3014");

    ASSERT_TRUE(f.open(volume, "/notes.txt", 521));
    EXPECT_EQ(f.size(), 21u);
    EXPECT_EQ(f.position(), 21u);
    EXPECT_EQ(f.write(reinterpret_cast<const uint8_t*>("\r\n"), 2), 2u);
    ASSERT_TRUE(f.close());
    EXPECT_EQ(read_all(volume, "/notes.txt"), "Escritura sd ok: 3014\r\n");
    expect_clean();
}

TEST_P(FatFiles, AppendsCrossBlockClusterAndFatBlockBoundariesIntact) {
    // 200 KiB in pieces of awkward sizes, closing and reopening now and then, as the data
    // files are written a record at a time.
    const std::string data = pattern(200 * 1024, 7);
    const size_t pieces[] = {1, 17, 494, 512, 513, 1023, 4096, 3};
    size_t at = 0, k = 0;
    FatFile f;
    ASSERT_TRUE(f.open(volume, "/231207/1430.raw", 521) == false); // no directory yet
    ASSERT_TRUE(volume.mkdir("231207", true));
    ASSERT_TRUE(f.open(volume, "/231207/1430.raw", 521));
    while (at < data.size()) {
        size_t n = std::min(pieces[k++ % 8], data.size() - at);
        if (n == 1) {
            ASSERT_EQ(f.write(static_cast<uint8_t>(data[at])), 1u);
        } else {
            ASSERT_EQ(f.write(reinterpret_cast<const uint8_t*>(&data[at]), n), n);
        }
        at += n;
        if (k % 5 == 0) {
            ASSERT_TRUE(f.close());
            ASSERT_TRUE(f.open(volume, "/231207/1430.raw", 521));
            ASSERT_EQ(f.size(), at);
        }
    }
    ASSERT_TRUE(f.close());
    EXPECT_EQ(read_all(volume, "/231207/1430.raw"), data);
    // 400 one-block clusters: the chain runs on into the FAT's second (FAT16) or fourth
    // (FAT32) block.
    EXPECT_EQ(volume.freeClusters(), static_cast<int32_t>(layout.clusters - (layout.fat_bits == 32 ? 1 : 0) - 1 - 400));
    expect_clean();
}

TEST_P(FatFiles, TwoFilesWrittenInTurnsKeepTheirOwnBuffers) {
    FatFile raw, wav;
    ASSERT_TRUE(raw.open(volume, "/1430.raw", 521));
    ASSERT_TRUE(wav.open(volume, "/1430.wav", 521));
    std::string a, b;
    for (int i = 0; i < 3000; ++i) {
        std::string line = std::to_string(i) + ",12,-3\r\n";
        raw.write(reinterpret_cast<const uint8_t*>(line.data()), line.size());
        a += line;
        if (i % 7 == 0) {
            wav.print(i);
            wav.print("\r\n");
            b += std::to_string(i) + "\r\n";
        }
    }
    ASSERT_TRUE(raw.close());
    ASSERT_TRUE(wav.close());
    EXPECT_EQ(read_all(volume, "/1430.raw"), a);
    EXPECT_EQ(read_all(volume, "/1430.wav"), b);
    expect_clean();
}

TEST_P(FatFiles, DirectoryGrowsPastItsClusterAndListsInCreationOrder) {
    ASSERT_TRUE(volume.mkdir("/231207", true));
    std::vector<std::string> expected;
    // 16 entries a one-block cluster: 70 files and "." ".." take five clusters.
    for (int i = 0; i < 70; ++i) {
        char name[32];
        snprintf(name, sizeof name, "/231207/%04d.raw", i);
        FatFile f;
        ASSERT_TRUE(f.open(volume, name, 521)) << name;
        f.print(i);
        ASSERT_TRUE(f.close());
        expected.push_back(name + 8);
    }
    EXPECT_EQ(list(volume, "/231207/"), expected);
    // A removed entry's place is taken by the next new one.
    ASSERT_TRUE(volume.remove("/231207/0003.raw"));
    ASSERT_TRUE(volume.remove("/231207/0040.raw"));
    FatFile f;
    ASSERT_TRUE(f.open(volume, "/231207/new.res", 521));
    ASSERT_TRUE(f.close());
    expected[3] = "new.res";
    expected.erase(expected.begin() + 40);
    EXPECT_EQ(list(volume, "/231207"), expected);
    EXPECT_EQ(read_all(volume, "/231207/0069.raw"), "69");
    expect_clean();
}

// An open file checks its own entry on the card with two reads, however many files the
// directory holds before it; a pulled or reformatted card under the handle shows.
TEST_P(FatFiles, OpenFileFindsItsOwnEntryOnTheCardInTwoReads) {
    fill_day(volume, "raw");
    FatFile f;
    ASSERT_TRUE(f.open(volume, "/231207/2300.raw", 521));
    f.print("record");
    ASSERT_TRUE(f.sync());
    const uint64_t before = image->reads;
    EXPECT_TRUE(f.entryOnCard());
    EXPECT_EQ(image->reads - before, 2u);
    image->set_present(false);
    EXPECT_FALSE(f.entryOnCard());
    image->set_present(true);
    image->format(GetParam().format);
    EXPECT_FALSE(f.entryOnCard());
}

TEST_P(FatFiles, CreationWalksTheDirectoryOnceAndAClosedHandleStillChecksItsEntry) {
    fill_day(volume, "wav");
    uint64_t before = image->reads;
    ASSERT_FALSE(volume.exists("/231207/2300.wav"));
    const uint64_t walk = image->reads - before;
    FatFile f;
    before = image->reads;
    ASSERT_TRUE(f.open(volume, "/231207/2300.wav", 521));
    EXPECT_LE(image->reads - before, walk + 1); // the search, then at most the entry's block
    EXPECT_TRUE(f.created());
    ASSERT_TRUE(f.close());
    EXPECT_TRUE(f.entryOnCard());
    remount();
    EXPECT_FALSE(f.entryOnCard()); // a handle of the last mount knows nothing of this one
    ASSERT_TRUE(f.open(volume, "/231207/2300.wav", 521));
    EXPECT_FALSE(f.created());
    ASSERT_TRUE(f.close());
    EXPECT_TRUE(f.entryOnCard());
    // Empty and closed, the file still shows a quick format: its directory's cluster is free.
    image->format(GetParam().format);
    EXPECT_FALSE(f.entryOnCard());
}

TEST_P(FatFiles, IterationSkipsDotEntriesAndShowsDirectories) {
    ASSERT_TRUE(volume.mkdir("/231207/a", true));
    ASSERT_TRUE(volume.mkdir("/231207/b", true));
    FatFile f;
    ASSERT_TRUE(f.open(volume, "/231207/0905.RES", 521));
    ASSERT_TRUE(f.close());
    EXPECT_EQ(list(volume, "/231207"), (std::vector<std::string>{"a/", "b/", "0905.RES"}));
    EXPECT_EQ(list(volume, "/231207/a"), std::vector<std::string>{});
    EXPECT_EQ(list(volume, "/"), std::vector<std::string>{"231207/"});

    FatFile dir, entry;
    ASSERT_TRUE(dir.open(volume, "/231207", O_READ));
    ASSERT_TRUE(dir.isDir());
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(entry.openNext(dir, O_READ));
    EXPECT_FALSE(entry.openNext(dir, O_READ));
    EXPECT_FALSE(entry.openNext(dir, O_READ)); // the end stays the end
    dir.rewind();
    ASSERT_TRUE(entry.openNext(dir, O_READ));
    char name[13];
    EXPECT_EQ(entry.getName(name, sizeof name), 1u);
    EXPECT_STREQ(name, "a");
    EXPECT_EQ(entry.getName(name, 1), 0u); // no room for "a" and its terminator
}

TEST_P(FatFiles, NamesKeepTheirCaseAndLongNamesGetAliases) {
    const char* names[] = {"1430.raw", "README.TXT", "_sd", "Notes.txt", "escritura_sd.txt", "escritura_sd.bak",
                           "data file.csv"};
    for (const char* n : names) {
        FatFile f;
        ASSERT_TRUE(f.open(volume, n, 521)) << n;
        f.print(n);
        ASSERT_TRUE(f.close());
    }
    EXPECT_EQ(list(volume, "/"), (std::vector<std::string>{"1430.raw", "README.TXT", "_sd", "NOTES~1.TXT",
                                                           "ESCRIT~1.TXT", "ESCRIT~1.BAK", "DATAFI~1.CSV"}));
    // Every name is found under any case and by its alias.
    for (const char* n : names) {
        std::string upper = n;
        for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        EXPECT_TRUE(volume.exists(upper.c_str())) << upper;
        EXPECT_EQ(read_all(volume, n), n);
    }
    EXPECT_TRUE(volume.exists("/ESCRIT~1.TXT"));
    EXPECT_EQ(read_all(volume, "/escrit~1.bak"), "escritura_sd.bak");
    // A second long name with the same stem takes the next tail.
    FatFile f;
    ASSERT_TRUE(f.open(volume, "/escritura_sd2.txt", 521));
    char name[13];
    f.getName(name, sizeof name);
    EXPECT_STREQ(name, "ESCRIT~2.TXT");
    ASSERT_TRUE(f.close());
    // Removing a long name removes its long entries too.
    ASSERT_TRUE(volume.remove("/escritura_sd.txt"));
    EXPECT_FALSE(volume.exists("/escritura_sd.txt"));
    EXPECT_FALSE(volume.exists("/ESCRIT~1.TXT"));
    EXPECT_TRUE(volume.exists("/escritura_sd2.txt"));
    expect_clean();
}

TEST_P(FatFiles, BadNamesAndPathsAreRefused) {
    FatFile f;
    for (const char* bad : {"", "/", "a*b.txt", "what?", "x:y", "dot.", "/../x", "./x", "tab\there"}) {
        EXPECT_FALSE(f.open(volume, bad, 521)) << bad;
        EXPECT_FALSE(f.isOpen());
    }
    EXPECT_FALSE(volume.mkdir("/bad|name", true));
    EXPECT_FALSE(f.open(volume, std::string(256, 'a').c_str(), 521));
    EXPECT_TRUE(f.open(volume, std::string(255, 'a').c_str(), 521));
    ASSERT_TRUE(f.close());
    expect_clean();
}

TEST_P(FatFiles, OpenModesAreEnforced) {
    ASSERT_TRUE(volume.mkdir("/d", false));
    FatFile f, g;
    EXPECT_FALSE(f.open(volume, "/missing.txt", O_READ));
    EXPECT_FALSE(f.open(volume, "/missing.txt", O_WRITE)); // no create flag
    EXPECT_FALSE(f.open(volume, "/d", 521));                // a directory is not written
    EXPECT_FALSE(f.open(volume, "/nodir/x.txt", 521));      // parent missing
    ASSERT_TRUE(f.open(volume, "/d/x.txt", O_WRITE | O_CREAT));
    EXPECT_EQ(f.read(), -1); // write-only
    f.print("abc");
    EXPECT_FALSE(g.open(volume, "/d/x.txt", O_WRITE)); // one writer a file
    EXPECT_FALSE(volume.remove("/d/x.txt"));          // not while it is written
    ASSERT_TRUE(f.close());
    EXPECT_FALSE(f.open(volume, "/d/x.txt/", O_READ)); // a file is no directory
    ASSERT_TRUE(f.open(volume, "/d/x.txt", O_READ));
    EXPECT_EQ(f.write('z'), 0u); // read-only
    EXPECT_EQ(f.read(), 'a');
    ASSERT_TRUE(f.open(volume, "/", O_READ)); // reopening closes the previous one
    EXPECT_TRUE(f.isDir());
    // Host <fcntl.h> values (create 0100, append 02000) are refused, not misread.
    EXPECT_FALSE(g.open(volume, "/d/y.txt", 0x0001 | 0x0040));
    EXPECT_FALSE(g.open(volume, "/d/x.txt", 0x0001 | 0x0400));
    EXPECT_FALSE(volume.exists("/d/y.txt"));
    EXPECT_FALSE(volume.remove("/d")); // directories are not removed
    EXPECT_EQ(read_all(volume, "/d/x.txt"), "abc");
}

TEST_P(FatFiles, WriteBuffersAreLimitedAndComeBackOnClose) {
    FatFile files[FatVolume::kWriters + 1];
    for (uint8_t i = 0; i < FatVolume::kWriters; ++i) {
        std::string name = "/f" + std::to_string(i);
        ASSERT_TRUE(files[i].open(volume, name.c_str(), 521));
    }
    EXPECT_FALSE(files[FatVolume::kWriters].open(volume, "/extra", 521));
    EXPECT_FALSE(volume.exists("/extra")); // refused before anything was written
    FatFile reader;
    EXPECT_TRUE(reader.open(volume, "/f0", O_READ)); // readers need no buffer
    ASSERT_TRUE(files[0].close());
    EXPECT_TRUE(files[FatVolume::kWriters].open(volume, "/extra", 521));
    {
        FatFile dropped;
        ASSERT_FALSE(dropped.open(volume, "/more", 521));
    }
    for (auto& f : files) f.close();
    {
        FatFile scoped;
        ASSERT_TRUE(scoped.open(volume, "/scoped", 521));
    } // destroyed without close: its buffer is free again
    for (uint8_t i = 0; i < FatVolume::kWriters; ++i) {
        std::string name = "/g" + std::to_string(i);
        ASSERT_TRUE(files[i].open(volume, name.c_str(), 521)) << name;
    }
}

TEST_P(FatFiles, MkdirCreatesParentsOnlyWhenAsked) {
    EXPECT_FALSE(volume.mkdir("/a/b/c", false));
    EXPECT_FALSE(volume.exists("/a"));
    ASSERT_TRUE(volume.mkdir("/a/b/c", true));
    EXPECT_TRUE(volume.exists("/a/b/c/"));
    EXPECT_FALSE(volume.mkdir("/a/b/c", true)); // exists already
    ASSERT_TRUE(volume.mkdir("a/b/d", false));  // relative to the root
    FatFile f;
    ASSERT_TRUE(f.open(volume, "/a/240305", 521)); // a file where a directory is wanted
    ASSERT_TRUE(f.close());
    EXPECT_FALSE(volume.mkdir("/a/240305", true));
    EXPECT_FALSE(volume.mkdir("/a/240305/x", true));
    EXPECT_EQ(list(volume, "/a/b"), (std::vector<std::string>{"c/", "d/"}));
    expect_clean();
}

TEST_P(FatFiles, SyncMakesDataVisibleToAFreshMount) {
    FatFile f;
    ASSERT_TRUE(f.open(volume, "/1430.raw", 521));
    const std::string first = pattern(1500, 1);
    f.write(reinterpret_cast<const uint8_t*>(first.data()), first.size());
    ASSERT_TRUE(f.sync());
    f.write(reinterpret_cast<const uint8_t*>("tail"), 4); // buffered, not synced

    FatVolume other;
    other.attach(image->device());
    ASSERT_TRUE(other.mount(GetParam().format.partitioned ? 1 : 0));
    EXPECT_EQ(read_all(other, "/1430.raw"), first);

    // Mounting again drops the open file's unsynced bytes and closes it: nothing written
    // after that can reach the card.
    remount();
    EXPECT_FALSE(f.isOpen());
    EXPECT_EQ(f.write('x'), 0u);
    EXPECT_FALSE(f.close());
    EXPECT_EQ(read_all(volume, "/1430.raw"), first);
    auto report = sim::test::check_fat(*image);
    EXPECT_TRUE(report.no_corruption()) << report.text();
}

TEST_P(FatFiles, FullVolumeStopsWritesCleanly) {
    // A small card: fill it through one file until a write comes back short.
    FatFile f;
    ASSERT_TRUE(f.open(volume, "/big.raw", 521));
    const std::string chunk = pattern(4000, 3);
    uint64_t total = 0;
    for (;;) {
        size_t n = f.write(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        total += n;
        if (n < chunk.size()) break;
    }
    EXPECT_EQ(f.write('x'), 0u);
    ASSERT_TRUE(f.close());
    EXPECT_EQ(volume.freeClusters(), 0);
    const uint32_t usable = layout.clusters - (layout.fat_bits == 32 ? 1 : 0);
    EXPECT_EQ(total, uint64_t(usable) * 512);
    FatFile g;
    ASSERT_TRUE(g.open(volume, "/big.raw", O_READ));
    EXPECT_EQ(g.size(), total);
    // No room for data or a directory cluster; an empty file still gets its entry.
    EXPECT_FALSE(volume.mkdir("/231207", true));
    ASSERT_TRUE(f.open(volume, "/empty.txt", 521));
    EXPECT_EQ(f.write('x'), 0u);
    ASSERT_TRUE(f.close());
    expect_clean();
    ASSERT_TRUE(volume.remove("/big.raw"));
    EXPECT_EQ(volume.freeClusters(), static_cast<int32_t>(usable));
    expect_clean();
}

TEST_P(FatFiles, PulledCardFailsOperationsAndLeavesNoCorruption) {
    ASSERT_TRUE(volume.mkdir("/231207", true));
    FatFile f;
    ASSERT_TRUE(f.open(volume, "/231207/1430.raw", 521));
    const std::string data = pattern(3000, 5);
    f.write(reinterpret_cast<const uint8_t*>(data.data()), 1000);
    ASSERT_TRUE(f.sync());
    image->set_present(false);
    EXPECT_LT(f.write(reinterpret_cast<const uint8_t*>(data.data()), 3000), 3000u);
    EXPECT_FALSE(f.close());
    EXPECT_FALSE(volume.exists("/231207"));
    EXPECT_FALSE(volume.mkdir("/x", true));
    EXPECT_LT(volume.freeClusters(), 0);
    image->set_present(true);
    remount();
    EXPECT_EQ(read_all(volume, "/231207/1430.raw"), data.substr(0, 1000));
    auto report = sim::test::check_fat(*image);
    EXPECT_TRUE(report.no_corruption()) << report.text();
}

// The power goes after every possible number of block writes during a busy stretch of work;
// whatever the moment, the volume has no cross-links or broken chains, and what was synced
// before the stretch is intact.
TEST_P(FatFiles, PowerCutAtAnyWriteLeavesAtWorstLostClusters) {
    ASSERT_TRUE(volume.mkdir("/231207", true));
    const std::string before = pattern(700, 9);
    {
        // A filler file brings the next free cluster close to the end of a FAT block, so
        // that the work below links chains across two FAT blocks.
        FatFile f;
        const uint32_t per_fat_block = layout.fat_bits == 16 ? 256 : 128;
        std::string filler((per_fat_block - 10) * 512, 'f');
        ASSERT_TRUE(f.open(volume, "/filler.bin", 521));
        ASSERT_EQ(f.write(reinterpret_cast<const uint8_t*>(filler.data()), filler.size()), filler.size());
        ASSERT_TRUE(f.close());
        ASSERT_TRUE(f.open(volume, "/231207/1430.raw", 521));
        f.write(reinterpret_cast<const uint8_t*>(before.data()), before.size());
        ASSERT_TRUE(f.close());
        ASSERT_TRUE(f.open(volume, "/old.txt", 521));
        f.print("old");
        ASSERT_TRUE(f.close());
    }
    auto work = [&](FatVolume& v) {
        FatFile raw, res;
        const std::string more = pattern(5000, 11);
        if (raw.open(v, "/231207/1430.raw", 521)) raw.write(reinterpret_cast<const uint8_t*>(more.data()), 2600);
        v.mkdir("/231208", true);
        if (res.open(v, "/231207/resultados_del_dia.res", 521)) res.print(more.c_str());
        raw.sync();
        v.remove("/old.txt");
        // ".", ".." and 13 short names fill entries 0..14, so the long name's three entries
        // would straddle the first block's end.
        for (int i = 0; i < 20; ++i) {
            FatFile f;
            std::string name = "/231208/" + std::to_string(i) + ".wav";
            if (i == 13) name = "/231208/registro_de_olas.wav";
            if (f.open(v, name.c_str(), 521)) {
                f.print(name.c_str());
                f.close();
            }
        }
        raw.write(reinterpret_cast<const uint8_t*>(more.data()), 2400);
        raw.close();
        res.close();
    };
    // How many writes the whole stretch takes.
    auto probe = image->clone();
    {
        FatVolume v;
        v.attach(probe->device());
        ASSERT_TRUE(v.mount(GetParam().format.partitioned ? 1 : 0));
        work(v);
    }
    ASSERT_TRUE(sim::test::check_fat(*probe).clean()) << sim::test::check_fat(*probe).text();
    const int64_t total = static_cast<int64_t>(probe->writes);
    ASSERT_GT(total, 30);
    for (int64_t cut = 0; cut <= total; ++cut) {
        auto copy = image->clone();
        copy->cut_power_after(cut);
        {
            FatVolume v;
            v.attach(copy->device());
            ASSERT_TRUE(v.mount(GetParam().format.partitioned ? 1 : 0));
            work(v);
        }
        copy->cut_power_after(-1);
        auto report = sim::test::check_fat(*copy);
        ASSERT_TRUE(report.no_corruption()) << "power cut after " << cut << " writes\n" << report.text();
        FatVolume after;
        after.attach(copy->device());
        ASSERT_TRUE(after.mount(GetParam().format.partitioned ? 1 : 0));
        std::string raw = read_all(after, "/231207/1430.raw");
        ASSERT_EQ(raw.substr(0, before.size()), before) << "power cut after " << cut << " writes";
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, FatFiles, ::testing::ValuesIn(kShapes),
                         [](const ::testing::TestParamInfo<Shape>& info) { return info.param.label; });

} // namespace
