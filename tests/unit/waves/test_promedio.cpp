// Interval statistics and the result texts, intervals without waves and the restart they
// lead to, and the per-wave arrays when the heap runs short.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/timebase.h"
#include "unit/waves/sensor_prueba.h"

using namespace prueba;

namespace {

// Closes one wave through the driver: base vectors of a wave of `altura` cm and `periodo`
// tenths of a second whose waves come from `desde` degrees (trough-minus-crest velocity
// toward desde + 180). Firmware code.
void ola(int altura, int periodo, double desde = 240.0) {
    static int32_t t = 1000000;
    const double pi = 3.14159265358979;
    double hacia = (desde + 180.0) * pi / 180.0;
    vIniOla_0 = 5, vIniOla_1 = t, vIniOla_3 = 2, vIniOla_4 = 0.1f, vIniOla_5 = 0.1f;
    vMax1_0 = 1;
    vMax2_0 = 7, vMax2_3 = int16_t(altura / 2), vMax2_4 = 0.0f, vMax2_5 = 0.0f;
    vMin_0 = 9, vMin_3 = int16_t(altura / 2 - altura), vMin_4 = float(std::cos(hacia)), vMin_5 = float(std::sin(hacia));
    vIntMinVn_0 = vIntMaxVn_0 = vIntMinVe_0 = vIntMaxVe_0 = 8;
    // Half a tenth more than the period: the stored (truncated) period is `periodo`.
    t += periodo * 100000 + 50000;
    vFinOla_0 = 5 + periodo, vFinOla_1 = t, vFinOla_3 = 1, vFinOla_4 = 0.2f, vFinOla_5 = 0.2f;
    // A window that neither starts, crests, troughs nor ends anything.
    TernaDatos_pos1_3 = TernaDatos_pos2_3 = TernaDatos_pos3_3 = 0;
    ProcesarTernaDatos();
}

// XOR of the characters between '$' and '*', as two upper-case hexadecimal digits.
std::string suma_control(const std::string& s) {
    uint8_t x = 0;
    for (size_t i = 1; i < s.size() && s[i] != '*'; ++i) x ^= uint8_t(s[i]);
    char t[3];
    snprintf(t, sizeof t, "%02X", x);
    return t;
}

struct Promedio : ::testing::Test {
    explicit Promedio(size_t limite_heap = 24 * 1024) : h(opciones(limite_heap)) {}
    static sim::test::HarnessOptions opciones(size_t limite_heap) {
        sim::test::HarnessOptions o;
        o.board.heap_limit = limite_heap;
        return o;
    }
    void SetUp() override {
        en_placa(h, [] {
            estado_inicial();
            CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 0;
            // The clock at 10:20:00 with the interval planned from 10:00:01 to 10:20:01: the
            // driver does not end it, the tests do.
            cano_utc = 26, cmes_utc = 3, cdia_utc = 14, chora_utc = 10, cminuto_utc = 20, csegundo_utc = 0;
            HHini = 10, MMini = 0, SSini = 1, HHfin = 10, MMfin = 20, SSfin = 1;
        });
        h.console.clear();
    }
    // Waves (height, period) and then the interval's end; returns the console text.
    std::string intervalo(const std::vector<std::pair<int, int>>& olas) {
        h.console.clear();
        en_placa(h, [&] {
            for (const auto& o : olas) ola(o.first, o.second);
            Calcular_Parametros_Salida_Ola_Promedio();
        });
        return h.console.text();
    }
    std::string res() const { return std::string(cbuffer_res, ibytes_a_escribir_sd[TIPO_BUFFER_RES]); }
    std::string sentencia() const { return std::string(cbuffer_kvx03, ibytes_a_escribir_sd[TIPO_BUFFER_KVX03]); }
    std::string resumen() const { return std::string(cbuffer_promedio, ibytes_a_escribir_sd[TIPO_BUFFER_PROMEDIO]); }
    sim::test::Harness h;
};

struct PromedioHeapCorto : Promedio {
    // 8 bytes for the four one-entry arrays at the interval start; growth then runs short.
    PromedioHeapCorto() : Promedio(40) {}
};

} // namespace

TEST_F(Promedio, UnaOlaYLosTresTextos) {
    std::string con = intervalo({{150, 100}});
    EXPECT_EQ(res(), "14,03,26,10,00,00001 0150 0150 0150 0150 100 100 100 100 100 2400 0000 000 000\r\n");
    EXPECT_EQ(res().size(), 80u);
    std::string s = sentencia();
    EXPECT_EQ(s, "$RES,14,03,26,10,20,00001,0150,0150,0150,0150,100,100,100,100,100,2400,0000,000,000*" +
                     suma_control(s) + "\r\n");
    EXPECT_EQ(s.size(), 88u);
    EXPECT_EQ(std::string(cbuffer_kvx03), s);
    EXPECT_EQ(cdatos_tx_kvx03, 1);
    EXPECT_EQ(resumen(), s.substr(5, 78));
    EXPECT_EQ(ctam_trama_promedio, CTE_TAM_TRAMA_RES);
    EXPECT_EQ(resSdOk, 0); // no result file on the card
    EXPECT_EQ(resSbgOk, 0);
    EXPECT_NE(con.find("\r\nBuffer promedio: " + resumen() + "\r\n\r\nNumOlas=1 Hmax=150 H(1/3)=150 H(1/10)=150 "
                       "Hav=150 Tmax=100 Tpico=100 T(1/3)=100 T(1/10)=100 Tav=100\r\n DirMedMetVel=2400 "
                       "DirMedMetDer=9999 DesvMetVel=0 DesvMetDer=9999 FlagHeadingPromedio=0 "
                       "FlagAlingPromedio=0\r\n" + std::string(187, '=') + "\r\n" + std::string(187, '=') + "\r\n"),
              std::string::npos);
}

TEST_F(Promedio, DosOlasYDiez) {
    intervalo({{100, 80}, {180, 60}});
    EXPECT_EQ(res().substr(15, 45), "00002 0180 0180 0180 0140 080 060 060 060 070");
    en_placa(h, [] { Comenzar_Proceso_Nuevo_Promedio_Olas(); });
    std::vector<std::pair<int, int>> diez;
    for (int i = 1; i <= 10; ++i) diez.push_back({i * 10, 30 + i});
    intervalo(diez);
    // H(1/3): the 4 highest (70, 80, 90, 100); H(1/10): the highest.
    EXPECT_EQ(res().substr(15, 45), "00010 0100 0085 0100 0055 040 040 038 040 036");
}

// Heights 100, 100, 50 with periods 80, 60, 70: the peak period is the first highest
// wave's; the sort leaves the periods 70, 80, 60, so the top third has T(1/3) = 60.
TEST_F(Promedio, AlturasIgualesYPeriodosQueLasAcompanan) {
    intervalo({{100, 80}, {100, 60}, {50, 70}});
    EXPECT_EQ(res().substr(15, 45), "00003 0100 0100 0100 0083 080 080 060 060 070");
    EXPECT_EQ(mVectorAlt[0], 50);
    EXPECT_EQ(mVectorPer[0], 70);
    EXPECT_EQ(mVectorPer[1], 80);
    EXPECT_EQ(mVectorPer[2], 60);
}

TEST_F(Promedio, RedondeoDeLasMedias) {
    intervalo({{12, 40}, {13, 41}});
    EXPECT_EQ(res().substr(15, 20), "00002 0013 0013 0013"); // Hmax, H(1/3), H(1/10): 13
    EXPECT_EQ(res().substr(36, 5), "0013 ");                   // mean 12.5 rounds up to 13
    EXPECT_EQ(res().substr(57, 4), "041 ");                    // mean period 40.5 too
}

TEST_F(Promedio, MediaTruncadaDelTercioSuperior) {
    intervalo({{10, 40}, {10, 40}, {10, 40}, {10, 40}, {12, 40}, {13, 40}});
    EXPECT_EQ(res().substr(15, 25), "00006 0013 0012 0013 0011"); // H(1/3) 12.5 -> 12, Hav 10.83 -> 11
}

// Waves from 359 and 1 degrees: the mean is north and each lies about 1 degree from it,
// the shorter way round.
TEST_F(Promedio, DispersionAlrededorDelNorte) {
    en_placa(h, [] {
        ola(100, 80, 359.0);
        ola(100, 80, 1.0);
        Calcular_Parametros_Salida_Ola_Promedio();
    });
    SCOPED_TRACE(res());
    int media = std::stoi(res().substr(61, 4));
    int dispersion = std::stoi(res().substr(66, 4));
    EXPECT_TRUE(media <= 5 || media >= 3595) << media;
    EXPECT_GE(dispersion, 9);
    EXPECT_LE(dispersion, 11);
}

TEST_F(Promedio, IntervaloSinOlasAntesDeMedianoche) {
    en_placa(h, [] {
        chora_utc = 23, cminuto_utc = 59, csegundo_utc = 51;
        CONTADOR_CERO_OLAS = 3;
        Calcular_Parametros_Salida_Ola_Promedio();
    });
    EXPECT_EQ(h.console.text(), "RESET POR FALTA DE OLAS: 3\r\nNO RESETEAMOS SI ES FINAL DEL DIA.\r\n");
    EXPECT_EQ(CONTADOR_CERO_OLAS, 3);
    EXPECT_EQ(cdatos_tx_kvx03, 0);
}

TEST_F(Promedio, IntervaloSinOlasMandaCerosYElContadorDeDescartes) {
    en_placa(h, [] {
        CONTADOR_OLAS_DESCARTADAS = 0x0102;
        std::strcpy(cbuffer_promedio, "anterior");
        ibytes_a_escribir_sd[TIPO_BUFFER_PROMEDIO] = 8;
        Calcular_Parametros_Salida_Ola_Promedio();
    });
    std::string s = sentencia();
    EXPECT_EQ(s, "$RES,14,03,26,10,20,00000,0000,0000,0000,0000,000,000,000,000,000,0000,0000,001,002*" +
                     suma_control(s) + "\r\n");
    EXPECT_EQ(cdatos_tx_kvx03, 1);
    EXPECT_EQ(resumen(), "anterior"); // no summary for an interval without waves
    EXPECT_EQ(CONTADOR_CERO_OLAS, 1);
    EXPECT_NE(h.console.text().find(
                  "NumOlas=0.00 Hmax=0.00 H(1/3)=0.00 H(1/10)=0.00 Hav=0.00 Tmax=0.00 Tpico=0.00 T(1/3)=0.00 "
                  "T(1/10)=0.00 Tav=0.00\r\n DirMedMetVel=0.00 DirMedMetDer=0.00 DesvMetVel=0.00 DesvMetDer= 0.00\r\n"
                  " FlagHeadingPromedio=1.00 FlagAlingPromedio= 2.00\r\n"),
              std::string::npos);
}

// 120 minutes' worth of intervals without waves start the restart countdown: the sixth of
// 20 minutes, the second of 60. An interval with a wave clears the count.
TEST_F(Promedio, CuentaAtrasTrasDosHorasSinOlas) {
    auto sin_olas = [&](int veces) {
        en_placa(h, [&] {
            for (int i = 0; i < veces; ++i) Calcular_Parametros_Salida_Ola_Promedio();
        });
    };
    sin_olas(5);
    EXPECT_EQ(ctimeout_reset_general, 0);
    EXPECT_EQ(h.console.text().find("Cuenta atr"), std::string::npos);
    intervalo({{100, 80}});
    EXPECT_EQ(CONTADOR_CERO_OLAS, 0);
    en_placa(h, [] { Comenzar_Proceso_Nuevo_Promedio_Olas(); });
    sin_olas(5);
    EXPECT_EQ(ctimeout_reset_general, 0);
    sin_olas(1);
    EXPECT_EQ(ctimeout_reset_general, 1);
    EXPECT_NE(h.console.text().find("Cuenta atr\xEF\xBF\xBDs=1,"), std::string::npos);

    en_placa(h, [] {
        ctimeout_reset_general = 0;
        CONTADOR_CERO_OLAS = 0;
        CTE_INTERVALO_PROMEDIO_INTERPRETADO = 60;
    });
    sin_olas(1);
    EXPECT_EQ(ctimeout_reset_general, 0);
    sin_olas(1);
    EXPECT_EQ(ctimeout_reset_general, 1);
}

// The countdown ends in the tick, which stops feeding the watchdog: the board restarts.
TEST_F(Promedio, ReinicioGeneralPorElWatchdog) {
    bool reiniciado = false;
    try {
        h.run([] {
            Serial1.begin(115200);
            setup_timerTC0(1, 48000);
            start_timerTC0();
            sodaq_wdt_enable(WDT_PERIOD_2X);
            CONTADOR_CERO_OLAS = 5;
            Calcular_Parametros_Salida_Ola_Promedio();
            for (int i = 0; i < 100; ++i) retardo_tiempo(1); // 10 s, feeding the watchdog
        });
    } catch (const sim::BoardReset&) {
        reiniciado = true;
    }
    EXPECT_TRUE(reiniciado);
    EXPECT_NE(h.console.text().find("Cuenta atr\xEF\xBF\xBDs=1,0,RESET GENERAL POR FALTA DE OLAS (LOOP)\r\n"),
              std::string::npos);
}

// With both direction methods the record and the sentence carry both; the summary would
// be 88 characters and cbuffer_promedio holds 79: it is cut there and not announced.
TEST_F(Promedio, AmbosMetodosResumenCortadoSinPasarseDelBuffer) {
    en_placa(h, [] {
        CTE_METODO_DIRECCION_DEFINITIVA = 2;
        cbuffer_promedio[TAM_BUFFER_PROMEDIO] = 'X';
        ola(150, 100);
        Calcular_Parametros_Salida_Ola_Promedio();
    });
    EXPECT_EQ(res().size(), 90u);
    EXPECT_EQ(sentencia().size(), 98u);
    EXPECT_EQ(ibytes_a_escribir_sd[TIPO_BUFFER_PROMEDIO], TAM_BUFFER_PROMEDIO);
    EXPECT_EQ(resumen(), sentencia().substr(5, TAM_BUFFER_PROMEDIO));
    EXPECT_EQ(cbuffer_promedio[TAM_BUFFER_PROMEDIO], 0);
    EXPECT_EQ(ctam_trama_promedio, 0);
    EXPECT_NE(h.console.text().find("Resumen de promedio recortado: 79 de 88\r\n"), std::string::npos);
}

// The sort recurses into the smaller part; the result is the one of always recursing into
// the left part (the partitions are disjoint), heights and periods kept together.
TEST(Ordenacion, MismoResultadoQueRecursionIzquierda) {
    struct Referencia {
        static void ordena(uint16_t* u, uint16_t* v, int izq, int der) {
            while (izq < der) {
                int p = pivot(u, v, izq, der);
                ordena(u, v, izq, p - 1);
                izq = p + 1;
            }
        }
    };
    std::mt19937 azar(7);
    for (int n : {1, 2, 3, 10, 57, 400}) {
        std::vector<uint16_t> u(static_cast<size_t>(n)), v(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) u[size_t(i)] = uint16_t(azar() % 40), v[size_t(i)] = uint16_t(i);
        std::vector<uint16_t> ur = u, vr = v;
        quicksort(u.data(), v.data(), 0, n - 1);
        Referencia::ordena(ur.data(), vr.data(), 0, n - 1);
        EXPECT_EQ(u, ur) << n;
        EXPECT_EQ(v, vr) << n;
        EXPECT_TRUE(std::is_sorted(u.begin(), u.end()));
    }
    // Heights in descending order, the worst case for the depth, sort too.
    std::vector<uint16_t> u(20000), v(20000);
    for (size_t i = 0; i < u.size(); ++i) u[i] = uint16_t(20000 - i), v[i] = uint16_t(i);
    quicksort(u.data(), v.data(), 0, int(u.size()) - 1);
    EXPECT_TRUE(std::is_sorted(u.begin(), u.end()));
    EXPECT_EQ(v[0], 19999);
}

// The heap holds 40 bytes: the arrays grow with every wave until the sixth finds no room
// for mVectorAlt's spare entry. That wave is stored; later waves of the interval are lost,
// counted and reported, and the statistics use the six stored ones only.
TEST_F(PromedioHeapCorto, SinMemoriaLasOlasSiguientesSePierden) {
    std::string con = intervalo({{100, 80}, {100, 80}, {100, 80}, {100, 80}, {100, 80}, {120, 90},
                                 {900, 30}, {800, 30}});
    EXPECT_EQ(nOlas, 6);
    EXPECT_NE(con.find("Error en realloc de mVectorAlt\r\n"), std::string::npos);
    EXPECT_EQ(cuenta(con, "IndOla="), 6u);
    EXPECT_NE(con.find("Ola perdida por falta de memoria. Olas perdidas en el promedio: 2\r\n"), std::string::npos);
    EXPECT_NE(con.find("Olas perdidas por falta de memoria: 2\r\n"), std::string::npos);
    EXPECT_EQ(res().substr(15, 45), "00006 0120 0110 0120 0103 090 090 085 090 082");
    EXPECT_LE(h.board.heap_in_use(), 40u);

    // The next interval starts with fresh one-entry arrays.
    en_placa(h, [] { Comenzar_Proceso_Nuevo_Promedio_Olas(); });
    EXPECT_EQ(lentradas_mVectorAlt, 1u);
    EXPECT_EQ(iolas_sin_memoria, 0);
}

TEST_F(PromedioHeapCorto, SinMemoriaAlEmpezarNoSeGuardaNada) {
    std::string con;
    en_placa(h, [] {
        // Something else holds the heap: only mVectorAlt finds room at the interval start.
        heap_free(mVectorAlt);
        heap_free(mVectorPer);
        heap_free(mVectorDirMetVel);
        heap_free(mVectorDirMetDer);
        mVectorAlt = mVectorPer = mVectorDirMetVel = mVectorDirMetDer = nullptr;
        void* p = heap_alloc(38);
        Comenzar_Proceso_Nuevo_Promedio_Olas();
        ola(100, 80);
        heap_free(p);
    });
    con = h.console.text();
    EXPECT_EQ(con.find("Error en realloc de mVectorAlt 2"), std::string::npos);
    EXPECT_NE(con.find("Error en realloc de mVectorPer 2\r\nError en realloc de mVectorDirMetVel 2\r\n"
                       "Error en realloc de mVectorDirMetDer 2\r\n"),
              std::string::npos);
    EXPECT_EQ(lentradas_mVectorPer, 0u);
    EXPECT_NE(con.find("Ola perdida por falta de memoria. Olas perdidas en el promedio: 1\r\n"), std::string::npos);
    EXPECT_EQ(nOlas, 0);
}
