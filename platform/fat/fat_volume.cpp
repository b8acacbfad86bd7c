// FAT16/FAT32 volume: mount, FAT access, cluster allocation, directories and paths.
#include "fat_volume.h"

#include <string.h>

#include "fat_file.h"
#include "fat_layout.h"
#include "fat_names.h"

using namespace fat_layout;

namespace {
constexpr uint32_t kNoBlock = 0xFFFFFFFF;
constexpr uint32_t kUnknown = 0xFFFFFFFF;
constexpr uint16_t kDate1980 = (1 << 5) | 1; // 1 January 1980, the FAT epoch
constexpr uint32_t kMaxAliasTail = 999999;   // "~999999" still leaves one base character
} // namespace

FatVolume::FatVolume()
    : device_(nullptr), clock_(nullptr), search_step_(nullptr), search_context_(nullptr), transfer_step_(nullptr),
      transfer_context_(nullptr), generation_(0),
      fat_bits_(0), cluster_blocks_(0), fat_copies_(0),
      volume_first_(0), fat_first_(0), fat_blocks_(0), root_first_(0), root_entries_(0), data_first_(0),
      clusters_(0), root_cluster_(0), fsinfo_block_(0), free_count_(kUnknown), next_free_(2),
      fsinfo_dirty_(false), exhausted_(false), free_hint_valid_(false), free_hint_(), slicing_(false), slice_next_(0), slice_free_(0), cache_block_(kNoBlock), cache_dirty_(false), cache_(), writers_() {
    for (Writer& w : writers_) w.block = kNoBlock;
}

// ------------------------------------------------------------------ device and cache

void FatVolume::attach(const FatBlockDevice* device) {
    unmount();
    device_ = device;
}

void FatVolume::unmount() {
    ++generation_;
    fat_bits_ = 0;
    cluster_blocks_ = 0;
    fat_copies_ = 0;
    volume_first_ = fat_first_ = fat_blocks_ = root_first_ = root_entries_ = data_first_ = 0;
    clusters_ = root_cluster_ = fsinfo_block_ = 0;
    free_count_ = kUnknown;
    next_free_ = 2;
    free_hint_valid_ = false;
    slicing_ = false;
    fsinfo_dirty_ = false;
    exhausted_ = false;
    cache_block_ = kNoBlock;
    cache_dirty_ = false;
    for (Writer& w : writers_) {
        w.owner = nullptr;
        w.block = kNoBlock;
        w.dirty = false;
    }
}

bool FatVolume::deviceRead(uint32_t block, uint8_t* dst) {
    if (transfer_step_) transfer_step_(transfer_context_);
    return device_ && device_->read_block(device_->context, block, dst);
}

bool FatVolume::deviceWrite(uint32_t block, const uint8_t* src) {
    if (transfer_step_) transfer_step_(transfer_context_);
    return device_ && device_->write_block(device_->context, block, src);
}

// Brings a block into the cache, writing out the changed one it replaces. Returns the
// cache, or null on an I/O error.
uint8_t* FatVolume::cacheLoad(uint32_t block, bool for_write) {
    if (cache_block_ != block) {
        if (!cacheFlush()) return nullptr;
        if (!deviceRead(block, cache_)) {
            cache_block_ = kNoBlock;
            return nullptr;
        }
        cache_block_ = block;
    }
    if (for_write) cache_dirty_ = true;
    return cache_;
}

// Writes the cached block if changed; a FAT block goes to every copy of the FAT, the one in
// use first. On failure the block stays marked changed, so nothing later overtakes it.
bool FatVolume::cacheFlush() {
    if (!cache_dirty_) return true;
    if (!deviceWrite(cache_block_, cache_)) return false;
    if (cache_block_ >= fat_first_ && cache_block_ < fat_first_ + fat_blocks_) {
        for (uint8_t k = 1; k < fat_copies_; ++k)
            if (!deviceWrite(cache_block_ + k * fat_blocks_, cache_)) return false;
    }
    cache_dirty_ = false;
    return true;
}

void FatVolume::cacheForget(uint32_t block) {
    if (cache_block_ == block && !cache_dirty_) cache_block_ = kNoBlock;
}

// The cache and the FSInfo block on the card, then the device's own sync.
bool FatVolume::flushMeta() {
    if (fsinfo_dirty_ && fsinfo_block_ != 0) {
        uint8_t* b = cacheLoad(fsinfo_block_, true);
        if (!b) return false;
        put32(b + kFsInfoFree, free_count_);
        put32(b + kFsInfoNext, next_free_);
    }
    if (!cacheFlush()) return false;
    fsinfo_dirty_ = false;
    return !device_->sync || device_->sync(device_->context);
}

bool FatVolume::readDeviceBlock(uint32_t block, uint8_t* dst512) {
    if (!cacheFlush()) return false;
    return deviceRead(block, dst512);
}

// ------------------------------------------------------------------ mount

bool FatVolume::mount(uint8_t partition) {
    unmount();
    if (!device_ || partition > 4) return false;
    uint32_t device_blocks = device_->block_count(device_->context);
    if (device_blocks == 0) return false;
    uint8_t* b = cache_;
    uint32_t first = 0;
    uint32_t limit = device_blocks;
    if (partition > 0) {
        if (!deviceRead(0, b) || b[kSignature] != 0x55 || b[kSignature + 1] != 0xAA) return false;
        const uint8_t* e = b + kMbrPartitions + 16 * (partition - 1);
        // The boot flag is 0x00 or 0x80: boot code of an unpartitioned volume rarely is.
        if ((e[kPartBootFlag] & 0x7F) != 0 || e[kPartType] == 0) return false;
        first = get32(e + kPartFirst);
        uint32_t count = get32(e + kPartCount);
        if (count == 0 || first >= device_blocks || count > device_blocks - first) return false;
        limit = count;
    }
    if (!deviceRead(first, b) || b[kSignature] != 0x55 || b[kSignature + 1] != 0xAA) return false;
    if (get16(b + kBytesPerBlock) != kBlockSize) return false;
    uint8_t per_cluster = b[kBlocksPerCluster];
    if (per_cluster == 0 || (per_cluster & (per_cluster - 1)) != 0) return false;
    uint32_t reserved = get16(b + kReservedBlocks);
    uint8_t fats = b[kFatCount];
    uint32_t root_entries = get16(b + kRootEntries);
    uint32_t total = get16(b + kTotalBlocks16);
    if (total == 0) total = get32(b + kTotalBlocks32);
    uint32_t fat_size = get16(b + kFatBlocks16);
    bool fat32_layout = fat_size == 0;
    if (fat32_layout) fat_size = get32(b + kFat32FatBlocks);
    if (reserved == 0 || fats == 0 || fats > 2 || total == 0 || total > limit || fat_size == 0) return false;
    uint32_t root_blocks = (root_entries * kEntrySize + kBlockSize - 1) / kBlockSize;
    uint64_t meta = reserved + static_cast<uint64_t>(fats) * fat_size + root_blocks;
    if (meta >= total) return false;
    uint32_t clusters = static_cast<uint32_t>((total - meta) / per_cluster);
    if (clusters < kMinFat16Clusters) return false; // FAT12 is not supported
    uint8_t bits = clusters < kMinFat32Clusters ? 16 : 32;
    if (clusters > kMaxFat32Clusters || (bits == 32) != fat32_layout) return false;
    uint32_t entries_per_block = bits == 16 ? 256 : 128;
    if (static_cast<uint64_t>(fat_size) * entries_per_block < static_cast<uint64_t>(clusters) + 2) return false;

    uint8_t copies = fats;
    uint32_t fat_first = first + reserved;
    uint32_t root_cluster = 0, fsinfo = 0;
    if (bits == 16) {
        if (root_entries == 0) return false;
    } else {
        if (root_entries != 0 || get16(b + kFat32Version) != 0) return false;
        uint16_t ext = get16(b + kFat32ExtFlags);
        if (ext & kExtFlagsNoMirror) {
            // Only the active FAT is kept; the other copy is left alone.
            uint8_t active = ext & 0x0F;
            if (active >= fats) return false;
            fat_first += active * fat_size;
            copies = 1;
        }
        root_cluster = get32(b + kFat32RootCluster) & 0x0FFFFFFF;
        if (root_cluster < 2 || root_cluster > clusters + 1) return false;
        fsinfo = get16(b + kFat32FsInfo);
        if (fsinfo == 0 || fsinfo >= reserved) fsinfo = 0;
    }

    fat_bits_ = bits;
    cluster_blocks_ = per_cluster;
    fat_copies_ = copies;
    volume_first_ = first;
    fat_first_ = fat_first;
    fat_blocks_ = fat_size;
    root_first_ = first + reserved + fats * fat_size;
    root_entries_ = root_entries;
    data_first_ = static_cast<uint32_t>(first + meta);
    clusters_ = clusters;
    root_cluster_ = root_cluster;
    if (fsinfo != 0 && deviceRead(first + fsinfo, b) && get32(b + kFsInfoLead) == kFsInfoLeadSig &&
        get32(b + kFsInfoStruct) == kFsInfoStructSig && get32(b + kFsInfoTrail) == kFsInfoTrailSig) {
        fsinfo_block_ = first + fsinfo;
        uint32_t free = get32(b + kFsInfoFree);
        uint32_t next = get32(b + kFsInfoNext);
        // A stored count of 0 is not taken on trust: it would refuse every write on a card
        // that another system left with a stale count. The first search confirms it.
        free_count_ = free != 0 && free <= clusters ? free : kUnknown;
        if (validCluster(next)) next_free_ = next;
    }
    cache_block_ = kNoBlock;
    return true;
}

// ------------------------------------------------------------------ FAT

bool FatVolume::fatGet(uint32_t cluster, uint32_t& value) {
    if (cluster > clusters_ + 1) return false;
    uint32_t offset = fat_bits_ == 16 ? cluster * 2 : cluster * 4;
    uint8_t* b = cacheLoad(fat_first_ + offset / kBlockSize, false);
    if (!b) return false;
    offset %= kBlockSize;
    value = fat_bits_ == 16 ? get16(b + offset) : get32(b + offset) & 0x0FFFFFFF;
    return true;
}

bool FatVolume::fatSet(uint32_t cluster, uint32_t value) {
    if (!validCluster(cluster)) return false;
    uint32_t offset = fat_bits_ == 16 ? cluster * 2 : cluster * 4;
    uint8_t* b = cacheLoad(fat_first_ + offset / kBlockSize, true);
    if (!b) return false;
    offset %= kBlockSize;
    if (fat_bits_ == 16) {
        put16(b + offset, static_cast<uint16_t>(value));
    } else {
        // The top four bits of a FAT32 entry are reserved and kept as found.
        put32(b + offset, (get32(b + offset) & 0xF0000000) | (value & 0x0FFFFFFF));
    }
    return true;
}

// The cluster after `cluster` in its chain: 1 found, 0 end of chain, -1 read error or a
// broken chain (a free, bad or out-of-range entry).
int8_t FatVolume::nextCluster(uint32_t cluster, uint32_t& next) {
    uint32_t value;
    if (!fatGet(cluster, value)) return -1;
    if (isEnd(value)) return 0;
    if (!validCluster(value)) return -1;
    next = value;
    return 1;
}

// Searches for a free cluster from where the last search ended: 1 found (in `found`), 0 the
// volume is full, -1 an I/O error or a search given up by the step. A search that goes round
// the whole FAT without a free entry marks the volume full, so a full volume is searched
// once, not at every write. (A count that reached 0 is not enough: it may have come from a
// stale FSInfo.)
int8_t FatVolume::findFree(uint32_t& found) {
    if (exhausted_) return 0;
    const uint32_t per_block = fatEntriesPerBlock();
    uint32_t c = validCluster(next_free_) ? next_free_ : 2;
    for (uint32_t n = 0; n < clusters_; ++n) {
        if ((n == 0 || c % per_block == 0) && search_step_ && !search_step_(search_context_)) return -1;
        uint32_t value;
        if (!fatGet(c, value)) return -1;
        if (value == 0) {
            next_free_ = c;
            found = c;
            return 1;
        }
        c = c + 1 <= clusters_ + 1 ? c + 1 : 2;
    }
    exhausted_ = true;
    setFreeCount(0);
    return 0;
}

int32_t FatVolume::knownFreeClusters() {
    if (fat_bits_ == 0 || free_count_ == 0xFFFFFFFF || !cacheFlush()) return -1;
    cache_block_ = kNoBlock;
    if (!cacheLoad(fat_first_, false)) return -1;
    return static_cast<int32_t>(free_count_);
}

bool FatVolume::hasFreeCluster() {
    uint32_t c;
    return fat_bits_ != 0 && findFree(c) == 1;
}

// Takes a free cluster: marks it end-of-chain, zeroes its blocks when asked, and only then
// links it after `previous` (0: it starts a new chain). Returns 0 on a full volume or an
// I/O error.
uint32_t FatVolume::allocateCluster(uint32_t previous, bool zero) {
    uint32_t c;
    if (findFree(c) != 1) return 0;
    if (zero) {
        // The zeroed cache is written to every block of the cluster while the cluster is
        // still free: power lost during the many writes of a large cluster leaves nothing
        // behind, not a lost cluster.
        if (!cacheFlush()) return 0;
        memset(cache_, 0, sizeof cache_);
        cache_block_ = kNoBlock;
        uint32_t first = clusterBlock(c);
        for (uint32_t i = 0; i < cluster_blocks_; ++i)
            if (!deviceWrite(first + i, cache_)) return 0;
        cache_block_ = first + cluster_blocks_ - 1;
    }
    if (!fatSet(c, 0x0FFFFFFF)) return 0;
    if (previous != 0 && !fatSet(previous, c)) return 0;
    next_free_ = c + 1 <= clusters_ + 1 ? c + 1 : 2;
    if (free_count_ != kUnknown && free_count_ > 0) --free_count_;
    sliceTaken(c, -1);
    fsinfo_dirty_ = true;
    return c;
}

// Frees a chain from its first cluster on. Stops at a broken link, leaving the rest as
// lost clusters rather than freeing something else's.
bool FatVolume::freeChain(uint32_t first) {
    uint32_t c = first;
    for (uint32_t n = 0; n < clusters_ && validCluster(c); ++n) {
        uint32_t next;
        if (!fatGet(c, next)) return false;
        if (next == 0) return true;
        if (!fatSet(c, 0)) return false;
        if (free_count_ != kUnknown) ++free_count_;
        sliceTaken(c, +1);
        exhausted_ = false;
        fsinfo_dirty_ = true;
        if (c < next_free_) next_free_ = c;
        if (isEnd(next)) return true;
        c = next;
    }
    return true;
}

// Free entries in FAT block `block`, entries 0 and 1 (the media byte and flags) and those
// past the last cluster left out; -1 on a read error.
int32_t FatVolume::freeInFatBlock(uint32_t block) {
    const uint8_t* b = cacheLoad(fat_first_ + block, false);
    if (!b) return -1;
    const uint32_t per_block = fatEntriesPerBlock();
    uint32_t count = clusters_ + 2 - block * per_block;
    if (count > per_block) count = per_block;
    int32_t free = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t v = fat_bits_ == 16 ? get16(b + 2 * i) : get32(b + 4 * i) & 0x0FFFFFFF;
        if (v == 0) ++free;
    }
    return free;
}

uint32_t FatVolume::fatBlocksInUse() const {
    return (clusters_ + 2 + fatEntriesPerBlock() - 1) / fatEntriesPerBlock();
}

int32_t FatVolume::countFree(FatBlockStep step, void* context) {
    if (fat_bits_ != 16 && fat_bits_ != 32) return -1;
    uint32_t free = 0;
    for (uint32_t block = 0; block < fatBlocksInUse(); ++block) {
        if (step && !step(context)) return -1;
        const int32_t n = freeInFatBlock(block);
        if (n < 0) return -1;
        free += static_cast<uint32_t>(n);
    }
    setFreeCount(free);
    exhausted_ = free == 0;
    return static_cast<int32_t>(free);
}

// A known count ends any count in slices.
void FatVolume::setFreeCount(uint32_t free) {
    slicing_ = false;
    if (free_count_ != free) {
        free_count_ = free;
        fsinfo_dirty_ = true;
    }
}

void FatVolume::sliceTaken(uint32_t cluster, int32_t change) {
    // Blocks from slice_next_ on are still to be read, and will show the change.
    if (slicing_ && cluster / fatEntriesPerBlock() < slice_next_) slice_free_ += change;
}

int8_t FatVolume::countFreeSlice(uint32_t blocks) {
    if (fat_bits_ != 16 && fat_bits_ != 32) return -1;
    if (free_count_ != kUnknown) return 1;
    if (!slicing_) {
        slicing_ = true;
        slice_next_ = slice_free_ = 0;
    }
    for (uint32_t n = 0; n < blocks && slice_next_ < fatBlocksInUse(); ++n, ++slice_next_) {
        const int32_t free = freeInFatBlock(slice_next_);
        if (free < 0) {
            slicing_ = false;
            return -1;
        }
        slice_free_ += static_cast<uint32_t>(free);
    }
    if (slice_next_ < fatBlocksInUse()) return 0;
    const uint32_t free = slice_free_;
    setFreeCount(free);
    exhausted_ = free == 0;
    return 1;
}

int32_t FatVolume::freeClusters() { return countFree(nullptr, nullptr); }

int32_t FatVolume::freeClusterCount(FatBlockStep step, void* context) { return countFree(step, context); }

// ------------------------------------------------------------------ directories

void FatVolume::dirBegin(uint32_t start, FatDirCursor& c) const {
    c.start = start;
    c.cluster = start;
    c.block = start == 0 ? root_first_ : clusterBlock(start);
    c.index = 0;
}

// Moves to the next entry: 1 moved; 0 the directory's space ends here; -1 error.
int8_t FatVolume::dirAdvance(FatDirCursor& c) {
    uint32_t next_index = c.index + 1;
    if (next_index >= kMaxDirEntries) return 0;
    if (c.start == 0 && next_index >= root_entries_) return 0;
    if (next_index % kEntriesPerBlock != 0) {
        c.index = next_index;
        return 1;
    }
    if (c.start == 0 || (next_index / kEntriesPerBlock) % cluster_blocks_ != 0) {
        ++c.block;
        c.index = next_index;
        return 1;
    }
    uint32_t next;
    int8_t r = nextCluster(c.cluster, next);
    if (r <= 0) return r;
    c.cluster = next;
    c.block = clusterBlock(next);
    c.index = next_index;
    return 1;
}

// Adds a zeroed cluster after the cursor's last one and moves onto its first entry:
// 1 done; 0 no room (fixed root, size limit, full volume); -1 error.
int8_t FatVolume::dirGrow(FatDirCursor& c) {
    if (c.start == 0) return 0;
    uint32_t next_index = c.index + 1;
    if (next_index >= kMaxDirEntries) return 0;
    uint32_t added = allocateCluster(c.cluster, true);
    if (added == 0) return 0;
    c.cluster = added;
    c.block = clusterBlock(added);
    c.index = next_index;
    return 1;
}

uint8_t* FatVolume::dirEntry(const FatDirCursor& c, bool for_write) {
    uint8_t* b = cacheLoad(c.block, for_write);
    return b ? b + (c.index % kEntriesPerBlock) * kEntrySize : nullptr;
}

void FatVolume::entryInfo(const FatDirCursor& where, const uint8_t* e, FatEntryInfo& info) const {
    info.root = false;
    info.where = where;
    memcpy(info.sfn, e + kDirName, 11);
    info.nt_case = e[kDirNtCase] & (kNtLowerBase | kNtLowerExt);
    info.attr = e[kDirAttr];
    info.first_cluster = get16(e + kDirClusterLow);
    if (fat_bits_ == 32) info.first_cluster |= static_cast<uint32_t>(get16(e + kDirClusterHigh)) << 16;
    info.size = (info.attr & kAttrDirectory) ? 0 : get32(e + kDirSize);
}

// Finds `name` in a directory by its long name or its short name: 1 found, 0 absent, -1 error.
int8_t FatVolume::dirFind(uint32_t dir_start, const FatName& name, FatEntryInfo& info) {
    FatDirCursor c;
    dirBegin(dir_start, c);
    free_hint_valid_ = false;
    bool free_seen = false;
    // The long-name entries seen since the last short entry.
    bool long_valid = false, long_match = false;
    uint8_t long_expect = 0, long_total = 0, long_sum = 0;
    FatDirCursor long_start = c;
    for (;;) {
        const uint8_t* e = dirEntry(c, false);
        if (!e) return -1;
        uint8_t first = e[kDirName];
        if ((first == kEntryFree || first == kEntryDeleted) && !free_seen) {
            free_seen = true;
            free_hint_ = c;
        }
        if (first == kEntryFree) {
            free_hint_valid_ = true;
            return 0;
        }
        if (first == kEntryDeleted) {
            long_valid = false;
        } else if ((e[kDirAttr] & kAttrLongMask) == kAttrLongName) {
            uint8_t order = first & kLongOrderMask;
            if (first & kLongLast) {
                long_valid = order >= 1 && order <= kLongMaxEntries;
                long_total = long_expect = order;
                long_sum = e[kLongChecksum];
                long_start = c;
                size_t before = static_cast<size_t>(order - 1) * kLongCharsPerEntry;
                long_match = name.length > before && name.length <= before + kLongCharsPerEntry;
            } else if (long_valid && order + 1 == long_expect && e[kLongChecksum] == long_sum) {
                long_expect = order;
            } else {
                long_valid = false;
            }
            if (long_valid && long_match) long_match = fat_long_part_equal(e, name, order);
        } else if (e[kDirAttr] & kAttrVolume) {
            long_valid = false;
        } else {
            bool has_long = long_valid && long_expect == 1 && fat_long_checksum(e) == long_sum;
            bool match = (has_long && long_match) || (name.short_shape && fat_short_equal(e, name.sfn));
            if (match) {
                entryInfo(c, e, info);
                info.long_count = has_long ? long_total : 0;
                info.long_start = has_long ? long_start : c;
                return 1;
            }
            long_valid = false;
        }
        int8_t r = dirAdvance(c);
        if (r < 0) return r;
        if (r == 0) {
            free_hint_valid_ = free_seen;
            return 0;
        }
    }
}

// Picks a short alias for a long name that no entry of the directory uses yet.
bool FatVolume::makeAlias(uint32_t dir_start, const FatName& name, uint8_t sfn[11]) {
    uint8_t base_length;
    fat_alias_stem(name, sfn, base_length);
    FatName probe;
    memset(&probe, 0, sizeof probe);
    probe.short_shape = true; // length 0: matches short entries only
    for (uint32_t n = 1; n <= kMaxAliasTail; ++n) {
        if (!fat_alias_tail(sfn, base_length, n)) return false;
        memcpy(probe.sfn, sfn, 11);
        FatEntryInfo found;
        int8_t r = dirFind(dir_start, probe, found);
        if (r < 0) return false;
        if (r == 0) return true;
    }
    return false;
}

// Writes a new entry for `name`: its long-name entries (if any), then the short entry, in
// the first run of free entries, growing the directory when it has none.
bool FatVolume::dirInsert(uint32_t dir_start, const FatName& name, uint8_t attr, uint32_t first_cluster,
                          FatEntryInfo& info) {
    uint8_t sfn[11];
    uint8_t nt_case = 0;
    uint8_t long_count = 0;
    if (name.fits_short) {
        memcpy(sfn, name.sfn, 11);
        nt_case = name.nt_case;
    } else {
        if (!makeAlias(dir_start, name, sfn)) return false;
        long_count = name.long_entries;
    }
    uint32_t need = long_count + 1u;
    FatDirCursor c, run_start;
    dirBegin(dir_start, c);
    run_start = c;
    uint32_t run = 0;
    // The search that found the name absent passed the first free entry: a name of one
    // entry goes there without walking the directory again.
    bool hinted = need == 1 && free_hint_valid_ && free_hint_.start == dir_start;
    free_hint_valid_ = false;
    if (hinted) {
        const uint8_t* e = dirEntry(free_hint_, false); // the block the entry goes to anyway
        if (!e) return false;
        hinted = e[kDirName] == kEntryFree || e[kDirName] == kEntryDeleted;
        if (hinted) run_start = free_hint_;
    }
    while (!hinted) {
        const uint8_t* e = dirEntry(c, false);
        if (!e) return false;
        if (e[kDirName] == kEntryFree || e[kDirName] == kEntryDeleted) {
            // A name that fits one block is kept inside one: its entries then reach the card
            // in a single write, and a power cut cannot leave half a long name.
            if (run > 0 && need <= kEntriesPerBlock && c.index % kEntriesPerBlock == 0) run = 0;
            if (run == 0) run_start = c;
            if (++run == need) break;
        } else {
            run = 0;
        }
        int8_t r = dirAdvance(c);
        if (r < 0) return false;
        if (r == 0 && dirGrow(c) <= 0) return false;
    }

    uint8_t sum = fat_long_checksum(sfn);
    FatDirCursor w = run_start;
    for (uint8_t order = long_count; order >= 1; --order) {
        uint8_t* e = dirEntry(w, true);
        if (!e) return false;
        fat_long_fill(e, name, order, order == long_count, sum);
        if (dirAdvance(w) <= 0) return false;
    }
    uint8_t* e = dirEntry(w, true);
    if (!e) return false;
    memset(e, 0, kEntrySize);
    memcpy(e + kDirName, sfn, 11);
    e[kDirAttr] = attr;
    e[kDirNtCase] = nt_case;
    uint16_t date, time;
    stamp(date, time);
    put16(e + kDirCreateTime, time);
    put16(e + kDirCreateDate, date);
    put16(e + kDirAccessDate, date);
    put16(e + kDirWriteTime, time);
    put16(e + kDirWriteDate, date);
    put16(e + kDirClusterLow, static_cast<uint16_t>(first_cluster));
    if (fat_bits_ == 32) put16(e + kDirClusterHigh, static_cast<uint16_t>(first_cluster >> 16));
    entryInfo(w, e, info);
    info.long_count = long_count;
    info.long_start = run_start;
    return true;
}

// A new directory: its cluster (zeroed, "." and "..") goes to the card before the entry
// that names it in the parent.
bool FatVolume::makeDirectory(uint32_t parent_start, const FatName& name, FatEntryInfo& info) {
    uint32_t cluster = allocateCluster(0, true);
    if (cluster == 0) return false;
    uint8_t* b = cacheLoad(clusterBlock(cluster), true);
    if (!b) return false;
    uint16_t date, time;
    stamp(date, time);
    uint32_t parent = parent_start == rootStart() ? 0 : parent_start; // ".." of the root's children is 0
    for (int k = 0; k < 2; ++k) {
        uint8_t* e = b + k * kEntrySize;
        memset(e, ' ', 11);
        e[0] = '.';
        if (k == 1) e[1] = '.';
        e[kDirAttr] = kAttrDirectory;
        uint32_t target = k == 0 ? cluster : parent;
        put16(e + kDirCreateTime, time);
        put16(e + kDirCreateDate, date);
        put16(e + kDirAccessDate, date);
        put16(e + kDirWriteTime, time);
        put16(e + kDirWriteDate, date);
        put16(e + kDirClusterLow, static_cast<uint16_t>(target));
        if (fat_bits_ == 32) put16(e + kDirClusterHigh, static_cast<uint16_t>(target >> 16));
    }
    if (!cacheFlush() || !dirInsert(parent_start, name, kAttrDirectory, cluster, info)) {
        if (freeChain(cluster)) flushMeta();
        return false;
    }
    return flushMeta();
}

void FatVolume::stamp(uint16_t& date, uint16_t& time) const {
    date = kDate1980;
    time = 0;
    if (clock_) clock_(&date, &time);
}

// ------------------------------------------------------------------ paths

// Follows a path from the root. kFound: info is the last component (or the root);
// kMissingLast: all but the last exist, parent_start and last describe where it would go;
// kMissingPath: a directory on the way is missing or is a file; kInvalid: a bad name or a
// trailing "/" on a file.
FatVolume::Resolved FatVolume::resolve(const char* path, FatEntryInfo& info, uint32_t& parent_start,
                                       FatName& last) {
    if (!mounted() || !path) return kError;
    memset(&info, 0, sizeof info);
    info.root = true;
    info.attr = kAttrDirectory;
    info.first_cluster = rootStart();
    uint32_t dir = rootStart();
    const char* p = path;
    while (*p == '/') ++p;
    if (*p == '\0') return kFound;
    for (;;) {
        const char* end = p;
        while (*end && *end != '/') ++end;
        const char* after = end;
        while (*after == '/') ++after;
        bool final = *after == '\0';
        bool trailing_slash = final && after != end;
        FatName name;
        if (!fat_parse_name(p, static_cast<size_t>(end - p), name)) return kInvalid;
        int8_t r = dirFind(dir, name, info);
        if (r < 0) return kError;
        if (r == 0) {
            if (!final) return kMissingPath;
            parent_start = dir;
            last = name;
            return kMissingLast;
        }
        bool is_dir = (info.attr & kAttrDirectory) != 0;
        if (final) {
            if (trailing_slash && !is_dir) return kInvalid;
            parent_start = dir;
            last = name;
            return kFound;
        }
        if (!is_dir) return kMissingPath;
        dir = dirStart(info.first_cluster);
        p = after;
    }
}

bool FatVolume::exists(const char* path) {
    FatEntryInfo info;
    uint32_t parent;
    FatName last;
    return resolve(path, info, parent, last) == kFound;
}

bool FatVolume::mkdir(const char* path, bool create_parents) {
    if (!mounted() || !path) return false;
    uint32_t dir = rootStart();
    const char* p = path;
    while (*p == '/') ++p;
    if (*p == '\0') return false; // the root exists
    for (;;) {
        const char* end = p;
        while (*end && *end != '/') ++end;
        const char* after = end;
        while (*after == '/') ++after;
        bool final = *after == '\0';
        FatName name;
        if (!fat_parse_name(p, static_cast<size_t>(end - p), name)) return false;
        FatEntryInfo info;
        int8_t r = dirFind(dir, name, info);
        if (r < 0) return false;
        if (r == 1) {
            if (final || !(info.attr & kAttrDirectory)) return false;
        } else {
            if (!final && !create_parents) return false;
            if (!makeDirectory(dir, name, info)) return false;
            if (final) return true;
        }
        dir = dirStart(info.first_cluster);
        p = after;
    }
}

bool FatVolume::remove(const char* path) {
    FatEntryInfo info;
    uint32_t parent;
    FatName last;
    if (resolve(path, info, parent, last) != kFound || info.root) return false;
    if (info.attr & (kAttrDirectory | kAttrReadOnly)) return false;
    if (writerOn(info.where.block, info.where.index % kEntriesPerBlock)) return false;
    free_hint_valid_ = false;
    // The long-name entries first: cut short, the file is still there under its alias.
    FatDirCursor c = info.long_start;
    for (uint32_t k = 0; k <= info.long_count; ++k) {
        uint8_t* e = dirEntry(c, true);
        if (!e) return false;
        e[kDirName] = kEntryDeleted;
        if (k < info.long_count && dirAdvance(c) <= 0) return false;
    }
    // The entry is on the card before its clusters are freed.
    if (!cacheFlush()) return false;
    if (info.first_cluster != 0 && !freeChain(info.first_cluster)) return false;
    return flushMeta();
}

bool FatVolume::sync() {
    if (!mounted()) return false;
    bool ok = true;
    for (Writer& w : writers_)
        if (w.owner && !w.owner->sync()) ok = false;
    return flushMeta() && ok;
}

// ------------------------------------------------------------------ write buffers

int8_t FatVolume::claimWriter(FatFile* file) {
    for (uint8_t i = 0; i < kWriters; ++i) {
        if (writers_[i].owner == nullptr) {
            writers_[i].owner = file;
            writers_[i].block = kNoBlock;
            writers_[i].dirty = false;
            return static_cast<int8_t>(i);
        }
    }
    return -1;
}

bool FatVolume::writerAvailable() const {
    for (const Writer& w : writers_)
        if (w.owner == nullptr) return true;
    return false;
}

bool FatVolume::writerOn(uint32_t entry_block, uint32_t entry_index) const {
    for (const Writer& w : writers_)
        if (w.owner && w.owner->entry_block_ == entry_block && w.owner->entry_index_ == entry_index) return true;
    return false;
}
