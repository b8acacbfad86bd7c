// A file or directory open on a FatVolume.
//
// Portable. Open flags follow the target C library's encoding (newlib): read-only 0,
// write-only 1, read-write 2, append 8, create 512; the data files are opened with 521
// (write, create, append). A file open for writing holds one of the volume's block buffers:
// bytes collect there and reach the card when the block is full, at sync() and at close().
// Writing past the end allocates clusters; a full card makes write() return fewer bytes
// than asked, and what was written before stays intact.
//
// Text goes out through the Print operations (print, println).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "fat_volume.h"
#include "print.h"

// The flag names the firmware uses. On the board they equal the C library's; a host build
// that brought in <fcntl.h> first keeps its own values, which open() refuses.
enum : uint16_t {
    FAT_OPEN_READ = 0x0000,
    FAT_OPEN_WRITE = 0x0001,
    FAT_OPEN_READ_WRITE = 0x0002,
    FAT_OPEN_APPEND = 0x0008,
    FAT_OPEN_CREATE = 0x0200
};
#ifndef O_READ
constexpr uint16_t O_READ = FAT_OPEN_READ;
#endif
#ifndef O_WRITE
constexpr uint16_t O_WRITE = FAT_OPEN_WRITE;
#endif
#ifndef O_APPEND
constexpr uint16_t O_APPEND = FAT_OPEN_APPEND;
#endif
#ifndef O_CREAT
constexpr uint16_t O_CREAT = FAT_OPEN_CREATE;
#endif

class FatFile : public Print {
public:
    FatFile() = default;
    // Lets go of the file without writing: close() it to keep what was written.
    ~FatFile();
    FatFile(const FatFile&) = delete;
    FatFile& operator=(const FatFile&) = delete;

    // Opens path with flags; a file already open in this object is closed first. A
    // directory opens for reading only (to iterate it); "/" is the root. False when the
    // path is missing (without create), a name is invalid, the card fails, or writing is
    // asked of a directory, a read-only file, a file open for writing elsewhere, or with
    // every write buffer in use.
    bool open(FatVolume& volume, const char* path, uint16_t flags);
    // Opens the next entry of the open directory dir (files and sub-directories, in
    // directory order; ".", "..", volume labels and long-name entries are skipped).
    // False at the end of the directory.
    bool openNext(FatFile& dir, uint16_t flags);
    // Starts reading, or iterating a directory, from the beginning again.
    void rewind();
    // Copies entry number `index` of the open directory, as it lies on the card (32 bytes,
    // long-name and deleted entries included), for a reader that needs more than openNext
    // gives. False past the directory's end, on a read error, or when this is no directory.
    bool readEntry(uint32_t index, uint8_t* out32);

    bool isOpen() const;
    bool isDir() const;
    uint32_t size() const { return isOpen() ? size_ : 0; }
    uint32_t position() const { return isOpen() ? pos_ : 0; }
    // The entry's short name as text ("1430.raw", "ESCRIT~1.TXT", "/" for the root), up to
    // 12 characters and a terminator. Returns its length; 0 when closed or capacity is short.
    size_t getName(char* out, size_t capacity) const;

    size_t write(uint8_t b) override;
    size_t write(const uint8_t* data, size_t n) override;
    using Print::write;
    int read();                      // next byte, or -1 at the end or on an error
    int read(void* dst, size_t n);   // bytes read (0 at the end), or -1 on an error

    // Writes buffered data, then the FAT and the directory entry (first cluster, size,
    // time stamp). False on a write error or when the file is not open.
    bool sync();
    // sync() for a file open for writing, then closed in any case. False when sync failed.
    bool close();
    // Whether the open file's directory entry is still on the card with its short name and
    // its first cluster still taken in the FAT (for an empty file, its directory's cluster):
    // both blocks are read from the card itself, not from the cache, so a card swapped or
    // formatted under the handle shows. Two block reads however full the directory, where
    // resolving the path again reads every directory block before the entry. Once closed,
    // the handle checks the entry of the file it held the same way, until it opens again
    // or the volume is mounted again (then false).
    bool entryOnCard();
    // Whether the last open() made the file (it was missing and the flags said create).
    bool created() const { return created_; }

private:
    friend class FatVolume;
    enum Mode : uint8_t { kRead = 1, kWrite = 2, kAppend = 4, kFixedRoot = 8 };

    bool openEntry(FatVolume& volume, const FatEntryInfo& info, uint16_t flags);
    bool locate(uint32_t pos, bool allocate, uint32_t& block);
    bool flushData();
    void release();
    FatVolume::Writer* writer() const;

    FatVolume* volume_ = nullptr;
    FatVolume* entry_volume_ = nullptr; // the volume of the entry below, kept after close
    bool created_ = false;
    uint32_t generation_ = 0;
    uint8_t mode_ = 0;
    int8_t writer_ = -1;
    uint8_t attr_ = 0;
    uint8_t nt_case_ = 0;
    uint8_t sfn_[11] = {};
    bool entry_dirty_ = false;
    uint32_t entry_block_ = 0;  // the short entry (0 for the root)
    uint32_t entry_index_ = 0;  // its number within that block
    uint32_t first_cluster_ = 0;
    uint32_t size_ = 0;
    uint32_t pos_ = 0;
    uint32_t cur_cluster_ = 0;          // cluster number cur_index_ of the chain
    uint32_t cur_index_ = 0xFFFFFFFF;   // none yet
};

// The firmware's name for an open file.
using File = FatFile;
