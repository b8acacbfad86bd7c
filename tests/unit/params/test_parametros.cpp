// Start-up load of the parameters: a blank chip, single bad fields, a fixed clock rate.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/timebase.h"
#include "declaraciones.h"
#include "harness.h"
#include "params/i2c.h"
#include "params/memoria.h"
#include "platform.h"

using sim::kMilli;
using sim::kSecond;

namespace {

// Addresses 0..31 as one start on a blank chip leaves them (reset count 1 after that start,
// address 19 as the parameter writers leave it; the harness has no card, whose start-up then
// stores 112 there).
const std::vector<uint8_t> kImagenPorDefecto = {
    4, 0, 0, 0x0B, 0xB8, 3, 90, 20, 1, 0, 1, 2, 3, 0xFF, 0xFF, 1,
    0, 0, 1, 0xFF, 0, 0, 0, 1, 0, 0, 0, 100, 1, 0xBB, 0x80, 5};

void carga(sim::test::Harness& h, const std::vector<uint8_t>& imagen) {
    std::copy(imagen.begin(), imagen.end(), h.eeprom.data().begin());
}

void pon(sim::test::Harness& h, size_t direccion, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), h.eeprom.data().begin() + direccion);
}

std::vector<uint8_t> imagen(const sim::test::Harness& h) {
    return std::vector<uint8_t>(h.eeprom.data().begin(), h.eeprom.data().begin() + 32);
}

} // namespace

TEST(CargaParametros, ChipEnBlancoEscribeLosDefectosEnOrden) {
    sim::test::Harness h;
    h.run_firmware(4 * kSecond);

    const std::string& con = h.console.text();
    const std::vector<std::string> en_orden = {
        std::string(79, '*') + "\r\nLECTURA DE PARAMETROS DE EEPROM.\r\n",
        "Grabacion de parametros por defecto.\r\n",
        " -> Fin grabaci\xEF\xBF\xBDn par\xEF\xBF\xBDmetros por defecto.\r\n",
        "Grabacion de parametros por defecto secundarios.\r\n",
        " -> Fin grabaci\xEF\xBF\xBDn par\xEF\xBF\xBDmetros secundarios por defecto.\r\n",
        "Revision de parametros.\r\n",
        "Hardware:04_0",
        "choras_sincronizacion_gps=4\r\n",
        "icanales_activados_sensor=65535\r\n",
        "n\xEF\xBF\xBD reinicios = 1 / 0 (0)\r\n",
        "CTE_PERMITIR_ESCRITURA_SD=1/1/1\r\n",
        "BAUDRATE=38400\r\n",
        "CTE_VELOCIDAD_RELOJ=48000 / EEPROM=48000\r\n",
        "% OCUPADO SD=255\r\n",
    };
    size_t desde = 0;
    for (const std::string& texto : en_orden) {
        size_t pos = con.find(texto, desde);
        ASSERT_NE(pos, std::string::npos) << texto;
        desde = pos + texto.size();
    }
    std::vector<uint8_t> esperada = kImagenPorDefecto;
    esperada[19] = 112; // no card in the socket
    EXPECT_EQ(imagen(h), esperada);
    EXPECT_EQ(choras_sincronizacion_gps, 4);
    EXPECT_EQ(CTE_INTERVALO_PROMEDIO, 20);
    EXPECT_EQ(CTE_BAUDRATE_KVX, 38400u);
    EXPECT_EQ(h.board.uart_baud(0), 38400u);
}

TEST(CargaParametros, CamposSueltosFueraDeRangoSeReparanYReescriben) {
    sim::test::Harness h;
    carga(h, kImagenPorDefecto);
    pon(h, 0, {0xFF});             // GPS hours erased: 1, not the defaults
    pon(h, 1, {0x0B, 0xB9});       // minimum height 3001: also resets the sensor group
    pon(h, 6, {150});              // maximum period
    pon(h, 7, {25});               // averaging interval
    pon(h, 8, {7, 9, 9, 9, 9, 0x00, 0x0F});
    pon(h, 15, {3, 1});            // direction factor, direction method
    pon(h, 22, {0xFF});            // day of the day's reset count
    pon(h, 24, {0x00, 0x10});      // file counter
    pon(h, 28, {0, 0xB5, 0xA3});   // fixed clock rate 46499
    pon(h, 31, {9});               // host baud code
    h.run_firmware(4 * kSecond);

    const std::string& con = h.console.text();
    EXPECT_EQ(con.find("Grabacion de parametros por defecto"), std::string::npos);
    EXPECT_NE(con.find("Sin ajuste de reloj. Velocidad fija: 48000\r\n"), std::string::npos);

    std::vector<uint8_t> esperada = kImagenPorDefecto;
    esperada[0] = 1;
    esperada[18] = 2; // one more start
    esperada[28] = 0;
    esperada[19] = 112; // no card in the socket
    EXPECT_EQ(imagen(h), esperada);
    EXPECT_EQ(choras_sincronizacion_gps, 1);
    EXPECT_EQ(CTE_PROCESAR_OLA_ALTURA_MINIMA, 0);
    EXPECT_EQ(CTE_PROCESAR_OLA_PERIODO_MAXIMO, 90);
    EXPECT_EQ(CTE_INTERVALO_PROMEDIO, 20);
    EXPECT_EQ(cfrecuencia_muestreo, 1);
    EXPECT_EQ(icanales_activados_sensor, 0xFFFF);
    EXPECT_EQ(CTE_FACTOR_CORRECCION_DIRECCION_STANDAR, 1);
    EXPECT_EQ(CTE_METODO_DIRECCION, 0);
    EXPECT_EQ(REINICIOS_24H_DIA, 0);
    EXPECT_EQ(ContadorNumeroFicheros, 0);
    EXPECT_EQ(CTE_AJUSTE_RELOJ, 0);
    EXPECT_EQ(CTE_VELOCIDAD_RELOJ, 48000);
    EXPECT_EQ(h.board.uart_baud(0), 38400u);
}

// Without clock correction the stored rate reprograms the tick: 1000 ticks last
// 1000 x rate / 48 MHz.
TEST(CargaParametros, VelocidadFijaDelTickYBaudiosDelHost) {
    struct Caso { uint16_t guardada; int32_t usada; };
    for (const Caso& c : {Caso{46499, 48000}, Caso{46500, 46500}, Caso{49000, 49000}, Caso{49001, 48000}}) {
        sim::test::Harness h;
        carga(h, kImagenPorDefecto);
        pon(h, 7, {3});
        pon(h, 28, {0, uint8_t(c.guardada >> 8), uint8_t(c.guardada & 0xFF), 6});
        h.run([&] {
            Serial1.begin(115200);
            Wire.begin();
            setup_timerTC0(1, 48000);
            start_timerTC0();
            lectura_de_variables();
            EXPECT_EQ(CTE_VELOCIDAD_RELOJ, c.usada);
            EXPECT_EQ(CTE_INTERVALO_PROMEDIO, 3);
            EXPECT_EQ(readEEPROM_variable(29, 2), uint32_t(c.usada));
            retardo_tiempo(1);
            sim::Nanos inicio = h.board.now();
            retardo_tiempo(10);
            EXPECT_NEAR(double(h.board.now() - inicio), 1000.0 * kMilli * c.usada / 48000.0, 0.02 * kMilli)
                << c.guardada;
            EXPECT_EQ(Establecer_Baudrate_KVX(), 1);
        });
        EXPECT_EQ(CTE_BAUDRATE_KVX, 56000u);
        EXPECT_EQ(h.board.uart_baud(0), 56000u);
    }
}
