// A FAT16/FAT32 volume on a block device: mounting, volume facts, free space and the
// path operations (exists, mkdir, remove). Files are opened with FatFile (fat_file.h).
//
// Portable: the same code on the board and in the simulation. Fixed-size state, no heap:
// one 512-byte cache for FAT and directory blocks and one 512-byte buffer for each file
// open for writing (kWriters of them), about 2.2 KB a volume. Main loop only: nothing here
// may be called from the timer interrupt. Every call blocks until its blocks are read or
// written.
//
// Paths are "/"-separated and start at the root; a path without a leading "/" is taken
// from the root as well (the volume's current directory is always the root). A trailing
// "/" requires a directory. Names are ASCII, case-insensitive, in 8.3 form or long.
//
// Power loss. Blocks are written in the order they were changed (one write-back cache), and
// that order is chosen so that an interrupted operation leaves at worst lost clusters:
//   - a new cluster is marked end-of-chain before it is linked, and a directory cluster
//     is zeroed before it is linked;
//   - a file's directory entry (first cluster, size) is written after its data and FAT;
//   - removing writes the deleted entry before the freed FAT entries;
//   - every FAT change goes to every copy of the FAT.
// Nothing reaches the card for a file until its data fills a block or it is synced or
// closed; the FSInfo free count (FAT32) is kept up to date at every sync.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "fat_device.h"

class FatFile;
struct FatName;

// Called before each FAT block of a bounded free-cluster count; false gives up.
typedef bool (*FatBlockStep)(void* context);
// Date and time stamped on created and written entries, in the FAT encoding:
// date = (year - 1980) << 9 | month << 5 | day, time = hour << 11 | minute << 5 | second / 2.
typedef void (*FatClock)(uint16_t* fat_date, uint16_t* fat_time);

// Position of one 32-byte entry in a directory.
struct FatDirCursor {
    uint32_t start;   // first cluster of the directory; 0 = the fixed FAT16 root
    uint32_t cluster; // cluster holding `block` (0 in the fixed root)
    uint32_t block;   // device block holding the entry
    uint32_t index;   // entry number in the directory
};

// A directory entry as a search found it.
struct FatEntryInfo {
    bool root;                // the root directory itself (no entry)
    FatDirCursor where;       // the short entry
    FatDirCursor long_start;  // its first long-name entry (== where without one)
    uint8_t long_count;       // long-name entries before it
    uint8_t sfn[11];
    uint8_t nt_case;
    uint8_t attr;
    uint32_t first_cluster;
    uint32_t size;
};

class FatVolume {
public:
    static constexpr uint8_t kWriters = 3; // files open for writing at one time

    FatVolume();
    FatVolume(const FatVolume&) = delete; // open files point at their volume
    FatVolume& operator=(const FatVolume&) = delete;

    // Starts the SD card on SPI (chip-select pin, clock in Hz) and binds this volume to it.
    // Forgets any mounted volume first. False when no card answers.
    bool startCard(uint8_t chip_select_pin, uint32_t spi_hz);
    // Binds another block device (a RAM or file image); forgets any mounted volume.
    void attach(const FatBlockDevice* device);
    // Mounts the FAT16 or FAT32 volume of MBR partition 1..4, or with 0 the whole device as
    // one volume. Forgets the previous volume without writing anything: files still open
    // on it report closed and their unsynced data is dropped, as after a power loss.
    bool mount(uint8_t partition);
    void unmount();
    bool mounted() const { return fat_bits_ != 0; }

    // Volume facts (0 when not mounted). Blocks are device blocks of 512 bytes.
    uint8_t fatBits() const { return fat_bits_; }            // 16 or 32
    uint8_t clusterBlocks() const { return cluster_blocks_; } // blocks per cluster
    uint32_t dataClusters() const { return clusters_; }       // clusters 2 .. dataClusters()+1
    uint32_t fatFirstBlock() const { return fat_first_; }     // first block of the FAT in use
    uint32_t fatBlocks() const { return fat_blocks_; }        // blocks of one FAT
    uint8_t fatCopies() const { return fat_copies_; }
    uint32_t dataFirstBlock() const { return data_first_; }   // first block of cluster 2
    uint32_t volumeFirstBlock() const { return volume_first_; }

    // Reads one device block as it stands, after writing out any changed cached block, so that
    // a caller walking the FAT itself sees what the volume sees.
    bool readDeviceBlock(uint32_t block, uint8_t* dst512);

    // Free clusters, counted over the whole FAT; -1 on a read error or when not mounted.
    int32_t freeClusters();
    // The free count the volume keeps without reading the FAT: from a count, from a valid
    // FSInfo block (FAT32), then with every cluster taken or freed; -1 while unknown. The
    // count stands only while the card still answers: one read of the FAT's first block
    // from the device confirms it (-1 on a read error, so a pulled card is not reported
    // with the count of the card it was).
    int32_t knownFreeClusters();
    // Whether the volume has no free cluster left, as a count or a search of the whole FAT
    // found: every write that needs a new cluster then fails at once, without a search,
    // until a cluster is freed or the volume is mounted again.
    bool full() const { return exhausted_; }
    // Whether a free cluster is left, searching the FAT for one when needed (from where the
    // last search ended, so usually one cached block); a search that finds none marks the
    // volume full. False on an I/O error too.
    bool hasFreeCluster();
    // Called before each FAT block a search for a free cluster reads (feed a watchdog: on a
    // nearly full card one search may read the whole FAT); false ends the search, failing
    // that allocation without taking the volume for full.
    void setSearchStep(FatBlockStep step, void* context) {
        search_step_ = step;
        search_context_ = context;
    }
    // Called before every block read from or written to the device (its result is ignored):
    // lets the caller serve other work during long walks of a large directory.
    void setTransferStep(FatBlockStep step, void* context) {
        transfer_step_ = step;
        transfer_context_ = context;
    }
    // The same count, block by block from the FAT's first block over the entries of clusters
    // 0 .. dataClusters()+1; step(context) is called before each block (feed a watchdog,
    // check a time budget) and ends the count with -1 by returning false.
    int32_t freeClusterCount(FatBlockStep step, void* context);
    // Whether the volume keeps a free count (what knownFreeClusters returns, without its read).
    bool freeCountKnown() const { return free_count_ != 0xFFFFFFFF; }
    // The same count in slices, for a caller that must not be held for the whole FAT (2 s
    // on a 4 GiB card, 17 s on 32 GiB): each call reads up to `blocks` more FAT blocks and
    // returns 1 once the count is known (then kept as after a full count), 0 while it goes
    // on, -1 on a read error (the next call starts over). Clusters taken or freed meanwhile
    // are counted right wherever their FAT block lies.
    int8_t countFreeSlice(uint32_t blocks);

    bool exists(const char* path);
    // Creates a directory; with create_parents the missing directories above it too.
    // False when it exists already, when a file holds one of the names, or on a full card.
    bool mkdir(const char* path, bool create_parents);
    // Removes a file (not a directory, not a read-only file, not one open for writing).
    bool remove(const char* path);
    // Makes everything written so far durable: files open for writing, FAT, FSInfo.
    bool sync();

    // Sets the clock stamped on entries; without one entries carry 1 January 1980 00:00.
    void setClock(FatClock clock) { clock_ = clock; }

private:
    friend class FatFile;

    struct Writer {
        FatFile* owner;   // the file holding this buffer; null when free
        uint32_t block;   // device block in data[]; kNoBlock when none
        bool dirty;
        uint8_t data[512];
    };
    enum Resolved : int8_t { kError = -1, kFound = 0, kMissingLast = 1, kMissingPath = 2, kInvalid = 3 };

    bool deviceRead(uint32_t block, uint8_t* dst);
    bool deviceWrite(uint32_t block, const uint8_t* src);
    uint8_t* cacheLoad(uint32_t block, bool for_write);
    bool cacheFlush();
    void cacheForget(uint32_t block);
    bool flushMeta();

    uint32_t clusterBlock(uint32_t cluster) const { return data_first_ + (cluster - 2) * cluster_blocks_; }
    uint32_t rootStart() const { return fat_bits_ == 32 ? root_cluster_ : 0; }
    uint32_t dirStart(uint32_t first_cluster) const { return first_cluster == 0 ? rootStart() : first_cluster; }
    bool validCluster(uint32_t c) const { return c >= 2 && c <= clusters_ + 1; }
    bool fatGet(uint32_t cluster, uint32_t& value);
    bool fatSet(uint32_t cluster, uint32_t value);
    bool isEnd(uint32_t value) const { return fat_bits_ == 16 ? value >= 0xFFF8 : value >= 0x0FFFFFF8; }
    int8_t nextCluster(uint32_t cluster, uint32_t& next);
    int8_t findFree(uint32_t& found);
    uint32_t allocateCluster(uint32_t previous, bool zero);
    bool freeChain(uint32_t first);
    int32_t countFree(FatBlockStep step, void* context);

    void dirBegin(uint32_t start, FatDirCursor& c) const;
    int8_t dirAdvance(FatDirCursor& c);
    int8_t dirGrow(FatDirCursor& c);
    uint8_t* dirEntry(const FatDirCursor& c, bool for_write);
    int8_t dirFind(uint32_t dir_start, const FatName& name, FatEntryInfo& info);
    bool dirInsert(uint32_t dir_start, const FatName& name, uint8_t attr, uint32_t first_cluster,
                   FatEntryInfo& info);
    bool makeAlias(uint32_t dir_start, const FatName& name, uint8_t sfn[11]);
    bool makeDirectory(uint32_t parent_start, const FatName& name, FatEntryInfo& info);
    Resolved resolve(const char* path, FatEntryInfo& info, uint32_t& parent_start, FatName& last);
    void entryInfo(const FatDirCursor& where, const uint8_t* entry, FatEntryInfo& info) const;
    void stamp(uint16_t& date, uint16_t& time) const;

    int8_t claimWriter(FatFile* file);
    bool writerAvailable() const;
    bool writerOn(uint32_t entry_block, uint32_t entry_index) const;

    const FatBlockDevice* device_;
    FatClock clock_;
    FatBlockStep search_step_;
    void* search_context_;
    FatBlockStep transfer_step_;
    void* transfer_context_;
    uint32_t generation_; // changes at every mount: files of an older one are closed
    uint8_t fat_bits_;
    uint8_t cluster_blocks_;
    uint8_t fat_copies_;
    uint32_t volume_first_, fat_first_, fat_blocks_, root_first_, root_entries_, data_first_;
    uint32_t clusters_, root_cluster_, fsinfo_block_;
    uint32_t free_count_; // kept with every allocation; 0xFFFFFFFF while unknown
    uint32_t next_free_;  // where the search for a free cluster starts
    bool fsinfo_dirty_;
    bool exhausted_;      // the whole FAT holds no free entry
    // Where the last dirFind that found its name absent saw the directory's first free or
    // deleted entry: where dirInsert would put a one-entry name. Used once, by the dirInsert
    // that follows it into the same directory (open with create, mkdir); every dirFind and
    // remove sets or clears it.
    bool free_hint_valid_;
    FatDirCursor free_hint_;
    // The count in slices, while under way: the next FAT block to read and the free entries
    // in the blocks before it.
    bool slicing_;
    uint32_t slice_next_;
    uint32_t slice_free_;
    void sliceTaken(uint32_t cluster, int32_t change); // a cluster's entry changed under a slice
    void setFreeCount(uint32_t free);
    uint32_t fatEntriesPerBlock() const { return fat_bits_ == 16 ? 256 : 128; }
    uint32_t fatBlocksInUse() const; // the FAT blocks that hold entries of clusters
    int32_t freeInFatBlock(uint32_t block);
    uint32_t cache_block_;
    bool cache_dirty_;
    uint8_t cache_[512];
    Writer writers_[kWriters];
};
