// An SD card in the board's socket: a block image file of a chosen size and type, with the
// card's rules: it can be pulled out, it is busy programming after every block written,
// and its erase command leaves blocks reading all 0x00 or all 0xFF as the card's flash
// does. A new image comes formatted as a shop sells the card: an MBR with one partition
// holding a FAT16 volume (standard capacity) or a FAT32 volume (SDHC).
//
//   sim::SdCard card({.blocks = 4194304, .high_capacity = true});
//   if (!card.open("card.img", error)) ...   // created and formatted when missing
//   board.connect_card(&card);
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "world/link.h"

namespace sim {

struct SdCardConfig {
    uint32_t blocks = 0;            // 512-byte blocks; 0: take the size of an existing image
    bool high_capacity = false;     // SDHC (block addressed) instead of standard capacity
    bool erased_reads_ones = false; // erased blocks read 0xFF (a few vendors) instead of 0x00
    // Busy time after a write command: the command's turnaround plus the flash programming
    // of each block. Typical of class 4 cards in SPI mode, far below the write timeouts of
    // the SD physical layer (250 ms standard capacity, 500 ms SDHC).
    Nanos command_time = 100 * kMicro;
    Nanos block_program_time = 700 * kMicro;
    // Holds an exclusive advisory lock (flock) on the image while it is open, taken before a
    // new image is formatted: a second run on the same image is refused, not interleaved.
    bool lock = false;
    // An existing image is laid out anew as a new card of `blocks` (its size and contents
    // given up), once its lock is held; a missing one is made as always.
    bool fresh = false;
};

class SdCard : public CardDevice {
public:
    explicit SdCard(const SdCardConfig& config);
    ~SdCard() override;
    SdCard(const SdCard&) = delete;
    SdCard& operator=(const SdCard&) = delete;

    // Opens the card's image file. An existing file must hold a whole number of 512-byte
    // blocks, exactly config.blocks of them when that is given; a missing file is created
    // (sparse) with config.blocks and factory formatted. False with `error` naming the file
    // and what was expected, or saying that another run holds the image's lock.
    bool open(const std::string& path, std::string& error);
    // Formats the card again as the factory did (all earlier contents are gone).
    bool factory_format(std::string& error);

    void set_present(bool present) { inserted_ = present; }
    // A card whose writes fail (a scenario's timeline): every block write refused.
    void set_write_errors(bool failing) { write_errors_ = failing; }
    const std::string& path() const { return path_; }

    bool present() const override { return inserted_ && fd_ >= 0; }
    bool high_capacity() const override { return config_.high_capacity; }
    uint32_t block_count() const override { return blocks_; }
    bool erased_reads_ones() const override { return config_.erased_reads_ones; }
    bool read(uint32_t block, uint8_t* dst512) override;
    bool write(uint32_t block, const uint8_t* src512) override;
    bool erase(uint32_t first, uint32_t last) override;
    Nanos busy_time(uint32_t blocks_written) const override;

    uint64_t blocks_read() const { return blocks_read_; }
    uint64_t blocks_written() const { return blocks_written_; }
    uint64_t erase_commands() const { return erase_commands_; }

private:
    bool format(bool blank, std::string& error);
    // Opens the existing image at path_ for reading and writing, with its lock when asked.
    bool open_existing(std::string& error);
    // A new card's size and type agree (config.blocks given, a standard card within 4 GiB).
    bool new_card_fits(std::string& error) const;
    // Sizes the open image to config.blocks and formats it blank; on failure closes it,
    // removing it when this run made it.
    bool lay_out_new(bool made_now, std::string& error);

    SdCardConfig config_;
    std::string path_;
    int fd_ = -1;
    bool write_errors_ = false;
    uint32_t blocks_ = 0;
    bool inserted_ = true;
    uint64_t blocks_read_ = 0;
    uint64_t blocks_written_ = 0;
    uint64_t erase_commands_ = 0;
    static constexpr size_t kCachedBlocks = 4096; // 2 MiB of host memory at most
    std::unordered_map<uint32_t, std::array<uint8_t, 512>> cache_;
};

// ------------------------------------------------------------------ factory formatter
// Lays out an MBR (optional) and a FAT16 or FAT32 volume through `write`; also used by
// tests to make images of a chosen shape.

struct FatFormat {
    uint8_t fat_bits = 0;        // 16 or 32; 0: FAT16 for standard capacity, FAT32 for SDHC,
                                 // or whichever the size allows
    bool partitioned = true;     // MBR with one partition; false: the volume starts at block 0
    uint8_t cluster_blocks = 0;  // 1..128, a power of two; 0: chosen by size
    uint8_t fat_copies = 2;      // 1 or 2
    uint16_t root_entries = 512; // FAT16 root directory entries, a multiple of 16
    uint32_t serial = 0;         // volume serial; 0: derived from the size
};

// What a format produced, in device blocks.
struct FatFormatLayout {
    uint8_t fat_bits = 0;
    uint32_t volume_first = 0;
    uint32_t volume_blocks = 0;
    uint8_t cluster_blocks = 0;
    uint32_t reserved_blocks = 0;
    uint32_t fat_blocks = 0;
    uint32_t data_first = 0;
    uint32_t clusters = 0;
};

using BlockWriter = std::function<bool(uint32_t block, const uint8_t* data512)>;

// Formats a device of `blocks` blocks. With `blank` the device reads zero everywhere and
// zero blocks are not written. False with `error` saying why (too small, bad option, a
// failed write).
bool format_fat(uint32_t blocks, bool high_capacity, const FatFormat& format, bool blank,
                const BlockWriter& write, FatFormatLayout& layout, std::string& error);

} // namespace sim
