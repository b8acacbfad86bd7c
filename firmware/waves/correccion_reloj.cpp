// Correction of the tick's rate. The board's 48 MHz oscillator is not exact, so the TC0
// compare value is measured at run time with two time bases: the firmware's own 100 ms
// count against the sensor's microsecond time stamps (once after start-up and after each
// GPS clock set), and the firmware's clock against GPS time between two GPS captures. The
// corrected value restarts the timebase and is kept at EEPROM 29 (16 bits). Main loop.
#include "waves/correccion_reloj.h"

#include <math.h>

#include "console/comunicaciones_pc.h"
#include "core/timebase.h"
#include "declaraciones.h"
#include "params/memoria.h"
#include "platform.h"
#include "waves/decodificacion.h"
#include "waves/tiempos.h"

uint8_t Tiempo_Ajustar_Hora = 1;
uint8_t Tiempo_Capturar_Hora_Inicial = 1;
uint8_t Tiempo_Revision_Hora_GPS = 0;
int32_t Tiempo_SBG_Ini = 0;
int32_t Tiempo_SBG_Fin = 0;
int32_t Tiempo_SBG_Diferencia = 0;
uint32_t CONT_TIEMPO_MICRO_FINAL = 0;
double Tiempo_Calculo = 0;
int32_t Tiempo_Diferencia_gps = 0;
int32_t Tiempo_Diferencia_Comparativa = 0;
int32_t Tiempo_Resta = 0;
uint8_t cdia_gps_anterior = 0, chora_gps_anterior = 0, cminuto_gps_anterior = 0, csegundo_gps_anterior = 0;
uint8_t cdia_comparativa = 0, chora_comparativa = 0, cminuto_comparativa = 0, csegundo_comparativa = 0;

static constexpr int32_t SEGUNDOS_DIA = 86400;
// A sample is taken as current when the sensor time and the board's millisecond clock
// advanced alike since the previous sample, within this many milliseconds (the count
// itself resolves 100 ms).
static constexpr uint32_t TOLERANCIA_MUESTRA_MS = 50;

// The previous sample seen, for the freshness test.
static int32_t lsensor_muestra_anterior = 0;
static uint32_t lmilisegundos_muestra_anterior = 0;
static uint8_t chay_muestra_anterior = 0;

// 1 when the sample now in TernaTiempos1 is current: the main loop may have been held
// (the SD free-space count holds it about 2 s, a GPS burst up to a second) while the
// sensor port's queue kept its oldest bytes, and the first sample decoded afterwards
// then carries a time stamp seconds old; the next one follows a gap of dropped frames.
// Starting or ending a measurement on either would read seconds of stall as oscillator
// error and push the compare value to its limit. Every sample updates the reference.
static uint8_t muestra_al_dia() {
    uint32_t lahora = millis();
    uint8_t cal_dia = 0;
    if (chay_muestra_anterior == 1) {
        uint32_t lsensor_ms = Diferencia_Timespan(lsensor_muestra_anterior, TernaTiempos1) / 1000;
        uint32_t lplaca_ms = lahora - lmilisegundos_muestra_anterior;
        uint32_t ldiferencia = lsensor_ms > lplaca_ms ? lsensor_ms - lplaca_ms : lplaca_ms - lsensor_ms;
        cal_dia = ldiferencia <= TOLERANCIA_MUESTRA_MS ? 1 : 0;
    }
    lsensor_muestra_anterior = TernaTiempos1;
    lmilisegundos_muestra_anterior = lahora;
    chay_muestra_anterior = 1;
    return cal_dia;
}

static int32_t segundos_del_dia(uint8_t chora, uint8_t cminuto, uint8_t csegundo) {
    return 3600 * static_cast<int32_t>(chora) + 60 * static_cast<int32_t>(cminuto) + csegundo;
}

// hh:mm:ss and a line end on the console.
static void imprimo_hora(uint8_t chora, uint8_t cminuto, uint8_t csegundo) {
    transmito_variable(chora, 2, ':');
    transmito_variable(cminuto, 2, ':');
    transmito_variable(csegundo, 2, TERMINADOR_LINEA);
}

// A computed compare value rounded half away from zero (it is positive) and clamped to
// 46500..49500 before it is converted, so no ratio can overflow the conversion.
static int32_t velocidad_limitada(double dvalor) {
    if (dvalor >= VELOCIDAD_RELOJ_CORREGIDA_MAXIMA) return VELOCIDAD_RELOJ_CORREGIDA_MAXIMA;
    if (dvalor <= VELOCIDAD_RELOJ_CORREGIDA_MINIMA) return VELOCIDAD_RELOJ_CORREGIDA_MINIMA;
    return static_cast<int32_t>(floor(dvalor + 0.5));
}

static void imprimo_limites() {
    Serial1.println("Limites establecidos permitidos: [46500, 49500]  OJO!!");
}

// Restarts the timebase with CTE_VELOCIDAD_RELOJ and keeps it in the parameter store.
static void aplico_velocidad_reloj() {
    setup_timerTC0(1, static_cast<uint32_t>(CTE_VELOCIDAD_RELOJ));
    start_timerTC0();
    escritura_variable_Velocidad_Reloj(static_cast<uint16_t>(CTE_VELOCIDAD_RELOJ));
}

// GPS time against the firmware's clock between the previous capture and the latest one.
static void comparacion_reloj_gps() {
    Tiempo_Revision_Hora_GPS = 0;
    Tiempo_Capturar_Hora_Inicial = 0;
    Tiempo_Ajustar_Hora = 0;

    Serial1.print("Hora anterior GPS:");
    imprimo_hora(chora_gps_anterior, cminuto_gps_anterior, csegundo_gps_anterior);
    Serial1.print("Hora actual UTC:");
    imprimo_hora(chora_comparativa, cminuto_comparativa, csegundo_comparativa);
    Serial1.print("Hora actual GPS:");
    imprimo_hora(modulo_gps.chora_zda, modulo_gps.cminuto_zda, modulo_gps.csegundo_zda);
    Serial1.print("CTE_VELOCIDAD_RELOJ: ");
    Serial1.println(CTE_VELOCIDAD_RELOJ);

    int32_t lanterior = segundos_del_dia(chora_gps_anterior, cminuto_gps_anterior, csegundo_gps_anterior);
    Tiempo_Diferencia_gps =
        segundos_del_dia(modulo_gps.chora_zda, modulo_gps.cminuto_zda, modulo_gps.csegundo_zda) - lanterior;
    if (cdia_gps_anterior != modulo_gps.cdia_zda) {
        Serial1.println("Cambio de dia. ");
        Tiempo_Diferencia_gps += SEGUNDOS_DIA;
    }
    Tiempo_Diferencia_Comparativa =
        segundos_del_dia(chora_comparativa, cminuto_comparativa, csegundo_comparativa) - lanterior;
    if (cdia_gps_anterior != cdia_comparativa) {
        Serial1.println("Cambio de dia. ");
        Tiempo_Diferencia_Comparativa += SEGUNDOS_DIA;
    }
    Tiempo_Resta = Tiempo_Diferencia_gps - Tiempo_Diferencia_Comparativa;
    Serial1.print("RESTA TIEMPOS: ");
    Serial1.print(Tiempo_Resta);
    Serial1.print(" segundos. ");
    Serial1.print(" Dif Gps(1)-Gpx(0)=");
    Serial1.print(Tiempo_Diferencia_gps);
    Serial1.print(" Dif UtcMicro(1)-Gps(0)=");
    Serial1.print(Tiempo_Diferencia_Comparativa);
    Serial1.println("; ");

    if (Tiempo_Resta > TOLERANCIA_RELOJ_GPS_S || Tiempo_Resta < -TOLERANCIA_RELOJ_GPS_S) {
        // New value = old x firmware seconds / GPS seconds: a clock that ran fast gets
        // longer ticks. A non-positive span on either side (a GPS time earlier than the
        // previous one would also divide by zero) is no measurement: back to nominal.
        if (Tiempo_Diferencia_Comparativa > 0 && Tiempo_Diferencia_gps > 0) {
            Tiempo_Calculo = (1.0 / CTE_VELOCIDAD_RELOJ) * Tiempo_Diferencia_gps / Tiempo_Diferencia_Comparativa;
            CTE_VELOCIDAD_RELOJ = velocidad_limitada(static_cast<double>(CTE_VELOCIDAD_RELOJ) *
                                                     Tiempo_Diferencia_Comparativa / Tiempo_Diferencia_gps);
        } else {
            Tiempo_Calculo = 0;
            CTE_VELOCIDAD_RELOJ = VELOCIDAD_RELOJ_NOMINAL;
        }
        aplico_velocidad_reloj();
    }
    Serial1.print("CALCULO CON GPS:");
    Serial1.println(CTE_VELOCIDAD_RELOJ);
    imprimo_limites();

    // The current GPS time becomes the previous one, its day included: a day left behind
    // would add another 86400 s to every later comparison and dilute its ratio.
    cdia_gps_anterior = modulo_gps.cdia_zda;
    chora_gps_anterior = modulo_gps.chora_zda;
    cminuto_gps_anterior = modulo_gps.cminuto_zda;
    csegundo_gps_anterior = modulo_gps.csegundo_zda;
    Serial1.print("Hora anterior GPS (Actualizacion): ");
    imprimo_hora(chora_gps_anterior, cminuto_gps_anterior, csegundo_gps_anterior);
}

// End of a sensor-time measurement: firmware 100 ms count against the sensor's microseconds.
static void fin_medida_reloj_sensor(int32_t lcuenta) {
    CONT_TIEMPO_MICRO_FINAL = static_cast<uint32_t>(lcuenta);
    Tiempo_SBG_Fin = TernaTiempos1;
    CONT_TIEMPO_MICRO_ACUMULADO = -1;
    Tiempo_SBG_Diferencia = static_cast<int32_t>(Diferencia_Timespan(Tiempo_SBG_Ini, Tiempo_SBG_Fin));

    Serial1.print("TIEMPOS SBG: ");
    Serial1.print(Tiempo_SBG_Fin);
    Serial1.print("-");
    Serial1.print(Tiempo_SBG_Ini);
    Serial1.print("=");
    Serial1.print(Tiempo_SBG_Diferencia);
    Serial1.print(" ; ");
    Serial1.print("CONTADORES DE MICRO: ");
    Serial1.print(CONT_TIEMPO_MICRO_FINAL);
    Serial1.print(" ==> ");

    // New value = old x firmware ms / sensor ms. A sensor span of zero (or one past the
    // 32-bit signed range) would divide by zero: treated like a zero count, nominal value.
    if (CONT_TIEMPO_MICRO_FINAL != 0 && Tiempo_SBG_Diferencia > 0) {
        double dmilisegundos_sensor = Tiempo_SBG_Diferencia / 1000.0;
        double dmilisegundos_micro = CONT_TIEMPO_MICRO_FINAL * 100.0;
        Tiempo_Calculo = (1.0 / CTE_VELOCIDAD_RELOJ) * dmilisegundos_sensor / dmilisegundos_micro;
        CTE_VELOCIDAD_RELOJ =
            velocidad_limitada(static_cast<double>(CTE_VELOCIDAD_RELOJ) * dmilisegundos_micro / dmilisegundos_sensor);
    } else {
        Tiempo_Calculo = 0;
        CTE_VELOCIDAD_RELOJ = VELOCIDAD_RELOJ_NOMINAL;
    }
    Serial1.print("CALCULO MICRO vs SBG: ");
    Serial1.print(CTE_VELOCIDAD_RELOJ);
    Serial1.println(";");
    imprimo_limites();

    aplico_velocidad_reloj();
    Tiempo_Ajustar_Hora = 0;
}

void Correccion_Reloj_porWaves() {
    uint8_t cmuestra_al_dia = muestra_al_dia();
    if (Tiempo_Ajustar_Hora != 1) return;

    if (Tiempo_Revision_Hora_GPS == 1) {
        comparacion_reloj_gps();
        return;
    }

    // A measurement starts and ends only on a current sample (see muestra_al_dia).
    if (cmuestra_al_dia == 0) return;

    if (Tiempo_Capturar_Hora_Inicial == 1) {
        Tiempo_Revision_Hora_GPS = 0;
        Tiempo_Capturar_Hora_Inicial = 0;
        Tiempo_SBG_Ini = TernaTiempos1;
        CONT_TIEMPO_MICRO_ACUMULADO = 0;
        Serial1.print("TIEMPOS Inicio:");
        Serial1.println(Tiempo_SBG_Ini);
        return;
    }

    int32_t lcuenta = CONT_TIEMPO_MICRO_ACUMULADO;
    if (lcuenta <= CUENTA_MEDIDA_RELOJ) return;
    fin_medida_reloj_sensor(lcuenta);
}
