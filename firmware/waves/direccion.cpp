// Wave direction by the velocity method and by the drift method. Main loop.
#include "waves/direccion.h"

#include <math.h>

#include "declaraciones.h"
#include "platform.h"
#include "waves/olas.h"
#include "waves/waves.h"

// pi/2 as the single-precision value the drift method uses for a vertical drift line.
static constexpr float MEDIO_PI_F = 1.5707964f;
// Angles beyond this cannot be split into a 32-bit integer part.
static constexpr float ANGULO_MAXIMO = 2.0e9f;

uint16_t Tranformar_Angulo(float Angulo) {
    float a = 90.0f - Angulo +
              static_cast<float>(static_cast<double>(CTE_FACTOR_CORRECCION_DIRECCION_STANDAR) * 180.0);
    // A velocity difference that is not a number (a faulty sensor) gives no direction
    // rather than an undefined integer conversion.
    if (!(a > -ANGULO_MAXIMO && a < ANGULO_MAXIMO)) return VALOR_NO_DISPONIBLE;
    int32_t lentero = static_cast<int32_t>(a);
    float fdecimal = a - static_cast<float>(lentero);
    float r = static_cast<float>(lentero % 360) + fdecimal;
    if (r < 0.0f) r += 360.0f;
    return static_cast<uint16_t>(static_cast<double>(r) * 10.0);
}

// Mathematical angle in degrees of the difference (north, east).
static float angulo_grados(float fdif_norte, float fdif_este) {
    float frad = static_cast<float>(atan2(static_cast<double>(fdif_norte), static_cast<double>(fdif_este)));
    return static_cast<float>(static_cast<double>(frad) / PI_OLAS * 180.0);
}

// 1 when both differences are finite numbers: only those enter the interval's sums.
static uint8_t diferencias_validas(float fdif_norte, float fdif_este) {
    return (isfinite(fdif_norte) && isfinite(fdif_este)) ? 1 : 0;
}

uint16_t Calculo_Direccion_Metodo_Velocidad() {
    float DifN = vMin_4 - vMax2_4;
    float DifE = vMin_5 - vMax2_5;
    uint16_t AnguloAjustado = Tranformar_Angulo(angulo_grados(DifN, DifE));
    if (diferencias_validas(DifN, DifE) == 1) {
        mVel_SumNorte += DifN;
        mVel_SumEste += DifE;
    }
    Guardar_Entrada_Vector_Ola(&mVectorDirMetVel, &lentradas_mVectorDirMetVel, AnguloAjustado,
                               "Error en realloc de mVectorDirMetVel");
    return AnguloAjustado;
}

// Detrends one velocity component. v: component at the previous crest (vMax1), trough
// (vMin) and crest (vMax2) with their sample indexes i; the velocity extremes of the wave
// with theirs. The line from the previous crest to the extreme, in the plane of sample
// index against velocity, is the drift; crest and trough are rotated by minus its slope and
// their new heights are the detrended velocities.
static void deriva_componente(int32_t imax1, float vmax1, int32_t imin, float vmin, int32_t imax2, float vmax2,
                              int32_t iext_min, float vext_min, int32_t iext_max, float vext_max,
                              float* V_t1, float* V_t2) {
    int32_t iext = iext_max;
    float Vcresta = vext_max;
    if (vmax1 > vmin) {
        iext = iext_min;
        Vcresta = vext_min;
    }
    float PtoMax1X = static_cast<float>(iext - imax1);
    float PtoMax1Y = Vcresta - vmax1;
    float norma = static_cast<float>(sqrt(static_cast<double>(PtoMax1X * PtoMax1X + PtoMax1Y * PtoMax1Y)));
    if (norma != 0.0f) {
        PtoMax1X = PtoMax1X / norma;
        PtoMax1Y = PtoMax1Y / norma;
    }
    float InclinacionRecta = 0.0f;
    if (PtoMax1X == 0.0f) {
        if (PtoMax1Y > 0.0f) InclinacionRecta = MEDIO_PI_F;
        else if (PtoMax1Y < 0.0f) InclinacionRecta = -MEDIO_PI_F;
    } else {
        InclinacionRecta = static_cast<float>(atan(static_cast<double>(PtoMax1Y / PtoMax1X)));
    }
    float Alfa = -InclinacionRecta;
    double s = sin(static_cast<double>(Alfa));
    double c = cos(static_cast<double>(Alfa));
    float y_rot_min = static_cast<float>(static_cast<double>(static_cast<float>(imin - imax1)) * s +
                                         static_cast<double>(vmin - vmax1) * c);
    float y_rot_max = static_cast<float>(static_cast<double>(static_cast<float>(imax2 - imax1)) * s +
                                         static_cast<double>(vmax2 - vmax1) * c);
    *V_t1 = y_rot_max;
    *V_t2 = y_rot_min;
}

void Calculos_Deriva_Vn(float* V_t1, float* V_t2) {
    deriva_componente(vMax1_0, vMax1_4, vMin_0, vMin_4, vMax2_0, vMax2_4, vIntMinVn_0, vIntMinVn_4,
                      vIntMaxVn_0, vIntMaxVn_4, V_t1, V_t2);
}

void Calculos_Deriva_Ve(float* V_t1, float* V_t2) {
    deriva_componente(vMax1_0, vMax1_5, vMin_0, vMin_5, vMax2_0, vMax2_5, vIntMinVe_0, vIntMinVe_5,
                      vIntMaxVe_0, vIntMaxVe_5, V_t1, V_t2);
}

uint16_t Calculo_Direccion_Metodo_Deriva() {
    float Vn_t1 = 0.0f, Vn_t2 = 0.0f, Ve_t1 = 0.0f, Ve_t2 = 0.0f;
    Calculos_Deriva_Vn(&Vn_t1, &Vn_t2);
    Calculos_Deriva_Ve(&Ve_t1, &Ve_t2);
    float DifN = Vn_t2 - Vn_t1;
    float DifE = Ve_t2 - Ve_t1;
    uint16_t AnguloAjustado = Tranformar_Angulo(angulo_grados(DifN, DifE));
    if (diferencias_validas(DifN, DifE) == 1) {
        mDer_SumNorte += DifN;
        mDer_SumEste += DifE;
    }
    Serial1.print("(Vn,Ve)=");
    Serial1.print(static_cast<double>(DifN), 2);
    Serial1.print(",");
    Serial1.println(static_cast<double>(DifE), 2);

    uint8_t cguardado = Guardar_Entrada_Vector_Ola(&mVectorDirMetDer, &lentradas_mVectorDirMetDer, AnguloAjustado,
                                                   "Error en realloc de mVectorDirMetDer");
    Serial1.print("mVectorDirMetDer  pos(");
    Serial1.print(nOlas - 1);
    Serial1.print(") = ");
    Serial1.print(AnguloAjustado);
    Serial1.print(" => ");
    if (cguardado == 1) {
        Serial1.println(mVectorDirMetDer[nOlas - 1]);
    } else {
        Serial1.println("-");
    }
    return AnguloAjustado;
}
