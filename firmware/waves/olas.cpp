// Wave detection and the per-wave parameters, record and report lines. Main loop.
#include "waves/olas.h"

#include <math.h>

#include "console/comunicaciones_pc.h"
#include "declaraciones.h"
#include "platform.h"
#include "storage/gestion_sd.h"
#include "waves/decodificacion.h"
#include "waves/direccion.h"
#include "waves/tiempos.h"
#include "waves/waves.h"

// ---------------------------------------------------------------- base vectors
int32_t vIniOla_0 = -1, vFinOla_0 = -1, vMax1_0 = -1, vMax2_0 = -1, vMin_0 = -1;
int32_t vIntMinVn_0 = -1, vIntMaxVn_0 = -1, vIntMinVe_0 = -1, vIntMaxVe_0 = -1;
int32_t vIniOla_1 = 0, vFinOla_1 = 0, vMax1_1 = 0, vMax2_1 = 0, vMin_1 = 0;
int32_t vIntMinVn_1 = 0, vIntMaxVn_1 = 0, vIntMinVe_1 = 0, vIntMaxVe_1 = 0;
uint16_t vIniOla_2 = 0, vFinOla_2 = 0, vMax1_2 = 0, vMax2_2 = 0, vMin_2 = 0;
uint16_t vIntMinVn_2 = 0, vIntMaxVn_2 = 0, vIntMinVe_2 = 0, vIntMaxVe_2 = 0;
int16_t vIniOla_3 = 0, vFinOla_3 = 0, vMax1_3 = 0, vMax2_3 = 0, vMin_3 = 0;
int16_t vIntMinVn_3 = 0, vIntMaxVn_3 = 0, vIntMinVe_3 = 0, vIntMaxVe_3 = 0;
float vIniOla_4 = 0, vFinOla_4 = 0, vMax1_4 = 0, vMax2_4 = 0, vMin_4 = 0;
float vIntMinVn_4 = 0, vIntMaxVn_4 = 0, vIntMinVe_4 = 0, vIntMaxVe_4 = 0;
float vIniOla_5 = 0, vFinOla_5 = 0, vMax1_5 = 0, vMax2_5 = 0, vMin_5 = 0;
float vIntMinVn_5 = 0, vIntMaxVn_5 = 0, vIntMinVe_5 = 0, vIntMaxVe_5 = 0;

char cbuffer_wav[TAM_BUFFER_WAV + 1];
uint8_t yy_ola = 0, mm_ola = 0, dd_ola = 0, HH_ola = 0, MM_ola = 0;

static constexpr int32_t VECTOR_NO_FIJADO = -1;
static constexpr double MICROSEGUNDOS_POR_SEGUNDO = 1000000.0;
static constexpr uint8_t ANCHO_LINEA_REVISION = 75;

// Copies the window's middle sample into the six globals of a base vector.
static void copia_muestra(int32_t* p0, int32_t* p1, uint16_t* p2, int16_t* p3, float* p4, float* p5) {
    *p0 = TernaDatos_pos2_0;
    *p1 = TernaDatos_pos2_1;
    *p2 = TernaDatos_pos2_2;
    *p3 = TernaDatos_pos2_3;
    *p4 = TernaDatos_pos2_4;
    *p5 = TernaDatos_pos2_5;
}

static void desactiva_vector(int32_t* p0, int32_t* p1, uint16_t* p2, int16_t* p3, float* p4, float* p5) {
    *p0 = VECTOR_NO_FIJADO;
    *p1 = 0;
    *p2 = 0;
    *p3 = 0;
    *p4 = 0.0f;
    *p5 = 0.0f;
}

void Inicializar_Vectores_Base() {
    desactiva_vector(&vIniOla_0, &vIniOla_1, &vIniOla_2, &vIniOla_3, &vIniOla_4, &vIniOla_5);
    desactiva_vector(&vFinOla_0, &vFinOla_1, &vFinOla_2, &vFinOla_3, &vFinOla_4, &vFinOla_5);
    desactiva_vector(&vMax1_0, &vMax1_1, &vMax1_2, &vMax1_3, &vMax1_4, &vMax1_5);
    desactiva_vector(&vMax2_0, &vMax2_1, &vMax2_2, &vMax2_3, &vMax2_4, &vMax2_5);
    desactiva_vector(&vMin_0, &vMin_1, &vMin_2, &vMin_3, &vMin_4, &vMin_5);
    desactiva_vector(&vIntMinVn_0, &vIntMinVn_1, &vIntMinVn_2, &vIntMinVn_3, &vIntMinVn_4, &vIntMinVn_5);
    desactiva_vector(&vIntMaxVn_0, &vIntMaxVn_1, &vIntMaxVn_2, &vIntMaxVn_3, &vIntMaxVn_4, &vIntMaxVn_5);
    desactiva_vector(&vIntMinVe_0, &vIntMinVe_1, &vIntMinVe_2, &vIntMinVe_3, &vIntMinVe_4, &vIntMinVe_5);
    desactiva_vector(&vIntMaxVe_0, &vIntMaxVe_1, &vIntMaxVe_2, &vIntMaxVe_3, &vIntMaxVe_4, &vIntMaxVe_5);
}

int Vectores_Base_Fijados() {
    if (vIniOla_0 < 0 || vFinOla_0 < 0 || vMax1_0 < 0 || vMax2_0 < 0 || vIntMinVn_0 < 0 ||
        vIntMaxVn_0 < 0 || vIntMinVe_0 < 0 || vIntMaxVe_0 < 0 || vMin_0 < 0) {
        return 0;
    }
    return 1;
}

// Tracks the lowest and highest north and east velocities of the wave (strict comparisons:
// the first extreme wins ties).
static void actualiza_extremos_velocidad() {
    float fvn = TernaDatos_pos2_4;
    float fve = TernaDatos_pos2_5;
    if (vIntMinVn_0 < 0 || fvn < vIntMinVn_4)
        copia_muestra(&vIntMinVn_0, &vIntMinVn_1, &vIntMinVn_2, &vIntMinVn_3, &vIntMinVn_4, &vIntMinVn_5);
    if (vIntMaxVn_0 < 0 || fvn > vIntMaxVn_4)
        copia_muestra(&vIntMaxVn_0, &vIntMaxVn_1, &vIntMaxVn_2, &vIntMaxVn_3, &vIntMaxVn_4, &vIntMaxVn_5);
    if (vIntMinVe_0 < 0 || fve < vIntMinVe_5)
        copia_muestra(&vIntMinVe_0, &vIntMinVe_1, &vIntMinVe_2, &vIntMinVe_3, &vIntMinVe_4, &vIntMinVe_5);
    if (vIntMaxVe_0 < 0 || fve > vIntMaxVe_5)
        copia_muestra(&vIntMaxVe_0, &vIntMaxVe_1, &vIntMaxVe_2, &vIntMaxVe_3, &vIntMaxVe_4, &vIntMaxVe_5);
}

// Period in tenths of a second between the wave's start and end time stamps, rounded half
// away from zero: the value the limits are tested on.
static uint16_t periodo_redondeado() {
    float ftranscurrido = static_cast<float>(Diferencia_Timespan(vIniOla_1, vFinOla_1));
    double dperiodo = static_cast<double>(ftranscurrido) / MICROSEGUNDOS_POR_SEGUNDO * 10.0;
    dperiodo = dperiodo >= 0.0 ? dperiodo + 0.5 : dperiodo - 0.5;
    return static_cast<uint16_t>(dperiodo);
}

// The completed wave is judged against the limits; a wave outside them (and the first
// complete wave after a start) is dropped and the next wave starts at its end.
static void aceptacion_ola() {
    uint16_t iperiodo = periodo_redondeado();
    int32_t laltura = static_cast<int32_t>(vMax2_3) - static_cast<int32_t>(vMin_3);
    if (laltura >= CTE_PROCESAR_OLA_ALTURA_MINIMA && laltura <= CTE_PROCESAR_OLA_ALTURA_MAXIMA &&
        iperiodo >= 10u * CTE_PROCESAR_OLA_PERIODO_MINIMO && iperiodo <= 10u * CTE_PROCESAR_OLA_PERIODO_MAXIMO &&
        CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET != 1) {
        return;
    }
    linea();
    Serial1.println("Ola descartada:");
    Serial1.print("Periodo: ");
    Serial1.println(iperiodo);
    Serial1.print("Altura: ");
    Serial1.println(laltura);
    CONTADOR_OLAS_DESCARTADAS = static_cast<uint16_t>(CONTADOR_OLAS_DESCARTADAS + 1);
    Serial1.print("NumOlasDescartadas: ");
    Serial1.println(CONTADOR_OLAS_DESCARTADAS);
    CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 0;
    Comenzar_Proceso_Nueva_Ola();
}

void Detectar_Vectores_Base() {
    int16_t p1 = TernaDatos_pos1_3;
    int16_t p2 = TernaDatos_pos2_3;
    int16_t p3 = TernaDatos_pos3_3;

    // Wave start: an upward crossing after a previous crest and before this wave's crest.
    // A wave that ended on a sample of exactly 0 cm hands that sample on as the start; the
    // next sample above 0 is a crossing (p1 = 0 < p2) and moves the start forward to it, as
    // any later crossing does, so one or two zero samples at a crossing count alike.
    if (p1 <= 0 && p2 > 0 && vMax1_0 > 0 && vMax2_0 < 0) {
        copia_muestra(&vIniOla_0, &vIniOla_1, &vIniOla_2, &vIniOla_3, &vIniOla_4, &vIniOla_5);
        linea();
        Serial1.println("vIniOla - ");
        mFlagAlign = 0;
        mFlagHeading = 0;
        ContNumPtosOla = 0;
    }

    // Crest: a positive local maximum, flat tops included; only a higher one replaces it.
    if (p1 <= p2 && p3 < p2 && p2 > 0) {
        if (vMax1_0 < 0) {
            copia_muestra(&vMax1_0, &vMax1_1, &vMax1_2, &vMax1_3, &vMax1_4, &vMax1_5);
        } else if (vIniOla_0 > 0 && (vMax2_0 < 0 || p2 > vMax2_3)) {
            copia_muestra(&vMax2_0, &vMax2_1, &vMax2_2, &vMax2_3, &vMax2_4, &vMax2_5);
        }
    }

    uint8_t cvalle = 0;
    if (vMax1_0 > 0 && vMax2_0 > 0) {
        if (vMin_0 < 0) actualiza_extremos_velocidad();
        // Trough: a negative local minimum, flat bottoms included; only a deeper one replaces it.
        if (p1 >= p2 && p3 > p2 && p2 < 0) {
            if (vMin_0 < 0 || p2 < vMin_3) copia_muestra(&vMin_0, &vMin_1, &vMin_2, &vMin_3, &vMin_4, &vMin_5);
            cvalle = 1;
        }
    }

    // Wave end: the first upward crossing once a trough is known.
    if (cvalle == 0 && p1 < 0 && p2 >= 0 && vMin_0 > 0) {
        copia_muestra(&vFinOla_0, &vFinOla_1, &vFinOla_2, &vFinOla_3, &vFinOla_4, &vFinOla_5);
        tsFin = vFinOla_1;
        ContNumPtosOla = 0;
        if (cdebug_sensor != 0) {
            Serial1.print("vFinOla=");
            Serial1.print(vFinOla_0);
            Serial1.print(", ");
            Serial1.print(vFinOla_1);
            Serial1.print(", ");
            Serial1.print(vFinOla_2);
            Serial1.print(", ");
            Serial1.print(vFinOla_3);
            Serial1.print(", ");
        }
    }

    if (Vectores_Base_Fijados() == 1) aceptacion_ola();
}

// The rejected start's six fields for the console, before the detection restarts.
static void imprime_inicio_rechazado(int32_t l0, int32_t l1, uint16_t i2, int16_t i3, float f4, float f5) {
    Serial1.print("vIniOla_0 =");
    Serial1.print(l0);
    Serial1.println("------------------------------------------------------- ------------------------------ "
                    "[0,0,0] or  NAN NAN NAN    ---");
    Serial1.println("------------------------------------------------------- ------------------------------    "
                    "REVISION    ---");
    Serial1.println("  --------------- vIniOla -------------   ");
    Serial1.print(l0);
    Serial1.print(" - ");
    Serial1.print(l1);
    Serial1.print(" - ");
    Serial1.print(i2);
    Serial1.print(" - ");
    Serial1.print(i3);
    Serial1.print(" - ");
    Serial1.print(static_cast<double>(f4), 2);
    Serial1.print(" - ");
    Serial1.print(static_cast<double>(f5), 2);
    Serial1.println("  -------------------------------------   ");
    for (uint8_t i = 0; i < ANCHO_LINEA_REVISION; ++i) Serial1.print("-");
    Serial1.println();
}

void Comenzar_Proceso_Nueva_Ola() {
    // The end and crest are copied whole, time stamps exactly (decision: no pass through
    // single precision, which would round time stamps above 2^24 us and shift the next
    // wave's period).
    int32_t l0 = vFinOla_0, l1 = vFinOla_1;
    uint16_t i2 = vFinOla_2;
    int16_t i3 = vFinOla_3;
    float f4 = vFinOla_4, f5 = vFinOla_5;
    int32_t m0 = vMax2_0, m1 = vMax2_1;
    uint16_t m2 = vMax2_2;
    int16_t m3 = vMax2_3;
    float m4 = vMax2_4, m5 = vMax2_5;

    Inicializar_Vectores_Base();
    vMax1_0 = m0;
    vMax1_1 = m1;
    vMax1_2 = m2;
    vMax1_3 = m3;
    vMax1_4 = m4;
    vMax1_5 = m5;
    vIniOla_0 = l0;
    vIniOla_1 = l1;
    vIniOla_2 = i2;
    vIniOla_3 = i3;
    vIniOla_4 = f4;
    vIniOla_5 = f5;
    mFlagHeading = 0;
    mFlagAlign = 0;

    // A start with no motion at all or with a velocity that is not a number cannot carry a
    // wave: the search begins again from a fresh first crest.
    if ((vIniOla_3 == 0 && vIniOla_4 == 0.0f && vIniOla_5 == 0.0f) || isnan(vIniOla_4) || isnan(vIniOla_5)) {
        Inicializar_Vectores_Base();
        Serial1.println("vIniOla tiene algun valor NULL o todo ceros.");
        if (cdebug_sensor != 0) imprime_inicio_rechazado(l0, l1, i2, i3, f4, f5);
    }
}

void Calcular_Parametros_Salida_Ola() {
    uint16_t idir_vel = VALOR_NO_DISPONIBLE;
    uint16_t idir_der = VALOR_NO_DISPONIBLE;
    uint8_t cmetodo = CTE_METODO_DIRECCION_DEFINITIVA;
    if (cmetodo == 0 || cmetodo == 2) idir_vel = Calculo_Direccion_Metodo_Velocidad();
    if (cmetodo == 1 || cmetodo == 2) idir_der = Calculo_Direccion_Metodo_Deriva();

    tsFin = vFinOla_1;
    uint32_t ltranscurrido = Diferencia_Timespan(vIniOla_1, vFinOla_1);
    // Truncated: may be one tenth below the rounded period the limits were tested on.
    uint16_t Periodo = static_cast<uint16_t>(static_cast<float>(ltranscurrido) / 1000000.0f * 10.0f);
    if (cdebug_sensor != 0) {
        Serial1.print("Periodo=");
        Serial1.print(vIniOla_1);
        Serial1.print(", ");
        Serial1.print(vFinOla_1);
        Serial1.print(", ");
        Serial1.print(ltranscurrido);
        Serial1.print(", ");
        Serial1.print(Periodo);
        Serial1.println(", ");
    }

    uint16_t Altura = static_cast<uint16_t>(vMax2_3 - vMin_3);
    uint32_t NumPtosOla = static_cast<uint32_t>(vFinOla_0) - static_cast<uint32_t>(vIniOla_0 < 0 ? -vIniOla_0 : vIniOla_0) + 1u;
    if (cdebug_sensor != 0) {
        Serial1.print("NumPtosOla=");
        Serial1.print(vFinOla_0);
        Serial1.print(", ");
        Serial1.print(vIniOla_0);
        Serial1.print(", ");
        Serial1.print(NumPtosOla);
        Serial1.println(", ");
    }

    if (Altura > mAltMaxOla) {
        mAltMaxOla = Altura;
        mPeriodoPico = Periodo;
    }
    if (Periodo > mPeriodoMax) mPeriodoMax = Periodo;
    mAltPromedio += Altura;
    mPeriodoPromedio += Periodo;
    Guardar_Entrada_Vector_Ola(&mVectorAlt, &lentradas_mVectorAlt, Altura, "Error en realloc de mVectorAlt");
    Guardar_Entrada_Vector_Ola(&mVectorPer, &lentradas_mVectorPer, Periodo, "Error en realloc de mVectorPer");

    if (NumPtosOla > 1) {
        float fdivisor = static_cast<float>(NumPtosOla - 1);
        float fheading = static_cast<float>(mFlagHeading) / fdivisor * 100.0f;
        float falign = static_cast<float>(mFlagAlign) / fdivisor * 100.0f;
        mFlagHeading = fheading >= 100.0f ? 100 : static_cast<uint16_t>(fheading);
        mFlagAlign = falign >= 100.0f ? 100 : static_cast<uint16_t>(falign);
        mFlagHeadingPromedio += mFlagHeading;
        mFlagAlignPromedio += mFlagAlign;
    }

    if (Preparar_Buffer_Registro(TIPO_BUFFER_WAV, LONGITUD_MAXIMA_REGISTRO_WAV) == 1) {
        insertamos_variable_buffer(cbuffer_wav, cdia_utc, 2, ',', TIPO_BUFFER_WAV);
        insertamos_variable_buffer(cbuffer_wav, cmes_utc, 2, ',', TIPO_BUFFER_WAV);
        insertamos_variable_buffer(cbuffer_wav, cano_utc, 2, ',', TIPO_BUFFER_WAV);
        insertamos_variable_buffer(cbuffer_wav, chora_utc, 2, ',', TIPO_BUFFER_WAV);
        insertamos_variable_buffer(cbuffer_wav, cminuto_utc, 2, ',', TIPO_BUFFER_WAV);
        insertamos_variable_buffer(cbuffer_wav, static_cast<uint32_t>(nOlas), 5, ' ', TIPO_BUFFER_WAV);
        insertamos_variable_buffer(cbuffer_wav, Altura, 4, ' ', TIPO_BUFFER_WAV);
        insertamos_variable_buffer(cbuffer_wav, Periodo, 3, ' ', TIPO_BUFFER_WAV);
        insertamos_variable_buffer(cbuffer_wav, NumPtosOla, 5, ' ', TIPO_BUFFER_WAV);
        if (cmetodo == 0 || cmetodo == 2) insertamos_variable_buffer(cbuffer_wav, idir_vel, 4, ' ', TIPO_BUFFER_WAV);
        if (cmetodo == 1 || cmetodo == 2) insertamos_variable_buffer(cbuffer_wav, idir_der, 4, ' ', TIPO_BUFFER_WAV);
        insertamos_variable_buffer(cbuffer_wav, mFlagHeading, 3, ' ', TIPO_BUFFER_WAV);
        insertamos_variable_buffer(cbuffer_wav, mFlagAlign, 3, TERMINADOR_LINEA, TIPO_BUFFER_WAV);
        cbuffer_wav[ibytes_a_escribir_sd[TIPO_BUFFER_WAV]] = 0;
        if (ccreacion_nuevo_fichero[TIPO_BUFFER_WAV] != 0 && existe_fichero_datos(TIPO_BUFFER_WAV) == 1) {
            cescritura_sd[TIPO_BUFFER_WAV] = 1;
        }
    }

    Serial1.print("IndOla=");
    Serial1.print(nOlas);
    Serial1.print(" Altura=");
    Serial1.print(Altura);
    Serial1.print(" Periodo=");
    Serial1.print(Periodo);
    Serial1.print(" NumPtosOla=");
    Serial1.print(NumPtosOla);
    Serial1.print(" Dir(MetVel)=");
    Serial1.print(idir_vel);
    Serial1.print(" Dir(MetDer)=");
    Serial1.print(idir_der);
    Serial1.print(" FlagHeading=");
    Serial1.print(mFlagHeading);
    Serial1.print(" FlagAlign=");
    Serial1.print(mFlagAlign);

    if (CTE_USO_APP_KVX03 != 0) {
        Serial0.print("#OLA,");
        Serial0.print(nOlas);
        Serial0.print(",");
        Serial0.print(Altura);
        Serial0.print(",");
        Serial0.print(Periodo);
        Serial0.print(",");
        Serial0.println(idir_vel);
    }

    yy_ola = cano_utc;
    mm_ola = cmes_utc;
    dd_ola = cdia_utc;
    HH_ola = chora_utc;
    MM_ola = cminuto_utc;
    Serial1.print("                Fecha Ola: ");
    Serial1.print(yy_ola);
    Serial1.print("-");
    Serial1.print(mm_ola);
    Serial1.print("-");
    Serial1.print(dd_ola);
    Serial1.print("  ");
    Serial1.print(HH_ola);
    Serial1.print(":");
    Serial1.println(MM_ola);
}
