// Fuzz target for the FAT code on a damaged card: a small card image, formatted and written
// once as the firmware leaves it (a day folder, record files, a directory with a long
// name), is damaged by the input and then mounted, walked, read, appended to and written
// as the firmware and the card export do. The image lives in RAM (an in-memory block
// device), so every input starts from the same card.
//
// Input layout. Byte 0 chooses the run:
//   bit 0  FAT32 (a 34 MiB card), else FAT16 (4 MiB)
//   bit 1  the volume starts at block 0 (no partition table)
//   bit 2  the writes after the walk: append to a record file, make a folder and a file
//   bit 3  remove a file after the writes
// The rest is a list of patches, each: area (1 byte), offset (2 bytes, little endian),
// count (1 byte) and that many bytes written there. Area modulo 5: 0 the boot sector, 1 the
// first FAT blocks, 2 the root directory, 3 the day folder, 4 any block (the offset times 8
// is the block, the count's bytes go to its start). Offsets run over the 512-byte blocks
// of the area.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fat/fat_file.h"
#include "fat/fat_volume.h"
#include "fat_image.h"

namespace {

struct Tarjeta {
    std::unique_ptr<sim::test::RamImage> imagen;
    sim::FatFormatLayout capas;
    uint32_t bloque_dia = 0; // first block of the day folder
};

void escribe(FatVolume& volumen, const char* ruta, size_t bytes, char relleno) {
    FatFile f;
    if (!f.open(volumen, ruta, O_WRITE | O_CREAT)) __builtin_trap();
    std::string datos(bytes, relleno);
    f.write(reinterpret_cast<const uint8_t*>(datos.data()), datos.size());
    f.close();
}

Tarjeta prepara(bool fat32, bool particion) {
    Tarjeta t;
    t.imagen = std::make_unique<sim::test::RamImage>(fat32 ? 69632u : 8192u);
    sim::FatFormat formato;
    formato.fat_bits = fat32 ? 32 : 16;
    formato.partitioned = particion;
    formato.cluster_blocks = 1;
    formato.root_entries = 64;
    t.capas = t.imagen->format(formato, fat32);
    FatVolume volumen;
    volumen.attach(t.imagen->device());
    if (!volumen.mount(particion ? 1 : 0)) __builtin_trap();
    if (!volumen.mkdir("/260101", false) || !volumen.mkdir("/Carpeta de nombre largo", false)) __builtin_trap();
    escribe(volumen, "/260101/0000.RAW", 1500, 'r');
    escribe(volumen, "/260101/0000.WAV", 700, 'w');
    escribe(volumen, "/260101/0000.RES", 100, 's');
    escribe(volumen, "/Carpeta de nombre largo/Un fichero.txt", 40, 't');
    escribe(volumen, "/RESETS.TXT", 10, 'x');
    FatFile dia;
    if (!dia.open(volumen, "/260101", O_READ)) __builtin_trap();
    dia.close();
    volumen.unmount();
    // The day folder is the first cluster after the root (cluster 2 on FAT32, the first
    // data cluster on FAT16).
    t.bloque_dia = t.capas.data_first + (fat32 ? t.capas.cluster_blocks : 0);
    return t;
}

const Tarjeta& tarjeta(int i) {
    static Tarjeta t[4] = {prepara(false, true), prepara(true, true), prepara(false, false), prepara(true, false)};
    return t[i];
}

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void aplica_parches(sim::test::RamImage& imagen, const Tarjeta& t, const uint8_t* d, size_t n) {
    size_t i = 0;
    uint8_t bloque[512];
    while (i + 4 <= n) {
        uint8_t area = d[i] % 5;
        uint32_t desplazamiento = u16(d + i + 1);
        size_t cuantos = d[i + 3];
        i += 4;
        if (cuantos > n - i) cuantos = n - i;
        uint32_t inicio, tamano;
        switch (area) {
        case 0: inicio = t.capas.volume_first, tamano = 512; break;
        case 1: inicio = t.capas.volume_first + t.capas.reserved_blocks, tamano = 4 * 512; break;
        case 2: inicio = t.capas.data_first - (t.capas.fat_bits == 16 ? 4 : 0), tamano = 4 * 512; break;
        case 3: inicio = t.bloque_dia, tamano = 512; break;
        default: inicio = (desplazamiento * 8u) % imagen.blocks(), tamano = 512, desplazamiento = 0; break;
        }
        desplazamiento %= tamano;
        for (size_t k = 0; k < cuantos; ++k) {
            uint32_t b = inicio + (desplazamiento + k) / 512 % (tamano / 512);
            uint32_t o = (desplazamiento + k) % 512;
            if (!imagen.read(b, bloque)) return;
            bloque[o] = d[i + k];
            imagen.write(b, bloque);
        }
        i += cuantos;
    }
}

// Every file read to its end (or its first error) and every folder walked, as the export
// does; at most 4096 entries in all, a damaged tree may run on.
void recorre(FatFile& carpeta, int profundidad, int& entradas) {
    FatFile e;
    uint8_t datos[512];
    while (entradas < 4096 && e.openNext(carpeta, O_READ)) {
        ++entradas;
        char nombre[13];
        e.getName(nombre, sizeof nombre);
        if (e.isDir()) {
            if (profundidad < 6) recorre(e, profundidad + 1, entradas);
        } else {
            uint32_t leidos = 0;
            int r;
            while (leidos <= e.size() && (r = e.read(datos, sizeof datos)) > 0) leidos += static_cast<uint32_t>(r);
            // A file never gives more than its size.
            if (leidos > e.size()) __builtin_trap();
        }
        e.close();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* d, size_t n) {
    if (n == 0) return 0;
    const uint8_t config = d[0];
    const int cual = (config & 0x01) + ((config & 0x02) ? 2 : 0);
    const Tarjeta& t = tarjeta(cual);
    std::unique_ptr<sim::test::RamImage> imagen = t.imagen->clone();
    aplica_parches(*imagen, t, d + 1, n - 1);

    FatVolume volumen;
    volumen.attach(imagen->device());
    if (!volumen.mount((config & 0x02) ? 0 : 1)) return 0;
    volumen.freeClusters();
    FatFile raiz;
    if (raiz.open(volumen, "/", O_READ)) {
        int entradas = 0;
        recorre(raiz, 0, entradas);
        raiz.close();
    }
    if (config & 0x04) {
        FatFile f;
        if (f.open(volumen, "/260101/0000.RAW", O_WRITE | O_APPEND | O_CREAT)) {
            static const uint8_t linea[] = "07,12,26,10,38,40,00001,0123, 00012, 00001.2500,-00000.5000,1,1\r\n";
            for (int k = 0; k < 12; ++k) f.write(linea, sizeof linea - 1);
            f.sync();
            f.close();
        }
        if (volumen.mkdir("/260102", false) || volumen.exists("/260102")) {
            FatFile g;
            if (g.open(volumen, "/260102/0000.RES", O_WRITE | O_CREAT)) {
                g.write(reinterpret_cast<const uint8_t*>("resultado\r\n"), 11);
                g.close();
            }
        }
    }
    if (config & 0x08) volumen.remove("/260101/0000.WAV");
    volumen.sync();
    volumen.unmount();
    return 0;
}
