// The GPS receiver record, NMEA reception and field extraction, and the receiver's
// start-up, power and configuration. The sentences themselves are processed in
// gps/procesado_gps. Main loop only; the 1 ms tick decrements cdelay and
// ctimeout_entre_bytes_rx.
#include "gps/modulo_gps.h"

#include "console/comunicaciones_pc.h"
#include "params/i2c.h"
#include "platform.h"

stmodulo_gps modulo_gps = {};

const uint32_t m_baudios_gps[CANTIDAD_BAUDIOS_GPS] = {4800, 9600, 14400, 19200, 38400, 57600, 115200};
const uint8_t cmeses_con_bisiesto[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const uint8_t m_meses_bisiesto[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

// PMTK family: 313 turns SBAS on; 314 sets the output of each sentence type (the fields
// are GLL, RMC, VTG, GGA, GSA, GSV, ... ZDA in the 18th place): GGA, GSA and ZDA once per fix.
const char m_trama_enable_sbass[] = "$PMTK313,1*2E";
const char m_trama_configuracion_modulo_l76lb[] = "$PMTK314,0,0,0,1,1,0,0,0,0,0,0,0,0,0,0,0,0,1,0*29";
// CFGMSG family: "$CFGMSG,<class 0>,<message>,<rate>", messages GGA 0 .. GST 7.
const char m_trama_configuracion_modulo_sim66m_gga[] = "$CFGMSG,0,0,1*06";
const char m_trama_configuracion_modulo_sim66m_gll[] = "$CFGMSG,0,1,0*06";
const char m_trama_configuracion_modulo_sim66m_gsa[] = "$CFGMSG,0,2,1*04";
const char m_trama_configuracion_modulo_sim66m_gsv[] = "$CFGMSG,0,3,0*04";
const char m_trama_configuracion_modulo_sim66m_rmc[] = "$CFGMSG,0,4,0*03";
const char m_trama_configuracion_modulo_sim66m_vtg[] = "$CFGMSG,0,5,0*02";
const char m_trama_configuracion_modulo_sim66m_zda[] = "$CFGMSG,0,6,1*00";
const char m_trama_configuracion_modulo_sim66m_gst[] = "$CFGMSG,0,7,0*00";
const char m_trama_save_configuracion_nmea_modulo_sim66m[] = "$CFGSAVE,h2*35";

// Index of the rate in use; an index outside the table (never stored by this module) reads
// as the default so the table is never indexed past its end.
static uint8_t indice_baudios_gps() {
    return modulo_gps.cbaudios_gps < CANTIDAD_BAUDIOS_GPS ? modulo_gps.cbaudios_gps : INDICE_BAUDIOS_GPS_POR_DEFECTO;
}

// Prints a byte of a received burst on the console with CR as 'd' and LF as 'a'.
static void imprimo_byte_gps(uint8_t cdato) {
    if (cdato == '\r') Serial1.print('d');
    else if (cdato == '\n') Serial1.print('a');
    else Serial1.print(static_cast<char>(cdato));
}

// ---------------------------------------------------------------- reception and fields

// A burst is collected across main-loop passes: each call takes the bytes waiting and
// returns 0 until SILENCIO_RX_GPS_MS pass without a new one, then returns the burst's
// length once. Holding the loop for the whole burst (83 ms a second while the receiver is
// on, up to 262 ms) cost the sensor port samples.
uint16_t recepcion_rafaga_gps() {
    sodaq_wdt_reset();
    if (modulo_gps.crecibiendo_rafaga == 0) {
        if (Serial3.available() <= 0) return 0;
        modulo_gps.ibytes_rx = 0;
        modulo_gps.crecibiendo_rafaga = 1;
    }
    if (Serial3.available() > 0) {
        while (Serial3.available() > 0) {
            int idato = Serial3.read();
            if (idato < 0) break;
            if (modulo_gps.ibytes_rx < TAM_FRAME_RX_GPS) {
                modulo_gps.cframe_rx[modulo_gps.ibytes_rx] = static_cast<uint8_t>(idato);
                modulo_gps.ibytes_rx = static_cast<uint16_t>(modulo_gps.ibytes_rx + 1);
            }
        }
        modulo_gps.ctimeout_entre_bytes_rx = SILENCIO_RX_GPS_MS;
    }
    if (modulo_gps.ctimeout_entre_bytes_rx != 0) return 0;
    modulo_gps.crecibiendo_rafaga = 0;

    if (modulo_gps.cdebug == 2) {
        linea();
        Serial1.print("GPS rx (");
        Serial1.print(modulo_gps.ibytes_rx);
        Serial1.print(") => ");
        for (uint16_t i = 0; i < modulo_gps.ibytes_rx; ++i) imprimo_byte_gps(modulo_gps.cframe_rx[i]);
        linea();
    }
    return modulo_gps.ibytes_rx;
}

uint16_t ibusqueda_dato_gps(const uint8_t* pctrama, uint8_t cdato, uint8_t cveces_a_encontrar,
                            uint16_t iposicion) {
    uint8_t cencontrados = 0;
    for (uint16_t i = iposicion; i < modulo_gps.ibytes_rx; ++i) {
        if (pctrama[i] != cdato) continue;
        cencontrados = static_cast<uint8_t>(cencontrados + 1);
        if (cencontrados >= cveces_a_encontrar) return i;
    }
    return modulo_gps.ibytes_rx;
}

uint8_t comprobacion_checksum_nmea(const uint8_t* pctrama, uint16_t iposicion_inicio,
                                   uint16_t iposicion_final, uint8_t* pcchecksum) {
    uint8_t cxor = 0;
    uint16_t i = static_cast<uint16_t>(iposicion_inicio + 1);
    while (i < iposicion_final && pctrama[i] != '*') {
        cxor = static_cast<uint8_t>(cxor ^ pctrama[i]);
        ++i;
    }
    *pcchecksum = cxor;
    // Both checksum digits must lie before the end: a '*' in the last two places would
    // read the line feed, or bytes past the burst, as a digit.
    if (i >= iposicion_final || i + 2 >= iposicion_final) return 0;
    uint8_t calto = desconversion_ascii(pctrama[i + 1]);
    uint8_t cbajo = desconversion_ascii(pctrama[i + 2]);
    // Only '0'-'9' and 'A'-'F' are digits: the table's 255 for anything else must not
    // combine into a value that happens to match.
    if (calto > 15 || cbajo > 15) return 0;
    return static_cast<uint8_t>(calto * 16 + cbajo) == cxor ? 1 : 0;
}

uint16_t busqueda_campo(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                        uint16_t iposicion_final) {
    if (ccampo == 0) return iposicion_inicial;
    uint8_t ccomas = 0;
    for (uint16_t i = iposicion_inicial; i < iposicion_final; ++i) {
        if (pctrama[i] == '*') return static_cast<uint16_t>(i + 1);
        if (pctrama[i] != ',') continue;
        ccomas = static_cast<uint8_t>(ccomas + 1);
        if (ccomas == ccampo) return static_cast<uint16_t>(i + 1);
    }
    return iposicion_final;
}

// Start and character count of field ccampo; 0 when it is empty or the sentence has fewer
// fields. Counts above 255 are cut to 255 (the converters use the last ten digits anyway).
static uint8_t limites_campo(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                             uint16_t iposicion_final, uint16_t* piinicio, uint8_t* pccantidad) {
    uint16_t iinicio = busqueda_campo(ccampo, pctrama, iposicion_inicial, iposicion_final);
    uint16_t isiguiente = busqueda_campo(static_cast<uint8_t>(ccampo + 1), pctrama, iposicion_inicial,
                                         iposicion_final);
    if (isiguiente <= iinicio + 1) return 0;
    uint16_t icantidad = static_cast<uint16_t>(isiguiente - iinicio - 1);
    *piinicio = iinicio;
    *pccantidad = icantidad > 255 ? 255 : static_cast<uint8_t>(icantidad);
    return 1;
}

uint32_t extraccion_dato_nmea(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                              uint16_t iposicion_final, uint8_t* pcvacio) {
    uint16_t iinicio = 0;
    uint8_t ccantidad = 0;
    if (limites_campo(ccampo, pctrama, iposicion_inicial, iposicion_final, &iinicio, &ccantidad) == 0) {
        *pcvacio = 1;
        return 0;
    }
    *pcvacio = 0;
    return conversion_ascii_decimal(iinicio, ccantidad, pctrama);
}

uint8_t extraccion_dato_nmea2(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                              uint16_t iposicion_final, uint32_t* pldato) {
    uint16_t iinicio = 0;
    uint8_t ccantidad = 0;
    if (limites_campo(ccampo, pctrama, iposicion_inicial, iposicion_final, &iinicio, &ccantidad) == 0) return 0;
    *pldato = conversion_ascii_decimal(iinicio, ccantidad, pctrama);
    return 1;
}

uint8_t extraccion_dato_nmea_float(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                                   uint16_t iposicion_final, float* pfdato) {
    uint16_t iinicio = 0;
    uint8_t ccantidad = 0;
    if (limites_campo(ccampo, pctrama, iposicion_inicial, iposicion_final, &iinicio, &ccantidad) == 0) return 0;
    *pfdato = conversion_ascii_float(iinicio, ccantidad, pctrama);
    return 1;
}

void reset_datos_gps() {
    modulo_gps.cgrados_latitud = 91;
    modulo_gps.cminutos_latitud = 0;
    modulo_gps.idiez_milesimas_minutos_latitud = 0;
    modulo_gps.cnorte_sur = 'N';
    modulo_gps.cgrados_longitud = 181;
    modulo_gps.cminutos_longitud = 0;
    modulo_gps.idiez_milesimas_minutos_longitud = 0;
    modulo_gps.ceste_oeste = 'W';
    modulo_gps.cdia_zda = 0;
    modulo_gps.cmes_zda = 0;
    modulo_gps.cano_zda = 0;
    modulo_gps.chora_zda = 0;
    modulo_gps.cminuto_zda = 0;
    modulo_gps.csegundo_zda = 0;
}

uint8_t verificacion_limites_fecha(uint8_t cano, uint8_t cmes, uint8_t cdia, uint8_t chora,
                                   uint8_t cminuto, uint8_t csegundo) {
    if (cano > 99) return 1;
    if (cmes < 1 || cmes > 12) return 1;
    if (cdia == 0) return 1;
    const uint8_t* pcmeses = (cano == 0 || cano % 4 != 0) ? cmeses : cmeses_con_bisiesto;
    if (cdia > pcmeses[cmes - 1]) return 1;
    if (chora > 23) return 1;
    if (cminuto > 59) return 1;
    if (csegundo > 59) return 1;
    return 0;
}

void inserto_byte_frame_gps(uint8_t cdato) {
    if (modulo_gps.cbytes_tx >= TAM_FRAME_TX_GPS) return;
    modulo_gps.cframe_tx[modulo_gps.cbytes_tx] = cdato;
    modulo_gps.cbytes_tx = static_cast<uint8_t>(modulo_gps.cbytes_tx + 1);
}

// ---------------------------------------------------------------- receiver management

void inicializacion_modulo_gps() {
    modulo_gps.ibytes_rx = 0;
    modulo_gps.cbytes_tx = 0;
    modulo_gps.cconfigurado = GPS_APAGADO;
    modulo_gps.ctimeout_entre_bytes_rx = 0;
    modulo_gps.crecibiendo_rafaga = 0;
    modulo_gps.cdebug = 0;
    modulo_gps.csatelites = 0;
    modulo_gps.cdelay = 0;
    modulo_gps.ctimeout_frame = 0;
    modulo_gps.cgrados_latitud = 91;
    modulo_gps.cminutos_latitud = 0;
    modulo_gps.idiez_milesimas_minutos_latitud = 0;
    modulo_gps.cnorte_sur = 0;
    modulo_gps.cgrados_longitud = 181;
    modulo_gps.cminutos_longitud = 0;
    modulo_gps.idiez_milesimas_minutos_longitud = 0;
    modulo_gps.ceste_oeste = 0;
    modulo_gps.cdia_zda = 0;
    modulo_gps.cmes_zda = 0;
    modulo_gps.cano_zda = 0;
    modulo_gps.chora_zda = 0;
    modulo_gps.cminuto_zda = 0;
    modulo_gps.csegundo_zda = 0;

    uint8_t cindice = static_cast<uint8_t>(readEEPROM_variable(EE_BAUDIOS_GPS, 1));
    if (cindice >= CANTIDAD_BAUDIOS_GPS) {
        cindice = INDICE_BAUDIOS_GPS_POR_DEFECTO;
        writeEEPROM_variable(cindice, EE_BAUDIOS_GPS, 1);
    }
    modulo_gps.cbaudios_gps = cindice;
    modulo_gps.ctipo = GPS_TIPO_PMTK;
}

// Sends the bytes of cframe_tx to the receiver, shown on the console with diagnostics on.
static void transmito_frame_gps() {
    if (modulo_gps.cdebug != 0) {
        Serial1.print("Tx GPS (");
        Serial1.print(modulo_gps.cbytes_tx);
        Serial1.print(") =>");
        for (uint8_t i = 0; i < modulo_gps.cbytes_tx; ++i) Serial1.print(static_cast<char>(modulo_gps.cframe_tx[i]));
    }
    Serial3.write(modulo_gps.cframe_tx, modulo_gps.cbytes_tx);
}

void envio_trama_nmea_configuracion_a_gps() {
    modulo_gps.cbytes_tx = 0;
    const char* pcmensaje = nullptr;
    uint8_t csiguiente = modulo_gps.cconfigurado;
    if (modulo_gps.ctipo == GPS_TIPO_PMTK) {
        pcmensaje = m_trama_configuracion_modulo_l76lb;
        csiguiente = GPS_FUNCIONANDO;
    } else {
        switch (modulo_gps.cconfigurado) {
        case 9: pcmensaje = m_trama_configuracion_modulo_sim66m_gga; csiguiente = 10; break;
        case 11: pcmensaje = m_trama_configuracion_modulo_sim66m_gll; csiguiente = 12; break;
        case 13: pcmensaje = m_trama_configuracion_modulo_sim66m_gsa; csiguiente = 14; break;
        case 15: pcmensaje = m_trama_configuracion_modulo_sim66m_gsv; csiguiente = 16; break;
        case 17: pcmensaje = m_trama_configuracion_modulo_sim66m_rmc; csiguiente = 18; break;
        case 19: pcmensaje = m_trama_configuracion_modulo_sim66m_vtg; csiguiente = 20; break;
        case 21: pcmensaje = m_trama_configuracion_modulo_sim66m_zda; csiguiente = 22; break;
        case 23: pcmensaje = m_trama_configuracion_modulo_sim66m_gst; csiguiente = 24; break;
        case 25: pcmensaje = m_trama_save_configuracion_nmea_modulo_sim66m; csiguiente = GPS_FUNCIONANDO; break;
        default: break;
        }
    }
    if (pcmensaje != nullptr) {
        for (; *pcmensaje != 0; ++pcmensaje) inserto_byte_frame_gps(static_cast<uint8_t>(*pcmensaje));
    }
    inserto_byte_frame_gps('\r');
    inserto_byte_frame_gps('\n');
    modulo_gps.cconfigurado = csiguiente;
    transmito_frame_gps();
}

void enable_sbass() {
    if (modulo_gps.cdebug != 0) {
        Serial1.print("Tx GPS => ");
        Serial1.println(m_trama_enable_sbass);
    }
    Serial3.print(m_trama_enable_sbass);
    Serial3.write('\r');
    Serial3.write('\n');
}

void reconversion_baudios_gps(uint8_t cincremento) {
    Serial3.end();
    modulo_gps.crecibiendo_rafaga = 0; // bytes of the old rate are no burst
    if (cincremento == 1) {
        uint8_t cindice = indice_baudios_gps();
        modulo_gps.cbaudios_gps = cindice + 1 >= CANTIDAD_BAUDIOS_GPS ? 0 : static_cast<uint8_t>(cindice + 1);
        Serial1.print("Cambio baudios GPS:");
        Serial1.println(m_baudios_gps[modulo_gps.cbaudios_gps]);
    }
    Serial3.begin(m_baudios_gps[indice_baudios_gps()]);
    while (Serial3.available() > 0) {
        sodaq_wdt_reset();
        Serial3.read();
    }
}

void configuracion_frames_gps() {
    uint8_t cestado = modulo_gps.cconfigurado;
    switch (cestado) {
    case GPS_APAGADO:
        digitalWrite(PIN_ALIMENTACION_GPS, LOW);
        if ((cpeticion_nueva_hora == 1 || waves.ctest == 1) && modulo_gps.cdelay == 0) {
            modulo_gps.cconfigurado = GPS_ENCENDER;
        }
        break;
    case GPS_ENCENDER:
        if (modulo_gps.cdebug != 0) {
            linea();
            Serial1.print("Arrancamos modulo GPS:");
            Serial1.println(m_baudios_gps[indice_baudios_gps()]);
        }
        Serial3.begin(m_baudios_gps[indice_baudios_gps()]);
        modulo_gps.crecibiendo_rafaga = 0;
        modulo_gps.cframes_no_procesadas = 0;
        digitalWrite(PIN_ALIMENTACION_GPS, HIGH);
        modulo_gps.cconfigurado = modulo_gps.ctipo == GPS_TIPO_PMTK ? GPS_HABILITAR_SBAS : GPS_FUNCIONANDO;
        modulo_gps.cdelay = RETARDO_REPETICION_GPS;
        Serial3.flush();
        break;
    case GPS_APAGAR:
        if (modulo_gps.cdebug != 0) {
            linea();
            Serial1.println("Apagamos modulo GPS");
        }
        Serial3.flush();
        Serial3.end();
        modulo_gps.crecibiendo_rafaga = 0;
        digitalWrite(PIN_ALIMENTACION_GPS, LOW);
        modulo_gps.cconfigurado = GPS_APAGADO;
        break;
    case GPS_HABILITAR_SBAS:
        if (modulo_gps.ctipo == GPS_TIPO_PMTK) {
            if (modulo_gps.cdelay == 0) {
                enable_sbass();
                modulo_gps.cdelay = RETARDO_REPETICION_GPS;
            }
        } else {
            modulo_gps.cconfigurado = GPS_FUNCIONANDO;
            modulo_gps.cdelay = 0;
        }
        break;
    case GPS_RECONFIGURAR_PMTK:
    case GPS_RECONFIGURAR_CFGMSG:
        // A CFGMSG receiver identified in the same burst that asked for the PMTK
        // reconfiguration has no state-5 sentence: it starts its own sequence instead of
        // sending bare line ends on every pass.
        if (cestado == GPS_RECONFIGURAR_PMTK && modulo_gps.ctipo != GPS_TIPO_PMTK) {
            modulo_gps.cconfigurado = GPS_RECONFIGURAR_CFGMSG;
        }
        linea();
        Serial1.println("Reconfiguramos modulo GPS");
        envio_trama_nmea_configuracion_a_gps();
        break;
    default:
        // Odd CFGMSG steps send their sentence; even ones wait for "$OK" (procesamos_gps).
        if (cestado >= 11 && cestado <= GPS_ULTIMO_PASO_CFGMSG && cestado % 2 == 1) {
            envio_trama_nmea_configuracion_a_gps();
        }
        break;
    }
}
