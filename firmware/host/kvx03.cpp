// The host link. The main loop (comunicacion_kvx03) sends a pending sentence or collects a
// block of up to 128 bytes until 100 ms of silence; this file checks that block and runs
// the telecommand it carries. Every reply is "$OLA,", the group with two digits, ",", the
// group's body, "*", the XOR checksum as two upper-case hexadecimal digits and CR LF, and
// leaves on the next pass of the loop. Main loop only.
#include "host/kvx03.h"

#include "console/comunicaciones_pc.h"
#include "core/timebase.h"
#include "declaraciones.h"
#include "gps/modulo_gps.h"
#include "params/i2c.h"
#include "params/memoria.h"
#include "platform.h"
#include "storage/formateo_sd.h"
#include "storage/gestion_sd.h"
#include "waves/correccion_reloj.h"
#include "waves/olas.h"

const char m_trama_kvx03[] = "$KVX03";
uint8_t borrar_eeprom = 0;

// Header length of a telecommand ("$KVX03").
static constexpr uint8_t LONGITUD_CABECERA_KVX03 = 6;
// Year range of the clock-setting telecommand: 2019 onwards, and at most 99 because the
// clock keeps two digits and prints them in two positions everywhere (a year 100 would read
// "A0" in every record and sentence).
static constexpr uint32_t ANO_MINIMO_RELOJ = 19;
static constexpr uint32_t ANO_MAXIMO_RELOJ = 99;
// Code 17: differences of more than this many minutes are reported as the bare text 250.
static constexpr int64_t MINUTOS_MAXIMOS_TIEMPO_RESTA = 250;
// Bytes of the sensor block shown by code 3 (one sbgECom frame of the longest log).
static constexpr uint8_t CTD_TAM_DATOS_SBG = 75;
// Lines printed by group 7 around its messages.
static constexpr uint8_t IGUALES_ANTES_ESCRITURA_SD = 52;
static constexpr uint8_t IGUALES_DESPUES_ESCRITURA_SD = 66;
static constexpr uint8_t TABULADORES_ESCRITURA_SD = 14;
static constexpr uint8_t TABULADORES_BAUDRATE = 4;
// Room of cbuffer_kvx03 left after a body for "*", two checksum digits and CR LF.
static constexpr uint16_t BYTES_CIERRE_TRAMA = 5;

// ---------------------------------------------------------------- fields of the block

// 1 and field ccampo of the received block in *pldato, or 0 when the field is empty or
// absent (*pldato untouched).
static uint8_t campo_kvx03(uint8_t ccampo, uint32_t* pldato) {
    return extraccion_dato_nmea2(ccampo, ctrama_rx_kvx03, 0, ccantidad_bytes_rx_kvx03, pldato);
}

// A flag argument: any non-zero value is 1, so the flags that others test for "== 1" and
// the start-up check (which repairs values above 1 to 1) agree with what was asked.
static uint8_t bandera(uint32_t lvalor) { return lvalor != 0 ? 1 : 0; }

// ---------------------------------------------------------------- reply framing

void inserto_valor_kvx03(uint32_t laux, uint8_t cnumero_cifras, char ccaracter_final) {
    uint8_t ccifras = cnumero_cifras;
    if (cnumero_cifras < 10 && laux >= lvalores_decimales[cnumero_cifras]) ccifras = 0;
    insertamos_variable_buffer(cbuffer_kvx03, laux, ccifras, ccaracter_final, TIPO_BUFFER_KVX03);
}

static void inserto_texto_kvx03(const char* pctexto) {
    insertamos_mensaje_buffer(cbuffer_kvx03, pctexto, TIPO_BUFFER_KVX03);
}

static void inserto_caracter_kvx03(char ccaracter) {
    inserto_caracter_buffer(cbuffer_kvx03, ccaracter, TIPO_BUFFER_KVX03);
}

void comienzo_trama_kvx03(const char* pccabecera) {
    ibytes_a_escribir_sd[TIPO_BUFFER_KVX03] = 0;
    cchecksum_nmea_kvx03 = 0;
    ccalculo_checksum_nmea = 0;
    inserto_caracter_kvx03('$');
    ccalculo_checksum_nmea = 1;
    inserto_texto_kvx03(pccabecera);
}

void comienzo_respuesta_kvx03(uint8_t cgrupo) {
    comienzo_trama_kvx03("OLA,");
    inserto_valor_kvx03(cgrupo, 2, ',');
}

void fin_trama_kvx03() {
    ccalculo_checksum_nmea = 0;
    // A body never reaches the end of the buffer; should one do so, its last characters
    // give way to the sentence's end so that what leaves is still a checked sentence.
    if (ibytes_a_escribir_sd[TIPO_BUFFER_KVX03] > TAM_BUFFER_KVX03 - BYTES_CIERRE_TRAMA) {
        ibytes_a_escribir_sd[TIPO_BUFFER_KVX03] = TAM_BUFFER_KVX03 - BYTES_CIERRE_TRAMA;
        uint8_t cxor = 0;
        for (uint16_t i = 1; i < ibytes_a_escribir_sd[TIPO_BUFFER_KVX03]; ++i) {
            cxor = static_cast<uint8_t>(cxor ^ static_cast<uint8_t>(cbuffer_kvx03[i]));
        }
        cchecksum_nmea_kvx03 = cxor;
    }
    inserto_caracter_kvx03('*');
    insertamos_variable_hex_buffer(cbuffer_kvx03, cchecksum_nmea_kvx03, 2, TERMINADOR_LINEA, TIPO_BUFFER_KVX03);
    cbuffer_kvx03[ibytes_a_escribir_sd[TIPO_BUFFER_KVX03]] = 0;
    cdatos_tx_kvx03 = 1;
}

// "01," the command code and "," (the start of most group-1 bodies).
static void inserto_estado_y_codigo(uint8_t ccodigo) {
    inserto_valor_kvx03(KVX03_HECHO, 2, ',');
    inserto_valor_kvx03(ccodigo, 0, ',');
}

// Each byte as two hexadecimal digits and a space.
static void inserto_volcado_hex(uint8_t cdato) {
    insertamos_variable_hex_buffer(cbuffer_kvx03, cdato, 2, ' ', TIPO_BUFFER_KVX03);
}

// ---------------------------------------------------------------- group 1

void formateo_sd_por_telemando(uint8_t ccomando) {
    resSdOk = 2;
    grabacion_parametros_por_defecto_secundarios_al_inicializar_SD(ccomando);
    ccreacion_nuevo_directorio = 0;
    ccreacion_nuevo_fichero[0] = 0;
    ccreacion_nuevo_fichero[1] = 0;
    ccreacion_nuevo_fichero[2] = 0;
    CTE_BORRAR_SD = ccomando == 14 ? 1 : 0;
    Formatear_SD();
    // The write cycle starts the freshly formatted card again.
    ctarjeta_sd_inicializada = 0;
}

void borrado_eeprom() {
    // Four bytes per write transaction (none crosses a 32-byte page), then address 32.
    for (uint16_t idireccion = 0; idireccion < EE_ULTIMA_DIRECCION_BORRADO; idireccion += 4) {
        writeEEPROM_variable(0xFFFFFFFFu, idireccion, 4);
    }
    writeEEPROM_variable(0xFF, EE_ULTIMA_DIRECCION_BORRADO, 1);
}

// Code 7: the last CR LF-terminated record of the raw buffer, without its line end. The
// buffer may hold several records waiting for the card; the newest is the last one.
static void inserto_ultimo_registro_raw() {
    uint16_t ifin = ibytes_a_escribir_sd[TIPO_BUFFER_RAW];
    if (ifin > TAM_BUFFER_RAW) ifin = TAM_BUFFER_RAW;
    if (ifin >= 1 && cbuffer_raw[ifin - 1] == '\n') --ifin;
    if (ifin >= 1 && cbuffer_raw[ifin - 1] == '\r') --ifin;
    uint16_t iinicio = ifin;
    while (iinicio > 0 && cbuffer_raw[iinicio - 1] != '\n') --iinicio;
    for (uint16_t i = iinicio; i < ifin; ++i) inserto_caracter_kvx03(cbuffer_raw[i]);
}

// Code 17: sign, then whole minutes (3 digits) and seconds (2 digits) of Tiempo_Resta, or
// 250 when the difference exceeds 250 minutes. Worked in 64 bits: the magnitude of the
// most negative 32-bit value does not fit in 32.
static void inserto_tiempo_resta() {
    int64_t lldiferencia = Tiempo_Resta;
    inserto_valor_kvx03(lldiferencia >= 0 ? 1 : 0, 1, ',');
    int64_t llabsoluta = lldiferencia >= 0 ? lldiferencia : -lldiferencia;
    int64_t llminutos = llabsoluta / 60;
    if (llabsoluta > MINUTOS_MAXIMOS_TIEMPO_RESTA * 60) {
        inserto_valor_kvx03(static_cast<uint32_t>(MINUTOS_MAXIMOS_TIEMPO_RESTA), 0, TERMINADOR_NINGUNO);
        return;
    }
    inserto_valor_kvx03(static_cast<uint32_t>(llminutos), 3, TERMINADOR_NINGUNO);
    inserto_valor_kvx03(static_cast<uint32_t>(llabsoluta % 60), 2, TERMINADOR_NINGUNO);
}

uint8_t telecomando_grupo_1(uint32_t lcodigo) {
    // Codes 24 to 29 and those outside 1..31 are not commands: no reply.
    if (lcodigo < 1 || lcodigo > 31 || (lcodigo >= 24 && lcodigo <= 29)) return 0;
    uint8_t ccodigo = static_cast<uint8_t>(lcodigo);
    comienzo_respuesta_kvx03(1);

    switch (ccodigo) {
    case 1:
        if (cpeticion_nueva_hora == 0) {
            cpeticion_nueva_hora = 1;
            inserto_valor_kvx03(KVX03_HECHO, 2, TERMINADOR_NINGUNO);
        } else {
            inserto_valor_kvx03(2, 2, TERMINADOR_NINGUNO);
        }
        break;
    case 2:
        // The main loop sends this reply before it stops feeding the watchdog.
        creset = 1;
        inserto_valor_kvx03(KVX03_HECHO, 2, TERMINADOR_NINGUNO);
        break;
    case 3:
        inserto_estado_y_codigo(ccodigo);
        for (uint8_t i = 0; i < CTD_TAM_DATOS_SBG; ++i) inserto_volcado_hex(ctrama_sensor_rx[i]);
        break;
    case 4:
        if (ctam_trama_promedio == CTE_TAM_TRAMA_RES) {
            inserto_estado_y_codigo(ccodigo);
            uint16_t itam = ctam_trama_promedio < TAM_BUFFER_PROMEDIO ? ctam_trama_promedio : TAM_BUFFER_PROMEDIO;
            for (uint16_t i = 0; i < itam; ++i) inserto_caracter_kvx03(cbuffer_promedio[i]);
        } else {
            inserto_valor_kvx03(KVX03_HECHO, 2, TERMINADOR_NINGUNO);
        }
        break;
    case 5:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(lectura_variable_contador_reinicios(), 5, TERMINADOR_NINGUNO);
        break;
    case 6:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(lectura_variable_porcentaje_SD(), 3, TERMINADOR_NINGUNO);
        break;
    case 7: {
        uint16_t icuenta = ibytes_a_escribir_sd[TIPO_BUFFER_RAW];
        Serial1.print("LongRAW=");
        Serial1.println(icuenta);
        Serial1.println(cbuffer_raw);
        if (icuenta == 0) {
            inserto_valor_kvx03(KVX03_HECHO, 2, TERMINADOR_NINGUNO);
        } else {
            inserto_estado_y_codigo(ccodigo);
            inserto_ultimo_registro_raw();
        }
        break;
    }
    case 8:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(cdia_utc, 2, ',');
        inserto_valor_kvx03(cmes_utc, 2, ',');
        inserto_valor_kvx03(cano_utc, 2, ',');
        inserto_valor_kvx03(chora_utc, 2, ',');
        inserto_valor_kvx03(cminuto_utc, 2, ',');
        inserto_valor_kvx03(lectura_variable_porcentaje_SD(), 3, ',');
        inserto_valor_kvx03(lectura_variable_contador_reinicios(), 5, ',');
        inserto_valor_kvx03(dd_ola, 2, ',');
        inserto_valor_kvx03(mm_ola, 2, ',');
        inserto_valor_kvx03(yy_ola, 2, ',');
        inserto_valor_kvx03(HH_ola, 2, ',');
        inserto_valor_kvx03(MM_ola, 2, ',');
        inserto_valor_kvx03(resSbgOk, 1, ',');
        inserto_valor_kvx03(resSdOk, 1, TERMINADOR_NINGUNO);
        break;
    case 9:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(CTE_PERMITIR_ESCRITURA_SD_EEPROM, 3, TERMINADOR_NINGUNO);
        break;
    case 10:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(CTE_PERMITIR_ESCRITURA_SD, 3, TERMINADOR_NINGUNO);
        break;
    case 11:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(readEEPROM_variable(EE_CONTADOR_FICHEROS, 2), 5, TERMINADOR_NINGUNO);
        break;
    case 12:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(lectura_variable_Tope_Maximo_Ficheros(), 5, TERMINADOR_NINGUNO);
        break;
    case 13:
    case 14:
        // The format runs to completion before the reply is built.
        formateo_sd_por_telemando(ccodigo);
        inserto_estado_y_codigo(ccodigo);
        break;
    case 15:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(CTE_AJUSTE_RELOJ, 3, TERMINADOR_NINGUNO);
        break;
    case 16:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(static_cast<uint32_t>(CTE_VELOCIDAD_RELOJ), 5, TERMINADOR_NINGUNO);
        break;
    case 17:
        Serial1.print("TIEMPO RESTA = ");
        Serial1.println(Tiempo_Resta);
        inserto_estado_y_codigo(ccodigo);
        inserto_tiempo_resta();
        break;
    case 18:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(CTE_USO_APP_KVX03, 1, TERMINADOR_NINGUNO);
        break;
    case 19:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(lectura_variable_Baudrate_KVX(), 1, TERMINADOR_NINGUNO);
        break;
    case 20:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(cdebug_sensor, 1, TERMINADOR_NINGUNO);
        break;
    case 21:
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(CTE_MODO_TRANSPARENTE, 1, TERMINADOR_NINGUNO);
        break;
    case 22:
        inserto_estado_y_codigo(ccodigo);
        for (uint16_t idireccion = 0; idireccion <= EE_ULTIMA_DIRECCION_BORRADO; ++idireccion) {
            inserto_volcado_hex(static_cast<uint8_t>(readEEPROM_variable(idireccion, 1)));
        }
        break;
    case 23:
        grabacion_parametros_por_defecto_secundarios_al_inicializar_SD(23);
        inserto_valor_kvx03(KVX03_HECHO, 2, ',');
        inserto_valor_kvx03(ccodigo, 0, TERMINADOR_NINGUNO);
        break;
    case 30:
        borrar_eeprom = borrar_eeprom == 0 ? 1 : 0;
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(borrar_eeprom, 1, TERMINADOR_NINGUNO);
        break;
    case 31:
        if (borrar_eeprom != 0) {
            borrar_eeprom = static_cast<uint8_t>(borrar_eeprom + 1);
            if (borrar_eeprom >= PASOS_BORRADO_EEPROM) {
                borrar_eeprom = 0;
                borrado_eeprom();
            }
        }
        inserto_estado_y_codigo(ccodigo);
        inserto_valor_kvx03(borrar_eeprom, 1, TERMINADOR_NINGUNO);
        break;
    default:
        break;
    }
    return 1;
}

// ---------------------------------------------------------------- groups 2 and 3

void telecomando_grupo_2() {
    inserto_valor_kvx03(choras_sincronizacion_gps, 2, ',');
    inserto_valor_kvx03(CTE_FACTOR_CORRECCION_DIRECCION_STANDAR, 1, ',');
    inserto_valor_kvx03(CTE_METODO_DIRECCION, 1, ',');
    inserto_valor_kvx03(static_cast<uint32_t>(CTE_PROCESAR_OLA_ALTURA_MINIMA), 5, ',');
    inserto_valor_kvx03(static_cast<uint32_t>(CTE_PROCESAR_OLA_ALTURA_MAXIMA), 5, ',');
    inserto_valor_kvx03(CTE_PROCESAR_OLA_PERIODO_MINIMO % 100u, 2, ',');
    inserto_valor_kvx03(CTE_PROCESAR_OLA_PERIODO_MAXIMO % 100u, 2, ',');
    inserto_valor_kvx03(static_cast<uint32_t>(CTE_INTERVALO_PROMEDIO), 2, ',');
    inserto_valor_kvx03(cfrecuencia_muestreo, 1, ',');
    inserto_valor_kvx03(csensor_con_gps, 1, ',');
    inserto_valor_kvx03(cg_impacto_leve, 3, ',');
    inserto_valor_kvx03(cg_impacto_medio, 3, ',');
    inserto_valor_kvx03(cg_impacto_grave, 3, ',');
    inserto_valor_kvx03(icanales_activados_sensor, 5, TERMINADOR_NINGUNO);
}

static uint8_t intervalo_valido(uint32_t lvalor) {
    switch (lvalor) {
    case 0: case 1: case 2: case 3: case 4: case 10: case 15: case 20: case 30: case 60: return 1;
    default: return 0;
    }
}

void telecomando_grupo_3() {
    uint32_t l = 0;
    // Ranges are checked on the whole received number, before it is cut to its variable's
    // width, so that 257 hours is refused rather than taken as 1.
    if (campo_kvx03(2, &l) && l >= 1 && l <= 24) choras_sincronizacion_gps = static_cast<uint8_t>(l);
    if (campo_kvx03(3, &l) && l <= 1) CTE_FACTOR_CORRECCION_DIRECCION_STANDAR = static_cast<uint8_t>(l);
    // Field 4 (the method) is read, but only the velocity method is offered.
    campo_kvx03(4, &l);
    CTE_METODO_DIRECCION = 0;
    // Heights and periods get the ranges the next start-up would enforce: a value outside
    // them would steer the analysis until then and be replaced afterwards (a minimum height
    // above 3000 would even reset the sensor settings), so it is refused now instead.
    if (campo_kvx03(5, &l) && l <= static_cast<uint32_t>(ALTURA_OLA_LIMITE)) CTE_PROCESAR_OLA_ALTURA_MINIMA = static_cast<int32_t>(l);
    if (campo_kvx03(6, &l) && l <= static_cast<uint32_t>(ALTURA_OLA_LIMITE)) CTE_PROCESAR_OLA_ALTURA_MAXIMA = static_cast<int32_t>(l);
    if (campo_kvx03(7, &l) && l <= PERIODO_OLA_LIMITE) CTE_PROCESAR_OLA_PERIODO_MINIMO = static_cast<uint16_t>(l);
    if (campo_kvx03(8, &l) && l <= PERIODO_OLA_LIMITE) CTE_PROCESAR_OLA_PERIODO_MAXIMO = static_cast<uint16_t>(l);
    if (campo_kvx03(9, &l) && intervalo_valido(l)) CTE_INTERVALO_PROMEDIO = static_cast<int32_t>(l);
    // Settings kept for the host: their low byte, the channel mask its 16 bits.
    if (campo_kvx03(10, &l)) cfrecuencia_muestreo = static_cast<uint8_t>(l);
    if (campo_kvx03(11, &l)) csensor_con_gps = static_cast<uint8_t>(l);
    if (campo_kvx03(12, &l)) cg_impacto_leve = static_cast<uint8_t>(l);
    if (campo_kvx03(13, &l)) cg_impacto_medio = static_cast<uint8_t>(l);
    if (campo_kvx03(14, &l)) cg_impacto_grave = static_cast<uint8_t>(l);
    if (campo_kvx03(15, &l)) icanales_activados_sensor = static_cast<uint16_t>(l);
    escritura_variables();
}

// ---------------------------------------------------------------- group 4: the clock

uint8_t telecomando_grupo_4() {
    uint32_t lano = 0, lmes = 0, ldia = 0, lhora = 0, lminuto = 0, lsegundo = 0;
    if (!campo_kvx03(2, &lano) || !campo_kvx03(3, &lmes) || !campo_kvx03(4, &ldia) ||
        !campo_kvx03(5, &lhora) || !campo_kvx03(6, &lminuto) || !campo_kvx03(7, &lsegundo)) {
        return KVX03_RECHAZADO;
    }
    if (lano < ANO_MINIMO_RELOJ || lano > ANO_MAXIMO_RELOJ) return KVX03_RECHAZADO;
    if (lmes < 1 || lmes > 12) return KVX03_RECHAZADO;
    // Common-year month lengths: 29 February is refused in every year.
    if (ldia < 1 || ldia > cmeses[lmes - 1]) return KVX03_RECHAZADO;
    if (lhora > 23 || lminuto > 59 || lsegundo > 59) return KVX03_RECHAZADO;
    cano_utc = static_cast<uint8_t>(lano);
    cmes_utc = static_cast<uint8_t>(lmes);
    cdia_utc = static_cast<uint8_t>(ldia);
    chora_utc = static_cast<uint8_t>(lhora);
    cminuto_utc = static_cast<uint8_t>(lminuto);
    csegundo_utc = static_cast<uint8_t>(lsegundo);
    cmostramos_hora = 1;
    crear_ficheros_axiliares = 1;
    return KVX03_HECHO;
}

// ---------------------------------------------------------------- group 7: SD writing

static void caracteres_consola(char ccaracter, uint8_t ccantidad) {
    for (uint8_t i = 0; i < ccantidad; ++i) Serial1.print(ccaracter);
}

void telecomando_grupo_7() {
    caracteres_consola('=', IGUALES_ANTES_ESCRITURA_SD);
    Serial1.print("> ENTRA EN ESCRITURA SD <");
    caracteres_consola('=', IGUALES_DESPUES_ESCRITURA_SD);
    uint32_t l = 0;
    if (!campo_kvx03(2, &l)) return;
    uint8_t canterior = lectura_variable_permitir_escritura_SD();
    uint8_t cnuevo = bandera(l);
    escritura_variable_permitir_escritura_SD(cnuevo);
    CTE_PERMITIR_ESCRITURA_SD_EEPROM = cnuevo;
    if (cnuevo == 0) {
        caracteres_consola('\t', TABULADORES_ESCRITURA_SD);
        Serial1.println("==> Anulada por Telemando la escritura SD.");
        CTE_PERMITIR_ESCRITURA_SD = 0;
        ctarjeta_sd_inicializada = 0;
        NOMBRE_FICHERO_RES[0] = 0;
        NOMBRE_FICHERO_RAW[0] = 0;
        NOMBRE_FICHERO_WAV[0] = 0;
    } else if (canterior == 0) {
        caracteres_consola('\t', TABULADORES_ESCRITURA_SD);
        Serial1.print("==> Futura revisi\xEF\xBF\xBDn n\xEF\xBF\xBD resets cuando haya hora: ");
        Serial1.println(cfecha_capturada);
        // The reset accounting decides again, once the date is known, whether writing is allowed.
        cRevision_Resets_24h = 1;
        ctarjeta_sd_inicializada = 0;
    }
}

// ---------------------------------------------------------------- group 13: host baud rate

uint8_t telecomando_grupo_13() {
    uint32_t lcodigo = 0;
    if (!campo_kvx03(2, &lcodigo) || lcodigo > BAUDRATE_KVX_CODIGO_MAXIMO) return KVX03_RECHAZADO;
    int32_t lbaudios = transformacion_Baudrate_KVX(static_cast<uint8_t>(lcodigo));
    caracteres_consola('\t', TABULADORES_BAUDRATE);
    Serial1.print("==> Actualizar Baudrate en KVX: ");
    Serial1.print(lbaudios);
    switch (lbaudios) {
    case 4800: case 9600: case 14400: case 19200: case 28800: case 38400: case 56000: case 57600: case 115200:
        break;
    default:
        Serial1.println(" FAIL.");
        return KVX03_RECHAZADO;
    }
    escritura_variable_Baudrate_KVX(static_cast<uint8_t>(lcodigo));
    // What is still queued leaves at the old rate; the reply leaves at the new one.
    Serial0.flush();
    Serial0.end();
    Serial0.begin(static_cast<uint32_t>(lbaudios));
    // The rate in use is the new one from now on (the start-up reads the same code).
    CTE_BAUDRATE_KVX = static_cast<uint32_t>(lbaudios);
    Serial1.println(" OK.");
    return KVX03_HECHO;
}

// ---------------------------------------------------------------- validation and dispatch

void procesamos_trama_kvx03() {
    uint8_t ccantidad = ccantidad_bytes_rx_kvx03;
    if (ccantidad > TAM_TRAMA_RX_KVX03) ccantidad = TAM_TRAMA_RX_KVX03;
    if (CTE_MODO_TRANSPARENTE == 1) Serial2.write(ctrama_rx_kvx03, ccantidad);

    uint8_t cchecksum = 0;
    uint8_t cvalido = comprobacion_checksum_nmea(ctrama_rx_kvx03, 0, ccantidad, &cchecksum);
    Serial1.print(cvalido);
    Serial1.println("_Fin Comprobar_checksum");
    if (cvalido != 1) return;
    if (ccantidad < LONGITUD_CABECERA_KVX03) return;
    if (comparacion(0, ctrama_rx_kvx03, m_trama_kvx03, 0) != 1) return;

    // The group is compared whole: 259 is not group 3, and an empty group is no group.
    uint32_t lgrupo = 0;
    if (!campo_kvx03(1, &lgrupo) || lgrupo < 1 || lgrupo > 15) return;
    uint8_t cgrupo = static_cast<uint8_t>(lgrupo);

    if (cgrupo == 1) {
        uint32_t lcodigo = 0;
        if (!campo_kvx03(2, &lcodigo)) return;
        uint8_t cformato = lcodigo == 14 ? 1 : 0;
        if (telecomando_grupo_1(lcodigo) == 0) return;
        fin_trama_kvx03();
        if (cformato == 1) {
            Serial0.println("");
            Serial0.println("Format done!");
        }
        // Dumps are shown on the console too.
        if (lcodigo == 3 || lcodigo == 22) Serial1.print(cbuffer_kvx03);
        return;
    }

    comienzo_respuesta_kvx03(cgrupo);
    uint8_t cestado = KVX03_HECHO;
    uint32_t l = 0;
    switch (cgrupo) {
    case 2:
        telecomando_grupo_2();
        fin_trama_kvx03();
        return;
    case 3:
        telecomando_grupo_3();
        break;
    case 4:
        cestado = telecomando_grupo_4();
        break;
    case 5:
        if (campo_kvx03(2, &l)) {
            uint16_t icuenta = static_cast<uint16_t>(l);
            escritura_variable_contador_reinicios(icuenta);
            escritura_variable_contador_reinicios_24H(icuenta);
            // The RAM copy holds what the field holds (counts above 65530 are stored as 0).
            REINICIOS_24H = icuenta > LIMITE_CONTADOR_EEPROM ? 0 : icuenta;
            CTE_PERMITIR_ESCRITURA_SD = CTE_PERMITIR_ESCRITURA_SD_EEPROM;
        }
        break;
    case 6:
        if (campo_kvx03(2, &l)) escritura_variable_porcentaje_SD(static_cast<uint8_t>(l));
        break;
    case 7:
        telecomando_grupo_7();
        break;
    case 8:
        if (campo_kvx03(2, &l)) {
            uint16_t icuenta = static_cast<uint16_t>(l);
            escritura_variable_contador_Ficheros(icuenta);
            ContadorNumeroFicheros = icuenta > LIMITE_CONTADOR_EEPROM ? 0 : icuenta;
        }
        break;
    case 9:
        if (campo_kvx03(2, &l)) {
            uint16_t icuenta = static_cast<uint16_t>(l);
            escritura_variable_Tope_Maximo_Ficheros(icuenta);
            CTE_NUMERO_MAXIMO_FICHEROS = icuenta > LIMITE_CONTADOR_EEPROM ? 0 : icuenta;
        }
        break;
    case 10:
        if (campo_kvx03(2, &l)) {
            escritura_variable_permitir_ajuste_reloj(bandera(l));
            CTE_AJUSTE_RELOJ = bandera(l);
        }
        break;
    case 11:
        if (campo_kvx03(2, &l)) {
            // Checked whole, before any cut to 16 bits.
            if (l < VELOCIDAD_RELOJ_MINIMA || l > VELOCIDAD_RELOJ_MAXIMA) l = VELOCIDAD_RELOJ_NOMINAL;
            escritura_variable_Velocidad_Reloj(static_cast<uint16_t>(l));
            CTE_VELOCIDAD_RELOJ = static_cast<int32_t>(l);
            setup_timerTC0(1, l);
            start_timerTC0();
        }
        break;
    case 12:
        if (campo_kvx03(2, &l)) CTE_USO_APP_KVX03 = static_cast<uint8_t>(l);
        break;
    case 13:
        cestado = telecomando_grupo_13();
        break;
    case 14:
        if (campo_kvx03(2, &l)) CTE_MODO_TRANSPARENTE = static_cast<uint8_t>(l);
        break;
    case 15:
        if (campo_kvx03(2, &l)) modulo_gps.cdebug = static_cast<uint8_t>(l);
        break;
    default:
        return;
    }
    inserto_valor_kvx03(cestado, 2, TERMINADOR_NINGUNO);
    fin_trama_kvx03();
}
