// Wave analysis state and the per-sample driver, plus the reset accounting. Main loop
// only, apart from the two flags the day change of the 1 ms tick raises
// (cRevision_Resets_24h, CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET).
#include "waves/waves.h"

#include "console/comunicaciones_pc.h"
#include "declaraciones.h"
#include "params/i2c.h"
#include "params/memoria.h"
#include "platform.h"
#include "storage/gestion_sd.h"
#include "waves/decodificacion.h"
#include "waves/olas.h"
#include "waves/promedio.h"
#include "waves/tiempos.h"

stwaves waves = {};
uint8_t CTE_METODO_DIRECCION_DEFINITIVA = 0;
int32_t CTE_INTERVALO_PROMEDIO_INTERPRETADO = 15; // minutes
volatile uint8_t CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 1;
volatile uint8_t cRevision_Resets_24h = 0;
uint8_t CONT_TRAMAS_GPS = 0;

// ---------------------------------------------------------------- interval state
int32_t nOlas = 0;
uint16_t* mVectorAlt = nullptr;
uint16_t* mVectorPer = nullptr;
uint16_t* mVectorDirMetVel = nullptr;
uint16_t* mVectorDirMetDer = nullptr;
uint32_t lentradas_mVectorAlt = 0;
uint32_t lentradas_mVectorPer = 0;
uint32_t lentradas_mVectorDirMetVel = 0;
uint32_t lentradas_mVectorDirMetDer = 0;
int32_t mVectorCont = 0;
uint16_t mAltMaxOla = 0;
uint16_t mPeriodoPico = 0;
uint16_t mPeriodoMax = 0;
uint32_t mAltPromedio = 0;
uint32_t mPeriodoPromedio = 0;
float mVel_SumNorte = 0, mVel_SumEste = 0;
float mDer_SumNorte = 0, mDer_SumEste = 0;
uint16_t mFlagHeading = 0;
uint16_t mFlagAlign = 0;
uint32_t mFlagHeadingPromedio = 0;
uint32_t mFlagAlignPromedio = 0;
uint16_t CONTADOR_OLAS_DESCARTADAS = 65535;
uint8_t CONTADOR_CERO_OLAS = 0;
int32_t tsFin = 0;
uint8_t TENGO_HORA_VALIDA = 0;
uint16_t iolas_sin_memoria = 0;
uint32_t lregistros_perdidos_sd[2] = {0, 0};

static constexpr float MICROSEGUNDOS_POR_MINUTO = 60000000.0f;

// ---------------------------------------------------------------- records kept for the card

// Decision on records built while the previous one still waits for the card (several
// samples from one sensor block, an SD hold-off): a record is never replaced before the
// card cycle has taken it. It is appended after the waiting ones while the buffer has room
// for it whole; one that does not fit is dropped, counted, and reported once when the
// buffer fills and once, with the count, when the card takes the buffer again.
uint8_t Preparar_Buffer_Registro(uint8_t ctipo, uint16_t ilongitud) {
    static const char* const m_tipo[2] = {"RAW", "WAV"};
    uint16_t icapacidad = ctipo == TIPO_BUFFER_RAW ? TAM_BUFFER_RAW : TAM_BUFFER_WAV;
    if (cescritura_sd[ctipo] == 0) {
        if (lregistros_perdidos_sd[ctipo] != 0) {
            Serial1.print("Registros ");
            Serial1.print(m_tipo[ctipo]);
            Serial1.print(" perdidos por buffer lleno: ");
            Serial1.println(lregistros_perdidos_sd[ctipo]);
            lregistros_perdidos_sd[ctipo] = 0;
        }
        ibytes_a_escribir_sd[ctipo] = 0;
        return 1;
    }
    if (static_cast<uint32_t>(ibytes_a_escribir_sd[ctipo]) + ilongitud <= icapacidad) return 1;
    if (lregistros_perdidos_sd[ctipo] == 0) {
        Serial1.print("Buffer ");
        Serial1.print(m_tipo[ctipo]);
        Serial1.println(" lleno: registros perdidos hasta que la SD lo escriba.");
    }
    lregistros_perdidos_sd[ctipo] = lregistros_perdidos_sd[ctipo] + 1;
    return 0;
}

// ---------------------------------------------------------------- per-wave arrays

uint8_t Guardar_Entrada_Vector_Ola(uint16_t** ppvector, uint32_t* plentradas, uint16_t ivalor,
                                   const char* pcmensaje_error) {
    if (nOlas < 1) return 0;
    uint32_t lindice = static_cast<uint32_t>(nOlas - 1);
    // Never beyond the storage held: the driver admits a wave only with a spare entry in
    // every array it fills, so this refusal is a second guard.
    if (*ppvector == nullptr || lindice >= *plentradas) return 0;
    (*ppvector)[lindice] = ivalor;
    uint32_t lentradas = lindice + 2;
    void* pnuevo = heap_realloc(*ppvector, lentradas * sizeof(uint16_t));
    if (pnuevo == nullptr) {
        Serial1.println(pcmensaje_error);
    } else {
        *ppvector = static_cast<uint16_t*>(pnuevo);
        *plentradas = lentradas;
    }
    return 1;
}

uint8_t Espacio_Para_Nueva_Ola() {
    uint32_t lnecesarias = static_cast<uint32_t>(nOlas) + 1;
    if (lentradas_mVectorAlt < lnecesarias || lentradas_mVectorPer < lnecesarias) return 0;
    uint8_t cmetodo = CTE_METODO_DIRECCION_DEFINITIVA;
    if ((cmetodo == 0 || cmetodo == 2) && lentradas_mVectorDirMetVel < lnecesarias) return 0;
    if ((cmetodo == 1 || cmetodo == 2) && lentradas_mVectorDirMetDer < lnecesarias) return 0;
    return 1;
}

// Decision on a failed growth of a per-wave array: the interval keeps the waves stored so
// far and its statistics use only those (nOlas counts stored waves); every later accepted
// wave of the interval is dropped, counted and reported, and leaves no record. The next
// interval starts with fresh arrays.
static void perder_ola_sin_memoria() {
    iolas_sin_memoria = static_cast<uint16_t>(iolas_sin_memoria + 1);
    Serial1.print("Ola perdida por falta de memoria. Olas perdidas en el promedio: ");
    Serial1.println(iolas_sin_memoria);
}

// ---------------------------------------------------------------- start-up

// One "name=value" line of the parameter dump.
static void linea_parametro(const char* pcnombre, int32_t lvalor) {
    Serial1.print(pcnombre);
    Serial1.println(lvalor);
}

void Inicializar() {
    CTE_METODO_DIRECCION_DEFINITIVA = CTE_METODO_DIRECCION;
    Inicializar_TernaTiempos();
    Inicializar_Vectores_Base();
    // The heap is new at every start: arrays that a pointer may still name belong to a heap
    // that no longer exists and are forgotten, not freed.
    mVectorAlt = mVectorPer = mVectorDirMetVel = mVectorDirMetDer = nullptr;
    Comenzar_Proceso_Nuevo_Promedio_Olas();
    CTE_INTERVALO_PROMEDIO_INTERPRETADO = Interpretar_Intervalo_Promedio(CTE_INTERVALO_PROMEDIO);
    TernaDatos_pos1_0 = 0;
    TernaDatos_pos2_0 = 0;
    TernaDatos_pos3_0 = 0;
    TENGO_HORA_VALIDA = 0;

    linea();
    linea_parametro("choras_sincronizacion_gps=", choras_sincronizacion_gps);
    linea_parametro("CTE_FACTOR_CORRECCION_DIRECCION_STANDAR=", CTE_FACTOR_CORRECCION_DIRECCION_STANDAR);
    linea_parametro("CTE_METODO_DIRECCION=", CTE_METODO_DIRECCION);
    linea_parametro("CTE_PROCESAR_OLA_ALTURA_MINIMA=", CTE_PROCESAR_OLA_ALTURA_MINIMA);
    linea_parametro("CTE_PROCESAR_OLA_ALTURA_MAXIMA=", CTE_PROCESAR_OLA_ALTURA_MAXIMA);
    linea_parametro("CTE_PROCESAR_OLA_PERIODO_MINIMO=", CTE_PROCESAR_OLA_PERIODO_MINIMO);
    linea_parametro("CTE_PROCESAR_OLA_PERIODO_MAXIMO=", CTE_PROCESAR_OLA_PERIODO_MAXIMO);
    linea_parametro("CTE_INTERVALO_PROMEDIO=", CTE_INTERVALO_PROMEDIO);
    linea_parametro("CTE_INTERVALO_PROMEDIO_INTERPRETADO=", CTE_INTERVALO_PROMEDIO_INTERPRETADO);
    linea_parametro("cfrecuencia_muestreo=", cfrecuencia_muestreo);
    linea_parametro("csensor_con_gps=", csensor_con_gps);
    linea_parametro("cg_impacto_leve=", cg_impacto_leve);
    linea_parametro("cg_impacto_medio=", cg_impacto_medio);
    linea_parametro("cg_impacto_grave=", cg_impacto_grave);
    linea_parametro("icanales_activados_sensor=", icanales_activados_sensor);

    Actualizar_Numero_Reinicios();

    Serial1.print("CTE_PERMITIR_ESCRITURA_SD=");
    Serial1.print(CTE_PERMITIR_ESCRITURA_SD);
    Serial1.print("/");
    Serial1.print(CTE_PERMITIR_ESCRITURA_SD_EEPROM);
    Serial1.print("/");
    Serial1.println(lectura_variable_permitir_escritura_SD());
    Serial1.print("BAUDRATE=");
    Serial1.println(CTE_BAUDRATE_KVX);
    Serial1.print("CTE_PERMITIR_AJUSTE_RELOJ=");
    Serial1.println(CTE_AJUSTE_RELOJ);
    Serial1.print("CTE_VELOCIDAD_RELOJ=");
    Serial1.print(CTE_VELOCIDAD_RELOJ);
    Serial1.print(" / EEPROM=");
    Serial1.println(readEEPROM_variable(EE_VELOCIDAD_RELOJ, 2));
    Serial1.print("% OCUPADO SD=");
    Serial1.println(CTE_PORCENTAJE_FULL_SD);
}

// ---------------------------------------------------------------- per-sample driver

// 1 when the interval has run longer than its minutes in sensor time (clock not valid).
static uint8_t fin_por_tiempo_sensor() {
    uint32_t ltranscurrido = Diferencia_Timespan(TIEMPO_INI, TIEMPO_FIN);
    CTE_INTERVALO_PROMEDIO_INTERPRETADO = Interpretar_Intervalo_Promedio(CTE_INTERVALO_PROMEDIO);
    if (static_cast<float>(ltranscurrido) / MICROSEGUNDOS_POR_MINUTO <=
        static_cast<float>(CTE_INTERVALO_PROMEDIO_INTERPRETADO)) {
        return 0;
    }
    TIEMPO_INI = TIEMPO_FIN;
    TIEMPO_FIN = 0;
    linea();
    Serial1.print("HACER_PROMEDIO_POR_TIEMPO_SUPERADO = ");
    Serial1.println(1);
    return 1;
}

// 1 when the clock (HH:MM:SS, read once for this sample) has passed the planned end.
static uint8_t fin_por_reloj(uint8_t chh, uint8_t cmm, uint8_t css) {
    Determinar_Proxima_Hora_Final(0);
    Revision_Tiempos();
    // An end planned for the next day's first hour is read as hour 24 or 25 until midnight.
    if (chh == 23) {
        if (HHfin == 0) HHfin = 24;
        if (HHfin == 1) HHfin = 25;
    }
    if (chh == 0) {
        if (HHfin == 24) HHfin = 0;
        if (HHfin == 25) HHfin = 1;
    }
    return (HHfin <= chh && MMfin <= cmm && SSfin < css) ? 1 : 0;
}

void ProcesarTernaDatos() {
    Detectar_Vectores_Base();
    int res = Vectores_Base_Fijados();
    TENGO_HORA_VALIDA = cano_utc != 0 ? 1 : 0;

    if (res == 1) {
        if (Espacio_Para_Nueva_Ola() == 1) {
            nOlas = nOlas + 1;
            Calcular_Parametros_Salida_Ola();
        } else {
            perder_ola_sin_memoria();
        }
        Comenzar_Proceso_Nueva_Ola();
        CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 0;
    }

    uint8_t chh = chora_utc;
    uint8_t cmm = cminuto_utc;
    uint8_t css = csegundo_utc;

    uint8_t cfin = TENGO_HORA_VALIDA == 0 ? fin_por_tiempo_sensor() : fin_por_reloj(chh, cmm, css);
    if (cfin == 0) return;

    Preparar_Ficheros_Nuevo_Promedio();
    Calcular_Parametros_Salida_Ola_Promedio();
    Comenzar_Proceso_Nuevo_Promedio_Olas();
    CTE_METODO_DIRECCION_DEFINITIVA = CTE_METODO_DIRECCION;
    if (TENGO_HORA_VALIDA == 1) Determinar_Proxima_Hora_Final(1);
}

// ---------------------------------------------------------------- reset accounting

void Actualizar_Numero_Reinicios() {
    uint16_t itotal = static_cast<uint16_t>(lectura_variable_contador_reinicios() + 1);
    escritura_variable_contador_reinicios(itotal);
    Serial1.print("n\xEF\xBF\xBD reinicios = ");
    Serial1.print(itotal);
    Serial1.print(" / ");
    Serial1.print(REINICIOS_24H);
    Serial1.print(" (");
    Serial1.print(REINICIOS_24H_DIA);
    Serial1.println(")");
}

void Revision_Resets_24h() {
    cRevision_Resets_24h = 0;
    linea();
    Serial1.println("==> Revision resets 24h: ");

    if (cano_utc != 0) {
        if (REINICIOS_24H_DIA != cdia_utc) {
            Serial1.print("\t\t\t\t\t\t\t\t\t\t\t\t\t\t==> Nuevo d\xEF\xBF\xBD" "a: Resets 24h: Inicializacion.");
            CTE_PERMITIR_ESCRITURA_SD = CTE_PERMITIR_ESCRITURA_SD_EEPROM;
            REINICIOS_24H_DIA = cdia_utc;
            escritura_variable_contador_reinicios_24H_DIA(REINICIOS_24H_DIA);
            REINICIOS_24H = lectura_variable_contador_reinicios();
            writeEEPROM_variable(REINICIOS_24H, EE_REINICIOS_24H, 2);
            // Later GPS captures must not ask for another review through their counter.
            CONT_TRAMAS_GPS = 2;
        } else if (CTE_PERMITIR_ESCRITURA_SD_EEPROM != 0) {
            uint16_t itotal = lectura_variable_contador_reinicios();
            if (REINICIOS_24H > itotal) {
                // The total was cleared since the day began: start the day from it.
                Serial1.print("Igualamos.");
                REINICIOS_24H = itotal;
                writeEEPROM_variable(REINICIOS_24H, EE_REINICIOS_24H, 2);
            }
            uint16_t idiferencia = static_cast<uint16_t>(itotal - REINICIOS_24H);
            Serial1.print("==> Diferencia de resets= ");
            Serial1.print(itotal);
            Serial1.print(" - ");
            Serial1.print(REINICIOS_24H);
            Serial1.print(" = ");
            Serial1.println(idiferencia);
            if (idiferencia <= REINICIOS_24H_PERMITIDOS) {
                CTE_PERMITIR_ESCRITURA_SD = 1;
            } else {
                Serial1.print("==> Prohibida la escritura en SD por N\xEF\xBF\xBD resets 24 superado:");
                Serial1.println(idiferencia);
                CTE_PERMITIR_ESCRITURA_SD = 0;
            }
        }
    }
    linea();
}
