// Wave directions: the angle transform, the velocity method and the drift method's
// detrending. Bearings are tenths of a degree clockwise from north; the factor turns them
// by half turns.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "unit/waves/sensor_prueba.h"
#include "waves/direccion.h"

using namespace prueba;

namespace {

struct Direccion : ::testing::Test {
    void SetUp() override {
        en_placa(h, [] {
            estado_inicial();
            nOlas = 1; // the driver counts the closed wave before its directions
        });
    }
    // Velocity-method direction of a wave whose trough-minus-crest velocity is (dn, de).
    uint16_t por_velocidad(float dn, float de, uint8_t factor) {
        uint16_t d = 0;
        en_placa(h, [&] {
            CTE_FACTOR_CORRECCION_DIRECCION_STANDAR = factor;
            vMax2_4 = 0.1f, vMax2_5 = -0.2f;
            vMin_4 = 0.1f + dn, vMin_5 = -0.2f + de;
            d = Calculo_Direccion_Metodo_Velocidad();
        });
        return d;
    }
    uint16_t transforma(float angulo, uint8_t factor) {
        uint16_t d = 0;
        en_placa(h, [&] {
            CTE_FACTOR_CORRECCION_DIRECCION_STANDAR = factor;
            d = Tranformar_Angulo(angulo);
        });
        return d;
    }
    sim::test::Harness h;
};

} // namespace

TEST_F(Direccion, NorteEsteYOesteConFactorCeroYUno) {
    EXPECT_EQ(por_velocidad(1.0f, 0.0f, 0), 0);      // toward north
    EXPECT_EQ(por_velocidad(1.0f, 0.0f, 1), 1800);   // travelling north: coming from the south
    EXPECT_EQ(por_velocidad(0.0f, 0.5f, 0), 900);    // east
    EXPECT_EQ(por_velocidad(0.0f, 0.5f, 1), 2700);
    EXPECT_EQ(por_velocidad(0.0f, -0.5f, 0), 2700);  // west
    EXPECT_EQ(por_velocidad(0.0f, -0.5f, 1), 900);
    EXPECT_EQ(por_velocidad(-2.0f, 0.0f, 0), 1800);  // south
    EXPECT_EQ(por_velocidad(-1.0f, -1.0f, 1), 450);  // toward south-west: from north-east
    EXPECT_EQ(por_velocidad(0.0f, 0.0f, 0), 900);    // no difference at all: atan2(0, 0) = 0
}

TEST_F(Direccion, TransformacionDeAngulos) {
    EXPECT_EQ(transforma(-89.5f, 1), 3595);
    EXPECT_EQ(transforma(90.0f, 0), 0);
    EXPECT_EQ(transforma(180.0f, 0), 2700);
    EXPECT_EQ(transforma(-180.0f, 1), 900);
    EXPECT_EQ(transforma(45.25f, 0), 447);    // 44.75 degrees, truncated to tenths
    EXPECT_EQ(transforma(-359.0f, 0), 890);   // beyond a turn folds back
    // A result just below 0 rounds to 360.0 in single precision: 3600, not clamped.
    EXPECT_EQ(transforma(90.00001f, 0), 3600);
    EXPECT_EQ(transforma(std::numeric_limits<float>::quiet_NaN(), 1), 9999);
}

TEST_F(Direccion, MetodoVelocidadSumaYGuarda) {
    uint16_t d1 = por_velocidad(0.3f, 0.4f, 1);
    EXPECT_EQ(mVectorDirMetVel[0], d1);
    EXPECT_EQ(lentradas_mVectorDirMetVel, 2u);
    EXPECT_NEAR(mVel_SumNorte, 0.3f, 1e-6);
    EXPECT_NEAR(mVel_SumEste, 0.4f, 1e-6);
    // atan2(0.3, 0.4) = 36.87 degrees: bearing 90 - 36.87 + 180 = 233.13
    EXPECT_EQ(d1, 2331);
    // A difference that is not a number gives no direction and stays out of the sums.
    en_placa(h, [] { nOlas = 2; });
    EXPECT_EQ(por_velocidad(std::numeric_limits<float>::quiet_NaN(), 0.4f, 1), 9999);
    EXPECT_EQ(mVectorDirMetVel[1], 9999);
    EXPECT_NEAR(mVel_SumNorte, 0.3f, 1e-6);
}

namespace {

// The base vectors of one wave for the drift method: previous crest, crest and trough
// (index, north velocity) and the north velocity extremes; the east component is a copy.
void onda(int32_t i1, float v1, int32_t i2, float v2, int32_t imin, float vmin, int32_t iext_min, float vext_min,
          int32_t iext_max, float vext_max) {
    vMax1_0 = i1, vMax1_4 = v1, vMax1_5 = v1;
    vMax2_0 = i2, vMax2_4 = v2, vMax2_5 = v2;
    vMin_0 = imin, vMin_4 = vmin, vMin_5 = vmin;
    vIntMinVn_0 = vIntMinVe_0 = iext_min, vIntMinVn_4 = vIntMinVe_5 = vext_min;
    vIntMaxVn_0 = vIntMaxVe_0 = iext_max, vIntMaxVn_4 = vIntMaxVe_5 = vext_max;
}

} // namespace

// The drift line from the previous crest to the velocity extreme is removed: points on the
// line have no detrended velocity, and one off it keeps its distance times cos(slope).
TEST_F(Direccion, DerivaLinealSeElimina) {
    float t1 = 9, t2 = 9;
    en_placa(h, [&] {
        // v(vMax1) = 0 < v(vMin): the extreme is the maximum, at (20, 1.0); slope 0.1.
        onda(10, 0.0f, 20, 1.0f, 30, 2.0f, 15, -5.0f, 20, 1.0f);
        Calculos_Deriva_Vn(&t1, &t2);
    });
    EXPECT_NEAR(t1, 0.0f, 1e-5);
    EXPECT_NEAR(t2, 0.0f, 1e-5);
    en_placa(h, [&] {
        onda(10, 0.0f, 20, 1.0f, 30, 2.5f, 15, -5.0f, 20, 1.0f);
        Calculos_Deriva_Ve(&t1, &t2);
    });
    EXPECT_NEAR(t1, 0.0f, 1e-5);
    EXPECT_NEAR(t2, 0.5 * std::cos(std::atan(0.1)), 1e-5);
    // v(vMax1) > v(vMin): the extreme is the minimum.
    en_placa(h, [&] {
        onda(10, 0.0f, 20, 0.3f, 30, -2.0f, 20, -1.0f, 12, 9.0f);
        Calculos_Deriva_Vn(&t1, &t2);
    });
    EXPECT_NEAR(t2, 0.0f, 1e-5);                            // on the line (-2 at index 30)
    EXPECT_NEAR(t1, 1.3 * std::cos(std::atan(0.1)), 1e-5);  // 1.3 above the line (-1 at index 20)
}

// A vertical drift line (extreme at the previous crest's index, another velocity) has the
// slope +-pi/2: the detrended values become the index distances, with the line's sign.
TEST_F(Direccion, DerivaConRectaVerticalYNormaNula) {
    float t1 = 9, t2 = 9;
    en_placa(h, [&] {
        // v(vMax1) 0 > v(vMin) -0.3: the minimum, straight below the previous crest.
        onda(10, 0.0f, 20, 0.4f, 35, -0.3f, 10, -1.0f, 12, 0.8f);
        Calculos_Deriva_Vn(&t1, &t2);
    });
    EXPECT_NEAR(t1, 10.0f, 1e-4);
    EXPECT_NEAR(t2, 25.0f, 1e-4);
    en_placa(h, [&] {
        // v(vMax1) 0 < v(vMin) 0.3: the maximum, straight above it.
        onda(10, 0.0f, 20, 0.4f, 35, 0.3f, 11, -1.0f, 10, 0.8f);
        Calculos_Deriva_Ve(&t1, &t2);
    });
    EXPECT_NEAR(t1, -10.0f, 1e-4);
    EXPECT_NEAR(t2, -25.0f, 1e-4);
    // The extreme on the previous crest itself: no line, slope 0, the raw differences.
    en_placa(h, [&] {
        onda(10, 0.2f, 20, 0.5f, 35, -0.3f, 10, 0.2f, 12, 0.9f);
        Calculos_Deriva_Vn(&t1, &t2);
    });
    EXPECT_NEAR(t1, 0.3f, 1e-6);
    EXPECT_NEAR(t2, -0.5f, 1e-6);
}

TEST_F(Direccion, MetodoDerivaDaDireccionYLaImprime) {
    uint16_t d = 0;
    en_placa(h, [&] {
        CTE_FACTOR_CORRECCION_DIRECCION_STANDAR = 0;
        // North: trough 0.5 above the drift line, crest on it; east: no motion at all.
        onda(10, 0.0f, 20, 1.0f, 30, 2.5f, 15, -5.0f, 20, 1.0f);
        vMax1_5 = vMax2_5 = vMin_5 = vIntMinVe_5 = vIntMaxVe_5 = 0.0f;
        d = Calculo_Direccion_Metodo_Deriva();
    });
    EXPECT_EQ(d, 0); // toward north
    EXPECT_EQ(mVectorDirMetDer[0], 0);
    EXPECT_NEAR(mDer_SumNorte, 0.5 * std::cos(std::atan(0.1)), 1e-5);
    EXPECT_NE(h.console.text().find("(Vn,Ve)=0.50,0.00\r\nmVectorDirMetDer  pos(0) = 0 => 0\r\n"), std::string::npos);
}
