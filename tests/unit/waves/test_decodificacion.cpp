// Log decoding into motion samples, the three-sample window and the raw record. Frames come
// from the simulator's frame builder with payloads laid out here by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "unit/waves/sensor_prueba.h"

using namespace prueba;

namespace {

struct Decodificacion : ::testing::Test {
    void SetUp() override { en_placa(h, [] { estado_inicial(); }); }
    void bloque(const std::vector<uint8_t>& b) { en_placa(h, [&] { procesa_bloque(b); }); }
    std::string raw() const { return std::string(cbuffer_raw, ibytes_a_escribir_sd[TIPO_BUFFER_RAW]); }
    sim::test::Harness h;
};

// Heave (m, positive down) as the sample's whole centimetres.
int16_t heave_de(sim::test::Harness& h, float heave_m) {
    en_placa(h, [&] { procesa_bloque(ship(1000, heave_m)); });
    return TernaDatos1;
}

} // namespace

// Heave keeps the sensor's sign (positive down) and rounds away from zero.
TEST_F(Decodificacion, HeavePositivoAbajoRedondeadoLejosDeCero) {
    EXPECT_EQ(heave_de(h, 0.004f), 1);
    EXPECT_EQ(heave_de(h, -0.004f), -1);
    EXPECT_EQ(heave_de(h, 0.021f), 3);
    EXPECT_EQ(heave_de(h, -0.021f), -3);
    EXPECT_EQ(heave_de(h, 0.75f), 75);
    EXPECT_EQ(heave_de(h, -1.25f), -125);
    // -1.2f is -1.2000000477 m: beyond -120 cm, so away from zero it is -121.
    EXPECT_EQ(heave_de(h, -1.2f), -121);
    EXPECT_EQ(heave_de(h, 0.0f), 0);
    EXPECT_EQ(TernaTiempos1, 1000);
}

// A heave that is not a number or does not fit the field leaves the held one untouched and
// the log counts as not received.
TEST_F(Decodificacion, HeaveNoNumericoNoSeToma) {
    EXPECT_EQ(heave_de(h, 0.5f), 50);
    en_placa(h, [] {
        Inicializar_TernaTiempos();
        procesa_bloque(ship(2000, std::numeric_limits<float>::quiet_NaN()));
    });
    EXPECT_EQ(TernaDatos1, 50);
    EXPECT_EQ(TernaTiempos1, -1000);
    en_placa(h, [] { procesa_bloque(ship(2100, 400.0f)); });
    EXPECT_EQ(TernaTiempos1, -1000);
}

TEST_F(Decodificacion, RumboRedondeadoYGiroDeYawNegativo) {
    bloque(euler(10, -0.1f));
    EXPECT_EQ(TernaDatos0, 354);
    EXPECT_EQ(mYaw, 3542);
    EXPECT_EQ(TernaTiempos0, 10);
    bloque(euler(20, 6.28f));
    EXPECT_EQ(TernaDatos0, 360);
    bloque(euler(30, 0.0f));
    EXPECT_EQ(TernaDatos0, 0);
    bloque(euler(40, float(M_PI / 2)));
    EXPECT_EQ(TernaDatos0, 90);
    bloque(euler(50, -3.1415f)); // just past the south-going half turn
    EXPECT_EQ(TernaDatos0, 180);
    bloque(euler(60, 0.0087f)); // 0.498 degrees
    EXPECT_EQ(TernaDatos0, 0);
    bloque(euler(70, 0.0088f)); // 0.504 degrees
    EXPECT_EQ(TernaDatos0, 1);
    en_placa(h, [] {
        Inicializar_TernaTiempos();
        procesa_bloque(euler(80, std::numeric_limits<float>::quiet_NaN()));
    });
    EXPECT_EQ(TernaTiempos0, -1000);
    EXPECT_EQ(TernaDatos0, 1);
}

// Two navigation logs for one sample: the one closer in time to the ship-motion log is
// used, measured on the wrapping counter.
TEST_F(Decodificacion, EleccionEntreDosLogsDeNavegacion) {
    std::vector<uint8_t> b = ship(1000, 0.1f);
    junta(b, nav(800, 1.0f, 1.0f));
    junta(b, nav(1100, 2.0f, 2.0f));
    bloque(b);
    EXPECT_EQ(TernaTiempos2, 1100);
    EXPECT_FLOAT_EQ(TernaDatos2, 2.0f);

    en_placa(h, [] { Inicializar_TernaTiempos(); });
    b = ship(1000, 0.1f);
    junta(b, nav(1000, 3.0f, 3.0f));
    junta(b, nav(1300, 4.0f, 4.0f));
    bloque(b);
    EXPECT_EQ(TernaTiempos2, 1000);
    EXPECT_FLOAT_EQ(TernaDatos3, 3.0f);

    // Past 2^31 us the time stamps read as negative numbers: still the closer one.
    en_placa(h, [] { Inicializar_TernaTiempos(); });
    b = ship(0x90000000u, 0.1f);
    junta(b, nav(0x90000000u, 5.0f, 5.0f));
    junta(b, nav(0x90000100u, 6.0f, 6.0f));
    bloque(b);
    EXPECT_EQ(TernaTiempos2, int32_t(0x90000000u));
    EXPECT_FLOAT_EQ(TernaDatos2, 5.0f);

    // Across the wrap: 0x101 us after the ship-motion log beats 0x1000 us before it.
    en_placa(h, [] { Inicializar_TernaTiempos(); });
    b = ship(0xFFFFFF00u, 0.1f);
    junta(b, nav(0xFFFFEF00u, 7.0f, 7.0f));
    junta(b, nav(0x00000001u, 8.0f, 8.0f));
    bloque(b);
    EXPECT_EQ(TernaTiempos2, 1);
    EXPECT_FLOAT_EQ(TernaDatos2, 8.0f);
}

// One lost Euler, navigation or ship-motion frame costs that epoch's sample and nothing
// else: every sample holds heave, velocities and heading of one epoch (epoch k carries heave
// 25k cm, north velocity k m/s, heading 2k degrees). Also a stale log arriving late.
TEST_F(Decodificacion, LogPerdidoNoEmparejaEpocasDistintas) {
    int formadas = 0;
    for (uint32_t k = 1; k <= 12; ++k) {
        const uint32_t ts = k * 100000;
        std::vector<uint8_t> e = euler(ts, float(2.0 * k * M_PI / 180.0)), n = nav(ts, float(k), 1.0f),
                             s = ship(ts, 0.25f * float(k)), b;
        if (k != 3) junta(b, e);
        if (k != 6) junta(b, n);
        if (k != 9) junta(b, s);
        if (k == 11) junta(b, ship(ts - 100000, 0.25f * float(k - 1))); // late copy of the last epoch
        const int32_t antes = contPtosOlaActual;
        bloque(b);
        formadas += contPtosOlaActual - antes;
        if (contPtosOlaActual == antes) continue;
        const int32_t numero[3] = {TernaDatos_pos1_0, TernaDatos_pos2_0, TernaDatos_pos3_0};
        const int16_t heave[3] = {TernaDatos_pos1_3, TernaDatos_pos2_3, TernaDatos_pos3_3};
        const float vn[3] = {TernaDatos_pos1_4, TernaDatos_pos2_4, TernaDatos_pos3_4};
        const uint16_t rumbo[3] = {TernaDatos_pos1_2, TernaDatos_pos2_2, TernaDatos_pos3_2};
        const int32_t tiempo[3] = {TernaDatos_pos1_1, TernaDatos_pos2_1, TernaDatos_pos3_1};
        for (int r = 0; r < 3; ++r) {
            if (numero[r] == 0) continue;
            EXPECT_EQ(heave[r], 25 * int(vn[r])) << "epoch " << k << " slot " << r;
            EXPECT_EQ(rumbo[r], 2 * int(vn[r])) << "epoch " << k << " slot " << r;
            EXPECT_EQ(tiempo[r], int32_t(vn[r]) * 100000) << "epoch " << k << " slot " << r;
        }
    }
    EXPECT_EQ(formadas, 9);
}

TEST_F(Decodificacion, MuestraTodoCeroSeDescartaPeroGastaSuNumero) {
    bloque(epoca(100, 0.0f, 0.0f, 0.0f, 0.0f));
    EXPECT_EQ(contPtosOlaActual, 1);
    EXPECT_EQ(TernaDatos_pos1_0, 0);
    bloque(epoca(200, 0.0f, 0.0f, 0.0f, 0.01f));
    EXPECT_EQ(TernaDatos_pos1_0, 2);
    EXPECT_EQ(TernaDatos_pos1_1, 200);
}

TEST_F(Decodificacion, TramaDeClaseUnoNoCambiaNada) {
    std::vector<uint8_t> p(sim::kSbgShipMotionPayload, 0);
    pon_u32(p, 0, 5000);
    pon_f32(p, 16, 0.5f);
    std::vector<uint8_t> t = sim::sbg_frame(sim::kSbgIdShipMotion, p);
    t[3] = 1;
    uint16_t crc = sim::sbg_crc16(t.data() + 2, t.size() - 5);
    t[t.size() - 3] = uint8_t(crc);
    t[t.size() - 2] = uint8_t(crc >> 8);
    bloque(t);
    EXPECT_EQ(TernaTiempos1, -1000);
    EXPECT_EQ(TernaDatos1, 0);
}

// The counter runs past 2^31 and wraps at 2^32: such time stamps are samples like any other.
TEST_F(Decodificacion, MarcaDeTiempoQueDaLaVuelta) {
    bloque(epoca(0xFFFFFFF0u, 0.1f));
    bloque(epoca(0x00000010u, 0.2f));
    EXPECT_EQ(TernaDatos_pos1_1, -16);
    EXPECT_EQ(TernaDatos_pos2_1, 16);
    EXPECT_EQ(Diferencia_Timespan(TernaDatos_pos1_1, TernaDatos_pos2_1), 30u);
    EXPECT_EQ(contPtosOlaActual, 2);
}

TEST(CamposCortos, LasFuncionesDeExtraccionInformanUno) {
    sim::test::Harness h;
    h.run([] {
        estado_inicial();
        std::vector<uint8_t> s = ship(1, 0.5f), n = nav(1, 1, 1), e = euler(1, 1);
        int32_t ts = 0;
        float a = 0, b = 0;
        EXPECT_EQ(ProcesarTramaShipMotion(s.data(), &ts, &a, uint8_t(s.size())), 0);
        EXPECT_FLOAT_EQ(a, 50.0f);
        EXPECT_EQ(ProcesarTramaShipMotion(s.data(), &ts, &a, 25), 1);
        EXPECT_EQ(ProcesarTramaShipMotion(s.data(), &ts, &a, 26), 0);
        EXPECT_EQ(ProcesarTrama_Navegacion_Posicion_Velocidad(n.data(), &ts, &a, &b, 77), 1);
        EXPECT_EQ(ProcesarTrama_Navegacion_Posicion_Velocidad(n.data(), &ts, &a, &b, 78), 0);
        EXPECT_EQ(ProcesarTrama_AngulosEuler(e.data(), &ts, &a, 21), 1);
        EXPECT_EQ(ProcesarTrama_AngulosEuler(e.data(), &ts, &a, 22), 0);
        EXPECT_EQ(ProcesarTrama_AngulosEuler(e.data(), &ts, &a, 9), 1);
    });
}

// Status bits are counted only while a wave is followed (its start is set).
TEST_F(Decodificacion, BitsDeEstadoDeNavegacion) {
    bloque(nav(10, 0, 0, kEstadoValido));
    EXPECT_EQ(mFlagHeading_Pto, 0);
    EXPECT_EQ(mFlagHeading, 0);
    vIniOla_0 = 5;
    bloque(nav(20, 0, 0, kEstadoValido));
    bloque(nav(30, 0, 0, 1u << 5));
    EXPECT_EQ(mFlagHeading_Pto, 1);
    EXPECT_EQ(mFlagAlign_Pto, 0);
    EXPECT_EQ(mFlagHeading, 2);
    EXPECT_EQ(mFlagAlign, 1);
}

// ---------------------------------------------------------------- window and raw record

TEST_F(Decodificacion, VentanaSeLlenaYRegistraLaMuestraDelMedio) {
    en_placa(h, [] { TENGO_HORA_VALIDA = 0; });
    bloque(epoca(100000, -0.07f, -0.25f, 1.03f, 0.0873f));
    bloque(epoca(200000, 0.05f));
    EXPECT_EQ(raw(), "");
    bloque(epoca(300000, 0.0f));
    EXPECT_EQ(cuenta(h.console.text(), "==> NO HAY HORA VALIDA.\r\n"), 1u);
    EXPECT_EQ(TernaDatos_pos3_0, 3);
    // Slot 2 is the second sample; before the clock is valid the time fields are 00.
    EXPECT_EQ(raw(), "00,00,00,00,00,00,00000,0057, 00005, 00000.5000,-00000.2500,0,0\r\n");
    EXPECT_EQ(cbuffer_raw[65], 0);
    EXPECT_EQ(TIEMPO_INI, 300000);
    EXPECT_EQ(TIEMPO_FIN, 0);
    bloque(epoca(400000, 0.0f));
    EXPECT_EQ(TIEMPO_INI, 300000);
    EXPECT_EQ(TIEMPO_FIN, 400000);
    EXPECT_EQ(cuenta(h.console.text(), "==> NO HAY HORA VALIDA."), 1u);
}

TEST_F(Decodificacion, CamposDelRegistroRaw) {
    en_placa(h, [] {
        cdia_utc = 7, cmes_utc = 12, cano_utc = 26, chora_utc = 10, cminuto_utc = 15, csegundo_utc = 42;
        TENGO_HORA_VALIDA = 1;
        ContNumPtosOla = 123;
        TernaDatos_pos2_2 = 354, TernaDatos_pos2_3 = 12, TernaDatos_pos2_4 = -0.25f, TernaDatos_pos2_5 = 1.03f;
        mFlagHeading_Pto = 1, mFlagAlign_Pto = 1;
        Guardar_Datos_Procesados_RAW();
    });
    EXPECT_EQ(raw(), "07,12,26,10,15,42,00123,0354, 00012,-00000.2500, 00001.0300,1,1\r\n");
    EXPECT_EQ(ContNumPtosOla, 124u);

    en_placa(h, [] {
        TernaDatos_pos2_2 = 5, TernaDatos_pos2_3 = -7, TernaDatos_pos2_4 = -123456.7f, TernaDatos_pos2_5 = 99999.9999f;
        Guardar_Datos_Procesados_RAW();
    });
    EXPECT_EQ(raw(), "07,12,26,10,15,42,00124,0005,-00007,-99999.9999, 99999.9999,1,1\r\n");
    en_placa(h, [] {
        TernaDatos_pos2_3 = 0, TernaDatos_pos2_4 = 99999.99f, TernaDatos_pos2_5 = 0.0f;
        Guardar_Datos_Procesados_RAW();
    });
    EXPECT_EQ(raw(), "07,12,26,10,15,42,00125,0005, 00000, 99999.9922, 00000.0000,1,1\r\n");
}

// New averaging interval: the previous newest sample becomes 1, the new one 2, and the
// sample after them shifts the window as usual: every sample is recorded.
TEST_F(Decodificacion, RenumeracionAlEmpezarUnPromedioNoPierdeMuestras) {
    for (uint32_t k = 1; k <= 5; ++k) bloque(epoca(k * 100000, 0.01f * float(k)));
    EXPECT_EQ(ContNumPtosOla, 3u);
    en_placa(h, [] { contPtosOlaActual = 0; });
    bloque(epoca(600000, 0.06f));
    EXPECT_EQ(TernaDatos_pos2_0, 1);
    EXPECT_EQ(TernaDatos_pos2_1, 500000);
    EXPECT_EQ(TernaDatos_pos3_0, 2);
    EXPECT_EQ(contPtosOlaActual, 2);
    bloque(epoca(700000, 0.07f));
    EXPECT_EQ(TernaDatos_pos2_1, 600000);
    EXPECT_EQ(TernaDatos_pos3_0, 3);
    EXPECT_EQ(ContNumPtosOla, 5u);
    EXPECT_NE(raw().find(" 00006,"), std::string::npos);
}

// Records wait in cbuffer_raw until the card cycle takes them: a block of several epochs
// processed while one waits appends them all.
TEST_F(Decodificacion, BloqueDeVariasEpocasDejaTodosSusRegistros) {
    for (uint32_t k = 1; k <= 3; ++k) bloque(epoca(k * 100000, 0.01f * float(k)));
    ASSERT_EQ(raw().size(), 65u);
    en_placa(h, [] { cescritura_sd[TIPO_BUFFER_RAW] = 1; }); // the record waits for the card
    std::vector<uint8_t> b;
    for (uint32_t k = 4; k <= 8; ++k) junta(b, epoca(k * 100000, 0.01f * float(k)));
    ASSERT_LE(b.size(), size_t(TAM_TRAMA_SENSOR_RX));
    bloque(b);
    std::string r = raw();
    ASSERT_EQ(r.size(), 6u * 65u);
    for (int i = 0; i < 6; ++i) {
        char numero[8];
        snprintf(numero, sizeof numero, "%05d,", i);
        EXPECT_EQ(r.substr(size_t(i) * 65 + 18, 6), numero) << r;
        EXPECT_EQ(r.substr(size_t(i) * 65 + 63, 2), "\r\n");
    }
    EXPECT_EQ(cbuffer_raw[r.size()], 0);

    // Once the card has taken them the next record starts the buffer afresh.
    en_placa(h, [] { cescritura_sd[TIPO_BUFFER_RAW] = 0; });
    bloque(epoca(900000, 0.09f));
    EXPECT_EQ(raw().substr(18, 6), "00006,");
    EXPECT_EQ(raw().size(), 65u);
}

// A buffer that cannot take a whole record more loses the new ones, counts them and says
// so once when it fills and once with the count when the card takes it.
TEST_F(Decodificacion, BufferRawLlenoCuentaYAvisaLosPerdidos) {
    en_placa(h, [] {
        TernaDatos_pos2_2 = 10;
        cescritura_sd[TIPO_BUFFER_RAW] = 1;
        ibytes_a_escribir_sd[TIPO_BUFFER_RAW] = 0;
        for (int i = 0; i < 20; ++i) Guardar_Datos_Procesados_RAW();
    });
    EXPECT_EQ(ibytes_a_escribir_sd[TIPO_BUFFER_RAW], 15 * 65);
    EXPECT_EQ(lregistros_perdidos_sd[TIPO_BUFFER_RAW], 5u);
    EXPECT_EQ(cuenta(h.console.text(), "Buffer RAW lleno: registros perdidos hasta que la SD lo escriba.\r\n"), 1u);
    EXPECT_EQ(raw().substr(14 * 65 + 18, 6), "00014,");
    en_placa(h, [] {
        cescritura_sd[TIPO_BUFFER_RAW] = 0;
        Guardar_Datos_Procesados_RAW();
    });
    EXPECT_NE(h.console.text().find("Registros RAW perdidos por buffer lleno: 5\r\n"), std::string::npos);
    EXPECT_EQ(lregistros_perdidos_sd[TIPO_BUFFER_RAW], 0u);
    EXPECT_EQ(raw().size(), 65u);
}

TEST_F(Decodificacion, LineasAlHostEnModoApp) {
    en_placa(h, [] { CTE_USO_APP_KVX03 = 1; });
    std::vector<uint8_t> b = ship(10, -0.1234f);
    junta(b, euler(10, -0.1f));
    bloque(b);
    EXPECT_EQ(h.host.text(), "#PTO,-12.34,354\r\n");
}
