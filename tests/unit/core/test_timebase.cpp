// The 1 ms tick: internal clock and calendar, day change, DIP switch 1, heartbeat,
// blocking delays and the general restart.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/timebase.h"
#include "declaraciones.h"
#include "harness.h"
#include "platform.h"

using sim::kMilli;
using sim::kSecond;
using sim::Nanos;

namespace {

void arranque_base_tiempos() {
    Serial1.begin(115200);
    Wire.begin();
    setup_timerTC0(1, 48000);
    start_timerTC0();
}

void pon_reloj(uint8_t dia, uint8_t mes, uint8_t ano, uint8_t hora, uint8_t minuto, uint8_t segundo) {
    cdia_utc = dia, cmes_utc = mes, cano_utc = ano, chora_utc = hora, cminuto_utc = minuto, csegundo_utc = segundo;
}

std::string fecha() {
    char texto[32];
    snprintf(texto, sizeof texto, "%d/%d/%d %d:%d:%d", cdia_utc, cmes_utc, cano_utc, chora_utc, cminuto_utc,
             csegundo_utc);
    return texto;
}

} // namespace

TEST(RelojInterno, CambiosDeMesYDeAno) {
    struct Caso { uint8_t d, m, a; const char* despues; };
    const Caso casos[] = {
        {28, 2, 24, "29/2/24 0:0:0"}, // leap year
        {28, 2, 25, "1/3/25 0:0:0"},
        {29, 2, 24, "1/3/24 0:0:0"},
        {31, 12, 25, "1/1/26 0:0:0"},
        {30, 4, 25, "1/5/25 0:0:0"},
        {15, 6, 25, "16/6/25 0:0:0"},
        {31, 0, 0, "1/1/0 0:0:0"},   // a clock never set: month 0 counts as January
    };
    sim::test::Harness h;
    h.run([&] {
        arranque_base_tiempos();
        for (const Caso& c : casos) {
            pon_reloj(c.d, c.m, c.a, 23, 59, 0);
            refrescamos_reloj_interno();
            EXPECT_EQ(fecha(), c.despues) << int(c.d) << "/" << int(c.m) << "/" << int(c.a);
        }
        pon_reloj(10, 10, 25, 22, 59, 0);
        refrescamos_reloj_interno();
        EXPECT_EQ(fecha(), "10/10/25 23:0:0");
    });
}

TEST(RelojInterno, SegundosDelTickCambianMinutoHoraYPidenHoraGps) {
    sim::test::Harness h;
    h.run([&] {
        arranque_base_tiempos();
        pon_reloj(3, 3, 25, 10, 59, 58);
        choras_sincronizacion_gps = 2, choras_sin_sincronizacion_gps = 1, cpeticion_nueva_hora = 0;
        retardo_tiempo(25); // two 1 s actions
        EXPECT_EQ(fecha(), "3/3/25 11:0:0");
        EXPECT_EQ(cmostramos_hora, 1);
        EXPECT_EQ(cpeticion_nueva_hora, 1);
        EXPECT_EQ(choras_sin_sincronizacion_gps, 0);
        EXPECT_EQ(cnuevo_dia_pendiente, 0);
    });
}

// The day change runs in the tick; the file-counter write is left to the main loop.
TEST(RelojInterno, CambioDeDiaPoneACeroElContadorDeFicherosDesdeElBucle) {
    sim::test::Harness h;
    pon_reloj(31, 12, 25, 23, 59, 30);
    CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 0;
    // Once start-up has written its own 0, the stored file counter is 258 again.
    h.board.at(10 * kSecond, [&] { h.eeprom.data()[24] = 0x01, h.eeprom.data()[25] = 0x02; });
    h.run_firmware(40 * kSecond);

    EXPECT_EQ(fecha().substr(0, 7), "1/1/26 ");
    EXPECT_EQ(h.eeprom.data()[24], 0);
    EXPECT_EQ(h.eeprom.data()[25], 0);
    EXPECT_NE(h.console.text().find("Nuevo Directorio"), std::string::npos);
    EXPECT_EQ(cnuevo_dia_pendiente, 0);
    EXPECT_EQ(cRevision_Resets_24h, 1);
    EXPECT_EQ(CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET, 1);
    EXPECT_EQ(ccreacion_nuevo_directorio, 1);

    // The heartbeat's falling edges stay 1 s apart across the day change (at about 30 s).
    Nanos anterior = 0;
    for (const auto& [t, nivel] : h.board.pin_history(PIN_LED_1)) {
        if (nivel != 0 || t < 25 * kSecond) continue;
        if (anterior != 0) {
            EXPECT_NEAR(double(t - anterior), double(kSecond), double(kMilli)) << t;
        }
        anterior = t;
    }
    EXPECT_GT(anterior, 35 * kSecond);
}

TEST(Dip1, UnNivelCuentaTrasUnSegundoEstable) {
    sim::test::Harness h;
    h.board.set_input(PIN_DIP1, 0); // switch closed from power-up
    h.run([&] {
        arranque_base_tiempos();
        retardo_tiempo(8);
        EXPECT_EQ(cnivel_dip1, 2);
        retardo_tiempo(4);
        EXPECT_EQ(cnivel_dip1, 0);
        EXPECT_EQ(cdebug_sensor, 1);

        h.board.set_input(PIN_DIP1, 1); // opened for 0.8 s only
        retardo_tiempo(8);
        h.board.set_input(PIN_DIP1, 0);
        retardo_tiempo(8);
        EXPECT_EQ(cnivel_dip1, 0);

        h.board.set_input(PIN_DIP1, 1);
        retardo_tiempo(12);
        EXPECT_EQ(cnivel_dip1, 1);
        EXPECT_EQ(cdebug_sensor, 0);
    });
}

TEST(Retardos, CeroEsperaUnaUnidad) {
    sim::test::Harness h;
    h.run([&] {
        arranque_base_tiempos();
        retardo_milisegundos(1); // now just after a tick
        Nanos t = h.board.now();
        retardo_milisegundos(0);
        EXPECT_NEAR(double(h.board.now() - t), double(kMilli), 0.05 * kMilli);

        retardo_tiempo(1);
        t = h.board.now();
        retardo_tiempo(0);
        EXPECT_NEAR(double(h.board.now() - t), 100.0 * kMilli, 0.05 * kMilli);
    });
}

TEST(Latido, PulsoBajoDe100msCadaSegundoSalvoEnTest) {
    sim::test::Harness h;
    h.run([&] { arranque_base_tiempos(); pinMode(PIN_LED_1, OUTPUT); retardo_tiempo(35); });
    const auto historia = h.board.pin_history(PIN_LED_1); // high at 0.1 s, then low 1 s, high 1.1 s...
    ASSERT_EQ(historia.size(), 7u);
    for (size_t i = 1; i < historia.size(); i += 2) {
        EXPECT_EQ(historia[i].second, 0);
        EXPECT_NEAR(double(historia[i + 1].first - historia[i].first), 100.0 * kMilli, 0.05 * kMilli);
    }
    h.run([&] { waves.ctest = 1; retardo_tiempo(30); });
    EXPECT_EQ(h.board.pin_history(PIN_LED_1).size(), historia.size());
}

TEST(ResetGeneral, CuentaAtrasEnConsolaYReinicioPorWatchdog) {
    sim::test::Harness h;
    EXPECT_THROW(h.run([] {
        arranque_base_tiempos();
        sodaq_wdt_enable(WDT_PERIOD_2X);
        ctimeout_reset_general = 3;
        for (;;) sodaq_wdt_reset(); // the main loop keeps feeding; the halted tick does not return
    }),
                 sim::BoardReset);
    EXPECT_EQ(h.console.text(), "2,1,0,RESET GENERAL POR FALTA DE OLAS (LOOP)\r\n");
    EXPECT_NEAR(double(h.board.now()), 5.0 * kSecond, 0.01 * kSecond); // 3 s, then 2 s of watchdog
}
