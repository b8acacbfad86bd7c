// Fuzz target for the console: what a person types on the console port goes through the
// line editor and the main loop's console command (gestion_consola), and, after "TEST",
// through the test routine's commands (INFO SD, DIP, GPS ON, GPS OFF, an empty line) with
// its host echo, until a restart ends the routine as only a restart can.
//
// Input layout. Byte 0 chooses the run:
//   bits 0-2  DIP switches 1 to 3 closed
//   bit 3     a line of text typed on the host port too (the routine's echo)
// The rest is pieces of typing separated by zero bytes (at most eight), typed one after
// another with 50 ms between them; the routine, once started, runs 3 s of virtual time.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "console/test.h"
#include "core/timebase.h"
#include "declaraciones.h"
#include "harness.h"
#include "platform.h"

namespace {

sim::test::Harness& placa() {
    static sim::test::Harness h;
    return h;
}

// The restart that ends the test routine: only once this input's routine has had its time.
sim::Nanos gfin_rutina = 0;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* d, size_t n) {
    if (n == 0) return 0;
    const uint8_t config = d[0];
    std::vector<std::string> piezas;
    {
        std::string resto(reinterpret_cast<const char*>(d + 1), n - 1);
        size_t s = 0;
        while (piezas.size() < 8 && s < resto.size()) {
            size_t e = resto.find('\0', s);
            if (e == std::string::npos) e = resto.size();
            if (e > s) piezas.push_back(resto.substr(s, e - s));
            s = e + 1;
        }
    }
    sim::test::Harness& h = placa();
    h.console.clear();
    h.host.clear();
    h.gps.clear();
    for (int k = 0; k < 3; ++k) h.board.set_input(static_cast<uint8_t>(PIN_DIP1 + k), (config >> k) & 1 ? 0 : 1);
    const sim::Nanos inicio = h.board.now() + sim::kMilli;
    sim::Nanos t = inicio;
    for (const std::string& p : piezas) {
        h.console.type_at(t, p);
        t += static_cast<sim::Nanos>(p.size()) * (10 * sim::kSecond / 115200 + 1) + 50 * sim::kMilli;
    }
    if (config & 0x08) h.host.type_at(inicio + 20 * sim::kMilli, "eco\r\n");
    const sim::Nanos fin_tecleo = t;
    gfin_rutina = fin_tecleo + 3 * sim::kSecond;
    h.board.at(gfin_rutina, [&h] {
        if (waves.ctest == 1 && h.board.now() >= gfin_rutina) throw sim::BoardReset{"end of the test routine"};
    });
    try {
        h.run([&] {
            static bool arrancada = false;
            if (!arrancada) {
                Wire.begin();
                setup_timerTC0(1, VELOCIDAD_RELOJ_NOMINAL);
                start_timerTC0();
                arrancada = true;
            }
            // As start-up leaves the console: the port open, the line empty, no routine.
            Serial1.end();
            Serial1.begin(115200);
            Serial0.end();
            Serial0.begin(38400);
            waves.ctest = 0;
            waves.cbytes_rx = 0;
            while (h.board.now() < fin_tecleo) {
                sodaq_wdt_reset();
                gestion_consola();
                if (waves.cbytes_rx > TAM_LINEA_CONSOLA) __builtin_trap();
            }
        });
    } catch (const sim::BoardReset&) {
        // The routine ran its time.
    }
    return 0;
}
