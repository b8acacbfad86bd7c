// EEPROM transfers and accessors against the 24xx chip model, and a chip that does not answer.
#include <gtest/gtest.h>

#include <string>

#include "core/timebase.h"
#include "declaraciones.h"
#include "harness.h"
#include "params/i2c.h"
#include "params/memoria.h"
#include "platform.h"

using sim::kMilli;
using sim::kSecond;

namespace {

void arranque_base_tiempos() {
    Wire.begin();
    setup_timerTC0(1, 48000);
    start_timerTC0();
}

uint32_t grande(const sim::test::Harness& h, size_t direccion, int n) {
    uint32_t v = 0;
    for (int k = 0; k < n; ++k) v = (v << 8) | h.eeprom.data()[direccion + k];
    return v;
}

// A part on the bus that takes writes but never answers a read.
struct ChipMudo : sim::I2cDevice {
    bool write(const uint8_t*, size_t n) override { escrituras_con_datos += n > 2; return true; }
    bool read(uint8_t*, size_t) override { return false; }
    int escrituras_con_datos = 0; // two bytes only set the address of a read
};

} // namespace

TEST(EepromPrimitivas, CamposBigEndianYPartidosEnFronteraDePagina) {
    sim::test::Harness h;
    h.run([&] {
        arranque_base_tiempos();
        writeEEPROM_variable(3000, 3, 2);
        EXPECT_EQ(h.eeprom.data()[3], 0x0B);
        EXPECT_EQ(h.eeprom.data()[4], 0xB8);
        EXPECT_EQ(readEEPROM_variable(3, 2), 3000u);
        writeEEPROM_variable(0x12345678, 100, 4);
        EXPECT_EQ(readEEPROM_variable(100, 4), 0x12345678u);
        EXPECT_EQ(readEEPROM_variable(101, 2), 0x3456u);
        writeEEPROM_variable(0xABCD, 200, 1); // only the low byte
        EXPECT_EQ(grande(h, 200, 2), 0xCDFFu);
        EXPECT_EQ(readEEPROM_variable(500, 2), 65535u); // blank

        // Across a page end: two transactions, each with its 10 ms wait, nothing wrapped.
        sim::Nanos inicio = h.board.now();
        writeEEPROM_variable(0x1234, 31, 2);
        EXPECT_GE(h.board.now() - inicio, 19 * kMilli);
        EXPECT_EQ(grande(h, 31, 2), 0x1234u);
        EXPECT_EQ(h.eeprom.data()[0], 0xFF);
        writeEEPROM_variable(0xA1B2C3D4, 62, 4);
        EXPECT_EQ(grande(h, 62, 4), 0xA1B2C3D4u);
    });
}

TEST(EepromAccesores, ContadoresPorEncimaDe65530SeGuardanComoCero) {
    sim::test::Harness h;
    h.run([&] {
        arranque_base_tiempos();
        escritura_variable_contador_Ficheros(65530);
        EXPECT_EQ(grande(h, 24, 2), 65530u);
        escritura_variable_contador_Ficheros(65531);
        EXPECT_EQ(grande(h, 24, 2), 0u);
        escritura_variable_Tope_Maximo_Ficheros(65535);
        EXPECT_EQ(grande(h, 26, 2), 0u);
        escritura_variable_contador_reinicios_24H(77);
        escritura_variable_contador_reinicios(65530);
        EXPECT_EQ(grande(h, 17, 2), 65530u);
        EXPECT_EQ(grande(h, 20, 2), 77u);
        escritura_variable_contador_reinicios(65531); // also clears the day's start value
        EXPECT_EQ(grande(h, 17, 2), 0u);
        EXPECT_EQ(grande(h, 20, 2), 0u);
    });
}

// The reads give up quickly, once, and nothing is written over the chip.
TEST(EepromMuda, ElArranqueSigueConLosValoresPorDefectoSinEscribir) {
    sim::test::HarnessOptions o;
    o.eeprom_present = false;
    sim::test::Harness h(o);
    ChipMudo chip;
    h.board.connect_i2c(0x50, &chip);
    h.run_firmware(5 * kSecond);

    EXPECT_TRUE(h.board.restarts().empty());
    EXPECT_EQ(chip.escrituras_con_datos, 0);
    const std::string& con = h.console.text();
    size_t aviso = con.find("EEPROM sin respuesta");
    ASSERT_NE(aviso, std::string::npos);
    EXPECT_EQ(con.find("EEPROM sin respuesta", aviso + 1), std::string::npos);
    EXPECT_EQ(con.find("Grabacion de parametros"), std::string::npos);
    size_t banner = con.find("Hardware:04_0");
    ASSERT_NE(banner, std::string::npos);
    EXPECT_LT(h.console.times()[banner], 500 * kMilli);
    EXPECT_EQ(h.board.uart_baud(0), 38400u);
    EXPECT_EQ(choras_sincronizacion_gps, 4);
    EXPECT_EQ(CTE_INTERVALO_PROMEDIO, 20);
    EXPECT_EQ(CTE_PROCESAR_OLA_PERIODO_MAXIMO, 90);
    EXPECT_EQ(icanales_activados_sensor, 0xFFFF);
    EXPECT_EQ(CTE_PERMITIR_ESCRITURA_SD, 1);
}
