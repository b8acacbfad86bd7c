// Clock-rate correction: the TC0 compare value measured against the sensor's time stamps
// and against GPS time between two captures, its limits, its storage at EEPROM 29-30 and
// the restart of the timebase with it.
#include <gtest/gtest.h>

#include <string>

#include "core/timebase.h"
#include "declaraciones.h"
#include "harness.h"
#include "platform.h"
#include "unit/gps/gps_prueba.h"
#include "waves/correccion_reloj.h"
#include "waves/decodificacion.h"

using sim::kMilli;
using sim::kSecond;
using sim::Nanos;

namespace {

uint16_t velocidad_guardada(const sim::test::Harness& h) {
    return uint16_t(h.eeprom.data()[29] << 8 | h.eeprom.data()[30]);
}

void arranque() {
    Serial1.begin(115200);
    Wire.begin();
    setup_timerTC0(1, 48000);
    start_timerTC0();
}

// The end of a sensor-time measurement of `cuenta` units of 100 ms against `microsegundos`
// of sensor time, on a current sample: the previous one came 20 ms earlier on both clocks.
void fin_de_medida(int32_t cuenta, int32_t microsegundos) {
    Tiempo_Ajustar_Hora = 1;
    Tiempo_Capturar_Hora_Inicial = 0;
    Tiempo_Revision_Hora_GPS = 0;
    Tiempo_SBG_Ini = 5000000;
    CONT_TIEMPO_MICRO_ACUMULADO = -1;
    TernaTiempos1 = Tiempo_SBG_Ini + microsegundos - 20000;
    Correccion_Reloj_porWaves();
    retardo_milisegundos(20);
    TernaTiempos1 += 20000;
    CONT_TIEMPO_MICRO_ACUMULADO = cuenta;
    Correccion_Reloj_porWaves();
}

// A pending GPS comparison: previous GPS time, current GPS time and the board's clock at
// the second capture, each as day, hour, minute, second.
void comparacion(const uint8_t (&anterior)[4], const uint8_t (&gps)[4], const uint8_t (&reloj)[4]) {
    cdia_gps_anterior = anterior[0], chora_gps_anterior = anterior[1];
    cminuto_gps_anterior = anterior[2], csegundo_gps_anterior = anterior[3];
    modulo_gps.cdia_zda = gps[0], modulo_gps.chora_zda = gps[1];
    modulo_gps.cminuto_zda = gps[2], modulo_gps.csegundo_zda = gps[3];
    cdia_comparativa = reloj[0], chora_comparativa = reloj[1];
    cminuto_comparativa = reloj[2], csegundo_comparativa = reloj[3];
    Tiempo_Ajustar_Hora = 1;
    Tiempo_Revision_Hora_GPS = 1;
    Correccion_Reloj_porWaves();
}

struct CorreccionReloj : ::testing::Test {
    void SetUp() override { h.run([] { arranque(); }); }
    sim::test::Harness h;
};

} // namespace

TEST_F(CorreccionReloj, MedidaSensor601CuentasContra60SegundosDa48080) {
    Nanos inicio = 0, fin = 0;
    h.run([&] {
        fin_de_medida(600, 60000000);
        EXPECT_EQ(CONT_TIEMPO_MICRO_ACUMULADO, 600);
        EXPECT_EQ(Tiempo_Ajustar_Hora, 1);
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48000);

        fin_de_medida(601, 60000000);
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48080);
        EXPECT_EQ(CONT_TIEMPO_MICRO_ACUMULADO, -1);
        EXPECT_EQ(CONT_TIEMPO_MICRO_FINAL, 601u);
        EXPECT_EQ(Tiempo_SBG_Diferencia, 60000000);
        EXPECT_EQ(Tiempo_Ajustar_Hora, 0);

        // The timebase runs on the new value: 100 tenths now last 10 s x 48080 / 48000.
        retardo_tiempo(1);
        inicio = h.board.now();
        retardo_tiempo(100);
        fin = h.board.now();

        // Idle afterwards: nothing more happens.
        TernaTiempos1 += 1000000;
        CONT_TIEMPO_MICRO_ACUMULADO = 900;
        Correccion_Reloj_porWaves();
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48080);
        Serial1.flush();
    });
    EXPECT_EQ(velocidad_guardada(h), 48080);
    EXPECT_NEAR(double(fin - inicio) / kMilli, 10016.7, 1.5);
    EXPECT_NE(h.console.text().find("TIEMPOS SBG: 65000000-5000000=60000000 ; CONTADORES DE MICRO: 601 ==> "
                                    "CALCULO MICRO vs SBG: 48080;\r\nLimites establecidos permitidos: [46500, 49500]  OJO!!\r\n"),
              std::string::npos)
        << h.console.text();
}

TEST_F(CorreccionReloj, MedidaSensorSeLimitaYSinTiempoVuelveAlNominal) {
    h.run([&] {
        fin_de_medida(625, 60000000); // 50000
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 49500);
        CTE_VELOCIDAD_RELOJ = 48000;
        fin_de_medida(690, 72000000); // 46000
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 46500);
        // A sensor that did not advance gives no ratio: nominal value, no division by zero.
        CTE_VELOCIDAD_RELOJ = 47000;
        fin_de_medida(601, 0);
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48000);
        EXPECT_EQ(Tiempo_Calculo, 0.0);
    });
    EXPECT_EQ(velocidad_guardada(h), 48000);
}

TEST(CorreccionRelojPlaca, OsciladorRapidoAlargaElTick) {
    // The board's 48 MHz clock runs 1 % fast: the firmware counts 60.1 s while the sensor,
    // on its own clock, measures 59.5 s.
    sim::test::HarnessOptions opciones;
    opciones.board.oscillator_ppm = 10000;
    sim::test::Harness h(opciones);
    h.run([&] {
        arranque();
        const Nanos t0 = h.board.now();
        auto sensor = [&] { return int32_t(7000000 + (h.board.now() - t0) / 1000); };
        TernaTiempos1 = sensor();
        Correccion_Reloj_porWaves(); // the first sample has nothing to be compared with
        EXPECT_EQ(CONT_TIEMPO_MICRO_ACUMULADO, -1);
        retardo_milisegundos(20);
        TernaTiempos1 = sensor();
        Correccion_Reloj_porWaves(); // start
        EXPECT_EQ(Tiempo_SBG_Ini, TernaTiempos1);
        EXPECT_EQ(CONT_TIEMPO_MICRO_ACUMULADO, 0);
        // One motion sample every 20 ms until the measurement ends.
        while (Tiempo_Ajustar_Hora == 1 && h.board.now() - t0 < 70 * kSecond) {
            retardo_milisegundos(20);
            TernaTiempos1 = sensor();
            Correccion_Reloj_porWaves();
        }
        EXPECT_EQ(Tiempo_Ajustar_Hora, 0);
        EXPECT_EQ(CONT_TIEMPO_MICRO_FINAL, 601u);
        // 48000 x 1.01, within the count's resolution of 100 ms in 60 s.
        EXPECT_NEAR(CTE_VELOCIDAD_RELOJ, 48480, 80);
        EXPECT_EQ(velocidad_guardada(h), CTE_VELOCIDAD_RELOJ);
    });
}

// After the main loop was held 2 s (as by the SD free-space count), the first sample
// decoded is 2 s old and the next follows a gap of dropped frames: neither starts nor ends
// a measurement, the one after them does.
TEST(CorreccionRelojPlaca, MuestrasAtrasadasTrasUnaEsperaNoCuentan) {
    sim::test::Harness h;
    h.run([&] {
        arranque();
        const Nanos t0 = h.board.now();
        // A current sample carries the sensor time of now; a stale one an older stamp.
        auto muestra = [&](uint8_t cms_placa, int32_t lus_atraso = 0) {
            retardo_milisegundos(cms_placa);
            TernaTiempos1 = int32_t(3000000 + (h.board.now() - t0) / 1000) - lus_atraso;
            Correccion_Reloj_porWaves();
        };
        muestra(20);
        muestra(20);
        EXPECT_EQ(CONT_TIEMPO_MICRO_ACUMULADO, 0); // started on a current sample
        EXPECT_EQ(Tiempo_SBG_Ini, TernaTiempos1);

        Tiempo_Capturar_Hora_Inicial = 1; // a GPS capture asks for a new start
        int32_t lantes = TernaTiempos1;
        retardo_tiempo(20);               // the loop is held 2 s
        muestra(1, int32_t((h.board.now() - t0) / 1000) + 3000000 - lantes - 20000); // 20 ms after the last
        EXPECT_EQ(Tiempo_Capturar_Hora_Inicial, 1);
        muestra(20);                      // after the gap of dropped frames
        EXPECT_EQ(Tiempo_Capturar_Hora_Inicial, 1);
        muestra(20);
        EXPECT_EQ(Tiempo_Capturar_Hora_Inicial, 0);
        EXPECT_EQ(Tiempo_SBG_Ini, TernaTiempos1);

        // Samples every 100 ms until the count nears 600, then a stall past the end.
        while (CONT_TIEMPO_MICRO_ACUMULADO < 590) muestra(100);
        lantes = TernaTiempos1;
        retardo_tiempo(20);
        muestra(1, int32_t((h.board.now() - t0) / 1000) + 3000000 - lantes - 100000);
        EXPECT_EQ(Tiempo_Ajustar_Hora, 1);
        muestra(20);
        EXPECT_EQ(Tiempo_Ajustar_Hora, 1);
        muestra(20);
        EXPECT_EQ(Tiempo_Ajustar_Hora, 0);
        // Sensor and board agree: the compare value stays within the count's resolution.
        EXPECT_NEAR(CTE_VELOCIDAD_RELOJ, 48000, 80);
    });
}

TEST_F(CorreccionReloj, ComparacionGpsMasDe15Segundos) {
    h.run([&] {
        comparacion({7, 10, 0, 0}, {7, 11, 0, 0}, {7, 10, 59, 40});
        EXPECT_EQ(Tiempo_Diferencia_gps, 3600);
        EXPECT_EQ(Tiempo_Diferencia_Comparativa, 3580);
        EXPECT_EQ(Tiempo_Resta, 20);
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 47733);
        EXPECT_EQ(Tiempo_Ajustar_Hora, 0);
        EXPECT_EQ(Tiempo_Revision_Hora_GPS, 0);
        EXPECT_EQ(chora_gps_anterior, 11);
        EXPECT_EQ(cminuto_gps_anterior, 0);
        Serial1.flush();
    });
    EXPECT_EQ(velocidad_guardada(h), 47733);
    const std::string con = h.console.text();
    EXPECT_NE(con.find("Hora anterior GPS:10:00:00\r\nHora actual UTC:10:59:40\r\nHora actual GPS:11:00:00\r\n"
                       "CTE_VELOCIDAD_RELOJ: 48000\r\n"),
              std::string::npos)
        << con;
    EXPECT_NE(con.find("RESTA TIEMPOS: 20 segundos.  Dif Gps(1)-Gpx(0)=3600 Dif UtcMicro(1)-Gps(0)=3580; \r\n"
                       "CALCULO CON GPS:47733\r\n"),
              std::string::npos);
    EXPECT_NE(con.find("Hora anterior GPS (Actualizacion): 11:00:00\r\n"), std::string::npos);
}

TEST_F(CorreccionReloj, ComparacionGpsDentroDeTolerancia) {
    h.run([&] {
        comparacion({7, 10, 0, 0}, {7, 11, 0, 0}, {7, 10, 59, 50});
        EXPECT_EQ(Tiempo_Resta, 10);
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48000);
        comparacion({7, 10, 0, 0}, {7, 11, 0, 0}, {7, 11, 0, 15});
        EXPECT_EQ(Tiempo_Resta, -15);
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48000);
        EXPECT_EQ(chora_gps_anterior, 11);
        EXPECT_EQ(Tiempo_Ajustar_Hora, 0);
        // A clock 20 s fast gets longer ticks.
        comparacion({7, 10, 0, 0}, {7, 11, 0, 0}, {7, 11, 0, 20});
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48267);
    });
    EXPECT_EQ(velocidad_guardada(h), 48267);
}

TEST_F(CorreccionReloj, CambioDeDiaSumaUnDiaUnaSolaVez) {
    h.run([&] {
        comparacion({7, 23, 30, 0}, {8, 0, 30, 0}, {8, 0, 29, 40});
        EXPECT_EQ(Tiempo_Diferencia_gps, 3600);
        EXPECT_EQ(Tiempo_Diferencia_Comparativa, 3580);
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 47733);
        EXPECT_EQ(cdia_gps_anterior, 8);
        // The next comparison, four hours later the same day, measures four hours.
        comparacion({cdia_gps_anterior, chora_gps_anterior, cminuto_gps_anterior, csegundo_gps_anterior},
                    {8, 4, 30, 0}, {8, 4, 29, 40});
        EXPECT_EQ(Tiempo_Diferencia_gps, 14400);
        EXPECT_EQ(Tiempo_Diferencia_Comparativa, 14380);
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 47667);
        Serial1.flush();
    });
    size_t n = 0;
    for (size_t p = h.console.text().find("Cambio de dia. \r\n"); p != std::string::npos;
         p = h.console.text().find("Cambio de dia. \r\n", p + 1)) {
        ++n;
    }
    EXPECT_EQ(n, 2u);
}

TEST_F(CorreccionReloj, ComparacionSinIntervaloVuelveAlNominal) {
    h.run([&] {
        CTE_VELOCIDAD_RELOJ = 47000;
        comparacion({7, 10, 0, 0}, {7, 11, 0, 0}, {7, 9, 59, 0});
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48000);
        CTE_VELOCIDAD_RELOJ = 47000;
        comparacion({7, 10, 0, 0}, {7, 10, 0, 0}, {7, 10, 0, 30});
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48000);
        // Nothing pending: nothing happens.
        CTE_VELOCIDAD_RELOJ = 47000;
        Tiempo_Ajustar_Hora = 0;
        Tiempo_Revision_Hora_GPS = 1;
        Correccion_Reloj_porWaves();
        EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 47000);
        EXPECT_EQ(Tiempo_Revision_Hora_GPS, 1);
    });
}

// Two GPS captures through the sentence processing: the board's own clock at the second
// reception is the comparison time, so a drift above 15 s corrects the rate and less does not.
TEST_F(CorreccionReloj, DerivaEntreDosCapturas) {
    for (int deriva : {20, 10}) {
        h.run([&] {
            Serial3.begin(9600);
            Tiempo_Ajustar_Hora = 0;
            cdia_gps_anterior = 0;
            CTE_VELOCIDAD_RELOJ = 48000;
            modulo_gps.cconfigurado = GPS_FUNCIONANDO;
            gps_prueba::rafaga(h, gps_prueba::gga() + gps_prueba::gsa() + gps_prueba::zda("07,12,2026", "100000.000"));
            ASSERT_EQ(cdia_gps_anterior, 7);
            // An hour later by GPS; the board's clock lost `deriva` seconds meanwhile.
            cdia_utc = 7, chora_utc = 10, cminuto_utc = 59, csegundo_utc = uint8_t(60 - deriva);
            modulo_gps.cconfigurado = GPS_FUNCIONANDO;
            gps_prueba::rafaga(h, gps_prueba::gga() + gps_prueba::gsa() + gps_prueba::zda("07,12,2026", "110000.000"));
            ASSERT_EQ(Tiempo_Revision_Hora_GPS, 1);
            Correccion_Reloj_porWaves();
            EXPECT_EQ(Tiempo_Ajustar_Hora, 0);
        });
        if (deriva == 20) {
            // 48000 x (3580 or 3581) / 3600: the board's second may have moved on during the burst.
            EXPECT_GE(CTE_VELOCIDAD_RELOJ, 47733);
            EXPECT_LE(CTE_VELOCIDAD_RELOJ, 47747);
        } else {
            EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48000);
        }
    }
}
