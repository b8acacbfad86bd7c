// The whole firmware against the simulated receivers on the GPS port, powered by pin 17:
// the receiver is found at its rate, identified, configured and a fix is captured, the
// clock set and the "$GPS," sentence sent to the host.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "declaraciones.h"
#include "gps/modulo_gps.h"
#include "harness.h"
#include "world/gps_receiver.h"

using sim::kSecond;
using sim::Nanos;

namespace {

struct Montaje {
    explicit Montaje(const std::string& modelo, uint32_t baudios_receptor, uint8_t indice_guardado) {
        h.eeprom.data()[1025] = indice_guardado;
        sim::GpsReceiverOptions o;
        o.baud = baudios_receptor;
        sim::UartLink& linea = h.board.connect_uart(3, nullptr, baudios_receptor);
        receptor = sim::make_gps_receiver(modelo, h.board, linea, o);
        h.board.connect_uart(3, receptor.get(), baudios_receptor);
        h.board.on_output_change(PIN_ALIMENTACION_GPS, [this](uint8_t nivel) { receptor->set_power(nivel != 0); });
    }

    // Virtual time at which the console showed the capture, or 0.
    Nanos tiempo_captura() const {
        size_t p = h.console.text().find("Fecha capturada:");
        return p == std::string::npos ? 0 : h.console.times()[p];
    }

    // The first "$GPS," sentence on the host port, without its line end.
    std::string trama_gps() const {
        const std::string& t = h.host.text();
        size_t p = t.find("$GPS,");
        if (p == std::string::npos) return {};
        size_t fin = t.find("\r\n", p);
        return fin == std::string::npos ? std::string() : t.substr(p, fin - p);
    }

    sim::test::Harness h;
    std::unique_ptr<sim::GpsReceiver> receptor;
};

::testing::AssertionResult checksum_valido(const std::string& s) {
    size_t asterisco = s.find('*');
    if (s.empty() || s[0] != '$' || asterisco == std::string::npos || asterisco + 3 != s.size()) {
        return ::testing::AssertionFailure() << "malformed: " << s;
    }
    unsigned x = 0;
    for (size_t i = 1; i < asterisco; ++i) x ^= static_cast<uint8_t>(s[i]);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", x);
    if (s.substr(asterisco + 1) != hex) return ::testing::AssertionFailure() << "checksum: " << s;
    return ::testing::AssertionSuccess();
}

} // namespace

TEST(ReceptorGps, PmtkA38400ConEepromA9600) {
    Montaje m("L76LB", 38400, 1);
    m.h.run_firmware(180 * kSecond);
    const Nanos t = m.tiempo_captura();
    ASSERT_NE(t, 0u) << m.h.console.text();
    std::printf("L76LB 38400 (stored 9600): first capture at %.3f s\n", double(t) / kSecond);
    EXPECT_LT(t, 120 * kSecond);

    EXPECT_EQ(m.h.eeprom.data()[1025], 4);
    const std::string con = m.h.console.text();
    EXPECT_NE(con.find("Cambio baudios GPS:14400\r\n"), std::string::npos);
    EXPECT_NE(con.find("Cambio baudios GPS:38400\r\n"), std::string::npos);
    EXPECT_EQ(con.find("Cambio baudios GPS:57600"), std::string::npos);
    EXPECT_TRUE(m.receptor->sbas_enabled());
    EXPECT_EQ(m.receptor->configured_sentences(), (std::vector<std::string>{"GGA", "GSA", "ZDA"}));
    // Switched off after the capture.
    EXPECT_FALSE(m.receptor->powered());
    // 2026-01-01, position 43 22.2000 N, 8 24.0000 W (fractions in ten-thousandths of a
    // minute without leading zeros), dilutions 1.6 / 0.9 / 1.3.
    const std::string gps = m.trama_gps();
    EXPECT_TRUE(checksum_valido(gps));
    EXPECT_EQ(gps.substr(0, 14), "$GPS,26,01,01,");
    EXPECT_NE(gps.find(",8,43,22,2000,N,8,24,0,W,16,9,13*"), std::string::npos) << gps;
    EXPECT_EQ(cano_utc, 26);
}

TEST(ReceptorGps, Uc6226nisA9600) {
    Montaje m("UC6226NIS", 9600, 1);
    m.h.run_firmware(180 * kSecond);
    const Nanos t = m.tiempo_captura();
    ASSERT_NE(t, 0u) << m.h.console.text();
    std::printf("UC6226NIS 9600: first capture at %.3f s\n", double(t) / kSecond);
    EXPECT_LT(t, 120 * kSecond);
    EXPECT_NE(m.h.console.text().find("Identificado modulo SIM66M\r\n"), std::string::npos);
    EXPECT_EQ(m.receptor->configured_sentences(), (std::vector<std::string>{"GGA", "GSA", "ZDA"}));
    EXPECT_TRUE(static_cast<sim::CfgmsgReceiver&>(*m.receptor).has_saved_configuration());
    EXPECT_EQ(m.h.eeprom.data()[1025], 1);
    EXPECT_TRUE(checksum_valido(m.trama_gps()));
    EXPECT_FALSE(m.receptor->powered());
}

TEST(ReceptorGps, Sim66mA19200ConEepromA9600) {
    Montaje m("SIM66M", 19200, 1);
    m.h.run_firmware(180 * kSecond);
    const Nanos t = m.tiempo_captura();
    ASSERT_NE(t, 0u) << m.h.console.text();
    std::printf("SIM66M 19200 (stored 9600): first capture at %.3f s\n", double(t) / kSecond);
    EXPECT_LT(t, 120 * kSecond);
    EXPECT_EQ(m.h.eeprom.data()[1025], 3);
    EXPECT_EQ(m.receptor->configured_sentences(), (std::vector<std::string>{"GGA", "GSA", "ZDA"}));
    EXPECT_TRUE(checksum_valido(m.trama_gps()));
}

TEST(ReceptorGps, Sim66mdSeAnunciaYSeConfigura) {
    Montaje m("SIM66MD", 9600, 1);
    m.h.run_firmware(180 * kSecond);
    const Nanos t = m.tiempo_captura();
    ASSERT_NE(t, 0u) << m.h.console.text();
    std::printf("SIM66MD 9600: first capture at %.3f s\n", double(t) / kSecond);
    EXPECT_LT(t, 120 * kSecond);
    EXPECT_NE(m.h.console.text().find("Identificado modulo SIM66MD\r\n"), std::string::npos);
    EXPECT_EQ(m.receptor->configured_sentences(), (std::vector<std::string>{"GGA", "GSA", "ZDA"}));
    EXPECT_TRUE(static_cast<sim::CfgmsgReceiver&>(*m.receptor).has_saved_configuration());
    EXPECT_EQ(m.receptor->stats().commands_bad_checksum, 0u);
    EXPECT_TRUE(checksum_valido(m.trama_gps()));
}
