// Interval statistics and the result texts: the result record for the card, the "$RES"
// sentence for the host and the summary kept for the host's later request; intervals
// without waves and the general restart they lead to. Main loop.
#include "waves/promedio.h"

#include <math.h>

#include "console/comunicaciones_pc.h"
#include "declaraciones.h"
#include "host/kvx03.h"
#include "platform.h"
#include "storage/gestion_sd.h"
#include "waves/decodificacion.h"
#include "waves/direccion.h"
#include "waves/olas.h"
#include "waves/tiempos.h"
#include "waves/waves.h"

char cbuffer_res[TAM_BUFFER_RES + 1];
char cbuffer_promedio[TAM_BUFFER_PROMEDIO + 1];
uint16_t ctam_trama_promedio = 0;
const uint16_t CTE_TAM_TRAMA_RES = LONGITUD_RESUMEN_UN_METODO;

// "$RES," before the summary's fields and "*", two checksum digits, CR LF after them.
static constexpr uint16_t INICIO_RESUMEN = 5;
static constexpr uint16_t FINAL_SENTENCIA = 5;
// Two hours' worth of intervals without waves start the general restart.
static constexpr int32_t MINUTOS_SIN_OLAS_REINICIO = 120;
static constexpr uint8_t SEGUNDOS_CUENTA_ATRAS = 1;
static constexpr uint8_t ANCHO_LINEA_PROMEDIO = 187;
static constexpr int32_t GRADOS_MEDIA_VUELTA = 1800;    // tenths of a degree
static constexpr int32_t GRADOS_VUELTA = 3600;
static constexpr uint16_t PORCENTAJE_MAXIMO = 100;

// The statistics of one interval (heights cm, periods tenths of a second, directions and
// spreads tenths of a degree, qualities percent).
struct stestadisticas {
    uint32_t lnum_olas;
    uint32_t lalt_max, lalt_3, lalt_10, lalt_media;
    uint32_t lper_max, lper_pico, lper_3, lper_10, lper_media;
    uint32_t ldir_vel, ldir_der, ldesv_vel, ldesv_der;
    uint32_t lflag_heading, lflag_align;
};

// ---------------------------------------------------------------- sorting

int pivot(uint16_t* u, uint16_t* v, int izq, int der) {
    uint16_t valor_pivote = u[izq];
    int i = izq;
    for (int j = izq + 1; j <= der; ++j) {
        if (u[j] < valor_pivote) {
            ++i;
            uint16_t t = u[i];
            u[i] = u[j];
            u[j] = t;
            t = v[i];
            v[i] = v[j];
            v[j] = t;
        }
    }
    uint16_t t = u[izq];
    u[izq] = u[i];
    u[i] = t;
    t = v[izq];
    v[izq] = v[i];
    v[i] = t;
    return i;
}

void quicksort(uint16_t* u, uint16_t* v, int izq, int der) {
    // Recursion goes into the smaller part and the loop takes the larger, so the depth
    // stays below log2(n) even for heights already in descending order (recursing always
    // into the left part would go n deep and overflow the stack of a long interval). The
    // two parts are disjoint, so the result is the same whichever is sorted first.
    while (izq < der) {
        int p = pivot(u, v, izq, der);
        if (p - izq < der - p) {
            quicksort(u, v, izq, p - 1);
            izq = p + 1;
        } else {
            quicksort(u, v, p + 1, der);
            der = p - 1;
        }
    }
}

// ---------------------------------------------------------------- files

void Preparar_Ficheros_Nuevo_Promedio() {
    uint8_t craw = existe_fichero_datos(TIPO_BUFFER_RAW);
    uint8_t cwav = existe_fichero_datos(TIPO_BUFFER_WAV);
    if (craw == 1 || cwav == 1) Intentos_Creacion_Fichero = 0;
    if (craw == 1) ccreacion_nuevo_fichero[TIPO_BUFFER_RAW] = 3;
    if (cwav == 1) ccreacion_nuevo_fichero[TIPO_BUFFER_WAV] = 3;
}

// ---------------------------------------------------------------- statistics

static uint8_t metodo_velocidad() {
    return (CTE_METODO_DIRECCION_DEFINITIVA == 0 || CTE_METODO_DIRECCION_DEFINITIVA == 2) ? 1 : 0;
}

static uint8_t metodo_deriva() {
    return (CTE_METODO_DIRECCION_DEFINITIVA == 1 || CTE_METODO_DIRECCION_DEFINITIVA == 2) ? 1 : 0;
}

// Mean of a sum over n values, single precision, rounded half away from zero.
static uint32_t media_redondeada(uint32_t lsuma, int32_t n) {
    float fmedia = static_cast<float>(lsuma) / static_cast<float>(n);
    return static_cast<uint32_t>(static_cast<double>(fmedia) + 0.5);
}

// Mean direction of the summed differences, tenths of a degree.
static uint32_t direccion_media(float fsuma_norte, float fsuma_este) {
    float fgrados = static_cast<float>(atan2(static_cast<double>(fsuma_norte), static_cast<double>(fsuma_este)) /
                                       PI_OLAS * 180.0);
    return Tranformar_Angulo(fgrados);
}

// Mean absolute difference, the shorter way round, between each wave's direction and the
// mean one. Waves whose direction could not be computed (9999) are left out; none left
// gives 9999.
static uint32_t dispersion(const uint16_t* pdirecciones, uint32_t lmedia) {
    uint32_t lsuma = 0;
    int32_t lcuenta = 0;
    for (int32_t i = 0; i < nOlas; ++i) {
        if (pdirecciones[i] == VALOR_NO_DISPONIBLE) continue;
        int32_t d = static_cast<int32_t>(pdirecciones[i]) - static_cast<int32_t>(lmedia);
        if (d < 0) d = -d;
        if (d > GRADOS_MEDIA_VUELTA) d = GRADOS_VUELTA - d;
        lsuma += static_cast<uint32_t>(d);
        ++lcuenta;
    }
    if (lcuenta == 0) return VALOR_NO_DISPONIBLE;
    return static_cast<uint32_t>(static_cast<float>(lsuma) / static_cast<float>(lcuenta));
}

static void calcula_estadisticas(stestadisticas* pe) {
    int32_t n = nOlas;
    pe->lnum_olas = static_cast<uint32_t>(n);
    mAltPromedio = media_redondeada(mAltPromedio, n);
    mPeriodoPromedio = media_redondeada(mPeriodoPromedio, n);
    pe->lalt_media = mAltPromedio;
    pe->lper_media = mPeriodoPromedio;
    pe->lalt_max = mAltMaxOla;
    pe->lper_max = mPeriodoMax;
    pe->lper_pico = mPeriodoPico;

    pe->ldir_vel = VALOR_NO_DISPONIBLE;
    pe->ldesv_vel = VALOR_NO_DISPONIBLE;
    pe->ldir_der = VALOR_NO_DISPONIBLE;
    pe->ldesv_der = VALOR_NO_DISPONIBLE;
    if (metodo_velocidad() == 1) {
        pe->ldesv_vel = dispersion(mVectorDirMetVel, direccion_media(mVel_SumNorte, mVel_SumEste));
        // No wave with a direction: no mean direction either.
        if (pe->ldesv_vel != VALOR_NO_DISPONIBLE) pe->ldir_vel = direccion_media(mVel_SumNorte, mVel_SumEste);
    }
    if (metodo_deriva() == 1) {
        pe->ldesv_der = dispersion(mVectorDirMetDer, direccion_media(mDer_SumNorte, mDer_SumEste));
        if (pe->ldesv_der != VALOR_NO_DISPONIBLE) pe->ldir_der = direccion_media(mDer_SumNorte, mDer_SumEste);
    }

    // Sorted by height with each period kept beside its height.
    quicksort(mVectorAlt, mVectorPer, 0, n - 1);
    int32_t lpos_sup3 = static_cast<int32_t>(floor(static_cast<double>(n) / 3.0 + static_cast<double>(n) / 3.0));
    int32_t lpos_sup10 = static_cast<int32_t>(floor(static_cast<double>(n) / 10.0 * 9.0));
    uint32_t SumAlt3 = 0, SumPer3 = 0, SumAlt10 = 0, SumPer10 = 0;
    for (int32_t i = n - 1; i >= lpos_sup3; --i) {
        SumAlt3 += mVectorAlt[i];
        SumPer3 += mVectorPer[i];
        if (i == lpos_sup10) {
            SumAlt10 = SumAlt3;
            SumPer10 = SumPer3;
        }
    }
    float fnum_sup3 = static_cast<float>(n - lpos_sup3);
    float fnum_sup10 = static_cast<float>(n - lpos_sup10);
    pe->lalt_3 = static_cast<uint32_t>(static_cast<float>(SumAlt3) / fnum_sup3);
    pe->lper_3 = static_cast<uint32_t>(static_cast<float>(SumPer3) / fnum_sup3);
    pe->lalt_10 = static_cast<uint32_t>(static_cast<float>(SumAlt10) / fnum_sup10);
    pe->lper_10 = static_cast<uint32_t>(static_cast<float>(SumPer10) / fnum_sup10);

    float fheading = static_cast<float>(mFlagHeadingPromedio) / static_cast<float>(n);
    float falign = static_cast<float>(mFlagAlignPromedio) / static_cast<float>(n);
    pe->lflag_heading = fheading >= PORCENTAJE_MAXIMO ? PORCENTAJE_MAXIMO : static_cast<uint32_t>(fheading);
    pe->lflag_align = falign >= PORCENTAJE_MAXIMO ? PORCENTAJE_MAXIMO : static_cast<uint32_t>(falign);
}

// ---------------------------------------------------------------- result texts

// Fields 6 to 21 of a result text into buffer ctipo; fields 6 to 20 end in csep, field 21 in cfinal.
static void inserta_campos_estadisticas(char* pcbuffer, uint8_t ctipo, const stestadisticas* pe, char csep,
                                        char cfinal) {
    insertamos_variable_buffer(pcbuffer, pe->lnum_olas, 5, csep, ctipo);
    insertamos_variable_buffer(pcbuffer, pe->lalt_max, 4, csep, ctipo);
    insertamos_variable_buffer(pcbuffer, pe->lalt_3, 4, csep, ctipo);
    insertamos_variable_buffer(pcbuffer, pe->lalt_10, 4, csep, ctipo);
    insertamos_variable_buffer(pcbuffer, pe->lalt_media, 4, csep, ctipo);
    insertamos_variable_buffer(pcbuffer, pe->lper_max, 3, csep, ctipo);
    insertamos_variable_buffer(pcbuffer, pe->lper_pico, 3, csep, ctipo);
    insertamos_variable_buffer(pcbuffer, pe->lper_3, 3, csep, ctipo);
    insertamos_variable_buffer(pcbuffer, pe->lper_10, 3, csep, ctipo);
    insertamos_variable_buffer(pcbuffer, pe->lper_media, 3, csep, ctipo);
    if (metodo_velocidad() == 1) insertamos_variable_buffer(pcbuffer, pe->ldir_vel, 4, csep, ctipo);
    if (metodo_deriva() == 1) insertamos_variable_buffer(pcbuffer, pe->ldir_der, 4, csep, ctipo);
    if (metodo_velocidad() == 1) insertamos_variable_buffer(pcbuffer, pe->ldesv_vel, 4, csep, ctipo);
    if (metodo_deriva() == 1) insertamos_variable_buffer(pcbuffer, pe->ldesv_der, 4, csep, ctipo);
    insertamos_variable_buffer(pcbuffer, pe->lflag_heading, 3, csep, ctipo);
    insertamos_variable_buffer(pcbuffer, pe->lflag_align, 3, cfinal, ctipo);
}

// The "$RES" sentence into cbuffer_kvx03, with the clock's date, hour and minute now,
// marked for sending.
static void construye_sentencia_res(const stestadisticas* pe) {
    comienzo_trama_kvx03("RES,");
    insertamos_variable_buffer(cbuffer_kvx03, cdia_utc, 2, ',', TIPO_BUFFER_KVX03);
    insertamos_variable_buffer(cbuffer_kvx03, cmes_utc, 2, ',', TIPO_BUFFER_KVX03);
    insertamos_variable_buffer(cbuffer_kvx03, cano_utc, 2, ',', TIPO_BUFFER_KVX03);
    insertamos_variable_buffer(cbuffer_kvx03, chora_utc, 2, ',', TIPO_BUFFER_KVX03);
    insertamos_variable_buffer(cbuffer_kvx03, cminuto_utc, 2, ',', TIPO_BUFFER_KVX03);
    inserta_campos_estadisticas(cbuffer_kvx03, TIPO_BUFFER_KVX03, pe, ',', TERMINADOR_NINGUNO);
    fin_trama_kvx03();
}

// The result record into cbuffer_res: the date of the interval's end with the hour and
// minute of its start.
static void construye_registro_res(const stestadisticas* pe) {
    ibytes_a_escribir_sd[TIPO_BUFFER_RES] = 0;
    insertamos_variable_buffer(cbuffer_res, cdia_utc, 2, ',', TIPO_BUFFER_RES);
    insertamos_variable_buffer(cbuffer_res, cmes_utc, 2, ',', TIPO_BUFFER_RES);
    insertamos_variable_buffer(cbuffer_res, cano_utc, 2, ',', TIPO_BUFFER_RES);
    insertamos_variable_buffer(cbuffer_res, HHini, 2, ',', TIPO_BUFFER_RES);
    insertamos_variable_buffer(cbuffer_res, MMini, 2, ',', TIPO_BUFFER_RES);
    inserta_campos_estadisticas(cbuffer_res, TIPO_BUFFER_RES, pe, ' ', TERMINADOR_LINEA);
    cbuffer_res[ibytes_a_escribir_sd[TIPO_BUFFER_RES]] = 0;
}

// Decision on the result summary with both direction methods (88 characters, more than the
// 79 of cbuffer_promedio): it is cut at the buffer and never written beyond it, and
// ctam_trama_promedio is then 0, so the host's request for the last result gets the status
// alone instead of a summary missing its last fields. A summary held whole gives its length
// (78, CTE_TAM_TRAMA_RES, with one method).
static void construye_resumen() {
    ibytes_a_escribir_sd[TIPO_BUFFER_PROMEDIO] = 0;
    uint16_t ilongitud = ibytes_a_escribir_sd[TIPO_BUFFER_KVX03];
    uint16_t ifinal = ilongitud > INICIO_RESUMEN + FINAL_SENTENCIA ? ilongitud - FINAL_SENTENCIA : INICIO_RESUMEN;
    for (uint16_t i = INICIO_RESUMEN; i < ifinal; ++i) {
        inserto_caracter_buffer(cbuffer_promedio, cbuffer_kvx03[i], TIPO_BUFFER_PROMEDIO);
    }
    uint16_t iguardados = ibytes_a_escribir_sd[TIPO_BUFFER_PROMEDIO];
    cbuffer_promedio[iguardados] = 0;
    uint16_t icompleto = static_cast<uint16_t>(ifinal - INICIO_RESUMEN);
    if (iguardados == icompleto) {
        ctam_trama_promedio = iguardados;
    } else {
        ctam_trama_promedio = 0;
        Serial1.print("Resumen de promedio recortado: ");
        Serial1.print(iguardados);
        Serial1.print(" de ");
        Serial1.println(icompleto);
    }
}

static void imprime_linea_iguales() {
    for (uint8_t i = 0; i < ANCHO_LINEA_PROMEDIO; ++i) Serial1.print("=");
    linea();
}

static void imprime_valor(const char* pcnombre, uint32_t lvalor) {
    Serial1.print(pcnombre);
    Serial1.print(lvalor);
}

static void imprime_estadisticas(const stestadisticas* pe) {
    linea();
    Serial1.print("Buffer promedio: ");
    Serial1.println(cbuffer_promedio);
    linea();
    imprime_valor("NumOlas=", pe->lnum_olas);
    imprime_valor(" Hmax=", pe->lalt_max);
    imprime_valor(" H(1/3)=", pe->lalt_3);
    imprime_valor(" H(1/10)=", pe->lalt_10);
    imprime_valor(" Hav=", pe->lalt_media);
    imprime_valor(" Tmax=", pe->lper_max);
    imprime_valor(" Tpico=", pe->lper_pico);
    imprime_valor(" T(1/3)=", pe->lper_3);
    imprime_valor(" T(1/10)=", pe->lper_10);
    imprime_valor(" Tav=", pe->lper_media);
    linea();
    imprime_valor(" DirMedMetVel=", pe->ldir_vel);
    imprime_valor(" DirMedMetDer=", pe->ldir_der);
    imprime_valor(" DesvMetVel=", pe->ldesv_vel);
    imprime_valor(" DesvMetDer=", pe->ldesv_der);
    imprime_valor(" FlagHeadingPromedio=", pe->lflag_heading);
    imprime_valor(" FlagAlingPromedio=", pe->lflag_align);
    linea();
    if (iolas_sin_memoria != 0) {
        Serial1.print("Olas perdidas por falta de memoria: ");
        Serial1.println(iolas_sin_memoria);
    }
    imprime_linea_iguales();
    imprime_linea_iguales();
}

// The statistics of an interval without waves, all 0, with the discarded-wave counter's
// high and low bytes in place of the qualities.
static void imprime_estadisticas_cero(uint8_t calto, uint8_t cbajo) {
    static const char* const m_nombres[] = {"NumOlas=", " Hmax=", " H(1/3)=", " H(1/10)=", " Hav=",
                                            " Tmax=", " Tpico=", " T(1/3)=", " T(1/10)=", " Tav="};
    for (const char* pcnombre : m_nombres) {
        Serial1.print(pcnombre);
        Serial1.print(0.0, 2);
    }
    Serial1.println();
    Serial1.print(" DirMedMetVel=");
    Serial1.print(0.0, 2);
    Serial1.print(" DirMedMetDer=");
    Serial1.print(0.0, 2);
    Serial1.print(" DesvMetVel=");
    Serial1.print(0.0, 2);
    Serial1.print(" DesvMetDer= ");
    Serial1.println(0.0, 2);
    Serial1.print(" FlagHeadingPromedio=");
    Serial1.print(static_cast<double>(calto), 2);
    Serial1.print(" FlagAlingPromedio= ");
    Serial1.println(static_cast<double>(cbajo), 2);
}

static void promedio_sin_olas() {
    Serial1.print("RESET POR FALTA DE OLAS: ");
    Serial1.println(CONTADOR_CERO_OLAS);
    // The last interval of the day ends at 23:59:50: it neither reports nor counts.
    if (chora_utc == 23 && cminuto_utc == 59) {
        Serial1.println("NO RESETEAMOS SI ES FINAL DEL DIA.");
        return;
    }
    uint8_t calto = static_cast<uint8_t>(CONTADOR_OLAS_DESCARTADAS >> 8);
    uint8_t cbajo = static_cast<uint8_t>(CONTADOR_OLAS_DESCARTADAS & 0xFF);
    if (cdebug_sensor != 0) imprime_estadisticas_cero(calto, cbajo);

    stestadisticas e = {};
    if (metodo_velocidad() == 1) e.ldir_vel = e.ldesv_vel = 0;
    if (metodo_deriva() == 1) e.ldir_der = e.ldesv_der = 0;
    e.lflag_heading = calto;
    e.lflag_align = cbajo;
    construye_sentencia_res(&e);

    Preparar_Ficheros_Nuevo_Promedio();
    imprime_estadisticas_cero(calto, cbajo);

    CONTADOR_CERO_OLAS = static_cast<uint8_t>(CONTADOR_CERO_OLAS + 1);
    if (CONTADOR_CERO_OLAS >= MINUTOS_SIN_OLAS_REINICIO / CTE_INTERVALO_PROMEDIO_INTERPRETADO &&
        ctimeout_reset_general == 0) {
        ctimeout_reset_general = SEGUNDOS_CUENTA_ATRAS;
        Serial1.print("Cuenta atr\xEF\xBF\xBDs=");
        Serial1.print(SEGUNDOS_CUENTA_ATRAS);
        Serial1.print(",");
    }
}

void Calcular_Parametros_Salida_Ola_Promedio() {
    if (nOlas < 1) {
        promedio_sin_olas();
        return;
    }
    CONTADOR_CERO_OLAS = 0;
    stestadisticas e = {};
    calcula_estadisticas(&e);

    construye_registro_res(&e);
    if (existe_fichero_datos(TIPO_BUFFER_RES) == 1) {
        ccreacion_nuevo_fichero[TIPO_BUFFER_RES] = 2;
        cescritura_sd[TIPO_BUFFER_RES] = 1;
        resSdOk = 1;
    } else {
        resSdOk = 0;
    }
    resSbgOk = 0;

    construye_sentencia_res(&e);
    construye_resumen();
    imprime_estadisticas(&e);
}

// ---------------------------------------------------------------- interval start

// A fresh per-wave array of one zeroed entry; *plentradas is 0 when the heap refuses it.
static void reserva_vector(uint16_t** ppvector, uint32_t* plentradas, const char* pcmensaje_error) {
    *ppvector = static_cast<uint16_t*>(heap_alloc(sizeof(uint16_t)));
    if (*ppvector == nullptr) {
        *plentradas = 0;
        Serial1.println(pcmensaje_error);
        return;
    }
    (*ppvector)[0] = 0;
    *plentradas = 1;
}

void Comenzar_Proceso_Nuevo_Promedio_Olas() {
    mVel_SumNorte = 0.0f;
    mVel_SumEste = 0.0f;
    mDer_SumNorte = 0.0f;
    mDer_SumEste = 0.0f;
    mAltMaxOla = 0;
    mAltPromedio = 0;
    mPeriodoMax = 0;
    mPeriodoPico = 0;
    mPeriodoPromedio = 0;

    Serial1.println("Free");
    heap_free(mVectorAlt);
    heap_free(mVectorPer);
    heap_free(mVectorDirMetVel);
    heap_free(mVectorDirMetDer);
    if (cdebug_sensor != 0) Serial1.print("_Ini Inicializar promedio_");

    reserva_vector(&mVectorAlt, &lentradas_mVectorAlt, "Error en realloc de mVectorAlt 2");
    reserva_vector(&mVectorPer, &lentradas_mVectorPer, "Error en realloc de mVectorPer 2");
    reserva_vector(&mVectorDirMetVel, &lentradas_mVectorDirMetVel, "Error en realloc de mVectorDirMetVel 2");
    reserva_vector(&mVectorDirMetDer, &lentradas_mVectorDirMetDer, "Error en realloc de mVectorDirMetDer 2");
    mVectorCont = 0;

    nOlas = 0;
    tsIni = TIEMPO_NO_RECIBIDO;
    tsFin = 0;
    contPtosOlaActual = 0;
    // The wave in progress runs on; its start counts as the new interval's first sample.
    if (vIniOla_0 > 1) vIniOla_0 = 1;

    mFlagAlign = 0;
    mFlagHeading = 0;
    mFlagHeadingPromedio = 0;
    mFlagAlignPromedio = 0;
    CONTADOR_OLAS_DESCARTADAS = 65535;
    iolas_sin_memoria = 0;
    Serial1.println("_Fin Inicializar promedio_");
}
