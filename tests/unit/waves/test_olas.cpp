// Wave detection on hand-made heave sequences (centimetres, positive down), the per-wave
// parameters and record, and the driver's handling of closed waves.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "unit/waves/muestras_prueba.h"

using namespace prueba;

namespace {

struct Olas : ::testing::Test {
    void SetUp() override {
        en_placa(h, [] {
            estado_inicial();
            CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 0;
            // The hand-made waves are a few samples long: no period limit unless a test sets one.
            CTE_PROCESAR_OLA_PERIODO_MINIMO = 0;
        });
        h.console.clear();
    }
    void corre(const std::function<void()>& fn) { en_placa(h, fn); }
    std::string wav() const { return std::string(cbuffer_wav, ibytes_a_escribir_sd[TIPO_BUFFER_WAV]); }
    sim::test::Harness h;
    Muestras m;
};

// Samples 1..8: the first crest (sample 4), then down to -10. The detector judges the
// middle sample of the window, so sample k is judged when sample k + 1 arrives.
const std::vector<int16_t> kPrevia = {-20, -10, 10, 30, 10, -10, -30, -10};

} // namespace

TEST_F(Olas, PrimeraOlaTrasArranqueSeDescartaSiempre) {
    corre([&] {
        CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 1;
        m.senoide(40, 50.0, 5);
    });
    const std::string& con = h.console.text();
    ASSERT_EQ(cuenta(con, "Ola descartada:\r\n"), 1u);
    EXPECT_NE(con.find("\r\nOla descartada:\r\nPeriodo: 40\r\nAltura: 100\r\nNumOlasDescartadas: 0\r\n"),
              std::string::npos);
    EXPECT_EQ(CONTADOR_OLAS_DESCARTADAS, 0);
    EXPECT_EQ(CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET, 0);
    // The later waves are accepted, the first one numbered 1.
    EXPECT_GE(nOlas, 2);
    EXPECT_NE(con.find("IndOla=1 Altura=100 Periodo=40 NumPtosOla=41 "), std::string::npos);
    EXPECT_EQ(mVectorAlt[0], 100);
    EXPECT_EQ(mVectorPer[0], 40);
}

// A flat crest (p1 = p2 > p3) and a flat trough (p1 = p2 < p3) count at their second
// sample; the sample whose neighbour after it is equal does not.
TEST_F(Olas, CrestasYSenosPlanos) {
    corre([&] {
        m.empuja(kPrevia);                       // samples 1..8; crest at 4
        m.empuja({10, 20, 20, 5, -15, -25, -25, -5}); // 9..16
    });
    EXPECT_EQ(vMax1_0, 4);
    EXPECT_EQ(vIniOla_0, 9);
    EXPECT_EQ(vMax2_0, 11);
    EXPECT_EQ(vMax2_3, 20);
    EXPECT_EQ(vMin_0, 15);
    EXPECT_EQ(vMin_3, -25);
    EXPECT_EQ(vFinOla_0, -1); // -5 is still below zero
}

// Zero heave: p1 <= 0 with p2 = 0 is no start, but p1 < 0 with p2 = 0 is an end.
TEST_F(Olas, AlturaCeroEnLosCruces) {
    corre([&] {
        m.empuja(kPrevia);
        m.empuja({0, 0, 10, 20, 10, -10, -30, -20, 0, 5}); // 9..18
    });
    EXPECT_EQ(vMax1_0, 12);    // this wave's crest, now the next one's previous crest
    EXPECT_EQ(nOlas, 1);
    EXPECT_EQ(mVectorAlt[0], 50);
    EXPECT_EQ(mVectorPer[0], 6); // start at 11 (10 is no start), end at 17 on zero
    EXPECT_EQ(vIniOla_0, 17);   // the next wave starts at this one's end
    EXPECT_EQ(vIniOla_3, 0);
    // Sample 18 after the zero is a crossing (p1 = 0 < p2): the start moves forward to 18,
    // and the next wave, ending on zero again at 24, lasts 6 samples like the first one.
    corre([&] { m.empuja({20, 10, -10, -30, -20, 0, 5}); }); // 19..25
    EXPECT_EQ(nOlas, 2);
    EXPECT_EQ(mVectorPer[1], 6);
    // The same wave with two zero samples at its start crossing (end at 31, then 0 at 32)
    // starts at 33 and lasts 6 samples too.
    corre([&] { m.empuja({20, 10, -10, -30, -20, 0, 0, 5, 20, 10, -10, -30, -20, 0, 5}); }); // 26..40
    EXPECT_EQ(nOlas, 4);
    EXPECT_EQ(mVectorPer[2], 6);
    EXPECT_EQ(mVectorPer[3], 6);
}

TEST_F(Olas, CrestaMasAltaLuegoYSenoMasProfundoLuego) {
    corre([&] {
        m.empuja(kPrevia);             // 1..8
        m.empuja(10, 0.0f, 0.0f);      // 9: start
        m.empuja(20, 0.1f, 0.1f);      // 10: crest; velocity extremes start here
        m.empuja(5, -0.4f, 0.9f);      // 11
        m.empuja(20, 0.3f, 0.0f);      // 12: as high as 10: does not replace it
        m.empuja(5, 0.0f, 0.5f);       // 13
    });
    EXPECT_EQ(vIniOla_0, 9);
    EXPECT_EQ(vMax2_0, 10);
    corre([&] {
        m.empuja(30, 0.2f, 0.2f);      // 14: higher: replaces it
        m.empuja(10, 0.0f, 0.5f);      // 15
    });
    EXPECT_EQ(vMax2_0, 14);
    EXPECT_EQ(vIntMinVn_0, 11);
    EXPECT_EQ(vIntMaxVn_0, 12);
    EXPECT_EQ(vIntMaxVe_0, 11);
    EXPECT_EQ(vIntMinVe_0, 12);
    corre([&] {
        m.empuja(-20, -0.6f, -0.5f);   // 16
        m.empuja(-30, 0.0f, 0.0f);     // 17: first trough, the last sample of the extremes
        m.empuja(-10, 0.9f, 1.5f);     // 18: outside them
        m.empuja(-40, 0.0f, 0.0f);     // 19: deeper trough: replaces 17
        m.empuja(-20, 0.0f, 0.0f);     // 20
    });
    EXPECT_EQ(vMin_0, 19);
    EXPECT_EQ(vIntMinVn_0, 16);
    EXPECT_EQ(vIntMaxVn_0, 12);
    EXPECT_EQ(vIntMaxVe_0, 11);
    EXPECT_EQ(vIntMinVe_0, 16);
    corre([&] { m.empuja({3, 10}); }); // 21: end
    EXPECT_EQ(nOlas, 1);
    EXPECT_EQ(mVectorAlt[0], 70);
    EXPECT_EQ(mVectorPer[0], 12); // samples 9 to 21
}

// Period limits on the rounded period; the stored period is truncated. Samples 80 ms
// apart make a wave of 37 samples last 2.96 s, of 42 samples at 70 ms 2.94 s.
TEST_F(Olas, LimitesDePeriodo) {
    // Start, crest, trough, a flat run below zero and the end `muestras` steps after the
    // start, then one sample more so the end is judged.
    auto una_ola = [&](int32_t dt, int muestras) {
        m.dt = dt;
        m.empuja(kPrevia);
        m.empuja({10, 40, 10, -10, -40});
        for (int k = 5; k < muestras; ++k) m.empuja(-20);
        m.empuja({5, 10});
    };
    corre([&] {
        CTE_PROCESAR_OLA_PERIODO_MINIMO = 3;
        una_ola(80000, 37);
    });
    EXPECT_EQ(nOlas, 1);
    ASSERT_GE(lentradas_mVectorPer, 1u);
    EXPECT_EQ(mVectorPer[0], 29);
    EXPECT_NE(h.console.text().find(" Periodo=29 NumPtosOla=38 "), std::string::npos);

    corre([&] {
        estado_inicial();
        CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 0;
        CTE_PROCESAR_OLA_PERIODO_MINIMO = 3;
        m = Muestras{};
        una_ola(70000, 42);
    });
    EXPECT_EQ(nOlas, 0);
    EXPECT_NE(h.console.text().find("Ola descartada:\r\nPeriodo: 29\r\nAltura: 80\r\n"), std::string::npos);

    // The upper limit is inclusive too: 9 s allowed, 9.0 s accepted, 9.1 s refused.
    corre([&] {
        estado_inicial();
        CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 0;
        CTE_PROCESAR_OLA_PERIODO_MAXIMO = 9;
        m = Muestras{};
        una_ola(100000, 90);
        una_ola(100000, 91);
    });
    EXPECT_EQ(nOlas, 1);
    EXPECT_EQ(mVectorPer[0], 90);
    EXPECT_NE(h.console.text().find("Ola descartada:\r\nPeriodo: 91\r\n"), std::string::npos);
}

TEST_F(Olas, LimitesDeAlturaInclusivos) {
    // Three periods of a sinusoid give one complete wave; amplitudes 50, 51, 30 and 29 cm
    // give heights 100, 102, 60 and 58 cm.
    auto olas_de = [&](double amplitud) {
        corre([&] {
            estado_inicial();
            CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 0;
            CTE_PROCESAR_OLA_ALTURA_MAXIMA = 100;
            CTE_PROCESAR_OLA_ALTURA_MINIMA = 60;
            m = Muestras{};
            m.senoide(40, amplitud, 3);
        });
        return nOlas == 1 ? int(mVectorAlt[0]) : -nOlas;
    };
    EXPECT_EQ(olas_de(50.0), 100);
    EXPECT_EQ(olas_de(51.0), 0);
    EXPECT_NE(h.console.text().find("Altura: 102\r\n"), std::string::npos);
    EXPECT_EQ(olas_de(30.0), 60);
    EXPECT_EQ(olas_de(29.0), 0);
    EXPECT_NE(h.console.text().find("Altura: 58\r\n"), std::string::npos);
}

// A new start at rest (heave and both velocities 0) or with a velocity that is not a
// number restarts the search from a fresh first crest.
TEST_F(Olas, NuevoInicioConCerosONaNReiniciaLaDeteccion) {
    corre([&] {
        m.empuja(kPrevia);
        m.empuja({10, 30, 10, -10, -30, -10}); // 9..14
        m.empuja(0, 0.0f, 0.0f);               // 15: end on a sample at rest
        m.empuja(10);
    });
    EXPECT_EQ(nOlas, 1);
    EXPECT_EQ(vMax1_0, -1);
    EXPECT_EQ(vIniOla_0, -1);
    EXPECT_EQ(cuenta(h.console.text(), "vIniOla tiene algun valor NULL o todo ceros.\r\n"), 1u);

    corre([&] {
        m.empuja({10, 30, 10, -10, -30, -10}); // 17..22: a first crest again (18)
        EXPECT_EQ(vMax1_0, 18);
        EXPECT_EQ(vIniOla_0, -1);
        m.empuja({10, 30, 10, -10, -30, -10}); // 23..28: a wave
        m.empuja(5, std::numeric_limits<float>::quiet_NaN(), 0.1f); // 29: its end
        m.empuja(10);
    });
    EXPECT_EQ(nOlas, 2);
    EXPECT_EQ(vMax1_0, -1);
    EXPECT_EQ(cuenta(h.console.text(), "vIniOla tiene algun valor NULL o todo ceros.\r\n"), 2u);
}

TEST_F(Olas, RegistroYLineasDeUnaOla) {
    corre([&] {
        cdia_utc = 7, cmes_utc = 12, cano_utc = 26, chora_utc = 10, cminuto_utc = 15;
        CTE_USO_APP_KVX03 = 1;
        m.senoide(80, 75.0, 3, 60.0);
    });
    ASSERT_GE(nOlas, 1);
    // Crest 75, trough -75, 8.0 s, 81 samples, waves travelling toward 60 degrees come
    // from 240 degrees; heading and alignment counted by the decoding: none here.
    std::string esperado = "07,12,26,10,15,00001 0150 080 00081 2400 000 000\r\n";
    EXPECT_EQ(wav().substr(0, esperado.size()), esperado);
    EXPECT_EQ(cbuffer_wav[ibytes_a_escribir_sd[TIPO_BUFFER_WAV]], 0);
    EXPECT_NE(h.console.text().find("IndOla=1 Altura=150 Periodo=80 NumPtosOla=81 Dir(MetVel)=2400 "
                                    "Dir(MetDer)=9999 FlagHeading=0 FlagAlign=0                "
                                    "Fecha Ola: 26-12-7  10:15\r\n"),
              std::string::npos);
    EXPECT_EQ(h.host.text().substr(0, 20), "#OLA,1,150,80,2400\r\n");
}

TEST_F(Olas, SoloMetodoDeDerivaElRegistroNoLlevaVelocidad) {
    corre([&] {
        CTE_METODO_DIRECCION_DEFINITIVA = 1;
        CTE_USO_APP_KVX03 = 1;
        m.senoide(80, 75.0, 3, 60.0);
    });
    ASSERT_EQ(nOlas, 1);
    std::string r = wav();
    ASSERT_EQ(r.size(), 50u);
    EXPECT_EQ(r.substr(0, 36), "00,00,00,00,00,00001 0150 080 00081 ");
    EXPECT_EQ(r.substr(40), " 000 000\r\n");
    EXPECT_EQ(h.host.text(), "#OLA,1,150,80,9999\r\n");
    EXPECT_NE(h.console.text().find("mVectorDirMetDer  pos(0) = " + std::to_string(mVectorDirMetDer[0]) + " => " +
                                    std::to_string(mVectorDirMetDer[0]) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(r.substr(36, 4), (mVectorDirMetDer[0] < 1000 ? "0" : "") + std::to_string(mVectorDirMetDer[0]));
}

// Heading and alignment quality: navigation logs with the bits set, per sample of the wave.
TEST_F(Olas, CalidadEnPorcentaje) {
    corre([&] {
        m.empuja(kPrevia);
        m.empuja({10, 30, 10, -10, -30, -10, 10, 30}); // wave from 9 to 15, 7 samples
    });
    ASSERT_EQ(nOlas, 1);
    EXPECT_EQ(mFlagHeading, 0);
    corre([&] {
        m.empuja({10, -10, -30, -10}); // 17..20: trough at 19
        mFlagHeading = 3;   // three of the six steps had the heading bit
        mFlagAlign = 9;     // more than the steps: limited to 100
        m.empuja({10, 20});  // end at 21
    });
    ASSERT_EQ(nOlas, 2);
    EXPECT_NE(h.console.text().find("IndOla=2 Altura=60 Periodo=6 NumPtosOla=7 Dir(MetVel)="), std::string::npos);
    EXPECT_NE(h.console.text().find("FlagHeading=50 FlagAlign=100"), std::string::npos);
    EXPECT_EQ(mFlagHeadingPromedio, 50u);
    EXPECT_EQ(mFlagAlignPromedio, 100u);
}
