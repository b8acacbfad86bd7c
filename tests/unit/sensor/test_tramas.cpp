// Framing of the sensor stream: the CRC against known vectors, and which frames of a block
// reach the decoder. A frame reaching the decoder shows as the time stamp of its log kind
// (TernaTiempos0 Euler, 1 ship motion, 2 navigation); -1000 means nothing arrived.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/waves/sensor_prueba.h"

using namespace prueba;

namespace {

uint16_t crc_de(const std::string& texto, uint16_t inicio = 0) {
    return calcCRC(reinterpret_cast<const uint8_t*>(texto.data()), uint16_t(texto.size()), inicio);
}

struct Tramas : ::testing::Test {
    void SetUp() override { en_placa(h, [] { estado_inicial(); }); }
    // Runs the framing on one block; returns what the console printed.
    void bloque(const std::vector<uint8_t>& b) { en_placa(h, [&] { procesa_bloque(b); }); }
    sim::test::Harness h;
};

} // namespace

// Vectors computed outside this code: the catalogue check value of CRC-16/KERMIT and
// others from a bit-reversed CCITT CRC (Python's binascii.crc_hqx).
TEST(CalcCRC, VectoresConocidos) {
    EXPECT_EQ(crc_de("123456789"), 0x2189);
    EXPECT_EQ(crc_de("A"), 0x538D);
    EXPECT_EQ(crc_de(std::string("\x09\x00\x2e\x00", 4)), 0x4040);
    EXPECT_EQ(crc_de(std::string(10, '\xFF')), 0x1BE2);
    std::string todos(256, 0);
    for (int i = 0; i < 256; ++i) todos[size_t(i)] = char(i);
    EXPECT_EQ(crc_de(todos), 0xD841);
    EXPECT_EQ(crc_de(""), 0x0000);
    // The range starts at iposicion_inicio and stops before bufferSize.
    EXPECT_EQ(crc_de("xx123456789", 2), 0x2189);
    EXPECT_EQ(calcCRC(reinterpret_cast<const uint8_t*>("123456789zz"), 9, 0), 0x2189);
}

TEST(CalcCRC, IgualQueElSensorSobreSusTramas) {
    std::vector<uint8_t> t = epoca(123456, 0.3f);
    for (size_t p = 0; p < t.size();) {
        size_t largo = 9u + size_t(t[p + 4] | t[p + 5] << 8);
        uint16_t recibido = uint16_t(t[p + largo - 3] | t[p + largo - 2] << 8);
        EXPECT_EQ(calcCRC(t.data() + p, uint16_t(largo - 3), 2), recibido);
        p += largo;
    }
}

TEST_F(Tramas, EpocaCompletaFormaUnaMuestra) {
    bloque(epoca(1000000, -0.123f, 0.5f, -0.25f, 1.0f));
    EXPECT_EQ(contPtosOlaActual, 1);
    EXPECT_EQ(TernaDatos_pos1_0, 1);
    EXPECT_EQ(TernaDatos_pos1_1, 1000000);
    EXPECT_EQ(TernaDatos_pos1_3, -13);
    EXPECT_FLOAT_EQ(TernaDatos_pos1_4, 0.5f);
    EXPECT_FLOAT_EQ(TernaDatos_pos1_5, -0.25f);
    EXPECT_EQ(TernaDatos_pos1_2, 57); // 1 rad
    EXPECT_EQ(TernaTiempos0, -1000);   // all three wait for the next epoch
}

TEST_F(Tramas, LasTramasLleganEnElOrdenDelBloque) {
    std::vector<uint8_t> b = ship(100, 0.10f);
    junta(b, ship(200, 0.20f));
    bloque(b);
    EXPECT_EQ(TernaTiempos1, 200);
    EXPECT_EQ(TernaDatos1, 20);
}

TEST_F(Tramas, RuidoYOtrosLogsSeSaltan) {
    std::vector<uint8_t> b = {0x00, 0xFF, 0x00, 0x5A, 0xFF, 0xFF, 0x13};
    std::vector<uint8_t> p(20, 0x11);
    junta(b, sim::sbg_frame(2, p));            // another log with a good CRC
    junta(b, {0xFF, 0x5A, 0x07, 0x00, 0xFF});  // unknown identifier
    junta(b, euler(300, 0.5f));
    junta(b, {0x33, 0x5A, 0x5A});
    junta(b, nav(310, 1.0f, 2.0f));
    bloque(b);
    EXPECT_EQ(TernaTiempos0, 300);
    EXPECT_EQ(TernaTiempos2, 310);
    EXPECT_EQ(TernaTiempos1, -1000);
}

TEST_F(Tramas, CargaCorruptaSeDescartaYLaSiguienteSeEncuentra) {
    std::vector<uint8_t> b = ship(400, 0.5f);
    b[6 + 16] ^= 0x01; // one heave byte
    junta(b, nav(410, 1.0f, 1.0f));
    bloque(b);
    EXPECT_EQ(TernaTiempos1, -1000);
    EXPECT_EQ(TernaTiempos2, 410);

    std::vector<uint8_t> c = euler(420, 0.1f);
    c[c.size() - 2] ^= 0x80; // the CRC's high byte
    junta(c, ship(430, 0.25f));
    bloque(c);
    EXPECT_EQ(TernaTiempos0, -1000);
    EXPECT_EQ(TernaTiempos1, 430);
}

// A 41-byte Euler frame with a good CRC hidden in a navigation payload (offsets 20..60,
// the accuracy and position fields) is not a frame: the search resumes after the outer
// frame's last byte.
TEST_F(Tramas, ParDeSincronismoDentroDeUnaCargaNoEsUnaTrama) {
    std::vector<uint8_t> oculta = euler(777, 0.5f);
    ASSERT_EQ(oculta.size(), 41u);
    std::vector<uint8_t> p(sim::kSbgNavPayload, 0);
    pon_u32(p, 0, 500);
    pon_f32(p, 4, 0.1f);
    pon_u32(p, 68, kEstadoValido);
    std::copy(oculta.begin(), oculta.end(), p.begin() + 20);
    bloque(sim::sbg_frame(sim::kSbgIdNav, p));
    EXPECT_EQ(TernaTiempos2, 500);
    EXPECT_EQ(TernaTiempos0, -1000);
}

TEST_F(Tramas, FFSueltoAlFinalYBloqueDeSoloFF) {
    std::vector<uint8_t> b = euler(600, 0.2f);
    b.push_back(0xFF);
    bloque(b);
    EXPECT_EQ(TernaTiempos0, 600);

    bloque({0xFF, 0x5A});
    bloque({0xFF, 0x5A, 0x06});
    bloque(std::vector<uint8_t>(TAM_TRAMA_SENSOR_RX, 0xFF));
    std::vector<uint8_t> pares;
    while (pares.size() < TAM_TRAMA_SENSOR_RX) junta(pares, {0xFF, 0x5A});
    bloque(pares);
    EXPECT_EQ(TernaTiempos1, -1000);
    EXPECT_EQ(TernaTiempos2, -1000);
}

// A block that ends inside a frame loses that frame, and so does the next block that
// starts with its tail; frames after the tail are found.
TEST_F(Tramas, TramaPartidaEntreDosBloquesSePierde) {
    std::vector<uint8_t> t = ship(700, 0.4f);
    std::vector<uint8_t> primero = euler(690, 0.2f);
    primero.insert(primero.end(), t.begin(), t.begin() + 30);
    std::vector<uint8_t> segundo(t.begin() + 30, t.end());
    junta(segundo, nav(710, 0.3f, 0.3f));
    bloque(primero);
    EXPECT_EQ(TernaTiempos0, 690);
    EXPECT_EQ(TernaTiempos1, -1000);
    bloque(segundo);
    EXPECT_EQ(TernaTiempos1, -1000);
    EXPECT_EQ(TernaTiempos2, 710);

    // Everything but the end byte is not a frame either.
    std::vector<uint8_t> sin_fin = ship(720, 0.4f);
    sin_fin.pop_back();
    bloque(sin_fin);
    EXPECT_EQ(TernaTiempos1, -1000);
}

// A CRC that computes to 0 and matches the frame's field is a good frame (one in 65536);
// the two last payload bytes are chosen (with the simulator's CRC) so that it comes out 0.
// The same frame with a field of 1 is still refused.
TEST_F(Tramas, CRCCalculadoCeroEsValido) {
    std::vector<uint8_t> t;
    for (uint32_t x = 0; x < 65536 && t.empty(); ++x) {
        std::vector<uint8_t> p(sim::kSbgEulerPayload, 0);
        pon_u32(p, 0, 800);
        p[30] = uint8_t(x);
        p[31] = uint8_t(x >> 8);
        std::vector<uint8_t> f = sim::sbg_frame(sim::kSbgIdEuler, p);
        if (f[38] == 0 && f[39] == 0) t = f;
    }
    ASSERT_FALSE(t.empty());
    std::vector<uint8_t> mal = t;
    mal[38] = 1;
    bloque(mal);
    EXPECT_EQ(TernaTiempos0, -1000);
    bloque(t);
    EXPECT_EQ(TernaTiempos0, 800);
}

TEST_F(Tramas, ModoTransparentePasaElBloqueAlHost) {
    std::vector<uint8_t> b = epoca(900, 0.3f);
    b.push_back(0x00);
    b.push_back(0xFF);
    en_placa(h, [&] {
        CTE_MODO_TRANSPARENTE = 1;
        procesa_bloque(b);
    });
    EXPECT_EQ(h.host.text(), std::string(b.begin(), b.end()));
    EXPECT_EQ(contPtosOlaActual, 0);
    EXPECT_EQ(TernaTiempos0, -1000);
}

TEST(BusquedaTrama, PosicionesYOcurrencias) {
    sim::test::Harness h;
    h.run([] {
        const uint8_t b[] = {1, 0xFF, 2, 0xFF, 0x5A, 0xFF, 0x5A, 9};
        std::memcpy(ctrama_sensor_rx, b, sizeof b);
        icantidad_bytes_rx_sensor = sizeof b;
        EXPECT_EQ(ibusqueda_dato_frame(ctrama_sensor_rx, 0xFF, 1, 0), 1);
        EXPECT_EQ(ibusqueda_dato_frame(ctrama_sensor_rx, 0xFF, 3, 0), 5);
        EXPECT_EQ(ibusqueda_dato_frame(ctrama_sensor_rx, 0xFF, 4, 0), 8);
        EXPECT_EQ(ibusqueda_dato_frame(ctrama_sensor_rx, 0x5A, 1, 5), 6);
        EXPECT_EQ(busqueda_inicio_trama_sensor(0), 3);
        EXPECT_EQ(busqueda_inicio_trama_sensor(4), 5);
        EXPECT_GE(busqueda_inicio_trama_sensor(6), 8);
        // Only 6 bytes valid: the 0xFF at 5 has its 0x5A outside the block.
        icantidad_bytes_rx_sensor = 6;
        EXPECT_GE(busqueda_inicio_trama_sensor(4), 6);
    });
}
