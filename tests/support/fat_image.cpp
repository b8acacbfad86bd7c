#include "fat_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace sim::test {

namespace {

constexpr uint32_t kBlock = 512;

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

bool dev_read(void* c, uint32_t block, uint8_t* dst) { return static_cast<BlockImage*>(c)->read(block, dst); }
bool dev_write(void* c, uint32_t block, const uint8_t* src) { return static_cast<BlockImage*>(c)->write(block, src); }
bool dev_sync(void* c) {
    ++static_cast<BlockImage*>(c)->syncs;
    return true;
}
uint32_t dev_blocks(void* c) { return static_cast<BlockImage*>(c)->blocks(); }

} // namespace

BlockImage::BlockImage(uint32_t blocks) : blocks_(blocks), device_{this, dev_read, dev_write, dev_sync, dev_blocks} {}

bool BlockImage::take_write() {
    if (!present_ || power_budget_ == 0) return false;
    if (power_budget_ > 0) --power_budget_;
    ++writes;
    return true;
}

bool BlockImage::take_read() {
    if (!present_) return false;
    ++reads;
    return true;
}

FatFormatLayout BlockImage::format(const FatFormat& format, bool high_capacity) {
    FatFormatLayout layout;
    std::string error;
    bool ok = format_fat(blocks_, high_capacity, format, false,
                         [this](uint32_t block, const uint8_t* data) { return write(block, data); }, layout, error);
    EXPECT_TRUE(ok) << error;
    reads = writes = syncs = 0;
    return layout;
}

// ------------------------------------------------------------------ RAM

bool RamImage::read(uint32_t block, uint8_t* dst512) {
    if (block >= blocks_ || !take_read()) return false;
    auto it = data_.find(block);
    if (it == data_.end()) std::memset(dst512, 0, kBlock);
    else std::memcpy(dst512, it->second.data(), kBlock);
    return true;
}

bool RamImage::write(uint32_t block, const uint8_t* src512) {
    if (block >= blocks_ || !take_write()) return false;
    if (std::all_of(src512, src512 + kBlock, [](uint8_t b) { return b == 0; })) {
        data_.erase(block);
    } else {
        std::memcpy(data_[block].data(), src512, kBlock);
    }
    return true;
}

void RamImage::scribble(uint32_t first, uint32_t count, uint32_t seed) {
    uint32_t x = seed * 2654435761u + 1;
    for (uint32_t block = first; block < first + count && block < blocks_; ++block) {
        auto& bytes = data_[block];
        for (uint8_t& b : bytes) {
            x = x * 1103515245u + 12345u;
            b = static_cast<uint8_t>(x >> 16);
        }
    }
}

std::unique_ptr<RamImage> RamImage::clone() const {
    auto copy = std::make_unique<RamImage>(blocks_);
    copy->data_ = data_;
    return copy;
}

void RamImage::save(const std::string& path) const {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path << ": cannot create the image file";
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(blocks_) * kBlock), 0) << path;
    for (const auto& [block, bytes] : data_)
        ASSERT_EQ(::pwrite(fd, bytes.data(), kBlock, static_cast<off_t>(block) * kBlock), static_cast<ssize_t>(kBlock))
            << path;
    ::close(fd);
}

// ------------------------------------------------------------------ file

uint32_t FileImage::size_of(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) / kBlock);
}

FileImage::FileImage(const std::string& path) : BlockImage(size_of(path)) {
    fd_ = ::open(path.c_str(), O_RDWR);
    EXPECT_GE(fd_, 0) << path << ": cannot open the image file";
    EXPECT_GT(blocks_, 0u) << path << ": empty image file";
}

FileImage::~FileImage() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileImage::read(uint32_t block, uint8_t* dst512) {
    if (fd_ < 0 || block >= blocks_ || !take_read()) return false;
    return ::pread(fd_, dst512, kBlock, static_cast<off_t>(block) * kBlock) == static_cast<ssize_t>(kBlock);
}

bool FileImage::write(uint32_t block, const uint8_t* src512) {
    if (fd_ < 0 || block >= blocks_ || !take_write()) return false;
    return ::pwrite(fd_, src512, kBlock, static_cast<off_t>(block) * kBlock) == static_cast<ssize_t>(kBlock);
}

// ------------------------------------------------------------------ checker

std::string FatReport::text() const {
    std::string s = "clusters " + std::to_string(clusters) + ", free " + std::to_string(free) + ", used " +
                    std::to_string(used) + ", lost " + std::to_string(lost) + ", cross-links " +
                    std::to_string(cross_links) + ", broken " + std::to_string(broken_chains) + ", orphan long " +
                    std::to_string(orphan_long) + ", short " +
                    std::to_string(short_chains) + ", long " + std::to_string(long_chains) + ", FAT copies differ " +
                    std::to_string(fat_copies_differ) + ", bad entries " + std::to_string(bad_entries) + "\n";
    for (const std::string& p : problems) s += "  " + p + "\n";
    return s;
}

FatReport check_fat(BlockImage& image) {
    FatReport r;
    uint8_t b[kBlock];
    auto rd = [&](uint32_t block, uint8_t* dst) { return image.read(block, dst); };
    if (!rd(0, b)) {
        r.problems.push_back("block 0 unreadable");
        return r;
    }
    uint32_t first = 0;
    bool bpb_at_0 = get16(b + 11) == kBlock && b[13] != 0 && get16(b + 14) != 0 && b[16] != 0;
    if (!bpb_at_0) {
        if (b[510] != 0x55 || b[511] != 0xAA || b[446 + 4] == 0) {
            r.problems.push_back("no boot sector and no partition at block 0");
            return r;
        }
        first = get32(b + 446 + 8);
        if (!rd(first, b)) {
            r.problems.push_back("boot sector unreadable");
            return r;
        }
    }
    uint32_t spc = b[13], reserved = get16(b + 14), fats = b[16], root_entries = get16(b + 17);
    uint32_t total = get16(b + 19) ? get16(b + 19) : get32(b + 32);
    uint32_t fat_size = get16(b + 22) ? get16(b + 22) : get32(b + 36);
    if (get16(b + 11) != kBlock || spc == 0 || fats == 0 || fat_size == 0 || total == 0) {
        r.problems.push_back("boot sector fields out of range");
        return r;
    }
    uint32_t root_blocks = (root_entries * 32 + kBlock - 1) / kBlock;
    uint32_t fat_first = first + reserved;
    uint32_t root_first = fat_first + fats * fat_size;
    uint32_t data_first = root_first + root_blocks;
    uint32_t clusters = (total - (data_first - first)) / spc;
    bool fat32 = clusters >= 65525;
    uint32_t root_cluster = fat32 ? get32(b + 44) & 0x0FFFFFFF : 0;
    r.clusters = clusters;

    // FAT copy 0 in full; the other copies compared block by block.
    std::vector<uint32_t> fat(clusters + 2);
    uint32_t per_block = fat32 ? 128 : 256;
    uint8_t other[kBlock];
    for (uint32_t blk = 0; blk * per_block < clusters + 2; ++blk) {
        if (!rd(fat_first + blk, b)) {
            r.problems.push_back("FAT block " + std::to_string(blk) + " unreadable");
            return r;
        }
        for (uint32_t i = 0; i < per_block && blk * per_block + i < clusters + 2; ++i)
            fat[blk * per_block + i] = fat32 ? get32(b + 4 * i) & 0x0FFFFFFF : get16(b + 2 * i);
        for (uint32_t k = 1; k < fats; ++k) {
            if (rd(fat_first + k * fat_size + blk, other) && std::memcmp(b, other, kBlock) != 0) {
                ++r.fat_copies_differ;
                r.problems.push_back("FAT copy " + std::to_string(k) + " differs in block " + std::to_string(blk));
            }
        }
    }
    r.mounted = true;
    uint32_t end_mark = fat32 ? 0x0FFFFFF8 : 0xFFF8;
    uint32_t bad_mark = fat32 ? 0x0FFFFFF7 : 0xFFF7;
    std::vector<uint32_t> owner(clusters + 2, 0); // chain id + 1 of the chain that reached it
    uint32_t chain_id = 0;

    // Follows a chain, claiming its clusters; returns the clusters in it.
    auto follow = [&](uint32_t start, const std::string& what, std::vector<uint32_t>* list) {
        ++chain_id;
        uint32_t count = 0;
        uint32_t c = start;
        while (true) {
            if (c < 2 || c > clusters + 1) {
                ++r.broken_chains;
                r.problems.push_back(what + ": chain reaches cluster " + std::to_string(c));
                break;
            }
            if (owner[c] == chain_id) {
                ++r.broken_chains;
                r.problems.push_back(what + ": chain loops at cluster " + std::to_string(c));
                break;
            }
            if (owner[c] != 0) {
                ++r.cross_links;
                r.problems.push_back(what + ": cluster " + std::to_string(c) + " belongs to another chain too");
                break;
            }
            owner[c] = chain_id;
            ++count;
            if (list) list->push_back(c);
            uint32_t next = fat[c];
            if (next >= end_mark) break;
            if (next == 0 || next == bad_mark) {
                ++r.broken_chains;
                r.problems.push_back(what + ": cluster " + std::to_string(c) + " links to " + std::to_string(next));
                break;
            }
            c = next;
        }
        return count;
    };

    std::function<void(uint32_t, uint32_t, const std::string&, int)> walk_dir;
    walk_dir = [&](uint32_t dir_cluster, uint32_t parent_cluster, const std::string& path, int depth) {
        std::vector<uint32_t> blocks;
        if (dir_cluster == 0) {
            for (uint32_t i = 0; i < root_blocks; ++i) blocks.push_back(root_first + i);
        } else {
            std::vector<uint32_t> chain;
            follow(dir_cluster, path, &chain);
            for (uint32_t c : chain)
                for (uint32_t i = 0; i < spc; ++i) blocks.push_back(data_first + (c - 2) * spc + i);
        }
        uint8_t d[kBlock];
        uint32_t index = 0;
        // A long name: entries with order n (flagged last) down to 1, each carrying the
        // checksum of the short entry that follows them.
        bool long_open = false;
        uint8_t long_next = 0, long_sum = 0;
        auto orphan = [&](const char* why) {
            ++r.orphan_long;
            r.problems.push_back(path + ": long-name entries " + why + " at entry " + std::to_string(index));
            long_open = false;
        };
        for (uint32_t block : blocks) {
            if (!rd(block, d)) {
                r.problems.push_back(path + ": directory block unreadable");
                return;
            }
            for (uint32_t k = 0; k < 16; ++k, ++index) {
                const uint8_t* e = d + 32 * k;
                if (e[0] == 0x00) {
                    if (long_open) orphan("before the directory's end");
                    return;
                }
                if (e[0] == 0xE5) {
                    if (long_open) orphan("before a deleted entry");
                    continue;
                }
                if ((e[11] & 0x3F) == 0x0F) {
                    uint8_t order = e[0] & 0x1F;
                    if (e[0] & 0x40) {
                        if (long_open) orphan("cut short");
                        long_open = true;
                        long_next = order;
                        long_sum = e[13];
                    } else if (!long_open || order != long_next || e[13] != long_sum) {
                        if (long_open) orphan("out of sequence");
                        else orphan("without their first part");
                    }
                    if (long_open) --long_next;
                    continue;
                }
                if (long_open) {
                    uint8_t sum = 0;
                    for (int i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + e[i]);
                    if (long_next != 0 || sum != long_sum) orphan("not matching their short entry");
                    long_open = false;
                }
                if (e[11] & 0x08) continue;
                uint32_t fc = get16(e + 26) | (fat32 ? static_cast<uint32_t>(get16(e + 20)) << 16 : 0);
                std::string name(reinterpret_cast<const char*>(e), 11);
                if (e[0] == '.') {
                    uint32_t expect = name == ".          " ? dir_cluster : parent_cluster;
                    if (index > 1 || fc != expect) {
                        ++r.bad_entries;
                        r.problems.push_back(path + "/" + name + ": dot entry names cluster " + std::to_string(fc));
                    }
                    continue;
                }
                std::string child = path + "/" + name;
                if (e[11] & 0x10) {
                    ++r.directories;
                    if (fc < 2 || fc > clusters + 1 || depth > 32) {
                        ++r.bad_entries;
                        r.problems.push_back(child + ": directory at cluster " + std::to_string(fc));
                        continue;
                    }
                    walk_dir(fc, dir_cluster == root_cluster ? 0 : dir_cluster, child, depth + 1);
                } else {
                    ++r.files;
                    uint32_t size = get32(e + 28);
                    uint64_t need = (static_cast<uint64_t>(size) + spc * kBlock - 1) / (spc * kBlock);
                    uint32_t have = fc == 0 ? 0 : follow(fc, child, nullptr);
                    if (have < need) {
                        ++r.short_chains;
                        r.problems.push_back(child + ": " + std::to_string(size) + " bytes in " + std::to_string(have) +
                                             " clusters");
                    } else if (have > need) {
                        ++r.long_chains;
                        r.problems.push_back(child + ": " + std::to_string(have) + " clusters for " +
                                             std::to_string(size) + " bytes");
                    }
                }
            }
        }
    };
    walk_dir(root_cluster, 0, "", 0);

    for (uint32_t c = 2; c < clusters + 2; ++c) {
        if (fat[c] == 0) ++r.free;
        if (owner[c] != 0) ++r.used;
        else if (fat[c] != 0 && fat[c] != bad_mark) ++r.lost;
    }
    if (r.lost) r.problems.push_back(std::to_string(r.lost) + " lost clusters");
    return r;
}

std::string temp_path(const std::string& name) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = info ? std::string(info->test_suite_name()) + "_" + info->name() : "fat";
    for (char& c : test)
        if (c == '/') c = '_'; // parameterised tests are named "Prefix/Suite.Test/Param"
    return ::testing::TempDir() + test + "_" + name;
}

bool extract_blocks(const std::string& from, uint32_t first, uint32_t count, const std::string& to) {
    int in = open(from.c_str(), O_RDONLY);
    int out = open(to.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) {
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        return false;
    }
    off_t begin = static_cast<off_t>(first) * 512, end = begin + static_cast<off_t>(count) * 512;
    bool ok = ftruncate(out, end - begin) == 0;
    std::vector<char> buf(1 << 20);
    for (off_t at = begin; ok && at < end;) {
        off_t data = lseek(in, at, SEEK_DATA);
        if (data < 0 || data >= end) break;
        off_t hole = lseek(in, data, SEEK_HOLE);
        if (hole > end) hole = end;
        for (off_t p = data; ok && p < hole;) {
            size_t n = static_cast<size_t>(std::min<off_t>(hole - p, static_cast<off_t>(buf.size())));
            ok = pread(in, buf.data(), n, p) == static_cast<ssize_t>(n) &&
                 pwrite(out, buf.data(), n, p - begin) == static_cast<ssize_t>(n);
            p += static_cast<off_t>(n);
        }
        at = hole;
    }
    close(in);
    close(out);
    return ok;
}

} // namespace sim::test
