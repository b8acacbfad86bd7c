// Test support for the host link: telecommands built and replies checked with the host
// side's own sentence code (world/kvx_sentence), and a board with the ports the handler
// writes to.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/ondavix_hw4_fw8_1.h"
#include "core/timebase.h"
#include "declaraciones.h"
#include "harness.h"
#include "host/kvx03.h"
#include "platform.h"
#include "world/kvx_sentence.h"

namespace kvx_prueba {

// The reply the host expects for `cuerpo` after "$OLA,": "$OLA," cuerpo "*hh" CR LF, with
// the checksum computed by the host side's code.
inline std::string respuesta(const std::string& cuerpo) {
    std::string s = "OLA," + cuerpo;
    return "$" + s + "*" + sim::kvx_hex(sim::kvx_checksum(s)) + "\r\n";
}

// Ports and tick as start-up leaves them (firmware code).
inline void arranque_puertos() {
    Serial1.begin(115200);
    Serial0.begin(38400);
    Serial2.begin(115200);
    setup_timerTC0(1, 48000);
    start_timerTC0();
    sodaq_wdt_enable(WDT_PERIOD_2X);
}

// Hands `bloque` to the handler as the main loop does and returns the sentence it queued,
// or "" when it queued none (firmware code).
inline std::string ejecuta_bloque(const std::string& bloque) {
    size_t n = bloque.size() < TAM_TRAMA_RX_KVX03 ? bloque.size() : TAM_TRAMA_RX_KVX03;
    std::memcpy(ctrama_rx_kvx03, bloque.data(), n);
    ccantidad_bytes_rx_kvx03 = static_cast<uint8_t>(n);
    cdatos_tx_kvx03 = 0;
    procesamos_trama_kvx03();
    if (cdatos_tx_kvx03 != 1) return "";
    return std::string(cbuffer_kvx03);
}

// The same for the telecommand with `campos` after "$KVX03," (checksum and CR LF added).
inline std::string telecomando(const std::string& campos) {
    return ejecuta_bloque(sim::kvx_telecommand(campos) + "\r\n");
}

} // namespace kvx_prueba
