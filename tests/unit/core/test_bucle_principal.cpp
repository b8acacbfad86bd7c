// The main loop's blocks: restart request, sensor and host reception, clock display.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/ondavix_hw4_fw8_1.h"
#include "core/timebase.h"
#include "declaraciones.h"
#include "harness.h"
#include "platform.h"
#include "unit/waves/sensor_prueba.h"

using sim::kMilli;
using sim::kSecond;

namespace {

void arranque_base_tiempos() {
    Serial1.begin(115200);
    setup_timerTC0(1, 48000);
    start_timerTC0();
}

// Bytes that never repeat within a 1024-byte block, so that a shifted block shows.
std::string flujo(size_t n) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

} // namespace

// A reply and the restart request raised together, wherever in a pass they appear (the
// handler that raises them runs in the middle of the pass): the reply leaves first, then
// the watchdog restarts the device 1 s + 2 s later.
TEST(BuclePrincipal, ReinicioPedidoEnviaAntesLaRespuestaPendiente) {
    const char respuesta[] = "$OLA,05,01*3D\r\n";
    for (sim::Nanos desfase = 0; desfase < 64 * sim::kMicro; desfase += sim::kMicro) {
        sim::test::Harness h;
        creset = 0;
        cdatos_tx_kvx03 = 0;
        h.board.at(3 * kSecond + desfase, [&] {
            std::strcpy(cbuffer_kvx03, respuesta);
            cdatos_tx_kvx03 = 1;
            creset = 1;
        });
        h.run_firmware(20 * kSecond);

        ASSERT_EQ(h.board.restarts().size(), 1u) << desfase;
        const std::string& host = h.host.text();
        ASSERT_GE(host.size(), std::strlen(respuesta));
        EXPECT_EQ(host.substr(host.size() - std::strlen(respuesta)), respuesta) << desfase;
        double desde_respuesta = double(h.board.restarts()[0].time - h.host.times().back());
        EXPECT_NEAR(desde_respuesta, 3.0 * kSecond, 0.11 * kSecond) << desfase;
        EXPECT_NE(h.board.restarts()[0].cause.find("main loop"), std::string::npos);
    }
}

TEST(BuclePrincipal, FlujoContinuoDelSensorSeCortaEnBloquesDe1024) {
    sim::test::Harness h;
    const std::string datos = flujo(2900);
    std::string bloques[3];
    h.run([&] {
        arranque_base_tiempos();
        Serial2.begin(115200);
        h.sensor.type(datos);
        for (std::string& bloque : bloques) {
            while (Serial2.available() == 0) sodaq_wdt_reset();
            resSbgOk = 0;
            recepcion_trama_sensor();
            bloque.assign(reinterpret_cast<const char*>(ctrama_sensor_rx), icantidad_bytes_rx_sensor);
            EXPECT_EQ(resSbgOk, 1);
            EXPECT_EQ(cbuffer_sensor_lleno, 0);
        }
    });
    // A full block's last 80 bytes (no frame ends in them: a cut frame's head at most) open
    // the next block, and nothing is dropped; the silence after the stream ends the last.
    EXPECT_EQ(bloques[0], datos.substr(0, 1024));
    EXPECT_EQ(bloques[1], datos.substr(1024 - 80, 1024));
    EXPECT_EQ(bloques[2], datos.substr(1968 - 80));
    EXPECT_EQ(h.board.uart_dropped(2), 0u);
}

// A card step of a sixth of a second at 50 Hz (bytes taken ahead all along): the block fills
// up inside a frame and goes on in the waiting area, the next block starts with that
// frame's head, and every epoch forms its sample, none twice.
TEST(BuclePrincipal, BloqueAdelantadoLlenoSigueEnEsperaSinPerderLaTramaCortada) {
    sim::test::Harness h;
    std::vector<uint8_t> datos;
    for (uint32_t k = 0; k < 9; ++k) prueba::junta(datos, prueba::epoca(1000000 + k * 20000, 0.01f * float(k)));
    ASSERT_GT(datos.size(), 1024u + 350u); // more than a block and the port's queue
    int formadas = -1;
    h.run([&] {
        arranque_base_tiempos();
        prueba::estado_inicial();
        Serial2.begin(115200);
        h.sensor.type(std::string(datos.begin(), datos.end()));
        cadelanto_sensor = 1;
        while (h.board.uart_bytes_to_board(2) < datos.size()) {
            adelanta_bytes_sensor();
            sodaq_wdt_reset();
        }
        adelanta_bytes_sensor();
        cadelanto_sensor = 0;
        for (int i = 0; i < 3; ++i) recepcion_trama_sensor();
        formadas = contPtosOlaActual;
    });
    EXPECT_EQ(formadas, 9);
    EXPECT_EQ(h.board.uart_dropped(2), 0u);
}

TEST(BuclePrincipal, HoraEnConsolaEntreLineasDeAsteriscos) {
    sim::test::Harness h;
    h.run([] {
        Serial1.begin(115200);
        cdia_utc = 7, cmes_utc = 12, cano_utc = 23, chora_utc = 9, cminuto_utc = 5, csegundo_utc = 3;
        cmostramos_hora = 1;
        mostramos_hora();
        EXPECT_EQ(cmostramos_hora, 0);
        Serial1.flush();
    });
    const std::string linea = std::string(63, '*') + "\r\n";
    EXPECT_EQ(h.console.text(), "\r\n" + linea + "\t\t07/12/23\t09:05:03\r\n" + linea);
}
