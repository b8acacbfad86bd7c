// Fuzz target for the host link: blocks of host bytes go through the telecommand handler
// (procesamos_trama_kvx03) exactly as the main loop hands them over, at most 128 bytes.
//
// Input layout. Byte 0 chooses the run:
//   bit 0  0: the rest is the block as received (almost always refused by its checksum);
//          1: the rest is the text after "$KVX03,", and the block gets the header, "*",
//             the right checksum and CR LF, so that every group and its fields are reached
//   bit 1  transparent mode (the block is also copied to the sensor port)
//   bit 2  the raw buffer holds records (code 7), else it is empty
//   bit 3  a complete result summary is present (code 4)
// The high four bits of byte 0 give the clock difference of code 17 (times -10^6 s).
//
// The SD format commands (group 1, codes 13 and 14) are left out: without a card in the
// socket the formatter halts until the watchdog restarts the board, as it should, and with
// one every input would cost a whole format.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/timebase.h"
#include "declaraciones.h"
#include "gps/modulo_gps.h"
#include "harness.h"
#include "host/kvx03.h"
#include "platform.h"
#include "waves/correccion_reloj.h"

namespace {

sim::test::Harness& placa() {
    static sim::test::Harness h;
    return h;
}

// True when the block is group 1 with code 13 or 14 (read as the handler reads it).
bool es_formato_sd(const uint8_t* bloque, uint8_t n) {
    uint32_t lgrupo = 0, lcodigo = 0;
    if (!extraccion_dato_nmea2(1, bloque, 0, n, &lgrupo) || lgrupo != 1) return false;
    if (!extraccion_dato_nmea2(2, bloque, 0, n, &lcodigo)) return false;
    return lcodigo == 13 || lcodigo == 14;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* datos, size_t n) {
    if (n == 0) return 0;
    uint8_t cconfig = datos[0];
    std::string bloque;
    if (cconfig & 0x01) {
        std::string cuerpo = "KVX03," + std::string(reinterpret_cast<const char*>(datos + 1), n - 1);
        uint8_t cxor = 0;
        for (char c : cuerpo) cxor = static_cast<uint8_t>(cxor ^ static_cast<uint8_t>(c));
        static const char hex[] = "0123456789ABCDEF";
        bloque = "$" + cuerpo + "*" + hex[cxor >> 4] + hex[cxor & 0x0F] + "\r\n";
    } else {
        bloque.assign(reinterpret_cast<const char*>(datos + 1), n - 1);
    }
    if (bloque.size() > TAM_TRAMA_RX_KVX03) bloque.resize(TAM_TRAMA_RX_KVX03);

    // The console and host ports are never opened: everything is still formatted, but no
    // byte is clocked out in virtual time. Only the sanitizers judge the run.
    placa().run([&] {
        std::memcpy(ctrama_rx_kvx03, bloque.data(), bloque.size());
        ccantidad_bytes_rx_kvx03 = static_cast<uint8_t>(bloque.size());
        if (es_formato_sd(ctrama_rx_kvx03, ccantidad_bytes_rx_kvx03)) return;
        // The tick counts the EEPROM's write delays; group 11 may have changed its rate.
        setup_timerTC0(1, VELOCIDAD_RELOJ_NOMINAL);
        start_timerTC0();

        CTE_MODO_TRANSPARENTE = (cconfig & 0x02) ? 1 : 0;
        if (cconfig & 0x04) {
            const char registros[] = "07,12,26,10,38,40,00001,0123, 00012, 00001.2500,-00000.5000,1,1\r\n"
                                     "07,12,26,10,38,41,00002,0124,-00034, 00002.2500,-00001.5000,0,1\r\n";
            std::memcpy(cbuffer_raw, registros, sizeof registros);
            ibytes_a_escribir_sd[TIPO_BUFFER_RAW] = sizeof registros - 1;
        } else {
            ibytes_a_escribir_sd[TIPO_BUFFER_RAW] = 0;
            cbuffer_raw[0] = 0;
        }
        if (cconfig & 0x08) {
            std::memset(cbuffer_promedio, '7', TAM_BUFFER_PROMEDIO);
            ctam_trama_promedio = CTE_TAM_TRAMA_RES;
        } else {
            ctam_trama_promedio = 0;
        }
        Tiempo_Resta = -1000000 * static_cast<int32_t>(cconfig >> 4);
        cdatos_tx_kvx03 = 0;
        creset = 0;
        procesamos_trama_kvx03();
        if (cdatos_tx_kvx03 == 1) {
            // A queued reply is always a whole sentence within its buffer.
            size_t largo = std::strlen(cbuffer_kvx03);
            if (largo < 7 || largo > TAM_BUFFER_KVX03 || cbuffer_kvx03[0] != '$' ||
                cbuffer_kvx03[largo - 2] != '\r' || cbuffer_kvx03[largo - 1] != '\n' ||
                cbuffer_kvx03[largo - 5] != '*') {
                __builtin_trap();
            }
        }
    });
    return 0;
}
