// The parameter store: RAM copies of the EEPROM variable map, their accessors, the start-up
// load with range repair, and the default writers. Parameters are written through: whoever
// changes one sets the RAM copy and writes its field in the same step. Main loop only.
#include "params/memoria.h"

#include "console/comunicaciones_pc.h"
#include "core/timebase.h"
#include "declaraciones.h"
#include "params/i2c.h"
#include "platform.h"

// ---------------------------------------------------------------- RAM copies
volatile uint8_t choras_sincronizacion_gps = 0;
int32_t CTE_PROCESAR_OLA_ALTURA_MINIMA = 0;
int32_t CTE_PROCESAR_OLA_ALTURA_MAXIMA = 3000;
uint16_t CTE_PROCESAR_OLA_PERIODO_MINIMO = 1;
uint16_t CTE_PROCESAR_OLA_PERIODO_MAXIMO = 30;
int32_t CTE_INTERVALO_PROMEDIO = 0;
uint8_t cfrecuencia_muestreo = 0;
uint8_t csensor_con_gps = 0;
uint8_t cg_impacto_leve = 0;
uint8_t cg_impacto_medio = 0;
uint8_t cg_impacto_grave = 0;
uint16_t icanales_activados_sensor = 0;
uint8_t CTE_FACTOR_CORRECCION_DIRECCION_STANDAR = 1;
uint8_t CTE_METODO_DIRECCION = 0;
uint8_t CTE_PORCENTAJE_FULL_SD = 255;
uint16_t REINICIOS_24H = 0;
uint8_t REINICIOS_24H_DIA = 0;
uint8_t CTE_PERMITIR_ESCRITURA_SD = 1;
uint8_t CTE_PERMITIR_ESCRITURA_SD_EEPROM = 1;
uint16_t ContadorNumeroFicheros = 0;
uint16_t CTE_NUMERO_MAXIMO_FICHEROS = 100;
volatile uint8_t CTE_AJUSTE_RELOJ = 1;
int32_t CTE_VELOCIDAD_RELOJ = VELOCIDAD_RELOJ_NOMINAL;
uint32_t CTE_BAUDRATE_KVX = BAUDIOS_KVX_POR_DEFECTO;
uint8_t CTE_LIMITE_MAX_USO_SD = 99;

// Host baud-rate codes 0..8 stored at address 31.
static const int32_t lbaudios_kvx[BAUDRATE_KVX_CODIGO_MAXIMO + 1] = {
    4800, 9600, 14400, 19200, 28800, 38400, 56000, 57600, 115200};

// Averaging interval codes accepted at start-up: 0..4 select an interval, the others are
// minutes.
static const uint8_t cintervalos_validos[] = {0, 1, 2, 3, 4, 10, 15, 20, 30, 60};

// ---------------------------------------------------------------- accessors

// Stores a 2-byte counter, replacing a value above 65530 by 0.
static void escritura_contador(uint16_t contador, uint16_t idireccion) {
    if (contador > LIMITE_CONTADOR_EEPROM) contador = 0;
    writeEEPROM_variable(contador, idireccion, 2);
}

void escritura_variable_contador_reinicios(uint16_t contador) {
    if (contador > LIMITE_CONTADOR_EEPROM) {
        // The day's start value belongs to the old count: clear it with the count.
        escritura_variable_contador_reinicios_24H(0);
        contador = 0;
    }
    writeEEPROM_variable(contador, EE_CONTADOR_REINICIOS, 2);
}

void escritura_variable_porcentaje_SD(uint8_t valor) { writeEEPROM_variable(valor, EE_PORCENTAJE_SD, 1); }
void escritura_variable_contador_reinicios_24H(uint16_t contador) { escritura_contador(contador, EE_REINICIOS_24H); }
void escritura_variable_contador_reinicios_24H_DIA(uint8_t valor) { writeEEPROM_variable(valor, EE_REINICIOS_24H_DIA, 1); }
void escritura_variable_permitir_escritura_SD(uint8_t valor) { writeEEPROM_variable(valor, EE_PERMITIR_ESCRITURA_SD, 1); }
void escritura_variable_contador_Ficheros(uint16_t contador) { escritura_contador(contador, EE_CONTADOR_FICHEROS); }
void escritura_variable_Tope_Maximo_Ficheros(uint16_t contador) { escritura_contador(contador, EE_TOPE_FICHEROS); }
void escritura_variable_permitir_ajuste_reloj(uint8_t valor) { writeEEPROM_variable(valor, EE_AJUSTE_RELOJ, 1); }
void escritura_variable_Velocidad_Reloj(uint16_t valor) { writeEEPROM_variable(valor, EE_VELOCIDAD_RELOJ, 2); }
void escritura_variable_Baudrate_KVX(uint8_t valor) { writeEEPROM_variable(valor, EE_BAUDRATE_KVX, 1); }

uint16_t lectura_variable_contador_reinicios() { return static_cast<uint16_t>(readEEPROM_variable(EE_CONTADOR_REINICIOS, 2)); }
uint8_t lectura_variable_porcentaje_SD() { return static_cast<uint8_t>(readEEPROM_variable(EE_PORCENTAJE_SD, 1)); }
uint8_t lectura_variable_permitir_escritura_SD() { return static_cast<uint8_t>(readEEPROM_variable(EE_PERMITIR_ESCRITURA_SD, 1)); }
uint16_t lectura_variable_Tope_Maximo_Ficheros() { return static_cast<uint16_t>(readEEPROM_variable(EE_TOPE_FICHEROS, 2)); }
uint8_t lectura_variable_permitir_ajuste_reloj() { return static_cast<uint8_t>(readEEPROM_variable(EE_AJUSTE_RELOJ, 1)); }
uint8_t lectura_variable_Baudrate_KVX() { return static_cast<uint8_t>(readEEPROM_variable(EE_BAUDRATE_KVX, 1)); }

void escritura_variables() {
    writeEEPROM_variable(choras_sincronizacion_gps, EE_HORAS_SINCRONIZACION_GPS, 1);
    writeEEPROM_variable(CTE_FACTOR_CORRECCION_DIRECCION_STANDAR, EE_FACTOR_CORRECCION, 1);
    writeEEPROM_variable(CTE_METODO_DIRECCION, EE_METODO_DIRECCION, 1);
    writeEEPROM_variable(static_cast<uint32_t>(CTE_PROCESAR_OLA_ALTURA_MINIMA), EE_ALTURA_MINIMA, 2);
    writeEEPROM_variable(static_cast<uint32_t>(CTE_PROCESAR_OLA_ALTURA_MAXIMA), EE_ALTURA_MAXIMA, 2);
    writeEEPROM_variable(CTE_PROCESAR_OLA_PERIODO_MINIMO, EE_PERIODO_MINIMO, 1);
    writeEEPROM_variable(CTE_PROCESAR_OLA_PERIODO_MAXIMO, EE_PERIODO_MAXIMO, 1);
    writeEEPROM_variable(static_cast<uint32_t>(CTE_INTERVALO_PROMEDIO), EE_INTERVALO_PROMEDIO, 1);
    writeEEPROM_variable(cfrecuencia_muestreo, EE_FRECUENCIA_MUESTREO, 1);
    writeEEPROM_variable(csensor_con_gps, EE_SENSOR_CON_GPS, 1);
    writeEEPROM_variable(cg_impacto_leve, EE_IMPACTO_LEVE, 1);
    writeEEPROM_variable(cg_impacto_medio, EE_IMPACTO_MEDIO, 1);
    writeEEPROM_variable(cg_impacto_grave, EE_IMPACTO_GRAVE, 1);
    writeEEPROM_variable(icanales_activados_sensor, EE_CANALES_SENSOR, 2);
}

// ---------------------------------------------------------------- defaults in RAM

// The sensor settings kept for the host (addresses 8..14).
static void valores_por_defecto_sensor() {
    cfrecuencia_muestreo = 1;
    csensor_con_gps = 0;
    cg_impacto_leve = 1;
    cg_impacto_medio = 2;
    cg_impacto_grave = 3;
    icanales_activados_sensor = 0xFFFF;
}

static void valores_por_defecto_configuracion() {
    choras_sincronizacion_gps = 4;
    CTE_FACTOR_CORRECCION_DIRECCION_STANDAR = 1;
    CTE_METODO_DIRECCION = 0;
    CTE_PROCESAR_OLA_ALTURA_MINIMA = 0;
    CTE_PROCESAR_OLA_ALTURA_MAXIMA = 3000;
    CTE_PROCESAR_OLA_PERIODO_MINIMO = 3;
    CTE_PROCESAR_OLA_PERIODO_MAXIMO = 90;
    CTE_INTERVALO_PROMEDIO = 20;
    valores_por_defecto_sensor();
}

// RAM side of the reset counts, SD permission and file counters of the secondary defaults.
static void valores_por_defecto_contadores() {
    CTE_PERMITIR_ESCRITURA_SD = 1;
    CTE_PERMITIR_ESCRITURA_SD_EEPROM = 1;
    REINICIOS_24H = 0;
    REINICIOS_24H_DIA = 0;
    CTE_NUMERO_MAXIMO_FICHEROS = 100;
    ContadorNumeroFicheros = 0;
}

// EEPROM side of the same six fields, in the order of the secondary group.
static void escritura_contadores_por_defecto() {
    escritura_variable_contador_reinicios(0);
    escritura_variable_permitir_escritura_SD(1);
    escritura_variable_contador_reinicios_24H(0);
    escritura_variable_contador_reinicios_24H_DIA(0);
    escritura_variable_Tope_Maximo_Ficheros(100);
    escritura_variable_contador_Ficheros(0);
}

// ---------------------------------------------------------------- default writers

void grabacion_parametros_por_defecto_configuracion() {
    valores_por_defecto_configuracion();
    escritura_variables();
    Serial1.println(" -> Fin grabaci\xEF\xBF\xBDn par\xEF\xBF\xBD" "metros por defecto.");
}

void grabacion_parametros_por_defecto_secundarios() {
    escritura_contadores_por_defecto();
    valores_por_defecto_contadores();
    escritura_variable_permitir_ajuste_reloj(1);
    escritura_variable_Velocidad_Reloj(VELOCIDAD_RELOJ_NOMINAL);
    escritura_variable_Baudrate_KVX(BAUDRATE_KVX_CODIGO_POR_DEFECTO);
    CTE_AJUSTE_RELOJ = 1;
    CTE_VELOCIDAD_RELOJ = VELOCIDAD_RELOJ_NOMINAL;
    Serial1.println(" -> Fin grabaci\xEF\xBF\xBDn par\xEF\xBF\xBD" "metros secundarios por defecto.");
}

void grabacion_parametros_por_defecto_secundarios_al_inicializar_SD(uint8_t nTelemando) {
    escritura_contadores_por_defecto();
    valores_por_defecto_contadores();
    if (CTE_AJUSTE_RELOJ > 1) {
        CTE_AJUSTE_RELOJ = 1;
        escritura_variable_permitir_ajuste_reloj(1);
        CTE_VELOCIDAD_RELOJ = VELOCIDAD_RELOJ_NOMINAL;
        escritura_variable_Velocidad_Reloj(VELOCIDAD_RELOJ_NOMINAL);
    }

    Serial1.println("COMANDOS PREVIOS: ");
    Serial0.print("");
    Serial0.print("Previous commands: ");

    uint16_t itotal = lectura_variable_contador_reinicios();
    uint16_t i24h = static_cast<uint16_t>(readEEPROM_variable(EE_REINICIOS_24H, 2));
    uint8_t cdia = static_cast<uint8_t>(readEEPROM_variable(EE_REINICIOS_24H_DIA, 1));
    Serial1.print("\tn\xEF\xBF\xBD reinicios = ");
    Serial1.print(itotal);
    Serial1.print(" / ");
    Serial1.print(i24h);
    Serial1.print(" (");
    Serial1.print(cdia);
    Serial1.println(")");
    Serial0.print("resets: ");
    Serial0.print(itotal);
    Serial0.print("/");
    Serial0.print(i24h);
    Serial0.print("(");
    Serial0.print(cdia);
    Serial0.print(")  //  ");

    uint8_t cpermitir_eeprom = lectura_variable_permitir_escritura_SD();
    Serial1.print("\tPermitir escritura en SD =");
    Serial1.print(CTE_PERMITIR_ESCRITURA_SD);
    Serial1.print(" / ");
    Serial1.println(cpermitir_eeprom);
    Serial0.print("\tsd: ");
    Serial0.print(CTE_PERMITIR_ESCRITURA_SD);
    Serial0.print("/");
    Serial0.println(cpermitir_eeprom);

    Serial1.print("\tPermitir ajuste de reloj=");
    Serial1.println(lectura_variable_permitir_ajuste_reloj());
    Serial1.print("\tV. Reloj=");
    Serial1.print(CTE_VELOCIDAD_RELOJ);
    Serial1.print(" / EEPROM=");
    Serial1.println(readEEPROM_variable(EE_VELOCIDAD_RELOJ, 2));

    if (nTelemando != 23) Serial0.println("Format begins.");
}

// ---------------------------------------------------------------- start-up load

// True when every configuration variable holds the value of an erased chip.
static bool configuracion_borrada() {
    return choras_sincronizacion_gps == 255 && CTE_PROCESAR_OLA_ALTURA_MINIMA == 65535 &&
           CTE_PROCESAR_OLA_ALTURA_MAXIMA == 65535 && CTE_PROCESAR_OLA_PERIODO_MINIMO == 255 &&
           CTE_PROCESAR_OLA_PERIODO_MAXIMO == 255 && CTE_INTERVALO_PROMEDIO == 255 &&
           cfrecuencia_muestreo == 255 && csensor_con_gps == 255 && cg_impacto_leve == 255 &&
           cg_impacto_medio == 255 && cg_impacto_grave == 255 && icanales_activados_sensor == 65535 &&
           CTE_FACTOR_CORRECCION_DIRECCION_STANDAR == 255 && CTE_METODO_DIRECCION == 255;
}

static bool intervalo_valido(int32_t lintervalo) {
    for (uint8_t cvalor : cintervalos_validos) {
        if (lintervalo == cvalor) return true;
    }
    return false;
}

void revision_lectura_variables() {
    if (configuracion_borrada()) {
        Serial1.println("Grabacion de parametros por defecto.");
        grabacion_parametros_por_defecto_configuracion();
    }
    if (CTE_PERMITIR_ESCRITURA_SD == 255) {
        Serial1.println("Grabacion de parametros por defecto secundarios.");
        grabacion_parametros_por_defecto_secundarios();
    }
    Serial1.println("Revision de parametros.");

    uint8_t choras = static_cast<uint8_t>(readEEPROM_variable(EE_HORAS_SINCRONIZACION_GPS, 1));
    if (choras >= 1 && choras <= 24) {
        choras_sincronizacion_gps = choras;
    } else {
        choras_sincronizacion_gps = 1;
        writeEEPROM_variable(1, EE_HORAS_SINCRONIZACION_GPS, 1);
    }

    if (CTE_FACTOR_CORRECCION_DIRECCION_STANDAR > 1) {
        CTE_FACTOR_CORRECCION_DIRECCION_STANDAR = 1;
        writeEEPROM_variable(1, EE_FACTOR_CORRECCION, 1);
    }

    if (CTE_METODO_DIRECCION != 0) writeEEPROM_variable(0, EE_METODO_DIRECCION, 1);
    CTE_METODO_DIRECCION = 0;

    if (CTE_PROCESAR_OLA_ALTURA_MINIMA > ALTURA_OLA_LIMITE) {
        CTE_PROCESAR_OLA_ALTURA_MINIMA = 0;
        writeEEPROM_variable(0, EE_ALTURA_MINIMA, 2);
        valores_por_defecto_sensor();
        writeEEPROM_variable(cfrecuencia_muestreo, EE_FRECUENCIA_MUESTREO, 1);
        writeEEPROM_variable(csensor_con_gps, EE_SENSOR_CON_GPS, 1);
        writeEEPROM_variable(cg_impacto_leve, EE_IMPACTO_LEVE, 1);
        writeEEPROM_variable(cg_impacto_medio, EE_IMPACTO_MEDIO, 1);
        writeEEPROM_variable(cg_impacto_grave, EE_IMPACTO_GRAVE, 1);
        writeEEPROM_variable(icanales_activados_sensor, EE_CANALES_SENSOR, 2);
    }

    if (CTE_PROCESAR_OLA_ALTURA_MAXIMA > ALTURA_OLA_LIMITE) {
        CTE_PROCESAR_OLA_ALTURA_MAXIMA = ALTURA_OLA_LIMITE;
        writeEEPROM_variable(ALTURA_OLA_LIMITE, EE_ALTURA_MAXIMA, 2);
    }

    if (CTE_PROCESAR_OLA_PERIODO_MINIMO > PERIODO_OLA_LIMITE) {
        CTE_PROCESAR_OLA_PERIODO_MINIMO = 3;
        writeEEPROM_variable(3, EE_PERIODO_MINIMO, 1);
    }
    if (CTE_PROCESAR_OLA_PERIODO_MAXIMO > PERIODO_OLA_LIMITE) {
        CTE_PROCESAR_OLA_PERIODO_MAXIMO = 90;
        writeEEPROM_variable(90, EE_PERIODO_MAXIMO, 1);
    }

    if (!intervalo_valido(CTE_INTERVALO_PROMEDIO)) {
        CTE_INTERVALO_PROMEDIO = 20;
        writeEEPROM_variable(20, EE_INTERVALO_PROMEDIO, 1);
    }

    if (CTE_PERMITIR_ESCRITURA_SD > 1) {
        CTE_PERMITIR_ESCRITURA_SD = 1;
        CTE_PERMITIR_ESCRITURA_SD_EEPROM = 1;
        escritura_variable_permitir_escritura_SD(1);
    }

    if (REINICIOS_24H > LIMITE_CONTADOR_EEPROM) {
        REINICIOS_24H = 0;
        escritura_variable_contador_reinicios_24H(0);
    }

    if (REINICIOS_24H_DIA == 255) {
        REINICIOS_24H_DIA = 0;
        escritura_variable_contador_reinicios_24H_DIA(0);
    }

    if (lectura_variable_Baudrate_KVX() > BAUDRATE_KVX_CODIGO_MAXIMO) {
        escritura_variable_Baudrate_KVX(BAUDRATE_KVX_CODIGO_POR_DEFECTO);
    }

    if (CTE_AJUSTE_RELOJ > 1) {
        CTE_AJUSTE_RELOJ = 1;
        escritura_variable_permitir_ajuste_reloj(1);
    }
}

void lectura_de_variables() {
    linea();
    linea_asteriscos(79);
    Serial1.println("LECTURA DE PARAMETROS DE EEPROM.");

    choras_sincronizacion_gps = static_cast<uint8_t>(readEEPROM_variable(EE_HORAS_SINCRONIZACION_GPS, 1));
    CTE_FACTOR_CORRECCION_DIRECCION_STANDAR = static_cast<uint8_t>(readEEPROM_variable(EE_FACTOR_CORRECCION, 1));
    CTE_METODO_DIRECCION = static_cast<uint8_t>(readEEPROM_variable(EE_METODO_DIRECCION, 1));
    CTE_PROCESAR_OLA_ALTURA_MINIMA = static_cast<int32_t>(readEEPROM_variable(EE_ALTURA_MINIMA, 2));
    CTE_PROCESAR_OLA_ALTURA_MAXIMA = static_cast<int32_t>(readEEPROM_variable(EE_ALTURA_MAXIMA, 2));
    CTE_PROCESAR_OLA_PERIODO_MINIMO = static_cast<uint16_t>(readEEPROM_variable(EE_PERIODO_MINIMO, 1));
    CTE_PROCESAR_OLA_PERIODO_MAXIMO = static_cast<uint16_t>(readEEPROM_variable(EE_PERIODO_MAXIMO, 1));
    CTE_INTERVALO_PROMEDIO = static_cast<int32_t>(readEEPROM_variable(EE_INTERVALO_PROMEDIO, 1));
    cfrecuencia_muestreo = static_cast<uint8_t>(readEEPROM_variable(EE_FRECUENCIA_MUESTREO, 1));
    csensor_con_gps = static_cast<uint8_t>(readEEPROM_variable(EE_SENSOR_CON_GPS, 1));
    cg_impacto_leve = static_cast<uint8_t>(readEEPROM_variable(EE_IMPACTO_LEVE, 1));
    cg_impacto_medio = static_cast<uint8_t>(readEEPROM_variable(EE_IMPACTO_MEDIO, 1));
    cg_impacto_grave = static_cast<uint8_t>(readEEPROM_variable(EE_IMPACTO_GRAVE, 1));
    icanales_activados_sensor = static_cast<uint16_t>(readEEPROM_variable(EE_CANALES_SENSOR, 2));

    CTE_PORCENTAJE_FULL_SD = lectura_variable_porcentaje_SD();
    CTE_PERMITIR_ESCRITURA_SD = lectura_variable_permitir_escritura_SD();
    CTE_PERMITIR_ESCRITURA_SD_EEPROM = CTE_PERMITIR_ESCRITURA_SD;
    REINICIOS_24H = static_cast<uint16_t>(readEEPROM_variable(EE_REINICIOS_24H, 2));
    REINICIOS_24H_DIA = static_cast<uint8_t>(readEEPROM_variable(EE_REINICIOS_24H_DIA, 1));
    CTE_NUMERO_MAXIMO_FICHEROS = lectura_variable_Tope_Maximo_Ficheros();

    if (ceeprom_sin_respuesta != 0) {
        // The chip did not answer (message printed by the read): what came back is the
        // blank value, not the stored parameters. Run on the defaults in RAM and write
        // nothing; the timer keeps its nominal rate.
        valores_por_defecto_configuracion();
        valores_por_defecto_contadores();
        CTE_AJUSTE_RELOJ = 1;
        CTE_VELOCIDAD_RELOJ = VELOCIDAD_RELOJ_NOMINAL;
        return;
    }

    // The file count restarts at every start.
    escritura_variable_contador_Ficheros(0);
    ContadorNumeroFicheros = 0;

    CTE_AJUSTE_RELOJ = lectura_variable_permitir_ajuste_reloj();
    CTE_VELOCIDAD_RELOJ = VELOCIDAD_RELOJ_NOMINAL;

    revision_lectura_variables();

    if (CTE_AJUSTE_RELOJ == 0) {
        uint32_t lvelocidad = readEEPROM_variable(EE_VELOCIDAD_RELOJ, 2);
        if (lvelocidad >= VELOCIDAD_RELOJ_MINIMA && lvelocidad <= VELOCIDAD_RELOJ_MAXIMA) {
            CTE_VELOCIDAD_RELOJ = static_cast<int32_t>(lvelocidad);
        } else {
            CTE_VELOCIDAD_RELOJ = VELOCIDAD_RELOJ_NOMINAL;
            escritura_variable_Velocidad_Reloj(VELOCIDAD_RELOJ_NOMINAL);
        }
        setup_timerTC0(1, static_cast<uint32_t>(CTE_VELOCIDAD_RELOJ));
        start_timerTC0();
        Serial1.print("Sin ajuste de reloj. Velocidad fija: ");
        Serial1.println(CTE_VELOCIDAD_RELOJ);
    }
}

// ---------------------------------------------------------------- host baud rate

int32_t transformacion_Baudrate_KVX(uint8_t valor) {
    if (valor > BAUDRATE_KVX_CODIGO_MAXIMO) return -1;
    return lbaudios_kvx[valor];
}

uint8_t Establecer_Baudrate_KVX() {
    uint8_t ccodigo = lectura_variable_Baudrate_KVX();
    if (ccodigo > BAUDRATE_KVX_CODIGO_MAXIMO) return 0;
    int32_t lbaudios = transformacion_Baudrate_KVX(ccodigo);
    for (int32_t lvalido : lbaudios_kvx) {
        if (lbaudios == lvalido) {
            CTE_BAUDRATE_KVX = static_cast<uint32_t>(lbaudios);
            Serial0.end();
            Serial0.begin(CTE_BAUDRATE_KVX);
            return 1;
        }
    }
    return 0;
}
