// The block device under the FAT file system: a handful of calls on 512-byte blocks.
//
// Portable. A device is a table of plain functions with a context pointer, so that the
// card, a RAM image or an image file can stand under the same file system without
// virtual driver classes. Block numbers count from the start of the device.
#pragma once

#include <stdint.h>

struct FatBlockDevice {
    void* context;
    bool (*read_block)(void* context, uint32_t block, uint8_t* dst512);        // false: read failed
    bool (*write_block)(void* context, uint32_t block, const uint8_t* src512); // false: not written
    bool (*sync)(void* context);                                               // written data durable
    uint32_t (*block_count)(void* context);                                    // 0: no medium
};

// The SD card on the board's SPI bus, through the board API's raw card calls. The card
// must have been started (sd_card_begin) before it is read.
extern const FatBlockDevice fat_card_device;
