// The averaging schedule: interval codes, planned ends, the hourly check and the difference
// of sensor time stamps.
#include <gtest/gtest.h>

#include <string>

#include "unit/waves/sensor_prueba.h"

using namespace prueba;

namespace {

struct Hora {
    int hh, mm, ss;
};

void pon_reloj(int hh, int mm, int ss) {
    cano_utc = 26, cmes_utc = 3, cdia_utc = 14;
    chora_utc = uint8_t(hh), cminuto_utc = uint8_t(mm), csegundo_utc = uint8_t(ss);
}

Hora fin() { return {HHfin, MMfin, SSfin}; }
Hora inicio() { return {HHini, MMini, SSini}; }

bool operator==(const Hora& a, const Hora& b) { return a.hh == b.hh && a.mm == b.mm && a.ss == b.ss; }
std::ostream& operator<<(std::ostream& o, const Hora& h) { return o << h.hh << ":" << h.mm << ":" << h.ss; }

struct Horario : ::testing::Test {
    void SetUp() override {
        en_placa(h, [] { estado_inicial(); });
        h.console.clear();
    }
    // Plans from a start held at hh:mm:ss with interval code `codigo`; returns the end.
    Hora planifica(int codigo, int hh, int mm, int ss) {
        en_placa(h, [&] {
            CTE_INTERVALO_PROMEDIO = codigo;
            HHfin = MMfin = SSfin = 0;
            HHini = uint8_t(hh), MMini = uint8_t(mm), SSini = uint8_t(ss);
            Determinar_Proxima_Hora_Final(0);
        });
        return fin();
    }
    sim::test::Harness h;
};

} // namespace

TEST(IntervaloPromedio, CodigosYMinutos) {
    const int casos[][2] = {{0, 10}, {1, 15}, {2, 20}, {3, 30}, {4, 60}, {10, 10}, {15, 15},
                            {20, 20}, {60, 60}, {5, 30}, {30, 30}, {45, 30}, {-1, 30}};
    for (const auto& c : casos) EXPECT_EQ(Interpretar_Intervalo_Promedio(c[0]), c[1]) << c[0];
}

TEST_F(Horario, FinalesPlanificados) {
    EXPECT_EQ(planifica(15, 10, 7, 31), (Hora{10, 15, 1}));
    EXPECT_EQ(planifica(15, 10, 15, 1), (Hora{10, 30, 1}));
    EXPECT_EQ(planifica(20, 10, 59, 30), (Hora{11, 0, 1}));
    EXPECT_EQ(planifica(3, 10, 29, 59), (Hora{10, 30, 1}));
    EXPECT_EQ(planifica(3, 10, 30, 0), (Hora{11, 0, 1}));
    EXPECT_EQ(planifica(10, 23, 55, 1), (Hora{23, 59, 50}));
    EXPECT_EQ(planifica(60, 23, 5, 0), (Hora{23, 59, 50}));
    EXPECT_EQ(planifica(60, 7, 40, 0), (Hora{8, 0, 1}));
    EXPECT_EQ(planifica(10, 0, 0, 1), (Hora{0, 10, 1}));
    EXPECT_EQ(CTE_INTERVALO_PROMEDIO_INTERPRETADO, 10);
    EXPECT_NE(h.console.text().find("\r\nHH Inicial = 0:0:1\r\n\r\nCTE_INTERVALO_PROMEDIO_INTERPRETADO=10\r\n"
                                    "\r\nHH Final = 0:10:1\r\n"),
              std::string::npos);
}

TEST_F(Horario, CierreDelUltimoIntervaloDelDia) {
    en_placa(h, [] {
        pon_reloj(23, 59, 51);
        CTE_INTERVALO_PROMEDIO = 10;
        HHini = 23, MMini = 50, SSini = 1, HHfin = 23, MMfin = 59, SSfin = 50;
        Determinar_Proxima_Hora_Final(1);
    });
    EXPECT_EQ(inicio(), (Hora{0, 0, 1}));
    EXPECT_EQ(fin(), (Hora{0, 10, 1}));
    EXPECT_EQ(DD_ini, 14);

    en_placa(h, [] { Determinar_Proxima_Hora_Final(1); });
    EXPECT_EQ(inicio(), (Hora{0, 10, 1}));
    EXPECT_EQ(fin(), (Hora{0, 20, 1}));
}

TEST_F(Horario, SinInicioTomaElReloj) {
    en_placa(h, [] {
        pon_reloj(0, 0, 0);
        Determinar_Proxima_Hora_Final(0);
    });
    EXPECT_EQ(fin(), (Hora{0, 0, 0}));
    EXPECT_EQ(h.console.text(), "");

    en_placa(h, [] {
        pon_reloj(9, 41, 12);
        CTE_INTERVALO_PROMEDIO = 20;
        Determinar_Proxima_Hora_Final(0);
    });
    EXPECT_EQ(inicio(), (Hora{9, 41, 12}));
    EXPECT_EQ(fin(), (Hora{10, 0, 1}));
    EXPECT_EQ(YY_ini, 26);

    // An end already planned: nothing changes and nothing is printed; 2 does nothing.
    h.console.clear();
    en_placa(h, [] {
        pon_reloj(9, 50, 0);
        Determinar_Proxima_Hora_Final(0);
        Determinar_Proxima_Hora_Final(2);
    });
    EXPECT_EQ(fin(), (Hora{10, 0, 1}));
    EXPECT_EQ(h.console.text(), "");
}

TEST_F(Horario, RevisionHorariaSinCambios) {
    en_placa(h, [] {
        CTE_INTERVALO_PROMEDIO_INTERPRETADO = 15;
        HHini = 5, MMini = 0, SSini = 1, HHfin = 5, MMfin = 15, SSfin = 1;
        pon_reloj(5, 0, 15);
        Revision_Tiempos();
    });
    EXPECT_EQ(h.console.text(), "\r\nRevision de tiempo: 315-300=15>15-0=20(5:0)\r\n");
    EXPECT_EQ(fin(), (Hora{5, 15, 1}));
}

TEST_F(Horario, RevisionHorariaInicioViejo) {
    en_placa(h, [] {
        CTE_INTERVALO_PROMEDIO = 15;
        CTE_INTERVALO_PROMEDIO_INTERPRETADO = 15;
        HHini = 2, MMini = 0, SSini = 1, HHfin = 2, MMfin = 15, SSfin = 1;
        pon_reloj(5, 0, 15);
        Revision_Tiempos();
    });
    EXPECT_NE(h.console.text().find("  Reinicio Hora Ini.\r\n  =>Reinicio.\r\nHH Inicial = 5:0:15\r\n"),
              std::string::npos);
    EXPECT_EQ(inicio(), (Hora{5, 0, 15}));
    EXPECT_EQ(fin(), (Hora{5, 15, 1}));
}

TEST_F(Horario, RevisionHorariaFinPasadoYFinLejano) {
    en_placa(h, [] {
        CTE_INTERVALO_PROMEDIO = 20;
        CTE_INTERVALO_PROMEDIO_INTERPRETADO = 20;
        HHini = 4, MMini = 40, SSini = 1, HHfin = 4, MMfin = 50, SSfin = 1;
        pon_reloj(5, 0, 15);
        Revision_Tiempos();
    });
    EXPECT_NE(h.console.text().find("  =>Reinicio Hora Fin. (Menor que utc)\r\n  =>Reinicio."), std::string::npos);
    EXPECT_EQ(fin(), (Hora{5, 0, 1}));

    h.console.clear();
    en_placa(h, [] {
        HHini = 5, MMini = 0, SSini = 1, HHfin = 7, MMfin = 0, SSfin = 1;
        Revision_Tiempos();
    });
    EXPECT_NE(h.console.text().find("  =>Reinicio Hora Fin.\r\n  =>Reinicio."), std::string::npos);
    EXPECT_EQ(fin(), (Hora{5, 20, 1}));
}

TEST_F(Horario, RevisionSoloAHH0015EntreLaUnaYLas22) {
    const Hora fuera[] = {{0, 0, 15}, {23, 0, 15}, {5, 0, 14}, {5, 1, 15}};
    for (const Hora& r : fuera) {
        en_placa(h, [&] {
            HHini = 1, MMini = 0, SSini = 1, HHfin = 1, MMfin = 20, SSfin = 1;
            pon_reloj(r.hh, r.mm, r.ss);
            Revision_Tiempos();
        });
    }
    EXPECT_EQ(h.console.text(), "");
}

TEST(DiferenciaTimespan, Ejemplos) {
    EXPECT_EQ(Diferencia_Timespan(12345, 0), 0u);
    EXPECT_EQ(Diferencia_Timespan(100, 350), 250u);
    EXPECT_EQ(Diferencia_Timespan(350, 100), 4294967044u);
    EXPECT_EQ(Diferencia_Timespan(-10, 5), 13u);
    EXPECT_EQ(Diferencia_Timespan(-100, -50), 50u);
    EXPECT_EQ(Diferencia_Timespan(2147483000, -2147483000), 1294u);
}
