// Fuzz target for the GPS receiver: bursts typed on the GPS line at 9600 baud go through
// procesamos_gps exactly as the main loop takes them (reception until 20 ms of silence,
// at most 420 bytes kept, then the lines, the baud-rate search and the capture).
//
// Input layout. Byte 0 chooses the run:
//   bits 0-1  receiver state: running, off, switching on, configuring (CFGMSG)
//   bit 2     CFGMSG family, else PMTK
//   bit 3     a new time is requested (a good fix is captured)
//   bits 4-5  debug level 0, 1 or 2 (3: 0)
//   bit 6     the bursts are lines of sentence bodies: each line between '\n' gets "$",
//             "*", its right checksum and CR LF, so that the fields are reached
//   bit 7     the test routine is running (no capture)
// The rest is up to three bursts separated by a zero byte, each cut to 480 bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/timebase.h"
#include "declaraciones.h"
#include "gps/modulo_gps.h"
#include "board/sim/sim_uart.h"
#include "harness.h"
#include "platform.h"

namespace {

sim::test::Harness& placa() {
    static sim::test::Harness h;
    return h;
}

std::string con_checksum(const std::string& lineas) {
    static const char hex[] = "0123456789ABCDEF";
    std::string r;
    size_t s = 0;
    while (s <= lineas.size()) {
        size_t e = lineas.find('\n', s);
        if (e == std::string::npos) e = lineas.size();
        std::string cuerpo = lineas.substr(s, e - s);
        uint8_t x = 0;
        for (char c : cuerpo) x = static_cast<uint8_t>(x ^ static_cast<uint8_t>(c));
        r += "$" + cuerpo + "*" + hex[x >> 4] + hex[x & 15] + "\r\n";
        s = e + 1;
    }
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* d, size_t n) {
    if (n == 0) return 0;
    const uint8_t config = d[0];
    std::string rafagas[3];
    int cuantas = 0;
    {
        std::string resto(reinterpret_cast<const char*>(d + 1), n - 1);
        size_t s = 0;
        while (cuantas < 3 && s <= resto.size()) {
            size_t e = resto.find('\0', s);
            if (e == std::string::npos) e = resto.size();
            std::string r = resto.substr(s, e - s);
            if (config & 0x40) r = con_checksum(r);
            if (r.size() > 480) r.resize(480);
            if (!r.empty()) rafagas[cuantas++] = r;
            s = e + 1;
        }
    }
    sim::test::Harness& h = placa();
    h.console.clear();
    h.host.clear();
    h.gps.clear();
    h.run([&] {
        static bool arrancada = false;
        if (!arrancada) {
            Wire.begin();
            setup_timerTC0(1, 48000);
            start_timerTC0();
            arrancada = true;
        }
        // Each input starts from the record as start-up leaves it, on the line's rate.
        Serial3.end();
        Serial3.begin(9600);
        inicializacion_modulo_gps();
        static const uint8_t estados[4] = {GPS_FUNCIONANDO, GPS_APAGADO, GPS_ENCENDER, GPS_RECONFIGURAR_CFGMSG};
        modulo_gps.cconfigurado = estados[config & 0x03];
        modulo_gps.ctipo = (config & 0x04) ? GPS_TIPO_CFGMSG : GPS_TIPO_PMTK;
        cpeticion_nueva_hora = (config & 0x08) ? 1 : 0;
        modulo_gps.cdebug = static_cast<uint8_t>(((config >> 4) & 0x03) % 3);
        waves.ctest = (config & 0x80) ? 1 : 0;
        cdatos_tx_kvx03 = 0;
        for (int i = 0; i < cuantas; ++i) {
            h.gps.type(rafagas[i]);
            // A burst at another rate (the search may have moved the port) may never show.
            const sim::Nanos hasta = h.board.now() + 50 * sim::kMilli;
            while (Serial3.available() == 0 && h.board.now() < hasta) sodaq_wdt_reset();
            procesamos_gps();
            if (modulo_gps.ibytes_rx > TAM_FRAME_RX_GPS) __builtin_trap();
            if (cdatos_tx_kvx03 == 1) {
                // A capture queues one whole "$GPS," sentence and leaves a valid clock.
                size_t largo = std::strlen(cbuffer_kvx03);
                if (largo < 9 || largo > TAM_BUFFER_KVX03 || std::strncmp(cbuffer_kvx03, "$GPS,", 5) != 0 ||
                    cbuffer_kvx03[largo - 2] != '\r' || cbuffer_kvx03[largo - 1] != '\n' ||
                    cbuffer_kvx03[largo - 5] != '*')
                    __builtin_trap();
                if (verificacion_limites_fecha(cano_utc, cmes_utc, cdia_utc, chora_utc, cminuto_utc, csegundo_utc) != 0)
                    __builtin_trap();
                cdatos_tx_kvx03 = 0;
            }
        }
        // The rest of the bursts (480 bytes take half a second at 9600 baud) and what the
        // baud-rate search left on the line are let go before the next input: otherwise they
        // reach the next input, and the line's queue grows with every run.
        while (h.board.uart(3).send_pending() > 0) {
            while (Serial3.available() > 0) Serial3.read();
            sodaq_wdt_reset();
        }
        while (Serial3.available() > 0) Serial3.read();
    });
    return 0;
}
