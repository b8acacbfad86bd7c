// On-disk layout of FAT16/FAT32 volumes: field offsets and little-endian access.
//
// Portable. Offsets are those of the published FAT layout (boot sector, FSInfo block,
// 32-byte directory entries, long-name entries). Fields are assembled with shifts,
// never by casting a byte buffer to a wider type: the Cortex-M0+ faults on unaligned
// access.
#pragma once

#include <stdint.h>

namespace fat_layout {

constexpr uint32_t kBlockSize = 512;
constexpr uint32_t kEntrySize = 32;
constexpr uint32_t kEntriesPerBlock = kBlockSize / kEntrySize;
constexpr uint32_t kMaxDirEntries = 65536;    // a directory holds at most 2^16 entries
constexpr uint32_t kMinFat16Clusters = 4085;  // fewer clusters make a FAT12 volume
constexpr uint32_t kMinFat32Clusters = 65525; // from here on the FAT has 32-bit entries
constexpr uint32_t kMaxFat32Clusters = 0x0FFFFFF5;

// Master boot record.
constexpr uint32_t kMbrPartitions = 446; // four 16-byte entries
constexpr uint32_t kPartBootFlag = 0, kPartType = 4, kPartFirst = 8, kPartCount = 12;
constexpr uint32_t kSignature = 510; // 0x55 0xAA

// Boot sector (BIOS parameter block).
constexpr uint32_t kBytesPerBlock = 11, kBlocksPerCluster = 13, kReservedBlocks = 14,
                   kFatCount = 16, kRootEntries = 17, kTotalBlocks16 = 19, kMedia = 21,
                   kFatBlocks16 = 22, kBlocksPerTrack = 24, kHeads = 26, kHiddenBlocks = 28,
                   kTotalBlocks32 = 32;
constexpr uint32_t kFat32FatBlocks = 36, kFat32ExtFlags = 40, kFat32Version = 42,
                   kFat32RootCluster = 44, kFat32FsInfo = 48, kFat32BackupBoot = 50;
constexpr uint8_t kExtFlagsNoMirror = 0x80; // only the active FAT (low 4 bits) is in use

// FSInfo block (FAT32).
constexpr uint32_t kFsInfoLead = 0, kFsInfoStruct = 484, kFsInfoFree = 488, kFsInfoNext = 492,
                   kFsInfoTrail = 508;
constexpr uint32_t kFsInfoLeadSig = 0x41615252, kFsInfoStructSig = 0x61417272,
                   kFsInfoTrailSig = 0xAA550000, kFsInfoUnknown = 0xFFFFFFFF;

// Directory entry.
constexpr uint32_t kDirName = 0, kDirAttr = 11, kDirNtCase = 12, kDirCreateTenths = 13,
                   kDirCreateTime = 14, kDirCreateDate = 16, kDirAccessDate = 18,
                   kDirClusterHigh = 20, kDirWriteTime = 22, kDirWriteDate = 24,
                   kDirClusterLow = 26, kDirSize = 28;
constexpr uint8_t kAttrReadOnly = 0x01, kAttrHidden = 0x02, kAttrSystem = 0x04,
                  kAttrVolume = 0x08, kAttrDirectory = 0x10, kAttrArchive = 0x20,
                  kAttrLongName = 0x0F, kAttrLongMask = 0x3F;
constexpr uint8_t kNtLowerBase = 0x08, kNtLowerExt = 0x10; // names shown in lower case
constexpr uint8_t kEntryFree = 0x00;    // this and every later entry are unused
constexpr uint8_t kEntryDeleted = 0xE5; // unused, later entries may be in use
constexpr uint8_t kEntryE5 = 0x05;      // a name whose first byte really is 0xE5

// Long-name entry: 13 UCS-2 characters spread over three fields.
constexpr uint32_t kLongOrder = 0, kLongChecksum = 13;
constexpr uint8_t kLongLast = 0x40, kLongOrderMask = 0x1F;
constexpr uint8_t kLongCharsPerEntry = 13;
constexpr uint8_t kLongMaxEntries = 20; // 255 characters
constexpr uint8_t kLongCharOffset[kLongCharsPerEntry] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

} // namespace fat_layout
