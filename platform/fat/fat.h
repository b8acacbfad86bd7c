// The FAT16/FAT32 file system on the SD card: FatVolume (mount, volume facts, free space,
// exists, mkdir, remove) and FatFile / File (open, write, close, directory iteration).
#pragma once

#include "fat_device.h"
#include "fat_file.h"
#include "fat_volume.h"
