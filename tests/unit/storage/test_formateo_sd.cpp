// The SD formatter on the card model: cluster-size and geometry tables, the MBR and boot
// sectors of both layouts, the refusals that halt the device, and the erase in commands of
// at most 262144 blocks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fat/fat.h"
#include "declaraciones.h"
#include "harness.h"
#include "platform.h"
#include "storage/formateo_sd.h"
#include "storage/gestion_sd.h"
#include "support/fat_image.h"
#include "world/sdcard.h"

using sim::SdCard;
using sim::SdCardConfig;
using sim::test::FileImage;
using sim::test::Harness;

namespace {

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// A card of `blocks` in the socket, its image in a fresh temporary file.
struct TarjetaFormateo {
    TarjetaFormateo(Harness& h, const std::string& nombre, uint32_t blocks, bool sdhc, bool unos = false)
        : path(sim::test::temp_path(nombre)), card(config(blocks, sdhc, unos)) {
        std::remove(path.c_str());
        std::string error;
        EXPECT_TRUE(card.open(path, error)) << error;
        h.board.connect_card(&card);
    }
    ~TarjetaFormateo() { std::remove(path.c_str()); }
    static SdCardConfig config(uint32_t blocks, bool sdhc, bool unos) {
        SdCardConfig c;
        c.blocks = blocks;
        c.high_capacity = sdhc;
        c.erased_reads_ones = unos;
        return c;
    }
    void bloque(uint32_t n, uint8_t* dst) { ASSERT_TRUE(card.read(n, dst)); }
    std::string path;
    SdCard card;
};

// Runs the formatter as the host command does; true when it returned, false when it halted.
bool formatea(Harness& h, uint8_t borrar) {
    bool terminado = false;
    try {
        h.run([&] {
            Serial1.begin(115200);
            Serial0.begin(38400);
            sodaq_wdt_enable(WDT_PERIOD_2X);
            CTE_BORRAR_SD = borrar;
            Formatear_SD();
            Serial1.flush();
            terminado = true;
        });
    } catch (const sim::BoardReset&) {
    }
    return terminado;
}

// The partition entry's CHS address of block b, computed here from the geometry.
void chs_esperado(uint32_t b, uint8_t heads, uint8_t spt, uint8_t out[3]) {
    uint32_t c = b / (heads * spt);
    if (c > 1023) {
        out[0] = 254, out[1] = 0xFF, out[2] = 0xFF;
        return;
    }
    out[0] = static_cast<uint8_t>((b % (heads * spt)) / spt);
    out[1] = static_cast<uint8_t>(((c >> 8) << 6) | ((b % spt) + 1));
    out[2] = static_cast<uint8_t>(c);
}

// MBR and boot-sector fields shared by both layouts.
void revisa_mbr_y_arranque(TarjetaFormateo& t, uint8_t heads, uint8_t spt, uint8_t spc, uint8_t* pbs) {
    uint8_t mbr[512];
    t.bloque(0, mbr);
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
    const uint8_t* e = mbr + 446;
    EXPECT_EQ(e[0], 0);
    uint32_t rel = le32(e + 8), size = le32(e + 12);
    EXPECT_EQ(rel, relSector);
    EXPECT_EQ(size, partSize);
    EXPECT_EQ(e[4], partType);
    uint8_t inicio[3], fin[3];
    chs_esperado(rel, heads, spt, inicio);
    chs_esperado(rel + size - 1, heads, spt, fin);
    EXPECT_EQ(std::vector<uint8_t>(e + 1, e + 4), std::vector<uint8_t>(inicio, inicio + 3));
    EXPECT_EQ(std::vector<uint8_t>(e + 5, e + 8), std::vector<uint8_t>(fin, fin + 3));
    for (int i = 0; i < 446; ++i) ASSERT_EQ(mbr[i], 0) << i;
    for (int i = 462; i < 510; ++i) ASSERT_EQ(mbr[i], 0) << i;

    t.bloque(rel, pbs);
    EXPECT_EQ(pbs[0], 0xEB);
    EXPECT_EQ(pbs[2], 0x90);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pbs) + 3, 8), "        ");
    EXPECT_EQ(le16(pbs + 11), 512);
    EXPECT_EQ(pbs[13], spc);
    EXPECT_EQ(pbs[16], 2);
    EXPECT_EQ(pbs[21], 0xF8);
    EXPECT_EQ(le16(pbs + 24), spt);
    EXPECT_EQ(le16(pbs + 26), heads);
    EXPECT_EQ(le32(pbs + 28), rel);
    EXPECT_EQ(le32(pbs + 32), size);
    EXPECT_EQ(pbs[510], 0x55);
    EXPECT_EQ(pbs[511], 0xAA);
}

} // namespace

TEST(FormateoTablas, TamanoDeClusterYGeometriaPorCapacidad) {
    Harness h;
    struct Fila {
        uint32_t mb;
        uint8_t spc, heads, spt;
    } filas[] = {
        {7, 2, 2, 32},       {16, 2, 2, 32},       {17, 4, 4, 32},       {32, 4, 4, 32},
        {33, 8, 8, 32},      {64, 8, 8, 32},       {65, 16, 8, 32},      {128, 16, 8, 32},
        {129, 32, 16, 32},   {256, 32, 16, 32},    {257, 32, 16, 63},    {504, 32, 16, 63},
        {505, 32, 32, 63},   {1008, 32, 32, 63},   {1009, 32, 64, 63},   {1024, 32, 64, 63},
        {1025, 64, 64, 63},  {1939, 64, 64, 63},   {2016, 64, 64, 63},   {2017, 64, 128, 63},
        {4032, 64, 128, 63}, {4033, 64, 255, 63},  {32768, 64, 255, 63}, {32769, 128, 255, 63},
    };
    h.run([&] {
        Serial1.begin(115200);
        for (const Fila& f : filas) {
            cardCapacityMB = f.mb;
            initSizes();
            EXPECT_EQ(sectorsPerCluster, f.spc) << f.mb << " MB";
            EXPECT_EQ(numberOfHeads, f.heads) << f.mb << " MB";
            EXPECT_EQ(sectorsPerTrack, f.spt) << f.mb << " MB";
        }
        // CHS of a block: 64 heads x 63 sectors = 4032 blocks a cylinder.
        numberOfHeads = 64, sectorsPerTrack = 63;
        EXPECT_EQ(lbnToCylinder(4031), 0);
        EXPECT_EQ(lbnToCylinder(4032), 1);
        EXPECT_EQ(lbnToHead(4032 + 63 * 5 + 7), 5);
        EXPECT_EQ(lbnToSector(4032 + 63 * 5 + 7), 8);
        Serial1.flush();
    });
    EXPECT_NE(h.console.text().find("Blocks/Cluster: 128\n"), std::string::npos);
}

TEST(FormateoRechazos, TarjetaDe6MBEsDemasiadoPequenaY7MBSeFormatea) {
    {
        Harness h;
        TarjetaFormateo t(h, "f6mb.img", 6 * 2048, false);
        EXPECT_FALSE(formatea(h, 0));
        EXPECT_NE(h.console.text().find("error: Card is too small.\n"), std::string::npos) << h.console.text();
        EXPECT_EQ(h.console.text().find("Format done"), std::string::npos);
    }
    Harness h;
    TarjetaFormateo t(h, "f7mb.img", 7 * 2048, false);
    ASSERT_TRUE(formatea(h, 0)) << h.console.text();
    EXPECT_EQ(sectorsPerCluster, 2);
    EXPECT_NE(h.console.text().find("Card Size: 7 MB, (MB = 1,000,000 bytes)\n"), std::string::npos)
        << h.console.text();
    EXPECT_NE(h.console.text().find("Blocks/Cluster: 2\nFAT16\n"), std::string::npos);
    EXPECT_NE(h.console.text().find("Format done\n"), std::string::npos);
}

TEST(FormateoRechazos, CuentaDeClustersFueraDeRangoDetieneElEquipo) {
    struct Caso {
        uint32_t blocks;
        bool sdhc;
    } casos[] = {
        {8388608, false}, // 4 GiB standard card: 64-block clusters give 131060, too many for FAT16
        {262144, true},   // 128 MiB SDHC: 16-block clusters give fewer than FAT32 needs
        {14336, true},    // 7 MiB SDHC: not even room for the aligned FAT32 data area
    };
    for (const Caso& c : casos) {
        Harness h;
        TarjetaFormateo t(h, "fbad.img", c.blocks, c.sdhc);
        EXPECT_FALSE(formatea(h, 0)) << c.blocks;
        EXPECT_NE(h.console.text().find("error: Bad cluster count\n"), std::string::npos)
            << c.blocks << "\n" << h.console.text();
        ASSERT_EQ(h.board.restarts().size(), 0u); // a linked firmware stops at the reset
        EXPECT_EQ(t.card.blocks_written(), 0u); // refused before the first block was written
    }
}

TEST(FormateoFat16, TarjetaEstandarDe2GB) {
    Harness h;
    TarjetaFormateo t(h, "f2gb.img", 3970048, false);
    ASSERT_TRUE(formatea(h, 0)) << h.console.text();
    EXPECT_EQ(cardCapacityMB, 1939u);
    EXPECT_EQ(sectorsPerCluster, 64);
    EXPECT_EQ(sectorsPerTrack, 63);
    EXPECT_EQ(numberOfHeads, 64);
    EXPECT_NE(h.console.text().find("Card Size: 2033 MB"), std::string::npos) << h.console.text();
    EXPECT_NE(h.console.text().find("\nFormatting\nBlocks/Cluster: 64\nFAT16\n"), std::string::npos);
    EXPECT_EQ(dataStart % 128, 0u);
    EXPECT_EQ(partType, 6);
    uint8_t pbs[512];
    revisa_mbr_y_arranque(t, 64, 63, 64, pbs);
    EXPECT_EQ(le16(pbs + 14), 1);
    EXPECT_EQ(le16(pbs + 17), 512);
    EXPECT_EQ(le16(pbs + 22), fatSize);
    EXPECT_EQ(pbs[36], 0x80);
    EXPECT_EQ(pbs[38], 0x29);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pbs) + 43, 19), "NO NAME    FAT16   ");
    // Data area right after the FATs and the 32-block root directory.
    EXPECT_EQ(relSector + 1 + 2 * fatSize + 32, dataStart);
    uint32_t nc = (partSize - 2 * fatSize - 33) / 64;
    EXPECT_GE(nc, 4085u);
    EXPECT_LT(nc, 65525u);
    EXPECT_GE(fatSize * 256, nc + 2);
    uint8_t fat[512];
    for (uint32_t copia : {fatStart, fatStart + fatSize}) {
        t.bloque(copia, fat);
        EXPECT_EQ(le16(fat), 0xFFF8);
        EXPECT_EQ(le16(fat + 2), 0xFFFF);
        EXPECT_EQ(le16(fat + 4), 0);
    }
    FileImage image(t.path);
    FatVolume v;
    v.attach(image.device());
    ASSERT_TRUE(v.mount(1));
    EXPECT_EQ(v.fatBits(), 16);
    EXPECT_EQ(v.clusterBlocks(), 64);
    EXPECT_EQ(v.dataClusters(), nc);
    EXPECT_EQ(v.freeClusters(), static_cast<int32_t>(nc));
}

TEST(FormateoFat32, TarjetaSdhcSiempreFat32AlineadaA8192) {
    for (uint32_t blocks : {8388608u, 15523840u}) { // 4 GiB, and a "8 GB" card of odd size
        Harness h;
        TarjetaFormateo t(h, "fsdhc.img", blocks, true);
        ASSERT_TRUE(formatea(h, 0)) << h.console.text();
        EXPECT_NE(h.console.text().find("FAT32\n"), std::string::npos);
        EXPECT_EQ(relSector, 8192u);
        EXPECT_EQ(dataStart % 8192, 0u);
        EXPECT_GE(dataStart, 16384u);
        EXPECT_GE(dataStart, relSector + 9 + 2 * fatSize);
        EXPECT_LT(dataStart - 8192, relSector + 9 + 2 * fatSize); // the first aligned start that fits
        EXPECT_EQ(fatStart + 2 * fatSize, dataStart);
        EXPECT_EQ(partType, relSector + partSize > 16450560 ? 12 : 11);
        uint8_t pbs[512], copia[512], bloque[512];
        revisa_mbr_y_arranque(t, 255, 63, 64, pbs);
        EXPECT_EQ(le16(pbs + 14), reservedSectors);
        EXPECT_EQ(le16(pbs + 17), 0);
        EXPECT_EQ(le32(pbs + 36), fatSize);
        EXPECT_EQ(le32(pbs + 44), 2u);
        EXPECT_EQ(le16(pbs + 48), 1);
        EXPECT_EQ(le16(pbs + 50), 6);
        EXPECT_EQ(pbs[64], 0x80);
        EXPECT_EQ(pbs[66], 0x29);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(pbs) + 71, 19), "NO NAME    FAT32   ");
        t.bloque(relSector + 6, copia);
        EXPECT_EQ(std::vector<uint8_t>(pbs, pbs + 512), std::vector<uint8_t>(copia, copia + 512));
        for (uint32_t fsinfo : {relSector + 1, relSector + 7}) {
            t.bloque(fsinfo, bloque);
            EXPECT_EQ(le32(bloque), 0x41615252u);
            EXPECT_EQ(le32(bloque + 484), 0x61417272u);
            EXPECT_EQ(le32(bloque + 488), 0xFFFFFFFFu);
            EXPECT_EQ(le32(bloque + 492), 0xFFFFFFFFu);
            EXPECT_EQ(bloque[510], 0x55);
        }
        for (uint32_t fat : {fatStart, fatStart + fatSize}) {
            t.bloque(fat, bloque);
            EXPECT_EQ(le32(bloque), 0x0FFFFFF8u);
            EXPECT_EQ(le32(bloque + 4), 0x0FFFFFFFu);
            EXPECT_EQ(le32(bloque + 8), 0x0FFFFFFFu);
            EXPECT_EQ(le32(bloque + 12), 0u);
        }
        FileImage image(t.path);
        FatVolume v;
        v.attach(image.device());
        ASSERT_TRUE(v.mount(1));
        EXPECT_EQ(v.fatBits(), 32);
        EXPECT_EQ(v.dataFirstBlock(), dataStart);
        EXPECT_EQ(v.freeClusters(), static_cast<int32_t>(v.dataClusters() - 1)); // the root's cluster
    }
}

TEST(FormateoBorrado, UnComandoHasta262144BloquesYLuegoTrozos) {
    struct Caso {
        uint32_t blocks;
        uint64_t comandos;
        bool unos;
        const char* valor;
    } casos[] = {{262144, 1, false, "0x00"}, {262145, 2, true, "0xff"}, {3970048, 16, false, "0x00"}};
    for (const Caso& c : casos) {
        Harness h;
        TarjetaFormateo t(h, "fborra.img", c.blocks, false, c.unos);
        ASSERT_TRUE(formatea(h, 1)) << h.console.text();
        EXPECT_EQ(t.card.erase_commands(), c.comandos) << c.blocks;
        EXPECT_NE(h.console.text().find(std::string("\nErasing\n") + std::string(c.comandos, '.') + "\n"),
                  std::string::npos)
            << h.console.text();
        EXPECT_NE(h.console.text().find(std::string("All data set to ") + c.valor + "\nErase done\n"),
                  std::string::npos)
            << h.console.text();
        EXPECT_NE(h.console.text().find("Format done\n"), std::string::npos);
    }
}

TEST(FormateoVolumen, ElSistemaDeFicherosQuedaDesmontadoYSeVuelveAArrancar) {
    Harness h;
    TarjetaFormateo t(h, "fmontada.img", 131072, false);
    h.run([] {
        ASSERT_TRUE(volumen_sd.startCard(19, 2000000));
        ASSERT_TRUE(volumen_sd.mount(1));
        ctarjeta_sd_inicializada = 1;
    });
    ASSERT_TRUE(formatea(h, 0));
    EXPECT_FALSE(volumen_sd.mounted());
    EXPECT_EQ(ctarjeta_sd_inicializada, 0);
    // The clearing dots also go to the host port.
    EXPECT_NE(h.host.text().find('.'), std::string::npos);
}
