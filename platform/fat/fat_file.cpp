// Files and directories open on a FatVolume: reading, buffered writing, iteration.
#include "fat_file.h"

#include <string.h>

#include "fat_layout.h"
#include "fat_names.h"

using namespace fat_layout;

namespace {
constexpr uint32_t kNoBlock = 0xFFFFFFFF;
constexpr uint32_t kNoIndex = 0xFFFFFFFF;
constexpr uint32_t kMaxFileSize = 0xFFFFFFFF;
constexpr uint16_t kKnownFlags = FAT_OPEN_WRITE | FAT_OPEN_READ_WRITE | FAT_OPEN_APPEND | FAT_OPEN_CREATE;
} // namespace

FatFile::~FatFile() { release(); }

bool FatFile::isOpen() const {
    return volume_ != nullptr && volume_->mounted() && volume_->generation_ == generation_;
}

FatVolume::Writer* FatFile::writer() const {
    if (writer_ < 0 || !isOpen()) return nullptr;
    FatVolume::Writer& w = volume_->writers_[writer_];
    return w.owner == this ? &w : nullptr;
}

// Forgets the file without writing; its write buffer goes back to the volume.
void FatFile::release() {
    if (FatVolume::Writer* w = writer()) {
        w->owner = nullptr;
        w->block = kNoBlock;
        w->dirty = false;
    }
    volume_ = nullptr;
    writer_ = -1;
    mode_ = 0;
    entry_dirty_ = false;
}

bool FatFile::open(FatVolume& volume, const char* path, uint16_t flags) {
    if (volume_) close();
    entry_volume_ = nullptr;
    created_ = false;
    if ((flags & ~kKnownFlags) != 0 || (flags & 3) == 3) return false;
    bool writing = (flags & 3) != 0;
    FatEntryInfo info;
    uint32_t parent;
    FatName last;
    FatVolume::Resolved r = volume.resolve(path, info, parent, last);
    if (r == FatVolume::kFound) return openEntry(volume, info, flags);
    if (r != FatVolume::kMissingLast || !(flags & FAT_OPEN_CREATE) || !writing) return false;
    if (!volume.writerAvailable()) return false; // refuse before anything is written
    // The new, empty entry goes to the card at once: the file exists from here on.
    if (!volume.dirInsert(parent, last, kAttrArchive, 0, info) || !volume.flushMeta()) return false;
    created_ = true;
    return openEntry(volume, info, flags);
}

bool FatFile::openNext(FatFile& dir, uint16_t flags) {
    if (&dir == this) return false;
    if (volume_) close();
    entry_volume_ = nullptr;
    created_ = false;
    if (!dir.isDir()) return false;
    FatVolume& volume = *dir.volume_;
    for (;;) {
        uint32_t block;
        if (!dir.locate(dir.pos_, false, block)) return false;
        const uint8_t* b = volume.cacheLoad(block, false);
        if (!b) return false;
        const uint8_t* e = b + dir.pos_ % kBlockSize;
        if (e[kDirName] == kEntryFree) return false; // stays here: the end is the end
        FatDirCursor where;
        where.start = dir.first_cluster_;
        where.cluster = dir.cur_cluster_;
        where.block = block;
        where.index = dir.pos_ / kEntrySize;
        dir.pos_ += kEntrySize;
        bool skip = e[kDirName] == kEntryDeleted || e[kDirName] == '.' ||
                    (e[kDirAttr] & kAttrLongMask) == kAttrLongName || (e[kDirAttr] & kAttrVolume);
        if (skip) continue;
        FatEntryInfo info;
        volume.entryInfo(where, e, info);
        info.long_count = 0;
        info.long_start = where;
        return openEntry(volume, info, flags);
    }
}

bool FatFile::openEntry(FatVolume& volume, const FatEntryInfo& info, uint16_t flags) {
    release();
    if ((flags & ~kKnownFlags) != 0 || (flags & 3) == 3) return false;
    bool writing = (flags & 3) != 0;
    bool is_dir = info.root || (info.attr & kAttrDirectory);
    uint32_t entry_block = info.root ? 0 : info.where.block;
    uint32_t entry_index = info.root ? 0 : info.where.index % kEntriesPerBlock;
    if (writing) {
        if (is_dir || (info.attr & kAttrReadOnly)) return false;
        if (volume.writerOn(entry_block, entry_index)) return false; // one writer per file
        int8_t slot = volume.claimWriter(this);
        if (slot < 0) return false;
        writer_ = slot;
    }
    volume_ = &volume;
    entry_volume_ = &volume;
    generation_ = volume.generation_;
    mode_ = static_cast<uint8_t>(((flags & 3) != FAT_OPEN_WRITE ? kRead : 0) | (writing ? kWrite : 0) |
                                 ((flags & FAT_OPEN_APPEND) ? kAppend : 0));
    attr_ = is_dir ? static_cast<uint8_t>(info.attr | kAttrDirectory) : info.attr;
    if (info.root) {
        memset(sfn_, ' ', sizeof sfn_);
        nt_case_ = 0;
    } else {
        memcpy(sfn_, info.sfn, sizeof sfn_);
        nt_case_ = info.nt_case;
    }
    entry_block_ = entry_block;
    entry_index_ = entry_index;
    first_cluster_ = is_dir ? volume.dirStart(info.first_cluster) : info.first_cluster;
    if (is_dir && first_cluster_ == 0) mode_ |= kFixedRoot;
    size_ = info.size;
    pos_ = (flags & FAT_OPEN_APPEND) ? size_ : 0;
    cur_cluster_ = 0;
    cur_index_ = kNoIndex;
    entry_dirty_ = false;
    return true;
}

bool FatFile::readEntry(uint32_t index, uint8_t* out32) {
    if (!isDir() || index >= kMaxDirEntries) return false;
    uint32_t block;
    if (!locate(index * kEntrySize, false, block)) return false;
    const uint8_t* b = volume_->cacheLoad(block, false);
    if (!b) return false;
    memcpy(out32, b + (index * kEntrySize) % kBlockSize, kEntrySize);
    return true;
}

void FatFile::rewind() {
    if (!isOpen()) return;
    pos_ = 0;
}

bool FatFile::isDir() const { return isOpen() && (attr_ & kAttrDirectory) != 0; }

size_t FatFile::getName(char* out, size_t capacity) const {
    char text[13];
    size_t n;
    if (!isOpen()) {
        n = 0;
    } else if (entry_block_ == 0) {
        text[0] = '/';
        text[1] = '\0';
        n = 1;
    } else {
        n = fat_short_text(sfn_, nt_case_, text);
    }
    if (capacity > 0) out[0] = '\0';
    if (n == 0 || capacity < n + 1) return 0;
    memcpy(out, text, n + 1);
    return n;
}

// The device block holding byte `pos`, following the chain from where the last call left
// it; with `allocate`, clusters are added at the end of the chain as needed.
bool FatFile::locate(uint32_t pos, bool allocate, uint32_t& block) {
    FatVolume& v = *volume_;
    if (mode_ & kFixedRoot) {
        if (pos / kEntrySize >= v.root_entries_) return false;
        block = v.root_first_ + pos / kBlockSize;
        return true;
    }
    uint32_t cluster_bytes = static_cast<uint32_t>(v.cluster_blocks_) * kBlockSize;
    uint32_t index = pos / cluster_bytes;
    if (first_cluster_ == 0) {
        if (!allocate) return false;
        uint32_t c = v.allocateCluster(0, false);
        if (c == 0) return false;
        first_cluster_ = c;
        entry_dirty_ = true;
        cur_index_ = kNoIndex;
    }
    if (cur_index_ == kNoIndex || index < cur_index_) {
        cur_cluster_ = first_cluster_;
        cur_index_ = 0;
    }
    while (cur_index_ < index) {
        uint32_t next;
        int8_t r = v.nextCluster(cur_cluster_, next);
        if (r < 0) return false;
        if (r == 0) {
            if (!allocate) return false;
            next = v.allocateCluster(cur_cluster_, false);
            if (next == 0) return false;
        }
        cur_cluster_ = next;
        ++cur_index_;
    }
    if (!v.validCluster(cur_cluster_)) return false;
    block = v.clusterBlock(cur_cluster_) + (pos / kBlockSize) % v.cluster_blocks_;
    return true;
}

bool FatFile::flushData() {
    FatVolume::Writer* w = writer();
    if (!w) return false;
    if (!w->dirty) return true;
    if (!volume_->deviceWrite(w->block, w->data)) return false;
    volume_->cacheForget(w->block);
    w->dirty = false;
    return true;
}

size_t FatFile::write(uint8_t b) { return write(&b, 1); }

size_t FatFile::write(const uint8_t* data, size_t n) {
    FatVolume::Writer* w = writer();
    if (!w || !(mode_ & kWrite)) return 0;
    if (mode_ & kAppend) pos_ = size_;
    size_t done = 0;
    while (done < n && pos_ < kMaxFileSize) {
        uint32_t block;
        if (!locate(pos_, true, block)) break; // full card or an I/O error
        if (w->block != block) {
            if (!flushData()) break;
            // A block already holding file data is read first; a new one starts zeroed.
            if ((pos_ & ~(kBlockSize - 1)) < size_) {
                if (!volume_->deviceRead(block, w->data)) {
                    w->block = kNoBlock;
                    break;
                }
            } else {
                memset(w->data, 0, sizeof w->data);
            }
            w->block = block;
        }
        uint32_t offset = pos_ % kBlockSize;
        size_t chunk = kBlockSize - offset;
        if (chunk > n - done) chunk = n - done;
        if (chunk > kMaxFileSize - pos_) chunk = kMaxFileSize - pos_;
        memcpy(w->data + offset, data + done, chunk);
        w->dirty = true;
        done += chunk;
        pos_ += static_cast<uint32_t>(chunk);
        entry_dirty_ = true;
        if (pos_ > size_) size_ = pos_;
        // A full block goes to the card at once; the buffer keeps it for the next writes.
        if (offset + chunk == kBlockSize && !flushData()) break;
    }
    return done;
}

int FatFile::read() {
    uint8_t b;
    return read(&b, 1) == 1 ? b : -1;
}

int FatFile::read(void* dst, size_t n) {
    if (!isOpen() || !(mode_ & kRead) || isDir()) return -1;
    uint8_t* out = static_cast<uint8_t*>(dst);
    if (n > size_ - pos_) n = size_ - pos_;
    size_t done = 0;
    FatVolume::Writer* w = writer();
    while (done < n) {
        uint32_t block;
        if (!locate(pos_, false, block)) return done ? static_cast<int>(done) : -1;
        const uint8_t* b;
        if (w && w->block == block) {
            b = w->data;
        } else {
            b = volume_->cacheLoad(block, false);
            if (!b) return done ? static_cast<int>(done) : -1;
        }
        uint32_t offset = pos_ % kBlockSize;
        size_t chunk = kBlockSize - offset;
        if (chunk > n - done) chunk = n - done;
        memcpy(out + done, b + offset, chunk);
        done += chunk;
        pos_ += static_cast<uint32_t>(chunk);
    }
    return static_cast<int>(done);
}

bool FatFile::sync() {
    if (!isOpen()) return false;
    if (!(mode_ & kWrite)) return true;
    if (!flushData()) return false;
    if (entry_dirty_) {
        // Data first, then the FAT (written as the cache moves on), then the entry.
        uint8_t* b = volume_->cacheLoad(entry_block_, true);
        if (!b) return false;
        uint8_t* e = b + entry_index_ * kEntrySize;
        if (memcmp(e + kDirName, sfn_, sizeof sfn_) != 0) return false; // not our entry any more
        uint16_t date, time;
        volume_->stamp(date, time);
        e[kDirAttr] |= kAttrArchive;
        put16(e + kDirClusterLow, static_cast<uint16_t>(first_cluster_));
        if (volume_->fat_bits_ == 32) put16(e + kDirClusterHigh, static_cast<uint16_t>(first_cluster_ >> 16));
        put32(e + kDirSize, size_);
        put16(e + kDirWriteTime, time);
        put16(e + kDirWriteDate, date);
        put16(e + kDirAccessDate, date);
        entry_dirty_ = false;
    }
    return volume_->flushMeta();
}

bool FatFile::entryOnCard() {
    FatVolume* v = entry_volume_;
    if (!v || !v->mounted() || v->generation_ != generation_ || entry_block_ == 0) return false;
    if (!v->cacheFlush()) return false;
    v->cacheForget(entry_block_);
    const uint8_t* b = v->cacheLoad(entry_block_, false);
    if (!b || memcmp(b + entry_index_ * kEntrySize + kDirName, sfn_, sizeof sfn_) != 0) return false;
    // A quick format leaves directory clusters as they were but empties the FAT: the file's
    // first cluster must still be taken, or for an empty file the cluster of the directory
    // holding its entry (a fixed FAT16 root needs none). A second read, from the card too.
    uint32_t cluster = first_cluster_;
    if (cluster == 0) {
        if (entry_block_ < v->data_first_) return true;
        cluster = 2 + (entry_block_ - v->data_first_) / v->cluster_blocks_;
    }
    const uint32_t fat_block = v->fat_first_ + cluster * (v->fat_bits_ / 8u) / kBlockSize;
    v->cacheForget(fat_block);
    uint32_t next;
    return v->fatGet(cluster, next) && next != 0;
}

bool FatFile::close() {
    bool ok = isOpen() && sync();
    release();
    return ok;
}
