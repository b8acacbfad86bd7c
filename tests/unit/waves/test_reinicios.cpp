// Reset accounting: the count of starts and the daily review of restarts.
#include <gtest/gtest.h>

#include <string>

#include "core/timebase.h"
#include "declaraciones.h"
#include "harness.h"
#include "platform.h"
#include "waves/waves.h"

namespace {

const std::string kDiferencia = "==> Diferencia de resets= ";
const std::string kProhibida = "==> Prohibida la escritura en SD por N\xEF\xBF\xBD resets 24 superado:";

uint16_t campo16(const sim::test::Harness& h, size_t dir) {
    return uint16_t(h.eeprom.data()[dir] << 8 | h.eeprom.data()[dir + 1]);
}

void pon16(sim::test::Harness& h, size_t dir, uint16_t valor) {
    h.eeprom.data()[dir] = uint8_t(valor >> 8);
    h.eeprom.data()[dir + 1] = uint8_t(valor & 0xFF);
}

void en_placa(sim::test::Harness& h, void (*funcion)()) {
    h.run([funcion] {
        Serial1.begin(115200);
        Wire.begin();
        setup_timerTC0(1, 48000);
        start_timerTC0();
        funcion();
        Serial1.flush();
    });
}

// A review with the given stored total, day's start value and day (RAM copies alike) on
// day 12 of year 24 unless the test changed the clock; returns the console text.
std::string revision(sim::test::Harness& h, uint16_t total, uint16_t inicio_dia, uint8_t dia, uint8_t permiso = 1) {
    pon16(h, 17, total);
    pon16(h, 20, REINICIOS_24H = inicio_dia);
    h.eeprom.data()[22] = REINICIOS_24H_DIA = dia;
    CTE_PERMITIR_ESCRITURA_SD_EEPROM = permiso;
    cRevision_Resets_24h = 1;
    en_placa(h, Revision_Resets_24h);
    EXPECT_EQ(cRevision_Resets_24h, 0);
    return h.console.text();
}

struct Revision : ::testing::Test {
    void SetUp() override { cano_utc = 24, cdia_utc = 12, CTE_PERMITIR_ESCRITURA_SD = 0; }
    sim::test::Harness h;
};

} // namespace

TEST_F(Revision, TreintaReiniciosPermitenYTreintaYUnoProhiben) {
    std::string con = revision(h, 130, 100, 12);
    EXPECT_NE(con.find(kDiferencia + "130 - 100 = 30\r\n"), std::string::npos);
    EXPECT_EQ(con.find(kProhibida), std::string::npos);
    EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD, 1);

    con = revision(h, 131, 100, 12);
    EXPECT_NE(con.find(kDiferencia + "131 - 100 = 31\r\n" + kProhibida + "31\r\n"), std::string::npos);
    EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD, 0);
    EXPECT_EQ(campo16(h, 20), 100);
}

TEST_F(Revision, TotalMenorQueElInicioDelDiaIguala) {
    std::string con = revision(h, 5, 200, 12);
    EXPECT_NE(con.find("Igualamos." + kDiferencia + "5 - 5 = 0\r\n"), std::string::npos);
    EXPECT_EQ(REINICIOS_24H, 5);
    EXPECT_EQ(campo16(h, 20), 5);
}

TEST_F(Revision, NuevoDiaRestauraElPermisoYRebasa) {
    CONT_TRAMAS_GPS = 1;
    std::string con = revision(h, 140, 100, 11);
    EXPECT_NE(con.find("\r\n==> Revision resets 24h: \r\n" + std::string(14, '\t') +
                       "==> Nuevo d\xEF\xBF\xBD" "a: Resets 24h: Inicializacion.\r\n"),
              std::string::npos);
    EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD, 1);
    EXPECT_EQ(REINICIOS_24H_DIA, 12);
    EXPECT_EQ(h.eeprom.data()[22], 12);
    EXPECT_EQ(REINICIOS_24H, 140);
    EXPECT_EQ(campo16(h, 20), 140);
    EXPECT_EQ(CONT_TRAMAS_GPS, 2);
}

TEST_F(Revision, SinFechaOSinPermisoGuardadoNoCambiaNada) {
    EXPECT_EQ(revision(h, 500, 100, 12, 0), "\r\n==> Revision resets 24h: \r\n\r\n");
    h.console.clear();
    cano_utc = 0;
    EXPECT_EQ(revision(h, 500, 100, 3), "\r\n==> Revision resets 24h: \r\n\r\n");
    EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD, 0);
    EXPECT_EQ(REINICIOS_24H, 100);
    EXPECT_EQ(REINICIOS_24H_DIA, 3);
    EXPECT_EQ(campo16(h, 20), 100);
}

TEST(ActualizarReinicios, SumaUnoYVuelveACeroPasado65530) {
    sim::test::Harness h;
    pon16(h, 17, 41);
    pon16(h, 20, REINICIOS_24H = 30);
    REINICIOS_24H_DIA = 12;
    en_placa(h, Actualizar_Numero_Reinicios);
    EXPECT_EQ(campo16(h, 17), 42);
    EXPECT_NE(h.console.text().find("n\xEF\xBF\xBD reinicios = 42 / 30 (12)\r\n"), std::string::npos);
    pon16(h, 17, 65530);
    en_placa(h, Actualizar_Numero_Reinicios);
    EXPECT_EQ(campo16(h, 17), 0);
    EXPECT_EQ(campo16(h, 20), 0);
}
