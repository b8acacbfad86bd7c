// The per-sample driver of the wave analysis: start-up, the interval's end by sensor time
// and by the clock, and what belongs to the ending interval.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/timebase.h"
#include "unit/waves/muestras_prueba.h"

using namespace prueba;

namespace {

struct Procesado : ::testing::Test {
    void SetUp() override {
        en_placa(h, [] {
            estado_inicial();
            CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 0;
            CTE_PROCESAR_OLA_PERIODO_MINIMO = 0;
        });
        h.console.clear();
    }
    void corre(const std::function<void()>& fn) { en_placa(h, fn); }
    sim::test::Harness h;
    Muestras m;
};

const std::vector<int16_t> kPrevia = {-20, -10, 10, 30, 10, -10, -30, -10};

void pon_reloj(int hh, int mm, int ss) {
    cano_utc = 26, cmes_utc = 3, cdia_utc = 14;
    chora_utc = uint8_t(hh), cminuto_utc = uint8_t(mm), csegundo_utc = uint8_t(ss);
}

} // namespace

TEST(Inicializar, VaciaElEstadoEInterpretaElIntervalo) {
    sim::test::Harness h;
    en_placa(h, [] {
        // The EEPROM reads of the parameter dump wait on the tick's countdowns.
        setup_timerTC0(1, 48000);
        start_timerTC0();
        Wire.begin();
        mVectorAlt = mVectorPer = mVectorDirMetVel = mVectorDirMetDer = nullptr;
        CTE_INTERVALO_PROMEDIO = 2;
        CTE_METODO_DIRECCION = 1;
        TernaDatos_pos1_0 = TernaDatos_pos2_0 = TernaDatos_pos3_0 = 7;
        vMax1_0 = 3;
        TernaTiempos0 = 5;
        Inicializar();
    });
    EXPECT_EQ(CTE_INTERVALO_PROMEDIO_INTERPRETADO, 20);
    EXPECT_EQ(CTE_METODO_DIRECCION_DEFINITIVA, 1);
    EXPECT_EQ(TernaDatos_pos1_0 + TernaDatos_pos2_0 + TernaDatos_pos3_0, 0);
    EXPECT_EQ(vMax1_0, -1);
    EXPECT_EQ(TernaTiempos0, -1000);
    EXPECT_EQ(lentradas_mVectorAlt, 1u);
    EXPECT_EQ(CONTADOR_OLAS_DESCARTADAS, 65535);
    const std::string& con = h.console.text();
    EXPECT_NE(con.find("Free\r\n_Fin Inicializar promedio_\r\n\r\nchoras_sincronizacion_gps="), std::string::npos);
    EXPECT_NE(con.find("\r\nCTE_INTERVALO_PROMEDIO=2\r\nCTE_INTERVALO_PROMEDIO_INTERPRETADO=20\r\n"), std::string::npos);
}

// Without a valid clock a 20-minute interval ends on the first sample more than 1.2e9 us
// after the first full window's time stamp. Epochs 10 s apart: the window is full at the
// third (30 s); the 124th (1240 s) is the first beyond 1230 s.
TEST_F(Procesado, FinPorTiempoDelSensorSinHoraValida) {
    int epoca_fin = 0;
    corre([&] {
        for (uint32_t k = 1; k <= 130 && epoca_fin == 0; ++k) {
            procesa_bloque(epoca(k * 10000000u, 0.05f));
            Serial1.flush();
            if (h.console.text().find("HACER_PROMEDIO_POR_TIEMPO_SUPERADO = 1\r\n") != std::string::npos) {
                epoca_fin = int(k);
            }
        }
    });
    EXPECT_EQ(epoca_fin, 124);
    EXPECT_EQ(TIEMPO_INI, 1240000000);
    EXPECT_EQ(TIEMPO_FIN, 0);
    EXPECT_NE(h.console.text().find("\r\nHACER_PROMEDIO_POR_TIEMPO_SUPERADO = 1\r\nRESET POR FALTA DE OLAS: 0\r\n"),
              std::string::npos);
    EXPECT_EQ(contPtosOlaActual, 0);
    EXPECT_EQ(tsIni, -1000);
}

// The last interval of the day ends at 23:59:50; the next one is planned to end at 00:10:01
// and must not end before midnight.
TEST_F(Procesado, FinDeIntervaloQueCruzaLaMedianoche) {
    corre([&] {
        CTE_INTERVALO_PROMEDIO = 10;
        pon_reloj(23, 59, 51);
        HHini = 23, MMini = 50, SSini = 1, HHfin = 23, MMfin = 59, SSfin = 50;
        m.empuja({5, 5, 5});
    });
    EXPECT_NE(h.console.text().find("RESET POR FALTA DE OLAS: 0\r\nNO RESETEAMOS SI ES FINAL DEL DIA.\r\n"),
              std::string::npos);
    EXPECT_EQ(HHini, 0);
    EXPECT_EQ(MMfin, 10);
    h.console.clear();
    corre([&] {
        pon_reloj(23, 59, 59);
        m.empuja(5);
        pon_reloj(0, 5, 30);
        m.empuja(5);
    });
    EXPECT_EQ(h.console.text().find("RESET POR FALTA DE OLAS"), std::string::npos);
    corre([&] {
        pon_reloj(0, 10, 2);
        m.empuja(5);
    });
    EXPECT_NE(h.console.text().find("RESET POR FALTA DE OLAS: 0\r\n"), std::string::npos);
    EXPECT_EQ(HHini, 0);
    EXPECT_EQ(MMini, 10);
    EXPECT_EQ(MMfin, 20);
}

// A wave closed by the same sample that ends the interval belongs to the ending interval.
TEST_F(Procesado, OlaQueCierraConElIntervaloCuentaEnEl) {
    corre([&] {
        pon_reloj(10, 19, 59);
        HHini = 10, MMini = 0, SSini = 1, HHfin = 10, MMfin = 20, SSfin = 1;
        m.empuja(kPrevia);
        m.empuja({10, 30, 10, -10, -30, -10, 10});
        pon_reloj(10, 20, 2);
        m.empuja(20); // judges the end crossing and ends the interval
    });
    EXPECT_NE(h.console.text().find("IndOla=1 "), std::string::npos);
    EXPECT_NE(h.console.text().find("NumOlas=1 Hmax=60 "), std::string::npos);
    EXPECT_EQ(nOlas, 0);
    EXPECT_EQ(HHini, 10);
    EXPECT_EQ(MMini, 20);
    EXPECT_EQ(MMfin, 40);
}

// The direction method asked for during an interval takes effect with the next one.
TEST_F(Procesado, CambioDeMetodoValeDesdeElSiguienteIntervalo) {
    corre([&] {
        pon_reloj(10, 19, 0);
        HHini = 10, MMini = 0, SSini = 1, HHfin = 10, MMfin = 20, SSfin = 1;
        m.empuja(kPrevia);
        CTE_METODO_DIRECCION = 1;
        m.empuja({10, 30, 10, -10, -30, -10, 10, 20});
    });
    EXPECT_EQ(nOlas, 1);
    EXPECT_NE(h.console.text().find("Dir(MetDer)=9999 "), std::string::npos);
    EXPECT_EQ(std::string(cbuffer_wav).size(), 50u);
    corre([&] {
        pon_reloj(10, 20, 2);
        m.empuja(20);
    });
    EXPECT_NE(h.console.text().find(" DirMedMetDer=9999 DesvMetVel="), std::string::npos);
    EXPECT_EQ(std::string(cbuffer_res).size(), 80u);
    EXPECT_EQ(CTE_METODO_DIRECCION_DEFINITIVA, 1);
}
