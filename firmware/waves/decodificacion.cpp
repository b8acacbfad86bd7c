// Sensor log decoding: the Euler, navigation and ship-motion logs of each good frame are
// reduced to one quantity each; when all three have arrived since the last sample they form
// one motion sample, which slides into the three-sample window and drives the raw record
// and the wave analysis. Main loop.
#include "waves/decodificacion.h"

#include <math.h>
#include <string.h>

#include "console/comunicaciones_pc.h"
#include "declaraciones.h"
#include "platform.h"
#include "sensor/sensor.h"
#include "storage/gestion_sd.h"
#include "waves/correccion_reloj.h"
#include "waves/olas.h"
#include "waves/tiempos.h"
#include "waves/waves.h"

// ---------------------------------------------------------------- window
int32_t TernaDatos_pos1_0 = 0, TernaDatos_pos2_0 = 0, TernaDatos_pos3_0 = 0;
int32_t TernaDatos_pos1_1 = 0, TernaDatos_pos2_1 = 0, TernaDatos_pos3_1 = 0;
uint16_t TernaDatos_pos1_2 = 0, TernaDatos_pos2_2 = 0, TernaDatos_pos3_2 = 0;
int16_t TernaDatos_pos1_3 = 0, TernaDatos_pos2_3 = 0, TernaDatos_pos3_3 = 0;
float TernaDatos_pos1_4 = 0, TernaDatos_pos2_4 = 0, TernaDatos_pos3_4 = 0;
float TernaDatos_pos1_5 = 0, TernaDatos_pos2_5 = 0, TernaDatos_pos3_5 = 0;

// ---------------------------------------------------------------- latest value per log
int32_t TernaTiempos0 = 0;
int32_t TernaTiempos1 = 0;
int32_t TernaTiempos2 = 0;
uint16_t TernaDatos0 = 0;
int16_t TernaDatos1 = 0;
float TernaDatos2 = 0;
float TernaDatos3 = 0;

int32_t contPtosOlaActual = 0;
int32_t tsIni = TIEMPO_NO_RECIBIDO;
uint16_t mYaw = 0;
uint8_t mFlagHeading_Pto = 0;
uint8_t mFlagAlign_Pto = 0;
int32_t TIEMPO_INI = 0;
int32_t TIEMPO_FIN = 0;
uint8_t CTE_USO_APP_KVX03 = 0;
uint8_t DATA_START = DATA_START_TRAMA;

char cbuffer_raw[TAM_BUFFER_RAW + 1];
uint32_t ContNumPtosOla = 0;

// Field offsets from the first sync byte (payload offset + 6).
static constexpr uint8_t OFFSET_TIEMPO = 0;          // all three logs, uint32 us
static constexpr uint8_t OFFSET_HEAVE = 16;          // ship motion, float m, positive down
static constexpr uint8_t OFFSET_VEL_NORTE = 4;       // navigation, float m/s
static constexpr uint8_t OFFSET_VEL_ESTE = 8;
static constexpr uint8_t OFFSET_ESTADO_NAV = 68;     // navigation solution status, uint32
static constexpr uint8_t OFFSET_YAW = 12;            // Euler, float rad
static constexpr uint8_t OFFSET_CLASE = 3;
static constexpr uint8_t CLASE_LOG_ECOM_0 = 0;
// Navigation status bits: heading valid (5) and alignment valid (27).
static constexpr uint32_t BIT_HEADING_VALIDO = 1ul << 5;
static constexpr uint32_t BIT_ALINEAMIENTO_VALIDO = 1ul << 27;
// The firmware's value of pi, also used by the direction methods.
static constexpr double PI_SENSOR = 3.14159265359;
static constexpr float CM_POR_METRO = 100.0f;
// Heaves whose rounding would not fit the int16 field are not taken.
static constexpr float HEAVE_MAXIMO_CM = 32767.0f;

// ---------------------------------------------------------------- little-endian fields
// Fields are assembled from bytes: a frame copy may sit at any address and the Cortex-M0+
// faults on an unaligned wider load.
static uint32_t lectura_uint32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

static float lectura_float(const uint8_t* p) {
    uint32_t lbits = lectura_uint32(p);
    float fvalor;
    memcpy(&fvalor, &lbits, sizeof fvalor);
    return fvalor;
}

// 1 when the 4-byte field at payload offset coffset lies wholly inside the frame.
static uint8_t campo_presente(uint8_t coffset, uint8_t clongitud_trama) {
    return static_cast<uint16_t>(DATA_START + coffset + 4) <= clongitud_trama ? 1 : 0;
}

// ---------------------------------------------------------------- field extraction

uint8_t ProcesarTramaShipMotion(const uint8_t* trama, int32_t* timestamp, float* heave_cm,
                                uint8_t clongitud_trama) {
    if (campo_presente(OFFSET_TIEMPO, clongitud_trama) == 0) return 1;
    *timestamp = static_cast<int32_t>(lectura_uint32(trama + DATA_START + OFFSET_TIEMPO));
    if (campo_presente(OFFSET_HEAVE, clongitud_trama) == 0) return 1;
    *heave_cm = lectura_float(trama + DATA_START + OFFSET_HEAVE) * CM_POR_METRO;
    return 0;
}

uint8_t ProcesarTrama_Navegacion_Posicion_Velocidad(const uint8_t* trama, int32_t* timestamp,
                                                    float* vn, float* ve, uint8_t clongitud_trama) {
    if (campo_presente(OFFSET_TIEMPO, clongitud_trama) == 0) return 1;
    *timestamp = static_cast<int32_t>(lectura_uint32(trama + DATA_START + OFFSET_TIEMPO));
    if (campo_presente(OFFSET_VEL_NORTE, clongitud_trama) == 0) return 1;
    *vn = lectura_float(trama + DATA_START + OFFSET_VEL_NORTE);
    if (campo_presente(OFFSET_VEL_ESTE, clongitud_trama) == 0) return 1;
    *ve = lectura_float(trama + DATA_START + OFFSET_VEL_ESTE);
    if (campo_presente(OFFSET_ESTADO_NAV, clongitud_trama) == 0) return 1;
    uint32_t lestado = lectura_uint32(trama + DATA_START + OFFSET_ESTADO_NAV);

    // Quality counts run only while a wave is being followed.
    if (vIniOla_0 >= 0) {
        mFlagAlign_Pto = 0;
        mFlagHeading_Pto = (lestado & BIT_HEADING_VALIDO) != 0 ? 1 : 0;
        if (mFlagHeading_Pto == 1) mFlagHeading = static_cast<uint16_t>(mFlagHeading + 1);
        if ((lestado & BIT_ALINEAMIENTO_VALIDO) != 0) {
            mFlagAlign_Pto = 1;
            mFlagAlign = static_cast<uint16_t>(mFlagAlign + 1);
        }
    }
    return 0;
}

uint8_t ProcesarTrama_AngulosEuler(const uint8_t* trama, int32_t* timestamp, float* yaw_grados,
                                   uint8_t clongitud_trama) {
    if (campo_presente(OFFSET_TIEMPO, clongitud_trama) == 0) return 1;
    *timestamp = static_cast<int32_t>(lectura_uint32(trama + DATA_START + OFFSET_TIEMPO));
    if (campo_presente(OFFSET_YAW, clongitud_trama) == 0) return 1;
    float fyaw = lectura_float(trama + DATA_START + OFFSET_YAW);
    float fgrados = static_cast<float>(static_cast<double>(fyaw) / PI_SENSOR * 180.0);
    // The sensor gives yaw in (-pi, pi]; a finite yaw outside a turn is folded back so the
    // heading always fits its field. A yaw that is not a number stays one (refused above).
    if (isfinite(fgrados) && (fgrados <= -360.0f || fgrados >= 720.0f)) fgrados = fmodf(fgrados, 360.0f);
    if (fgrados < 0.0f) fgrados += 360.0f;
    *yaw_grados = fgrados;
    if (isfinite(fgrados)) mYaw = static_cast<uint16_t>(fgrados * 10.0f);
    return 0;
}

// ---------------------------------------------------------------- sample assembly

// Distance in us between two time stamps of the wrapping counter, the shorter way round.
static uint32_t distancia_tiempos(int32_t la, int32_t lb) {
    uint32_t ldif = static_cast<uint32_t>(la) - static_cast<uint32_t>(lb);
    return ldif > 0x80000000ul ? 0u - ldif : ldif;
}

// 1 when a log's time stamp says it has not arrived since the last sample.
static uint8_t tiempo_no_recibido(int32_t ltiempo) {
    return (ltiempo == TIEMPO_NO_RECIBIDO || ltiempo == 0) ? 1 : 0;
}

// Logs whose time stamps lie within this many us belong to one epoch. The sensor stamps the
// three logs of an epoch alike; half the period of its fastest output rate (200 Hz, 5000 us)
// separates neighbouring epochs at any rate it can send, and leaves room for the closer-of-two
// navigation choice below.
static constexpr uint32_t TOLERANCIA_EPOCA_US = 2500;

// 1 when time stamp la belongs to a later epoch than lb, on the wrapping counter.
static uint8_t epoca_posterior(int32_t la, int32_t lb) {
    uint32_t ldif = static_cast<uint32_t>(la) - static_cast<uint32_t>(lb);
    return (ldif < 0x80000000ul && ldif > TOLERANCIA_EPOCA_US) ? 1 : 0;
}

// A sample holds the three logs of one epoch. Before a log of time ltiempo is taken: when a
// log already held is of a later epoch, the new one is stale and returns 0 (dropped);
// otherwise every held log of an earlier epoch is dropped (a frame of its epoch was lost, so
// it can never complete a sample) and 1 is returned.
static uint8_t toma_log_de_epoca(int32_t ltiempo) {
    int32_t* ptiempos[3] = {&TernaTiempos0, &TernaTiempos1, &TernaTiempos2};
    for (uint8_t i = 0; i < 3; ++i) {
        if (tiempo_no_recibido(*ptiempos[i]) == 0 && epoca_posterior(*ptiempos[i], ltiempo) == 1) return 0;
    }
    for (uint8_t i = 0; i < 3; ++i) {
        if (tiempo_no_recibido(*ptiempos[i]) == 0 && epoca_posterior(ltiempo, *ptiempos[i]) == 1) {
            *ptiempos[i] = TIEMPO_NO_RECIBIDO;
        }
    }
    return 1;
}

static void procesar_ship_motion(const uint8_t* trama, uint8_t clongitud_trama) {
    int32_t ltiempo = 0;
    float fheave = 0.0f;
    uint8_t cresultado = ProcesarTramaShipMotion(trama, &ltiempo, &fheave, clongitud_trama);
    if (CTE_USO_APP_KVX03 != 0) {
        Serial0.print("#PTO,");
        Serial0.print(static_cast<double>(fheave), 2);
    }
    if (cdebug_sensor != 0) {
        Serial1.print("auxHeave=");
        Serial1.print(static_cast<double>(fheave), 2);
        Serial1.print(", Round=");
    }
    // A heave that is not a number, or too large for the int16 field, is refused: the log
    // counts as not received and the sample waits for the next one.
    if (cresultado == 0 && fheave > -HEAVE_MAXIMO_CM && fheave < HEAVE_MAXIMO_CM && toma_log_de_epoca(ltiempo) == 1) {
        if (fheave > 0.0f) {
            TernaDatos1 = static_cast<int16_t>(ceilf(fheave));
        } else if (fheave < 0.0f) {
            TernaDatos1 = static_cast<int16_t>(floorf(fheave));
        } else {
            TernaDatos1 = 0;
        }
        TernaTiempos1 = ltiempo;
    }
    if (cdebug_sensor != 0) {
        Serial1.println(TernaDatos1);
        Serial1.print(",");
    }
}

static void procesar_navegacion(const uint8_t* trama, uint8_t clongitud_trama) {
    int32_t ltiempo = 0;
    float fvn = 0.0f, fve = 0.0f;
    if (ProcesarTrama_Navegacion_Posicion_Velocidad(trama, &ltiempo, &fvn, &fve, clongitud_trama) != 0) return;
    if (toma_log_de_epoca(ltiempo) == 0) return;
    // Two navigation logs in one sample: keep the one closer in time to the ship-motion log
    // (distances on the wrapping counter). Before any ship-motion log the newer one is the
    // closer to the one still to come.
    uint8_t ctomar = tiempo_no_recibido(TernaTiempos2);
    if (ctomar == 0) {
        ctomar = tiempo_no_recibido(TernaTiempos1) == 1 ||
                         distancia_tiempos(ltiempo, TernaTiempos1) < distancia_tiempos(TernaTiempos1, TernaTiempos2)
                     ? 1 : 0;
    }
    if (ctomar == 0) return;
    TernaTiempos2 = ltiempo;
    TernaDatos2 = fvn;
    TernaDatos3 = fve;
}

static void procesar_euler(const uint8_t* trama, uint8_t clongitud_trama) {
    int32_t ltiempo = 0;
    float fgrados = 0.0f;
    if (ProcesarTrama_AngulosEuler(trama, &ltiempo, &fgrados, clongitud_trama) != 0) return;
    // A yaw that is not a number has no heading: the log counts as not received.
    if (!isfinite(fgrados)) return;
    if (toma_log_de_epoca(ltiempo) == 0) return;
    TernaTiempos0 = ltiempo;
    TernaDatos0 = static_cast<uint16_t>(fgrados + 0.5f);
    if (CTE_USO_APP_KVX03 != 0) {
        Serial0.print(",");
        Serial0.println(TernaDatos0);
    }
}

// The six fields of one window slot, each followed by ",". Debug output.
static void imprime_punto(int32_t l0, int32_t l1, uint16_t i2, int16_t i3, float f4, float f5) {
    Serial1.print(l0);
    Serial1.print(",");
    Serial1.print(l1);
    Serial1.print(",");
    Serial1.print(i2);
    Serial1.print(",");
    Serial1.print(i3);
    Serial1.print(",");
    Serial1.print(static_cast<double>(f4), 2);
    Serial1.print(",");
    Serial1.print(static_cast<double>(f5), 2);
    Serial1.print(",");
}

// Slides the new sample (number ln) into the window. Returns 1 when the window is full and
// the middle sample is to be recorded and analysed.
static uint8_t actualizar_ventana(int32_t ln) {
    if (TernaDatos_pos1_0 == 0) {
        TernaDatos_pos1_0 = ln;
        TernaDatos_pos1_1 = TernaTiempos2;
        TernaDatos_pos1_2 = TernaDatos0;
        TernaDatos_pos1_3 = TernaDatos1;
        TernaDatos_pos1_4 = TernaDatos2;
        TernaDatos_pos1_5 = TernaDatos3;
        return 0;
    }
    if (TernaDatos_pos2_0 == 0) {
        TernaDatos_pos2_0 = ln;
        TernaDatos_pos2_1 = TernaTiempos2;
        TernaDatos_pos2_2 = TernaDatos0;
        TernaDatos_pos2_3 = TernaDatos1;
        TernaDatos_pos2_4 = TernaDatos2;
        TernaDatos_pos2_5 = TernaDatos3;
        return 0;
    }
    if (TernaDatos_pos3_0 != 0) {
        TernaDatos_pos1_0 = TernaDatos_pos2_0;
        TernaDatos_pos1_1 = TernaDatos_pos2_1;
        TernaDatos_pos1_2 = TernaDatos_pos2_2;
        TernaDatos_pos1_3 = TernaDatos_pos2_3;
        TernaDatos_pos1_4 = TernaDatos_pos2_4;
        TernaDatos_pos1_5 = TernaDatos_pos2_5;
        TernaDatos_pos2_0 = TernaDatos_pos3_0;
        TernaDatos_pos2_1 = TernaDatos_pos3_1;
        TernaDatos_pos2_2 = TernaDatos_pos3_2;
        TernaDatos_pos2_3 = TernaDatos_pos3_3;
        TernaDatos_pos2_4 = TernaDatos_pos3_4;
        TernaDatos_pos2_5 = TernaDatos_pos3_5;
        if (ln == 1) {
            // New averaging interval: the previous newest sample becomes sample 1 and this
            // one sample 2. The oldest slot keeps its sample (decision: it is not emptied,
            // so the next sample shifts the window as usual; emptying it would park that
            // sample in slot 1 where it is neither recorded nor analysed, one lost sample
            // per interval).
            TernaDatos_pos2_0 = 1;
            ln = 2;
            contPtosOlaActual = 2;
        }
    }
    TernaDatos_pos3_0 = ln;
    TernaDatos_pos3_1 = TernaTiempos2;
    TernaDatos_pos3_2 = TernaDatos0;
    TernaDatos_pos3_3 = TernaDatos1;
    TernaDatos_pos3_4 = TernaDatos2;
    TernaDatos_pos3_5 = TernaDatos3;
    return 1;
}

// Samples formed since start-up, all-zero ones included: set against the epochs the
// sensor sent, the samples lost on the way (reading, framing, pairing).
uint32_t lmuestras_formadas = 0;
int32_t ltiempo_muestra_formada = 0;

// The sample steps once all three logs have arrived.
static void procesar_muestra() {
    ++lmuestras_formadas;
    ltiempo_muestra_formada = TernaTiempos2;
    if (tsIni == TIEMPO_NO_RECIBIDO) tsIni = TernaTiempos2;
    if (CTE_AJUSTE_RELOJ != 0) Correccion_Reloj_porWaves();

    int32_t ln = contPtosOlaActual + 1;
    contPtosOlaActual = ln;
    // An all-zero sample is what the sensor sends before its solution settles: dropped, its
    // number stays used.
    if (TernaDatos0 == 0 && TernaDatos1 == 0 && TernaDatos2 == 0.0f && TernaDatos3 == 0.0f) return;
    if (actualizar_ventana(ln) == 0) return;

    if (cdebug_sensor != 0) {
        imprime_punto(TernaDatos_pos1_0, TernaDatos_pos1_1, TernaDatos_pos1_2, TernaDatos_pos1_3,
                      TernaDatos_pos1_4, TernaDatos_pos1_5);
        imprime_punto(TernaDatos_pos2_0, TernaDatos_pos2_1, TernaDatos_pos2_2, TernaDatos_pos2_3,
                      TernaDatos_pos2_4, TernaDatos_pos2_5);
        imprime_punto(TernaDatos_pos3_0, TernaDatos_pos3_1, TernaDatos_pos3_2, TernaDatos_pos3_3,
                      TernaDatos_pos3_4, TernaDatos_pos3_5);
    }
    if (TENGO_HORA_VALIDA != 0) {
        TIEMPO_INI = 0;
        TIEMPO_FIN = 0;
    } else if (TIEMPO_INI == 0) {
        Serial1.println("==> NO HAY HORA VALIDA.");
        TIEMPO_INI = TernaTiempos2;
    } else {
        TIEMPO_FIN = TernaTiempos2;
    }

    Guardar_Datos_Procesados_RAW();
    ProcesarTernaDatos();
}

void ProcesarTramaBinaria(const uint8_t* trama, uint8_t clongitud_trama) {
    if (clongitud_trama > OFFSET_CLASE && trama[OFFSET_CLASE] == CLASE_LOG_ECOM_0) {
        switch (trama[2]) {
        case SBG_ID_SHIP_MOTION: procesar_ship_motion(trama, clongitud_trama); break;
        case SBG_ID_EKF_NAV: procesar_navegacion(trama, clongitud_trama); break;
        case SBG_ID_EKF_EULER: procesar_euler(trama, clongitud_trama); break;
        default: break;
        }
    }

    if (tiempo_no_recibido(TernaTiempos0) == 1 || tiempo_no_recibido(TernaTiempos1) == 1 ||
        tiempo_no_recibido(TernaTiempos2) == 1) {
        return;
    }
    procesar_muestra();
    Inicializar_TernaTiempos();
}

// ---------------------------------------------------------------- raw record

// One velocity field: sign and "%010.4f", or the fixed texts beyond +-99999.9999 (the
// field builder clamps them itself).
static void inserta_velocidad_raw(float fvelocidad) {
    insertamos_variable_float_buffer_v02(cbuffer_raw, fvelocidad, 9, 4, ',', TIPO_BUFFER_RAW);
}

void Guardar_Datos_Procesados_RAW() {
    if (Preparar_Buffer_Registro(TIPO_BUFFER_RAW, LONGITUD_REGISTRO_RAW) == 0) return;

    uint8_t cvalida = TENGO_HORA_VALIDA != 0 ? 1 : 0;
    insertamos_variable_buffer(cbuffer_raw, cvalida ? cdia_utc : 0, 2, ',', TIPO_BUFFER_RAW);
    insertamos_variable_buffer(cbuffer_raw, cvalida ? cmes_utc : 0, 2, ',', TIPO_BUFFER_RAW);
    insertamos_variable_buffer(cbuffer_raw, cvalida ? cano_utc : 0, 2, ',', TIPO_BUFFER_RAW);
    insertamos_variable_buffer(cbuffer_raw, cvalida ? chora_utc : 0, 2, ',', TIPO_BUFFER_RAW);
    insertamos_variable_buffer(cbuffer_raw, cvalida ? cminuto_utc : 0, 2, ',', TIPO_BUFFER_RAW);
    insertamos_variable_buffer(cbuffer_raw, cvalida ? csegundo_utc : 0, 2, ',', TIPO_BUFFER_RAW);
    insertamos_variable_buffer(cbuffer_raw, ContNumPtosOla, 5, ',', TIPO_BUFFER_RAW);
    ContNumPtosOla = ContNumPtosOla + 1;
    insertamos_variable_buffer(cbuffer_raw, TernaDatos_pos2_2, 4, ',', TIPO_BUFFER_RAW);
    int32_t lheave = TernaDatos_pos2_3;
    inserto_caracter_buffer(cbuffer_raw, lheave < 0 ? '-' : ' ', TIPO_BUFFER_RAW);
    insertamos_variable_buffer(cbuffer_raw, static_cast<uint32_t>(lheave < 0 ? -lheave : lheave), 5, ',',
                               TIPO_BUFFER_RAW);
    inserta_velocidad_raw(TernaDatos_pos2_4);
    inserta_velocidad_raw(TernaDatos_pos2_5);
    insertamos_variable_buffer(cbuffer_raw, mFlagHeading_Pto, 1, ',', TIPO_BUFFER_RAW);
    insertamos_variable_buffer(cbuffer_raw, mFlagAlign_Pto, 1, TERMINADOR_LINEA, TIPO_BUFFER_RAW);
    cbuffer_raw[ibytes_a_escribir_sd[TIPO_BUFFER_RAW]] = 0;

    if (ccreacion_nuevo_fichero[TIPO_BUFFER_RAW] != 0 && existe_fichero_datos(TIPO_BUFFER_RAW) == 1) {
        cescritura_sd[TIPO_BUFFER_RAW] = 1;
    }
}
