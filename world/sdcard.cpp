#include "world/sdcard.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sim {

namespace {

constexpr uint32_t kBlock = 512;
// Standard-capacity cards take byte addresses in a 32-bit argument: 4 GiB at most.
constexpr uint64_t kMaxStandardBlocks = (1ull << 32) / kBlock;
// The smallest FAT16 volume: 4085 one-block clusters and its FAT, root and boot sector.
constexpr uint32_t kMinCardBlocks = 4200;

// Takes the image's advisory lock on `fd` without waiting; false with `error` naming the file.
bool lock_image(int fd, const std::string& path, std::string& error) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK)
        error = path + ": the card image is in use by another run (locked); expected one run at a time on an image";
    else
        error = path + ": cannot lock the card image: " + std::strerror(errno);
    return false;
}

void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

// The CHS geometry a card reports for the MBR: 63 sectors a track and as many heads (a
// power of two up to 128, else 255) as keep the cylinder count within 1024.
struct Geometry {
    uint32_t heads;
    uint32_t sectors;
};

Geometry geometry_for(uint32_t blocks) {
    Geometry g{16, 63};
    while (g.heads < 255 && blocks > g.heads * g.sectors * 1024) g.heads = g.heads == 128 ? 255 : g.heads * 2;
    return g;
}

// A block address as cylinder, head and sector; past cylinder 1023 the fields saturate
// (254, 63, 1023) and only the 32-bit address counts.
void put_chs(uint8_t* p, uint32_t lba, Geometry g) {
    uint32_t cylinder = lba / (g.heads * g.sectors);
    if (cylinder > 1023) {
        p[0] = 254;
        p[1] = 0xFF;
        p[2] = 0xFF;
        return;
    }
    p[0] = static_cast<uint8_t>((lba / g.sectors) % g.heads);
    p[1] = static_cast<uint8_t>((lba % g.sectors + 1) | ((cylinder >> 2) & 0xC0));
    p[2] = static_cast<uint8_t>(cylinder);
}

// Cluster size a shop's formatter picks, before the cluster-count limits adjust it.
uint8_t preferred_cluster_blocks(uint8_t bits, uint32_t blocks) {
    uint32_t mb = blocks / 2048;
    if (bits == 16) return mb <= 128 ? 4 : mb <= 512 ? 16 : mb <= 1024 ? 32 : 64;
    return mb < 4096 ? 8 : 64;
}

// Sizes the FATs and the reserved area for one cluster size so that the data area starts on
// a multiple of `align` blocks. False when the metadata alone fills the volume.
bool plan(uint32_t start, uint32_t total, uint8_t bits, uint8_t spc, const FatFormat& f, uint32_t align,
          FatFormatLayout& out) {
    uint32_t root_blocks = bits == 16 ? f.root_entries * 32u / kBlock : 0;
    uint32_t reserved = bits == 16 ? 1 : 32;
    uint32_t fat = 1;
    uint32_t per_block = bits == 16 ? 256 : 128;
    for (int round = 0; round < 64; ++round) {
        uint64_t meta = reserved + static_cast<uint64_t>(f.fat_copies) * fat + root_blocks;
        if (meta >= total || reserved > 0xFFFF) return false;
        uint32_t clusters = static_cast<uint32_t>((total - meta) / spc);
        uint32_t need = (clusters + 2 + per_block - 1) / per_block;
        uint32_t data = static_cast<uint32_t>(start + meta);
        uint32_t pad = (align - data % align) % align;
        if (need <= fat && pad == 0) {
            out.fat_bits = bits;
            out.volume_first = start;
            out.volume_blocks = total;
            out.cluster_blocks = spc;
            out.reserved_blocks = reserved;
            out.fat_blocks = fat;
            out.data_first = data;
            out.clusters = clusters;
            return true;
        }
        if (need > fat) fat = need;
        reserved += pad;
    }
    return false;
}

bool cluster_count_fits(uint8_t bits, uint32_t clusters) {
    return bits == 16 ? clusters >= 4085 && clusters <= 65524 : clusters >= 65525 && clusters <= 0x0FFFFFF5;
}

// Chooses the cluster size (starting from the shop's choice or the one asked for) and the
// layout for one FAT width.
bool layout_for(uint32_t blocks, uint8_t bits, const FatFormat& f, FatFormatLayout& out) {
    uint32_t align = blocks >= 2097152 ? 8192 : blocks >= 131072 ? 2048 : 64; // 4 MiB, 1 MiB, 32 KiB
    uint32_t start = f.partitioned ? align : 0;
    if (start >= blocks) return false;
    uint8_t spc = f.cluster_blocks ? f.cluster_blocks : preferred_cluster_blocks(bits, blocks);
    uint8_t max_spc = bits == 16 ? 64 : 128;
    for (int round = 0; round < 16; ++round) {
        uint32_t data_align = bits == 16 ? spc : align;
        if (!plan(start, blocks - start, bits, spc, f, data_align, out)) return false;
        if (cluster_count_fits(bits, out.clusters)) return true;
        if (f.cluster_blocks) return false;
        bool too_few = out.clusters < (bits == 16 ? 4085u : 65525u);
        if (too_few && spc > 1) {
            spc = static_cast<uint8_t>(spc / 2);
        } else if (!too_few && spc < max_spc) {
            spc = static_cast<uint8_t>(spc * 2);
        } else {
            return false;
        }
    }
    return false;
}

} // namespace

bool format_fat(uint32_t blocks, bool high_capacity, const FatFormat& f, bool blank, const BlockWriter& write,
                FatFormatLayout& layout, std::string& error) {
    if (blocks < kMinCardBlocks) {
        error = "card of " + std::to_string(blocks) + " blocks is too small for FAT16 (at least " +
                std::to_string(kMinCardBlocks) + " blocks)";
        return false;
    }
    if (f.fat_bits != 0 && f.fat_bits != 16 && f.fat_bits != 32) {
        error = "FAT width " + std::to_string(f.fat_bits) + "; expected 16 or 32";
        return false;
    }
    if (f.cluster_blocks != 0 && (f.cluster_blocks > 128 || (f.cluster_blocks & (f.cluster_blocks - 1)) != 0)) {
        error = "cluster of " + std::to_string(f.cluster_blocks) + " blocks; expected a power of two up to 128";
        return false;
    }
    if (f.fat_copies != 1 && f.fat_copies != 2) {
        error = std::to_string(f.fat_copies) + " FAT copies; expected 1 or 2";
        return false;
    }
    if (f.root_entries == 0 || f.root_entries % 16 != 0) {
        error = std::to_string(f.root_entries) + " root entries; expected a non-zero multiple of 16";
        return false;
    }
    uint8_t first_choice = f.fat_bits ? f.fat_bits : high_capacity ? 32 : 16;
    bool ok = layout_for(blocks, first_choice, f, layout);
    if (!ok && f.fat_bits == 0) ok = layout_for(blocks, first_choice == 16 ? 32 : 16, f, layout);
    if (!ok) {
        error = "no FAT" + std::to_string(first_choice) + " layout fits a card of " + std::to_string(blocks) +
                " blocks with the options asked for";
        return false;
    }
    const FatFormatLayout& L = layout;
    bool fat32 = L.fat_bits == 32;
    uint32_t serial = f.serial ? f.serial : blocks * 2654435761u + 0x5D; // Knuth's multiplicative hash
    Geometry geo = geometry_for(blocks);
    std::vector<uint8_t> b(kBlock);
    auto put = [&](uint32_t block) {
        if (!write(block, b.data())) {
            error = "writing block " + std::to_string(block) + " failed";
            return false;
        }
        return true;
    };
    auto zero_range = [&](uint32_t first, uint32_t count) {
        if (blank) return true;
        std::fill(b.begin(), b.end(), 0);
        for (uint32_t i = 0; i < count; ++i)
            if (!put(first + i)) return false;
        return true;
    };

    if (f.partitioned) {
        std::fill(b.begin(), b.end(), 0);
        uint8_t* e = b.data() + 446;
        uint32_t last = L.volume_first + L.volume_blocks - 1;
        put_chs(e + 1, L.volume_first, geo);
        e[4] = fat32 ? (last >= 16450560 ? 0x0C : 0x0B) : (L.volume_blocks < 65536 ? 0x04 : 0x06);
        put_chs(e + 5, last, geo);
        put32(e + 8, L.volume_first);
        put32(e + 12, L.volume_blocks);
        b[510] = 0x55;
        b[511] = 0xAA;
        if (!put(0) || !zero_range(1, L.volume_first - 1)) return false;
    }

    // Boot sector.
    std::fill(b.begin(), b.end(), 0);
    b[0] = 0xEB;
    b[1] = fat32 ? 0x58 : 0x3C;
    b[2] = 0x90;
    std::memcpy(b.data() + 3, "SIMSD1.0", 8);
    put16(&b[11], kBlock);
    b[13] = L.cluster_blocks;
    put16(&b[14], L.reserved_blocks);
    b[16] = f.fat_copies;
    b[21] = 0xF8; // fixed disk
    put16(&b[24], geo.sectors);
    put16(&b[26], geo.heads);
    put32(&b[28], L.volume_first);
    uint32_t ext; // start of the extended boot record fields
    if (fat32) {
        put32(&b[32], L.volume_blocks);
        put32(&b[36], L.fat_blocks);
        put32(&b[44], 2); // root directory cluster
        put16(&b[48], 1); // FSInfo block
        put16(&b[50], 6); // backup boot sector
        ext = 64;
    } else {
        put16(&b[17], f.root_entries);
        if (L.volume_blocks < 65536) put16(&b[19], L.volume_blocks);
        else put32(&b[32], L.volume_blocks);
        put16(&b[22], L.fat_blocks);
        ext = 36;
    }
    b[ext] = 0x80;      // drive number
    b[ext + 2] = 0x29;  // extended boot signature: serial, label and type follow
    put32(&b[ext + 3], serial);
    std::memcpy(&b[ext + 7], "NO NAME    ", 11);
    std::memcpy(&b[ext + 18], fat32 ? "FAT32   " : "FAT16   ", 8);
    b[510] = 0x55;
    b[511] = 0xAA;
    std::vector<uint8_t> boot = b;
    if (!put(L.volume_first)) return false;
    if (!zero_range(L.volume_first + 1, L.reserved_blocks - 1)) return false;
    if (fat32) {
        if (!put(L.volume_first + 6)) return false;
        std::fill(b.begin(), b.end(), 0);
        put32(&b[0], 0x41615252);
        put32(&b[484], 0x61417272);
        put32(&b[488], L.clusters - 1); // free: all but the root's cluster
        put32(&b[492], 3);              // next free
        put32(&b[508], 0xAA550000);
        if (!put(L.volume_first + 1) || !put(L.volume_first + 7)) return false;
    }

    // FATs: entry 0 carries the media byte, entry 1 the end mark, FAT32's entry 2 ends the root.
    for (uint8_t k = 0; k < f.fat_copies; ++k) {
        uint32_t first = L.volume_first + L.reserved_blocks + k * L.fat_blocks;
        if (!zero_range(first + 1, L.fat_blocks - 1)) return false;
        std::fill(b.begin(), b.end(), 0);
        if (fat32) {
            put32(&b[0], 0x0FFFFFF8);
            put32(&b[4], 0x0FFFFFFF);
            put32(&b[8], 0x0FFFFFFF);
        } else {
            put16(&b[0], 0xFFF8);
            put16(&b[2], 0xFFFF);
        }
        if (!put(first)) return false;
    }
    // An empty root directory.
    uint32_t root_first = L.volume_first + L.reserved_blocks + f.fat_copies * L.fat_blocks;
    uint32_t root_blocks = fat32 ? L.cluster_blocks : f.root_entries * 32u / kBlock;
    return zero_range(root_first, root_blocks);
}

// ------------------------------------------------------------------ the card

SdCard::SdCard(const SdCardConfig& config) : config_(config) {}

SdCard::~SdCard() {
    if (fd_ >= 0) ::close(fd_);
}

bool SdCard::open(const std::string& path, std::string& error) {
    cache_.clear();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    path_ = path;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        uint64_t bytes = static_cast<uint64_t>(st.st_size);
        if (!S_ISREG(st.st_mode)) {
            error = path + ": not a regular file; expected an SD card image";
            return false;
        }
        if (config_.fresh) {
            return new_card_fits(error) && open_existing(error) && lay_out_new(false, error);
        }
        if (bytes == 0 || bytes % kBlock != 0) {
            error = path + ": card image of " + std::to_string(bytes) +
                    " bytes; expected a whole, non-zero number of 512-byte blocks";
            return false;
        }
        if (config_.blocks != 0 && bytes != static_cast<uint64_t>(config_.blocks) * kBlock) {
            error = path + ": card image of " + std::to_string(bytes) + " bytes; expected exactly " +
                    std::to_string(static_cast<uint64_t>(config_.blocks) * kBlock) + " bytes (" +
                    std::to_string(config_.blocks) + " blocks of 512)";
            return false;
        }
        if (bytes / kBlock > 0xFFFFFFFFull) {
            error = path + ": card image of " + std::to_string(bytes) + " bytes; expected at most 2^32 blocks";
            return false;
        }
        if (!config_.high_capacity && bytes / kBlock > kMaxStandardBlocks) {
            error = path + ": standard-capacity card image of " + std::to_string(bytes) +
                    " bytes; expected at most 4 GiB (use an SDHC card for more)";
            return false;
        }
        if (!open_existing(error)) return false;
        blocks_ = static_cast<uint32_t>(bytes / kBlock);
        return true;
    }
    if (errno != ENOENT) {
        error = path + ": cannot read the card image: " + std::strerror(errno);
        return false;
    }
    if (!new_card_fits(error)) return false;
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    if (fd_ < 0) {
        error = path + ": cannot create the card image: " + std::strerror(errno);
        return false;
    }
    if (config_.lock && !lock_image(fd_, path, error)) {
        // Another run opened the new file first: it is that run's image now.
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return lay_out_new(true, error);
}

bool SdCard::open_existing(std::string& error) {
    fd_ = ::open(path_.c_str(), O_RDWR);
    if (fd_ < 0) {
        error = path_ + ": cannot open the card image for reading and writing: " + std::strerror(errno);
        return false;
    }
    if (config_.lock && !lock_image(fd_, path_, error)) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool SdCard::new_card_fits(std::string& error) const {
    if (config_.blocks == 0) {
        error = path_ + ": no card image; expected an existing image or a card size to create one";
        return false;
    }
    if (!config_.high_capacity && config_.blocks > kMaxStandardBlocks) {
        error = path_ + ": a standard-capacity card of " + std::to_string(config_.blocks) +
                " blocks; expected at most " + std::to_string(kMaxStandardBlocks) + " blocks (4 GiB)";
        return false;
    }
    return true;
}

bool SdCard::lay_out_new(bool made_now, std::string& error) {
    blocks_ = config_.blocks;
    bool ok = ::ftruncate(fd_, 0) == 0 && ::ftruncate(fd_, static_cast<off_t>(blocks_) * kBlock) == 0;
    if (!ok)
        error = path_ + ": cannot size the card image to " + std::to_string(blocks_) + " blocks: " +
                std::strerror(errno);
    if (ok) ok = format(true, error);
    if (!ok) {
        ::close(fd_);
        fd_ = -1;
        if (made_now) ::unlink(path_.c_str());
    }
    return ok;
}

bool SdCard::factory_format(std::string& error) {
    if (fd_ < 0) {
        error = "no card image open";
        return false;
    }
    return format(false, error);
}

bool SdCard::format(bool blank, std::string& error) {
    cache_.clear();
    FatFormatLayout layout;
    std::string why;
    auto write_block = [this](uint32_t block, const uint8_t* data) {
        return ::pwrite(fd_, data, kBlock, static_cast<off_t>(block) * kBlock) == static_cast<ssize_t>(kBlock);
    };
    if (!format_fat(blocks_, config_.high_capacity, FatFormat{}, blank, write_block, layout, why)) {
        error = path_ + ": factory format: " + why;
        return false;
    }
    return true;
}

bool SdCard::read(uint32_t block, uint8_t* dst512) {
    if (!present() || block >= blocks_) return false;
    // The firmware reads its directory and FAT blocks over and over; a copy of the blocks
    // read lately saves the host a system call each time. The image file stays the truth:
    // every write goes through to it.
    auto hit = cache_.find(block);
    if (hit != cache_.end()) {
        std::memcpy(dst512, hit->second.data(), kBlock);
    } else {
        if (::pread(fd_, dst512, kBlock, static_cast<off_t>(block) * kBlock) != static_cast<ssize_t>(kBlock))
            return false;
        if (cache_.size() >= kCachedBlocks) cache_.clear();
        std::memcpy(cache_[block].data(), dst512, kBlock);
    }
    ++blocks_read_;
    return true;
}

bool SdCard::write(uint32_t block, const uint8_t* src512) {
    if (!present() || block >= blocks_ || write_errors_) return false;
    if (::pwrite(fd_, src512, kBlock, static_cast<off_t>(block) * kBlock) != static_cast<ssize_t>(kBlock)) {
        cache_.erase(block);
        return false;
    }
    auto hit = cache_.find(block);
    if (hit != cache_.end()) std::memcpy(hit->second.data(), src512, kBlock);
    ++blocks_written_;
    return true;
}

bool SdCard::erase(uint32_t first, uint32_t last) {
    if (!present() || first > last || last >= blocks_) return false;
    ++erase_commands_;
    cache_.clear();
    off_t offset = static_cast<off_t>(first) * kBlock;
    off_t length = static_cast<off_t>(last - first + 1) * kBlock;
    // Zeros: a hole in the image costs nothing; the flash of a 0xFF card is written out.
    if (!config_.erased_reads_ones &&
        ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) == 0)
        return true;
    std::vector<uint8_t> fill(64 * 1024, config_.erased_reads_ones ? 0xFF : 0x00);
    while (length > 0) {
        size_t n = length < static_cast<off_t>(fill.size()) ? static_cast<size_t>(length) : fill.size();
        if (::pwrite(fd_, fill.data(), n, offset) != static_cast<ssize_t>(n)) return false;
        offset += static_cast<off_t>(n);
        length -= static_cast<off_t>(n);
    }
    return true;
}

Nanos SdCard::busy_time(uint32_t blocks_written) const {
    return config_.command_time + blocks_written * config_.block_program_time;
}

} // namespace sim
