// The averaging schedule and sensor time-stamp arithmetic. Main loop only; the clock bytes
// it reads are advanced by the 1 ms tick.
#include "waves/tiempos.h"

#include "console/comunicaciones_pc.h"
#include "declaraciones.h"
#include "platform.h"
#include "waves/decodificacion.h"

uint8_t YY_ini = 0, MM_ini = 0, DD_ini = 0;
uint8_t HHini = 0, MMini = 0, SSini = 0;
uint8_t HHfin = 0, MMfin = 0, SSfin = 0;

// The last interval of a day ends at 23:59:50 so that it never spans midnight; the first
// one of the next day starts at 00:00:01.
static constexpr uint8_t HORA_FIN_DIA = 23, MINUTO_FIN_DIA = 59, SEGUNDO_FIN_DIA = 50;
static constexpr uint8_t SEGUNDO_LIMITE_FIN_DIA = 49;
// Every end lies one second past a multiple of the interval.
static constexpr uint8_t SEGUNDO_FIN = 1;
// The hourly check runs at HH:00:15 for HH 1..22 and tolerates 5 minutes of clock drift.
static constexpr uint8_t SEGUNDO_REVISION = 15;
static constexpr int32_t MARGEN_REVISION_MIN = 5;

int32_t Interpretar_Intervalo_Promedio(int32_t IntPromedio) {
    switch (IntPromedio) {
    case 0: case 10: return 10;
    case 1: case 15: return 15;
    case 2: case 20: return 20;
    case 4: case 60: return 60;
    default: return 30;
    }
}

void Inicializar_TernaTiempos() {
    TernaTiempos0 = TIEMPO_NO_RECIBIDO;
    TernaTiempos1 = TIEMPO_NO_RECIBIDO;
    TernaTiempos2 = TIEMPO_NO_RECIBIDO;
}

// "H:M:S" in plain decimals on the console.
static void imprime_hora(uint8_t chh, uint8_t cmm, uint8_t css) {
    Serial1.print(chh);
    Serial1.print(":");
    Serial1.print(cmm);
    Serial1.print(":");
    Serial1.print(css);
}

void Determinar_Proxima_Hora_Final(uint8_t recalcular) {
    if (recalcular == 1) {
        YY_ini = cano_utc;
        MM_ini = cmes_utc;
        DD_ini = cdia_utc;
        if (HHfin == HORA_FIN_DIA && MMfin == MINUTO_FIN_DIA && SSfin > SEGUNDO_LIMITE_FIN_DIA) {
            HHini = 0;
            MMini = 0;
            SSini = SEGUNDO_FIN;
        } else {
            HHini = HHfin;
            MMini = MMfin;
            SSini = SSfin;
        }
        HHfin = 0;
        MMfin = 0;
        SSfin = 0;
    } else if (recalcular != 0) {
        return;
    }

    if (HHfin != 0 || MMfin != 0 || SSfin != 0) return;

    if (HHini == 0 && MMini == 0 && SSini == 0) {
        YY_ini = cano_utc;
        MM_ini = cmes_utc;
        DD_ini = cdia_utc;
        HHini = chora_utc;
        MMini = cminuto_utc;
        SSini = csegundo_utc;
        if (HHini == 0 && MMini == 0 && SSini == 0) return;
    }

    linea();
    Serial1.print("HH Inicial = ");
    imprime_hora(HHini, MMini, SSini);
    Serial1.println();

    int32_t lintervalo = Interpretar_Intervalo_Promedio(CTE_INTERVALO_PROMEDIO);
    CTE_INTERVALO_PROMEDIO_INTERPRETADO = lintervalo;
    if (lintervalo == 60) {
        HHfin = static_cast<uint8_t>(HHini + 1);
        MMfin = 0;
    } else if (lintervalo == 30) {
        if (MMini <= 29) {
            HHfin = HHini;
            MMfin = 30;
        } else {
            HHfin = static_cast<uint8_t>(HHini + 1);
            MMfin = 0;
        }
    } else {
        MMfin = static_cast<uint8_t>(lintervalo * (MMini / lintervalo + 1));
        if (MMfin <= 59) {
            HHfin = HHini;
        } else {
            HHfin = static_cast<uint8_t>(HHini + 1);
            MMfin = 0;
        }
    }
    SSfin = SEGUNDO_FIN;

    if (HHfin == 24 && MMfin == 0 && SSfin == SEGUNDO_FIN) {
        HHfin = HORA_FIN_DIA;
        MMfin = MINUTO_FIN_DIA;
        SSfin = SEGUNDO_FIN_DIA;
    }
    if (HHfin > 23) HHfin = 0;

    linea();
    Serial1.print("CTE_INTERVALO_PROMEDIO_INTERPRETADO=");
    Serial1.println(CTE_INTERVALO_PROMEDIO_INTERPRETADO);
    linea();
    Serial1.print("HH Final = ");
    imprime_hora(HHfin, MMfin, SSfin);
    Serial1.println();
}

void Revision_Tiempos() {
    uint8_t chh = chora_utc;
    if (chh < 1 || chh > 22 || cminuto_utc != 0 || csegundo_utc != SEGUNDO_REVISION) return;

    int32_t lfin = HHfin * 60 + MMfin;
    int32_t lutc = chh * 60;
    int32_t lini = HHini * 60 + MMini;
    int32_t ldif_ini = lutc - lini;
    int32_t lintervalo = CTE_INTERVALO_PROMEDIO_INTERPRETADO;
    int32_t lmargen = lintervalo - ldif_ini + MARGEN_REVISION_MIN;

    linea();
    Serial1.print("Revision de tiempo: ");
    Serial1.print(lfin);
    Serial1.print("-");
    Serial1.print(lutc);
    Serial1.print("=");
    Serial1.print(lfin - lutc);
    Serial1.print(">");
    Serial1.print(lintervalo);
    Serial1.print("-");
    Serial1.print(ldif_ini);
    Serial1.print("=");
    Serial1.print(lmargen);
    Serial1.print("(");
    Serial1.print(HHini);
    Serial1.print(":");
    Serial1.print(MMini);
    Serial1.println(")");

    uint8_t creinicio = 0;
    if (ldif_ini < 0 || ldif_ini > lintervalo + MARGEN_REVISION_MIN) {
        HHini = MMini = SSini = 0;
        HHfin = MMfin = SSfin = 0;
        Serial1.println("  Reinicio Hora Ini.");
        creinicio = 1;
    } else if (lfin < lutc) {
        HHfin = MMfin = SSfin = 0;
        Serial1.println("  =>Reinicio Hora Fin. (Menor que utc)");
        creinicio = 1;
    }

    if (lfin - lutc > lmargen) {
        if (creinicio == 0) {
            HHfin = MMfin = SSfin = 0;
            Serial1.println("  =>Reinicio Hora Fin.");
        }
    } else if (creinicio == 0) {
        return;
    }
    Serial1.print("  =>Reinicio.");
    Determinar_Proxima_Hora_Final(0);
}

uint32_t Diferencia_Timespan(int32_t tsIniAux, int32_t tsFinAux) {
    if (tsFinAux == 0) return 0;
    // All on 32 unsigned bits: the counter wraps at 2^32 us.
    uint32_t lini = static_cast<uint32_t>(tsIniAux);
    uint32_t lfin = static_cast<uint32_t>(tsFinAux);
    if (tsIniAux < 0) lini -= 2;
    if (tsFinAux < 0) lfin -= 2;
    if (lini < lfin) return lfin - lini;
    return lfin - static_cast<uint32_t>(tsIniAux) - 2;
}
