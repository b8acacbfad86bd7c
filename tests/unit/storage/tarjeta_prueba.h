// Test support for the SD storage: a card in the simulated socket whose blocks live in a
// RAM image (with the image's power-cut and presence rules), a fixture that puts the
// storage globals back to their start values, and readers that look at the card through a
// volume of their own, as a card reader would.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "core/ondavix_hw4_fw8_1.h"
#include "core/timebase.h"
#include "declaraciones.h"
#include "fat/fat.h"
#include "harness.h"
#include "platform.h"
#include "storage/gestion_sd.h"
#include "support/fat_image.h"
#include "world/link.h"

namespace sim::test {

// A card whose blocks are those of a BlockImage. Erase is not modelled (the formatter's
// tests use the file-backed sim::SdCard).
class RamCard : public sim::CardDevice {
public:
    RamCard(BlockImage& image, bool sdhc) : image_(image), sdhc_(sdhc) {}
    bool present() const override { return present_; }
    bool high_capacity() const override { return sdhc_; }
    uint32_t block_count() const override { return image_.blocks(); }
    bool erased_reads_ones() const override { return false; }
    bool read(uint32_t block, uint8_t* dst512) override { return image_.read(block, dst512); }
    bool write(uint32_t block, const uint8_t* src512) override {
        bool ok = image_.write(block, src512);
        if (!ok && on_failed_write) on_failed_write();
        return ok;
    }
    bool erase(uint32_t, uint32_t) override { return false; }
    Nanos busy_time(uint32_t blocks) const override { return 100 * kMicro + blocks * 700 * kMicro; }
    void set_present(bool p) { present_ = p; }
    std::function<void()> on_failed_write; // called at every refused write (power gone)

private:
    BlockImage& image_;
    bool sdhc_;
    bool present_ = true;
};

// Contents of a file on the image, read through a fresh volume; "<missing>" when absent.
inline std::string lee_fichero(BlockImage& image, const std::string& path) {
    FatVolume v;
    v.attach(image.device());
    if (!v.mount(1) && !v.mount(0)) return "<no volume>";
    FatFile f;
    if (!f.open(v, path.c_str(), O_READ)) return "<missing>";
    std::string s;
    char buf[512];
    int n;
    while ((n = f.read(buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
}

inline bool existe_en_imagen(BlockImage& image, const std::string& path) {
    FatVolume v;
    v.attach(image.device());
    if (!v.mount(1) && !v.mount(0)) return false;
    return v.exists(path.c_str());
}

// Storage globals and the parameters the storage reads, at their start values.
inline void estado_inicial_almacenamiento() {
    volumen_sd.unmount();
    ctarjeta_sd_inicializada = 0;
    resSdOk = 2;
    ccreacion_nuevo_directorio = 0;
    Intentos_Creacion_Directorio = 0;
    Intentos_Creacion_Fichero = 0;
    for (int k = 0; k < 3; ++k) ccreacion_nuevo_fichero[k] = 0, cescritura_sd[k] = 0;
    crear_ficheros_axiliares = 0;
    Sdirectorio[0] = 0;
    NOMBRE_FICHERO_RAW[0] = NOMBRE_FICHERO_WAV[0] = NOMBRE_FICHERO_RES[0] = 0;
    CTE_PORCENTAJE_FULL_SD = 255;
    CTE_LIMITE_MAX_USO_SD = 99;
    CTE_PERMITIR_ESCRITURA_SD = 1;
    CTE_PERMITIR_ESCRITURA_SD_EEPROM = 1;
    CTE_NUMERO_MAXIMO_FICHEROS = 100;
    ContadorNumeroFicheros = 0;
    csegundos_retardo_gestion_sd = 0;
    cfecha_capturada = 1;
    cano_utc = 24, cmes_utc = 3, cdia_utc = 5, chora_utc = 14, cminuto_utc = 30, csegundo_utc = 0;
}

// Starts the tick and the I2C bus as setup() does: EEPROM writes and the countdowns need them.
inline void arranque_base_tiempos() {
    Serial1.begin(115200);
    Serial0.begin(38400);
    Wire.begin();
    setup_timerTC0(1, 48000);
    start_timerTC0();
}

// A record in a kind's buffer, as a builder leaves it, with its write flag raised.
inline void pon_registro(uint8_t ctipo, const std::string& texto) {
    char* b = ctipo == 0 ? cbuffer_raw : ctipo == 1 ? cbuffer_wav : cbuffer_res;
    memcpy(b, texto.data(), texto.size());
    b[texto.size()] = 0;
    ibytes_a_escribir_sd[ctipo] = static_cast<uint16_t>(texto.size());
    cescritura_sd[ctipo] = 1;
}

// One pass of the main loop's SD block. The free count of a card that keeps none (FAT16, a
// FAT32 FSInfo without it) goes on in slices, a few FAT blocks a pass: one pass here stands
// for as many as that takes. Returns the slices it stood for.
inline int pasada_sd() {
    gestion_tarjeta_sd();
    int n = 0;
    while (recuento_libres_en_curso() == 1) {
        sodaq_wdt_reset(); // as every pass of the main loop does
        ++n;
    }
    ocupacion_pendiente_sd();
    return n;
}

} // namespace sim::test
