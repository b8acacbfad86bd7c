// SD formatter: erases the card with its flash erase command and writes a fresh
// single-partition layout on raw 512-byte blocks (MBR, then FAT16 on standard-capacity
// cards or FAT32 on SDHC cards). Called by the host telecommand that formats the card.
// Main loop only. Formatear_SD unmounts the file system itself (open files are dropped)
// and clears ctarjeta_sd_inicializada, so the SD write cycle starts the new card again.
#pragma once

#include <stdint.h>

constexpr uint8_t chipSelect = 52;             // card chip select of the block access
constexpr uint32_t SPI_RELOJ_FORMATEO = 2000000; // SPI clock, Hz
constexpr uint32_t ERASE_SIZE = 262144;        // blocks per erase command
constexpr uint32_t BU16 = 128;                 // FAT16 data-area alignment step, blocks
constexpr uint32_t BU32 = 8192;                // FAT32 data-area alignment step, blocks

extern uint32_t cardSizeBlocks;   // card size in 512-byte blocks
extern uint32_t cardCapacityMB;   // (cardSizeBlocks + 2047) / 2048, units of 2^20 bytes
extern uint8_t cache[512];        // the block being built or read
extern uint8_t partType;          // partition type written in the MBR
extern uint32_t relSector;        // first block of the partition
extern uint32_t partSize;         // blocks in the partition
extern uint8_t numberOfHeads;     // CHS geometry
extern uint8_t sectorsPerTrack;
extern uint16_t reservedSectors;  // blocks before the first FAT
extern uint8_t sectorsPerCluster;
extern uint32_t fatStart;         // first block of the first FAT
extern uint32_t fatSize;          // blocks per FAT
extern uint32_t dataStart;        // first block of the data area
extern char noName[12];           // volume label, 11 characters used
extern char fat16str[9];          // file system type, 8 characters used
extern char fat32str[9];
extern uint8_t CTE_BORRAR_SD;     // 1 = erase before formatting

// The whole operation: start the card, optionally erase it, then format it. Returns after
// "Format done\n" (also when a time budget ran out); on a card error it prints the error
// and halts until the watchdog restarts the device.
void Formatear_SD();

// Steps of Formatear_SD.
void initSizes();
void clearCache(uint8_t addSig);        // zeroes cache; addSig 1 adds 0x55 0xAA
uint8_t writeCache(uint32_t lbn);       // 1 = written
void clearFatDir(uint32_t bgn, uint32_t count);
uint16_t lbnToCylinder(uint32_t lbn);
uint8_t lbnToHead(uint32_t lbn);
uint8_t lbnToSector(uint32_t lbn);
void writeMbr();
uint32_t volSerialNumber();
void makeFat16();
void makeFat32();
void eraseCard();
void formatCard();
[[noreturn]] void sdErrorHalt();
