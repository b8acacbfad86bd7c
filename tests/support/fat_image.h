// Block devices for testing the FAT file system without the board: a sparse RAM image and
// an image file, both with counters and a power cut after a chosen number of writes; and
// an independent checker of a volume's consistency (chains, cross-links, lost clusters).
//
//   sim::test::RamImage image(65536);               // 32 MiB, all zero
//   image.format({.fat_bits = 16, .partitioned = false});
//   FatVolume volume;
//   volume.attach(image.device());
//   ASSERT_TRUE(volume.mount(0));
//   auto report = sim::test::check_fat(image);      // report.clean()
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fat/fat_device.h"
#include "world/sdcard.h"

namespace sim::test {

class BlockImage {
public:
    virtual ~BlockImage() = default;
    // The table handed to FatVolume::attach; valid while this image lives.
    const FatBlockDevice* device() { return &device_; }
    uint32_t blocks() const { return blocks_; }

    virtual bool read(uint32_t block, uint8_t* dst512) = 0;
    virtual bool write(uint32_t block, const uint8_t* src512) = 0;

    // After `writes` more successful writes every write fails and stores nothing: the
    // power went at that moment. Negative: never (the default).
    void cut_power_after(int64_t writes) { power_budget_ = writes; }
    // Refuses every read and write (a card pulled out), or accepts them again.
    void set_present(bool present) { present_ = present; }

    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t syncs = 0;

    // Formats through the world's factory formatter; fails the test with its message.
    FatFormatLayout format(const FatFormat& format, bool high_capacity = false);

protected:
    explicit BlockImage(uint32_t blocks);
    // Counts and applies the presence and power-cut rules; true when a write may proceed.
    bool take_write();
    bool take_read();
    uint32_t blocks_;

private:
    FatBlockDevice device_;
    int64_t power_budget_ = -1;
    bool present_ = true;
};

// Blocks in RAM, stored only once written: a multi-gigabyte image costs what it holds.
class RamImage : public BlockImage {
public:
    explicit RamImage(uint32_t blocks) : BlockImage(blocks) {}
    bool read(uint32_t block, uint8_t* dst512) override;
    bool write(uint32_t block, const uint8_t* src512) override;
    // Fills blocks with pseudo-random bytes, as deleted files leave a used card: a cluster
    // taken into a directory without being zeroed then shows as garbage entries.
    void scribble(uint32_t first, uint32_t count, uint32_t seed);
    // A copy of the contents (counters and faults start afresh).
    std::unique_ptr<RamImage> clone() const;
    // Writes the image to a sparse file, for external tools.
    void save(const std::string& path) const;

private:
    std::map<uint32_t, std::array<uint8_t, 512>> data_;
};

// An image file used in place (pread/pwrite), such as one made by mkfs.fat.
class FileImage : public BlockImage {
public:
    // Opens an existing file; a failure fails the test naming the file.
    explicit FileImage(const std::string& path);
    ~FileImage() override;
    bool read(uint32_t block, uint8_t* dst512) override;
    bool write(uint32_t block, const uint8_t* src512) override;
    bool ok() const { return fd_ >= 0; }

private:
    static uint32_t size_of(const std::string& path);
    int fd_ = -1;
};

// What check_fat found. Cross-links and broken chains are corruption; lost clusters and
// chains longer than a file's size are what an interrupted write may leave.
struct FatReport {
    bool mounted = false;            // the checker understood the volume
    uint32_t clusters = 0;
    uint32_t free = 0;               // FAT entries equal to 0
    uint32_t used = 0;               // clusters reached from the root
    uint32_t cross_links = 0;        // clusters reached twice
    uint32_t broken_chains = 0;      // chains running into a free, bad or out-of-range entry, or a loop
    uint32_t short_chains = 0;       // files whose chain is shorter than their size
    uint32_t long_chains = 0;        // files whose chain is longer than their size needs
    uint32_t lost = 0;               // allocated clusters nothing reaches
    uint32_t fat_copies_differ = 0;  // FAT blocks whose copies differ
    uint32_t bad_entries = 0;        // directory entries with impossible fields
    uint32_t orphan_long = 0;        // long-name entries not followed by their short entry
    uint32_t files = 0;
    uint32_t directories = 0;
    std::vector<std::string> problems; // one line each
    bool clean() const {
        return mounted && cross_links == 0 && broken_chains == 0 && short_chains == 0 && long_chains == 0 &&
               lost == 0 && fat_copies_differ == 0 && bad_entries == 0 && orphan_long == 0;
    }
    // No corruption: what remains (lost clusters, long chains, FAT copies) fsck repairs
    // without losing anything that was durable.
    bool no_corruption() const {
        return mounted && cross_links == 0 && broken_chains == 0 && short_chains == 0 && bad_entries == 0 &&
               orphan_long == 0;
    }
    std::string text() const;
};

// Walks the volume of partition 1 (or the whole image when it has no MBR) on its own,
// without the firmware's FAT code.
FatReport check_fat(BlockImage& image);

// Copies blocks [first, first + count) of an image file into a file of their own, hole for
// hole, so that fsck.fat (which knows no partition tables) can check one partition.
bool extract_blocks(const std::string& from, uint32_t first, uint32_t count, const std::string& to);

// A temporary file path unique to this test, removed by the caller or left for inspection.
std::string temp_path(const std::string& name);

} // namespace sim::test
