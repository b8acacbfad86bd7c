// The console line editor, the "TEST" command and the test routine's commands.
#include <gtest/gtest.h>

#include <string>

#include "console/test.h"
#include "core/timebase.h"
#include "declaraciones.h"
#include "harness.h"
#include "platform.h"

using sim::kMilli;
using sim::kSecond;
using sim::Nanos;

namespace {

// Level changes of a pin between two times.
std::vector<std::pair<Nanos, uint8_t>> cambios(const sim::test::Harness& h, uint8_t pin, Nanos desde, Nanos hasta) {
    std::vector<std::pair<Nanos, uint8_t>> r;
    for (const auto& c : h.board.pin_history(pin)) {
        if (c.first >= desde && c.first < hasta) r.push_back(c);
    }
    return r;
}

} // namespace

TEST(EditorConsola, LineaLargaGuardaLos32PrimerosYElEcoLos40) {
    sim::test::Harness h;
    const std::string larga = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcd";
    h.run([&] {
        Serial1.begin(115200);
        setup_timerTC0(1, 48000);
        start_timerTC0();
        h.console.type(larga);
        while (Serial1.available() < 40) sodaq_wdt_reset();
        EXPECT_EQ(lectura_linea_consola(), 0);
        EXPECT_EQ(waves.cbytes_rx, 32);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(waves.cbuffer_rx), 32), larga.substr(0, 32));

        // Backspace takes back a character and a line feed is not counted.
        waves.cbytes_rx = 0;
        h.console.type("DIX\b\nP\rresto");
        while (Serial1.available() < 12) sodaq_wdt_reset();
        EXPECT_EQ(lectura_linea_consola(), 1);
        EXPECT_EQ(waves.cbytes_rx, 3);
        EXPECT_EQ(linea_consola_es(m_dip), 1);
        EXPECT_EQ(linea_consola_es(m_gps_on), 0);
        EXPECT_EQ(Serial1.available(), 5); // the bytes after the carriage return wait
        descarte_linea_consola();
        EXPECT_EQ(Serial1.available(), 0);
        Serial1.flush();
    });
    EXPECT_EQ(h.console.text(), larga + "DIX\b\nP\r");
}

// TEST started from the main loop, then the routine's commands on a time line.
TEST(RutinaTest, ComandosDeConsolaEnModoTest) {
    sim::test::Harness h;
    h.console.type_at(3 * kSecond, "TES\bST\r");
    h.board.at(5 * kSecond, [&] { h.board.set_input(PIN_DIP1, 0), h.board.set_input(PIN_DIP3, 0); });
    h.console.type_at(6 * kSecond, "DIP\r");
    h.console.type_at(8 * kSecond, "GPS OFF ahora\r");
    h.console.type_at(9 * kSecond, "GPS ON\r");
    h.console.type_at(10 * kSecond, "\r");
    h.run_firmware(13 * kSecond);

    EXPECT_TRUE(h.board.restarts().empty());
    EXPECT_EQ(waves.ctest, 1);
    const std::string& con = h.console.text();
    const std::string cabecera = std::string(60, '*') + "\r\n\t\t\tTEST\r\n" + std::string(60, '*') + "\r\n\r\n";
    size_t pos_test = con.find(cabecera);
    ASSERT_NE(pos_test, std::string::npos);
    EXPECT_EQ(con.find("TES\bST\r"), pos_test - 7); // the echo came first
    EXPECT_EQ(h.board.uart_baud(0), 115200u);

    // Blinking: the indicators swap every second, starting with pin 33 high.
    auto led2 = cambios(h, PIN_LED_2, 3 * kSecond, 6 * kSecond);
    auto led1 = cambios(h, PIN_LED_1, 3 * kSecond + 10 * kMilli, 6 * kSecond);
    ASSERT_GE(led2.size(), 2u);
    EXPECT_EQ(led2[0].second, 0); // pin 33 was high since start-up: the first change is low
    EXPECT_NEAR(double(led2[1].first - led2[0].first), double(kSecond), double(kMilli));
    ASSERT_EQ(led1.size(), led2.size()); // pin 32 moves only with pin 33, the other way
    for (size_t i = 0; i < led1.size(); ++i) {
        EXPECT_NEAR(double(led1[i].first), double(led2[i].first), 10.0 * sim::kMicro);
        EXPECT_NE(led1[i].second, led2[i].second);
    }

    // DIP switches 1 and 3 closed: 1 + 4, printed once a second.
    size_t dip = con.find("DIP:5\r\n");
    ASSERT_NE(dip, std::string::npos);
    EXPECT_NE(con.find("DIP:5\r\n", dip + 1), std::string::npos);
    EXPECT_NE(con.find("Comando GPS off\r\n"), std::string::npos);
    // The receiver was switched on (state 2) and the state machine has moved on from there.
    EXPECT_EQ(h.board.pin_output(PIN_ALIMENTACION_GPS), 1);
    EXPECT_NE(modulo_gps.cconfigurado, 0);
    EXPECT_EQ(modulo_gps.cdebug, 2);

    // The empty line: both indicators high, no more changes.
    EXPECT_EQ(h.board.pin_output(PIN_LED_1), 1);
    EXPECT_EQ(h.board.pin_output(PIN_LED_2), 1);
    EXPECT_TRUE(cambios(h, PIN_LED_1, 10100 * kMilli, 13 * kSecond).empty());
    EXPECT_TRUE(cambios(h, PIN_LED_2, 10100 * kMilli, 13 * kSecond).empty());
}
