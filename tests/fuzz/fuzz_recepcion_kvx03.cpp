// Fuzz target for the host port's block reception: pieces of bytes typed on the host line
// at 38400 baud with pauses between them go through recepcion_bloque_kvx03 as the main
// loop calls it (a block ends after 100 ms of silence, its first 128 bytes kept).
//
// Input layout: a list of pieces, each a pause byte, a length byte and that many bytes.
// Pause byte: bit 7 set, a long pause of 150 + (low seven bits) ms; clear, a short pause
// of (low six bits) ms. Pauses stay clear of the 100 ms silence, so that the blocks the
// firmware must receive are known here: pieces joined by short pauses form one block.
//
// Every block received must be that block's first 128 bytes, in order, nothing lost.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/ondavix_hw4_fw8_1.h"
#include "core/timebase.h"
#include "declaraciones.h"
#include "harness.h"
#include "platform.h"

namespace {

sim::test::Harness& placa() {
    static sim::test::Harness h;
    return h;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* d, size_t n) {
    struct Pieza {
        sim::Nanos pausa;
        std::string bytes;
    };
    std::vector<Pieza> piezas;
    std::vector<std::string> esperados;
    for (size_t i = 0; i + 2 <= n && piezas.size() < 12;) {
        const bool larga = d[i] & 0x80;
        sim::Nanos pausa = (larga ? 150 + (d[i] & 0x7F) : (d[i] & 0x3F)) * sim::kMilli;
        size_t largo = d[i + 1];
        i += 2;
        if (largo > n - i) largo = n - i;
        if (largo == 0) continue;
        piezas.push_back({pausa, std::string(reinterpret_cast<const char*>(d + i), largo)});
        i += largo;
        if (esperados.empty() || larga) esperados.emplace_back();
        esperados.back() += piezas.back().bytes;
    }
    if (piezas.empty()) return 0;

    sim::test::Harness& h = placa();
    h.host.clear();
    h.run([&] {
        static bool arrancada = false;
        if (!arrancada) {
            Serial0.begin(38400);
            setup_timerTC0(1, VELOCIDAD_RELOJ_NOMINAL);
            start_timerTC0();
            arrancada = true;
        }
        // Bytes leave at the line's rate: each piece is typed after the previous one has
        // gone out and its pause has passed.
        const sim::Nanos byte_ns = 10 * sim::kSecond / 38400 + 1;
        sim::Nanos t = h.board.now() + sim::kMilli;
        for (const Pieza& p : piezas) {
            t += p.pausa;
            h.host.type_at(t, p.bytes);
            t += static_cast<sim::Nanos>(p.bytes.size()) * byte_ns;
        }
        for (const std::string& esperado : esperados) {
            while (Serial0.available() <= 0) sodaq_wdt_reset();
            recepcion_bloque_kvx03(SILENCIO_RX_KVX03_MS);
            const size_t guardados = esperado.size() < TAM_TRAMA_RX_KVX03 ? esperado.size() : TAM_TRAMA_RX_KVX03;
            if (ccantidad_bytes_rx_kvx03 != guardados || std::memcmp(ctrama_rx_kvx03, esperado.data(), guardados) != 0)
                __builtin_trap();
        }
        if (Serial0.available() > 0) __builtin_trap();
    });
    return 0;
}
