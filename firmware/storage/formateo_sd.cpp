// SD formatter on raw card blocks: flash erase in chunks, then an MBR with one partition
// and a FAT16 (standard capacity) or FAT32 (SDHC) volume whose data area is aligned to the
// card's erase units (128 blocks for FAT16, 8192 for FAT32). Every busy loop feeds the
// watchdog and is bounded by the 1 s countdown ctimeout_salir_bucle; a card error prints
// "error: ..." and halts until the watchdog restarts the device.
#include "storage/formateo_sd.h"

#include <string.h>

#include "core/timebase.h"
#include "declaraciones.h"
#include "ostream.h"
#include "platform.h"
#include "storage/gestion_sd.h"

uint32_t cardSizeBlocks = 0;
uint32_t cardCapacityMB = 0;
uint8_t cache[512];
uint8_t partType = 0;
uint32_t relSector = 0;
uint32_t partSize = 0;
uint8_t numberOfHeads = 0;
uint8_t sectorsPerTrack = 0;
uint16_t reservedSectors = 0;
uint8_t sectorsPerCluster = 0;
uint32_t fatStart = 0;
uint32_t fatSize = 0;
uint32_t dataStart = 0;
char noName[12] = "NO NAME    ";
char fat16str[9] = "FAT16   ";
char fat32str[9] = "FAT32   ";
uint8_t CTE_BORRAR_SD = 0;

static constexpr uint8_t PRESUPUESTO_BORRADO_S = 44;  // seconds for the whole erase
static constexpr uint8_t PRESUPUESTO_FORMATO_S = 120; // seconds per layout search or FAT clearing
static constexpr uint32_t MINIMO_CAPACIDAD_MB = 6;    // cards of this size or less are refused
static constexpr uint32_t BLOQUES_PARTICION_FAT32 = 8192; // FAT32 partition start
static constexpr uint32_t LIMITE_CHS_PARTICION = 16450560; // 1024 x 255 x 63 blocks

static void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

static void put32(uint8_t* p, uint32_t v) {
    for (uint8_t i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

[[noreturn]] static void sdError(const char* pcmensaje) {
    cout << "error: " << pcmensaje << '\n';
    sdErrorHalt();
}

// The block driver of this board reports success or failure only (no error code and data to
// print), so the halt goes straight to the watchdog restart.
void sdErrorHalt() {
    cout << dec;
    halt_until_watchdog();
}

// ---------------------------------------------------------------- geometry

void initSizes() {
    if (cardCapacityMB <= MINIMO_CAPACIDAD_MB) sdError("Card is too small.");
    if (cardCapacityMB <= 16) {
        sectorsPerCluster = 2;
    } else if (cardCapacityMB <= 32) {
        sectorsPerCluster = 4;
    } else if (cardCapacityMB <= 64) {
        sectorsPerCluster = 8;
    } else if (cardCapacityMB <= 128) {
        sectorsPerCluster = 16;
    } else if (cardCapacityMB <= 1024) {
        sectorsPerCluster = 32;
    } else if (cardCapacityMB <= 32768) {
        sectorsPerCluster = 64;
    } else {
        sectorsPerCluster = 128;
    }
    cout << "Blocks/Cluster: " << static_cast<int>(sectorsPerCluster) << '\n';

    sectorsPerTrack = cardCapacityMB <= 256 ? 32 : 63;
    if (cardCapacityMB <= 16) {
        numberOfHeads = 2;
    } else if (cardCapacityMB <= 32) {
        numberOfHeads = 4;
    } else if (cardCapacityMB <= 128) {
        numberOfHeads = 8;
    } else if (cardCapacityMB <= 504) {
        numberOfHeads = 16;
    } else if (cardCapacityMB <= 1008) {
        numberOfHeads = 32;
    } else if (cardCapacityMB <= 2016) {
        numberOfHeads = 64;
    } else if (cardCapacityMB <= 4032) {
        numberOfHeads = 128;
    } else {
        numberOfHeads = 255;
    }
}

uint16_t lbnToCylinder(uint32_t lbn) {
    return static_cast<uint16_t>(lbn / (static_cast<uint32_t>(numberOfHeads) * sectorsPerTrack));
}

uint8_t lbnToHead(uint32_t lbn) {
    return static_cast<uint8_t>((lbn % (static_cast<uint32_t>(numberOfHeads) * sectorsPerTrack)) / sectorsPerTrack);
}

uint8_t lbnToSector(uint32_t lbn) { return static_cast<uint8_t>((lbn % sectorsPerTrack) + 1); }

uint32_t volSerialNumber() { return cardSizeBlocks * 256u + micros(); }

// ---------------------------------------------------------------- blocks

void clearCache(uint8_t addSig) {
    memset(cache, 0, sizeof cache);
    if (addSig) {
        cache[510] = 0x55;
        cache[511] = 0xAA;
    }
}

uint8_t writeCache(uint32_t lbn) { return sd_card_write(lbn, cache) ? 1 : 0; }

void clearFatDir(uint32_t bgn, uint32_t count) {
    clearCache(0);
    ctimeout_salir_bucle = PRESUPUESTO_FORMATO_S;
    if (!sd_card_write_start(bgn, count)) sdError("Clear FAT/DIR writeStart failed");
    for (uint32_t i = 0; i < count; ++i) {
        if (ctimeout_salir_bucle == 0) {
            // Out of time: the multi-block write is still ended, so the card takes commands.
            sd_card_write_stop();
            return;
        }
        sodaq_wdt_reset();
        if ((i & 0xFF) == 0) {
            cout << '.';
            coutKVX << '.';
        }
        if (!sd_card_write_data(cache)) sdError("Clear FAT/DIR writeData failed");
    }
    if (!sd_card_write_stop()) sdError("Clear FAT/DIR writeStop failed");
    cout << '\n';
}

// Start or end address of a partition entry: head, sector with cylinder bits 8-9, cylinder.
static void chs(uint8_t* p, uint32_t lbn) {
    uint16_t c = lbnToCylinder(lbn);
    p[0] = lbnToHead(lbn);
    p[1] = static_cast<uint8_t>(((c >> 2) & 0xC0) | lbnToSector(lbn));
    p[2] = static_cast<uint8_t>(c);
}

void writeMbr() {
    clearCache(1);
    uint8_t* p = cache + 446;
    if (lbnToCylinder(relSector) > 1023) sdError("MBR CHS");
    p[0] = 0; // not bootable
    chs(p + 1, relSector);
    p[4] = partType;
    uint32_t lfin = relSector + partSize - 1;
    if (lbnToCylinder(lfin) <= 1023) {
        chs(p + 5, lfin);
    } else {
        p[5] = 254;
        p[6] = 0xFF;
        p[7] = 0xFF;
    }
    put32(p + 8, relSector);
    put32(p + 12, partSize);
    if (!writeCache(0)) sdError("write MBR");
}

// Fields both boot sectors share.
static void sector_arranque_comun() {
    clearCache(1);
    cache[0] = 0xEB;
    cache[1] = 0x00;
    cache[2] = 0x90;
    for (uint8_t i = 3; i <= 10; ++i) cache[i] = ' ';
    put16(cache + 11, 512);
    cache[13] = sectorsPerCluster;
    put16(cache + 14, reservedSectors);
    cache[16] = 2; // FAT copies
    cache[21] = 0xF8;
    put16(cache + 24, sectorsPerTrack);
    put16(cache + 26, numberOfHeads);
    put32(cache + 28, relSector);
    put32(cache + 32, partSize);
}

// ---------------------------------------------------------------- layouts

void makeFat16() {
    uint32_t nc = 0;
    ctimeout_salir_bucle = PRESUPUESTO_FORMATO_S;
    for (dataStart = 2 * BU16;; dataStart += BU16) {
        if (ctimeout_salir_bucle == 0) return;
        sodaq_wdt_reset();
        if (dataStart >= cardSizeBlocks) sdError("Bad cluster count"); // no room for data
        nc = (cardSizeBlocks - dataStart) / sectorsPerCluster;
        fatSize = (nc + 2 + 255) / 256;
        uint32_t r = BU16 + 1 + 2 * fatSize + 32; // MBR gap, boot sector, FATs, 512-entry root
        if (dataStart >= r) break;
    }
    relSector = dataStart - 2 * fatSize - 33;
    if (nc < 4085 || nc >= 65525) sdError("Bad cluster count");
    partSize = nc * sectorsPerCluster + 2 * fatSize + 33;
    reservedSectors = 1;
    fatStart = relSector + reservedSectors;
    partType = partSize <= 32679 ? 1 : partSize <= 65535 ? 4 : 6;

    writeMbr();
    sector_arranque_comun();
    put16(cache + 17, 512); // root directory entries
    put16(cache + 22, static_cast<uint16_t>(fatSize));
    cache[36] = 0x80;
    cache[38] = 0x29;
    put32(cache + 39, volSerialNumber());
    memcpy(cache + 43, noName, 11);
    memcpy(cache + 54, fat16str, 8);
    if (!writeCache(relSector)) sdError("FAT16 write PBS failed");

    clearFatDir(fatStart, dataStart - fatStart);
    clearCache(0);
    put16(cache, 0xFFF8);
    put16(cache + 2, 0xFFFF);
    if (!writeCache(fatStart) || !writeCache(fatStart + fatSize)) sdError("FAT16 reserve failed");
}

void makeFat32() {
    uint32_t nc = 0;
    relSector = BLOQUES_PARTICION_FAT32;
    ctimeout_salir_bucle = PRESUPUESTO_FORMATO_S;
    for (dataStart = 2 * BU32;; dataStart += BU32) {
        if (ctimeout_salir_bucle == 0) return;
        sodaq_wdt_reset();
        if (dataStart >= cardSizeBlocks) sdError("Bad cluster count"); // no room for data
        nc = (cardSizeBlocks - dataStart) / sectorsPerCluster;
        fatSize = (nc + 2 + 127) / 128;
        if (dataStart >= relSector + 9 + 2 * fatSize) break;
    }
    if (nc < 65525) sdError("Bad cluster count");
    reservedSectors = static_cast<uint16_t>(dataStart - relSector - 2 * fatSize);
    fatStart = relSector + reservedSectors;
    partSize = nc * sectorsPerCluster + dataStart - relSector;
    partType = relSector + partSize > LIMITE_CHS_PARTICION ? 12 : 11;

    writeMbr();
    sector_arranque_comun();
    put32(cache + 36, fatSize);
    put32(cache + 44, 2); // root directory cluster
    put16(cache + 48, 1); // FSINFO block
    put16(cache + 50, 6); // backup boot block
    cache[64] = 0x80;
    cache[66] = 0x29;
    put32(cache + 67, volSerialNumber());
    memcpy(cache + 71, noName, 11);
    memcpy(cache + 82, fat32str, 8);
    if (!writeCache(relSector) || !writeCache(relSector + 6)) sdError("FAT32 write PBS failed");

    clearCache(1);
    if (!writeCache(relSector + 2) || !writeCache(relSector + 8)) sdError("FAT32 PBS ext failed");

    clearCache(1);
    put32(cache, 0x41615252);
    put32(cache + 484, 0x61417272);
    put32(cache + 488, 0xFFFFFFFF); // free count unknown
    put32(cache + 492, 0xFFFFFFFF); // next free unknown
    if (!writeCache(relSector + 1) || !writeCache(relSector + 7)) sdError("FAT32 FSINFO failed");

    clearFatDir(fatStart, 2 * fatSize + sectorsPerCluster);
    clearCache(0);
    put32(cache, 0x0FFFFFF8);
    put32(cache + 4, 0x0FFFFFFF);
    put32(cache + 8, 0x0FFFFFFF); // root directory: one cluster, end of chain
    if (!writeCache(fatStart) || !writeCache(fatStart + fatSize)) sdError("FAT32 reserve failed");
}

// ---------------------------------------------------------------- steps

void eraseCard() {
    cout << '\n' << "Erasing\n";
    ctimeout_salir_bucle = PRESUPUESTO_BORRADO_S;
    uint64_t firstBlock = 0; // 64 bits: the last chunk of a 2 TB card must not wrap to 0
    for (uint32_t n = 0; firstBlock < cardSizeBlocks; ++n, firstBlock += ERASE_SIZE) {
        if (ctimeout_salir_bucle == 0) return;
        sodaq_wdt_reset();
        uint64_t lastBlock = firstBlock + ERASE_SIZE - 1;
        if (lastBlock >= cardSizeBlocks) lastBlock = cardSizeBlocks - 1;
        if (!sd_card_erase(static_cast<uint32_t>(firstBlock), static_cast<uint32_t>(lastBlock))) sdError("erase failed");
        cout << '.';
        if ((n + 1) % 32 == 0) cout << '\n';
    }
    cout << '\n';
    if (!sd_card_read(0, cache)) sdError("readBlock");
    cout << "All data set to " << showbase << hex << internal << setfill('0') << setw(4)
         << static_cast<int>(cache[0]) << '\n';
    cout << dec << noshowbase << setfill(' ');
    cout << "Erase done\n";
}

void formatCard() {
    cout << '\n' << "Formatting\n";
    initSizes();
    if (sd_card_type() == SD_CARD_SDHC) {
        cout << "FAT32\n";
        makeFat32();
    } else {
        cout << "FAT16\n";
        makeFat16();
    }
    cout << "Format done\n";
}

void Formatear_SD() {
    while (Serial0.available() > 0) {
        retardo_milisegundos(10);
        Serial0.read();
    }
    // The file system must not touch the card while its blocks are rewritten: files still
    // open are dropped (the card is being wiped) and the write cycle mounts it again.
    volumen_sd.unmount();
    ctarjeta_sd_inicializada = 0;

    cout << "\nThis program can erase and/or format SD/SDHC cards.\n\n"
            "Erase uses the card's fast flash erase command.\n"
            "Flash erase sets all data to 0X00 for most cards\n"
            "and 0XFF for a few vendor's cards.\n\n"
            "Cards larger than 2 GB will be formatted FAT32 and\n"
            "smaller cards will be formatted FAT16.\n\n"
            "Warning, all data on the card will be erased.\n";

    if (!sd_card_begin(chipSelect, SPI_RELOJ_FORMATEO)) {
        cout << "\nSD initialization failure!\n"
                "Is the SD card inserted correctly?\n"
                "Is chip select correct at the top of this program?\n";
        sdError("card.begin failed");
    }
    cardSizeBlocks = sd_card_block_count();
    if (cardSizeBlocks == 0) sdError("cardSize");
    cardCapacityMB = (cardSizeBlocks + 2047) / 2048;
    cout << "Card Size: " << setprecision(0) << cardCapacityMB * 1.048576 << " MB, (MB = 1,000,000 bytes)" << '\n';
    cout << setprecision(6);

    if (CTE_BORRAR_SD == 1) eraseCard();
    formatCard();
}
