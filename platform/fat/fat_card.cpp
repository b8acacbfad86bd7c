// The SD card as a FAT block device: the board API's raw card calls behind the table, and
// the volume's card start-up. Kept in its own file so that a program that mounts only RAM or
// file images does not need the board's card calls at link time.
#include "fat_device.h"
#include "fat_volume.h"
#include "platform.h"

namespace {

bool card_read(void*, uint32_t block, uint8_t* dst512) { return sd_card_read(block, dst512); }

bool card_write(void*, uint32_t block, const uint8_t* src512) { return sd_card_write(block, src512); }

// A single-block write has returned only once the card took the block: nothing to flush.
bool card_sync(void*) { return sd_card_block_count() != 0; }

uint32_t card_blocks(void*) { return sd_card_block_count(); }

} // namespace

const FatBlockDevice fat_card_device = {nullptr, card_read, card_write, card_sync, card_blocks};

bool FatVolume::startCard(uint8_t chip_select_pin, uint32_t spi_hz) {
    attach(&fat_card_device);
    return sd_card_begin(chip_select_pin, spi_hz);
}
