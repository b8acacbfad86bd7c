// Helpers shared by the GPS tests: NMEA sentences with a checksum computed here, apart from
// the firmware's own checksum code, and a burst typed on the GPS line and processed once.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "core/timebase.h"
#include "declaraciones.h"
#include "gps/modulo_gps.h"
#include "harness.h"
#include "platform.h"

namespace gps_prueba {

// XOR of the characters of an NMEA body (between '$' and '*').
inline uint8_t xor_nmea(const std::string& cuerpo) {
    uint8_t x = 0;
    for (char c : cuerpo) x = static_cast<uint8_t>(x ^ static_cast<uint8_t>(c));
    return x;
}

inline std::string hex2(uint8_t v) {
    const char* d = "0123456789ABCDEF";
    return std::string{d[v >> 4], d[v & 15]};
}

// "$body*HH" CR LF with the checksum in upper-case hexadecimal.
inline std::string nmea(const std::string& cuerpo) { return "$" + cuerpo + "*" + hex2(xor_nmea(cuerpo)) + "\r\n"; }

// Puts text in the record's receive buffer as if it were the last burst (at most 420 bytes).
inline void carga_rafaga(const std::string& t) {
    size_t n = t.size() < TAM_FRAME_RX_GPS ? t.size() : TAM_FRAME_RX_GPS;
    std::memcpy(modulo_gps.cframe_rx, t.data(), n);
    modulo_gps.ibytes_rx = static_cast<uint16_t>(n);
}

// Firmware side: console, timebase and the GPS port at `baud` (inside Harness::run).
inline void arranque_placa(uint32_t baud = 9600) {
    Serial1.begin(115200);
    Wire.begin();
    setup_timerTC0(1, 48000);
    start_timerTC0();
    Serial3.begin(baud);
}

// Types `texto` on the GPS line and runs procesamos_gps() passes from its first byte until
// the burst has been collected and processed (inside Harness::run).
inline void rafaga(sim::test::Harness& h, const std::string& texto) {
    h.gps.type(texto);
    while (Serial3.available() == 0) sodaq_wdt_reset();
    do procesamos_gps();
    while (modulo_gps.crecibiendo_rafaga == 1);
}

// A good fix: 26-12-07 10:38:42 UTC, 8 satellites, 41 24.8963 N, 2 11.1234 E, dilutions
// 1.2 / 0.8 / 0.9.
inline std::string gga(const std::string& satelites = "08", const std::string& latitud = "4124.8963,N",
                       const std::string& longitud = "00211.1234,E") {
    return nmea("GNGGA,103842.000," + latitud + "," + longitud + ",1," + satelites + ",0.80,3.0,M,51.0,M,,");
}
inline std::string gsa(const std::string& pdop = "1.20", const std::string& hdop = "0.80",
                       const std::string& vdop = "0.90") {
    return nmea("GNGSA,A,3,01,02,03,04,05,06,07,08,,,,," + pdop + "," + hdop + "," + vdop);
}
inline std::string zda(const std::string& fecha = "07,12,2026", const std::string& hora = "103842.000") {
    return nmea("GNZDA," + hora + "," + fecha + ",00,00");
}
inline std::string rafaga_buena() { return gga() + gsa() + zda(); }

} // namespace gps_prueba
