// Processing of the GPS receiver's sentences: one burst per main-loop pass, cut into lines;
// GGA, GSA and ZDA give the fix, the receivers' replies drive identification and
// configuration, silence drives the baud-rate search, and a complete and good fix sets the
// internal clock, arms the clock-rate correction and queues the "$GPS," sentence for the
// host. Main loop.
#include <string.h>

#include "console/comunicaciones_pc.h"
#include "gps/modulo_gps.h"
#include "host/kvx03.h"
#include "params/i2c.h"
#include "platform.h"
#include "waves/correccion_reloj.h"

const char m_trama_gga[] = "GGA";
const char m_trama_gsa[] = "GSA";
const char m_trama_zda[] = "ZDA";
const char m_trama_respuesta_ack[] = "$PMTK001";
const char m_trama_respuesta_configuracion_l76lb[] = "$PMTK";
const char m_trama_UC6226NIS[] = "UC6226NIS";
const char m_trama_sim66md[] = "SIM66MD";
const char m_trama_sim66m[] = "SIM66M";
const char m_trama_respuesta_configuracion_sim66m[] = "#CFGMSG";
const char m_frame_ok[] = "$OK";

// A sentence type stands after '$' and a two-letter talker ("GP", "GN", ...).
static constexpr uint16_t POSICION_TIPO_TRAMA = 3;
// Dilutions are kept in tenths; 99 = unknown or worse. A capture needs each at most 6.0.
static constexpr uint8_t DOP_DESCONOCIDO = 99;
static constexpr uint8_t DOP_MAXIMO_CAPTURA = 60;
static constexpr uint8_t SATELITES_MINIMOS = 3;        // a capture needs more than this
static constexpr uint8_t RAFAGAS_INCOMPLETAS_MAXIMAS = 3; // the 4th reconfigures
static constexpr uint8_t RAFAGAS_SIN_RECONOCER_MAXIMAS = 2; // then the next baud rate
static constexpr uint8_t SIN_LATITUD = 91;
static constexpr uint8_t SIN_LONGITUD = 181;
static constexpr uint16_t ACK_SBAS = 313;               // PMTK command acknowledged in state 4
// The minutes' fraction is kept in ten-thousandths of a minute (0..9999, as the record
// fields' names say; a scale of 100000 would not fit their 16 bits). Console and host
// sentence both give it as a bare number without leading zeros: its scale is fixed, so 123
// after 24 minutes is 24.0123'.
static constexpr uint8_t DIGITOS_FRACCION_MINUTOS = 4;  // decimals read from the text
static constexpr uint8_t CIFRAS_FRACCION_MINUTOS = 0;   // printed without leading zeros

// Working values of one burst, named like the record fields they later fill.
struct stdatos_rafaga_gps {
    uint8_t csatelites;
    uint8_t cgrados_latitud, cminutos_latitud;
    uint16_t idiez_milesimas_minutos_latitud;
    uint8_t cnorte_sur;
    uint8_t cgrados_longitud, cminutos_longitud;
    uint16_t idiez_milesimas_minutos_longitud;
    uint8_t ceste_oeste;
    uint8_t cpdop, chdop, cvdop;
    uint16_t imilisimas_zda;
    uint8_t cframe_gga, cframe_gsa, cframe_zda;
    uint8_t calguna_trama_procesada;
};

static void inicio_datos_rafaga(stdatos_rafaga_gps* pdatos) {
    *pdatos = {};
    pdatos->cgrados_latitud = SIN_LATITUD;
    pdatos->cgrados_longitud = SIN_LONGITUD;
    pdatos->cpdop = DOP_DESCONOCIDO;
    pdatos->chdop = DOP_DESCONOCIDO;
    pdatos->cvdop = DOP_DESCONOCIDO;
}

static uint8_t byte_saturado(uint32_t lvalor) { return lvalor > 255 ? 255 : static_cast<uint8_t>(lvalor); }

// The bytes from iinicio to iultimo inclusive on the console, CR as 'd' and LF as 'a'.
static void imprimo_linea_gps(uint16_t iinicio, uint16_t ifinal) {
    for (uint16_t i = iinicio; i <= ifinal && i < modulo_gps.ibytes_rx; ++i) {
        uint8_t cdato = modulo_gps.cframe_rx[i];
        if (cdato == '\r') Serial1.print('d');
        else if (cdato == '\n') Serial1.print('a');
        else Serial1.print(static_cast<char>(cdato));
    }
}

// Reports a failed checksum at diagnostics level 2.
static void informo_checksum_erroneo(uint8_t cchecksum) {
    if (modulo_gps.cdebug != 2) return;
    Serial1.print("Checksum calculado erroneo => ");
    if (cchecksum < 16) Serial1.print("0");
    Serial1.println(cchecksum, 16);
}

// A latitude (ddmm.ffff) or longitude (dddmm.ffff) field read from its characters: the
// whole part gives degrees and minutes, up to four decimals give ten-thousandths of a
// minute (fewer are padded, more are cut). The text is read directly because a
// single-precision value keeps only two or three decimals of a longitude and can even
// round 17959.9999 up to 17960. Returns 0 when the field is empty or absent.
static uint8_t lectura_coordenada_gps(uint8_t ccampo, uint16_t iinicio_linea, uint16_t ifinal_linea,
                                      uint8_t* pcgrados, uint8_t* pcminutos, uint16_t* pifraccion) {
    const uint8_t* pctrama = modulo_gps.cframe_rx;
    uint16_t iinicio = busqueda_campo(ccampo, pctrama, iinicio_linea, ifinal_linea);
    uint16_t ifin = busqueda_campo(static_cast<uint8_t>(ccampo + 1), pctrama, iinicio_linea, ifinal_linea);
    if (ifin <= iinicio + 1) return 0;
    ifin = static_cast<uint16_t>(ifin - 1); // the separator that ends the field
    uint16_t ipunto = iinicio;
    while (ipunto < ifin && pctrama[ipunto] != '.') ++ipunto;
    uint32_t lentero = 0;
    if (ipunto > iinicio) {
        uint16_t icifras = static_cast<uint16_t>(ipunto - iinicio);
        lentero = conversion_ascii_decimal(iinicio, icifras > 255 ? 255 : static_cast<uint8_t>(icifras), pctrama);
    }
    uint16_t ifraccion = 0;
    uint8_t ccifras = 0;
    for (uint16_t i = static_cast<uint16_t>(ipunto + 1); i < ifin && ccifras < DIGITOS_FRACCION_MINUTOS; ++i) {
        uint8_t cvalor = desconversion_ascii(pctrama[i]);
        if (cvalor > 9) continue;
        ifraccion = static_cast<uint16_t>(ifraccion * 10 + cvalor);
        ccifras = static_cast<uint8_t>(ccifras + 1);
    }
    for (; ccifras < DIGITOS_FRACCION_MINUTOS; ++ccifras) ifraccion = static_cast<uint16_t>(ifraccion * 10);
    *pcgrados = byte_saturado(lentero / 100);
    *pcminutos = static_cast<uint8_t>(lentero % 100);
    *pifraccion = ifraccion;
    return 1;
}

// First character of field ccampo, 0 when the field is empty or absent (its start may then
// be the end of the burst, one past the buffer).
static uint8_t primer_caracter_campo(uint8_t ccampo, uint16_t s, uint16_t e) {
    uint16_t iinicio = busqueda_campo(ccampo, modulo_gps.cframe_rx, s, e);
    uint16_t isiguiente = busqueda_campo(static_cast<uint8_t>(ccampo + 1), modulo_gps.cframe_rx, s, e);
    if (isiguiente <= iinicio + 1) return 0;
    return modulo_gps.cframe_rx[iinicio];
}

// GGA: satellites in use, latitude and longitude with their hemispheres.
static void proceso_gga(stdatos_rafaga_gps* pdatos, uint16_t s, uint16_t e) {
    const uint8_t* pctrama = modulo_gps.cframe_rx;
    uint32_t ldato = 0;
    if (extraccion_dato_nmea2(7, pctrama, s, e, &ldato) == 1) pdatos->csatelites = byte_saturado(ldato);
    if (lectura_coordenada_gps(2, s, e, &pdatos->cgrados_latitud, &pdatos->cminutos_latitud,
                               &pdatos->idiez_milesimas_minutos_latitud) == 1) {
        pdatos->cnorte_sur = primer_caracter_campo(3, s, e);
    }
    if (lectura_coordenada_gps(4, s, e, &pdatos->cgrados_longitud, &pdatos->cminutos_longitud,
                               &pdatos->idiez_milesimas_minutos_longitud) == 1) {
        pdatos->ceste_oeste = primer_caracter_campo(5, s, e);
    }
    // A position out of range (degrees beyond 90 or 180, minutes beyond 59) is as void as
    // a missing hemisphere.
    uint8_t cvalida = (pdatos->cnorte_sur == 'N' || pdatos->cnorte_sur == 'S') &&
                      (pdatos->ceste_oeste == 'E' || pdatos->ceste_oeste == 'W') &&
                      pdatos->cgrados_latitud <= 90 && pdatos->cminutos_latitud <= 59 &&
                      pdatos->cgrados_longitud <= 180 && pdatos->cminutos_longitud <= 59;
    if (cvalida == 0) {
        pdatos->cgrados_latitud = SIN_LATITUD;
        pdatos->cminutos_latitud = 0;
        pdatos->idiez_milesimas_minutos_latitud = 0;
        pdatos->cnorte_sur = 'N';
        pdatos->cgrados_longitud = SIN_LONGITUD;
        pdatos->cminutos_longitud = 0;
        pdatos->idiez_milesimas_minutos_longitud = 0;
        pdatos->ceste_oeste = 'W';
    }
}

// A dilution field in tenths, rounded to the nearest tenth (6.1 reads as 6.0999999 in
// single precision and truncating it would let it pass the 6.0 limit); 99 when the field
// is empty, negative or above 9.9.
static void lectura_dop(uint8_t ccampo, uint16_t s, uint16_t e, uint8_t* pcdop) {
    float fvalor = 0;
    if (extraccion_dato_nmea_float(ccampo, modulo_gps.cframe_rx, s, e, &fvalor) == 0) return;
    float fdecimas = fvalor * 10.0f + 0.5f;
    if (!(fdecimas >= 0.5f) || fdecimas >= DOP_DESCONOCIDO + 1) {
        *pcdop = DOP_DESCONOCIDO;
        return;
    }
    *pcdop = static_cast<uint8_t>(fdecimas);
}

// ZDA: UTC time and date straight into the record; any missing or impossible part clears
// the stored date, time and position.
static void proceso_zda(stdatos_rafaga_gps* pdatos, uint16_t s, uint16_t e) {
    const uint8_t* pctrama = modulo_gps.cframe_rx;
    uint16_t p = busqueda_campo(1, pctrama, s, e);
    uint16_t isiguiente = busqueda_campo(2, pctrama, s, e);
    // hhmmss[.sss]: a time field shorter than six characters (empty before the first fix)
    // is no time; reading it anyway would take separators, or bytes past the line, as
    // digits and pair a new date with an old time.
    uint16_t icaracteres = isiguiente > p ? static_cast<uint16_t>(isiguiente - p - 1) : 0;
    if (p >= e || icaracteres < 6) {
        reset_datos_gps();
        return;
    }
    modulo_gps.chora_zda = static_cast<uint8_t>(conversion_ascii_decimal(p, 2, pctrama));
    modulo_gps.cminuto_zda = static_cast<uint8_t>(conversion_ascii_decimal(static_cast<uint16_t>(p + 2), 2, pctrama));
    modulo_gps.csegundo_zda = static_cast<uint8_t>(conversion_ascii_decimal(static_cast<uint16_t>(p + 4), 2, pctrama));
    pdatos->imilisimas_zda = 0;
    if (icaracteres > 7) {
        uint8_t cdecimales = static_cast<uint8_t>(icaracteres - 7 > 3 ? 3 : icaracteres - 7);
        uint32_t lms = conversion_ascii_decimal(static_cast<uint16_t>(p + 7), cdecimales, pctrama);
        for (uint8_t c = cdecimales; c < 3; ++c) lms *= 10;
        pdatos->imilisimas_zda = static_cast<uint16_t>(lms);
    }

    uint32_t ldato = 0;
    if (extraccion_dato_nmea2(2, pctrama, s, e, &ldato) == 0) {
        reset_datos_gps();
        return;
    }
    modulo_gps.cdia_zda = byte_saturado(ldato);
    if (extraccion_dato_nmea2(3, pctrama, s, e, &ldato) == 0) {
        reset_datos_gps();
        return;
    }
    modulo_gps.cmes_zda = byte_saturado(ldato);
    if (extraccion_dato_nmea2(4, pctrama, s, e, &ldato) == 0) {
        reset_datos_gps();
        return;
    }
    modulo_gps.cano_zda = static_cast<uint8_t>(ldato % 100);

    if (modulo_gps.cmes_zda < 1 || modulo_gps.cmes_zda > 12 ||
        modulo_gps.cdia_zda > m_meses_bisiesto[modulo_gps.cmes_zda - 1]) {
        reset_datos_gps();
    }
}

// 1 when the key stands at iposicion and fits in the line before its end e: a short line at
// the end of a full burst must not be compared past the buffer.
static uint8_t clave_en_linea(uint16_t iposicion, const char* pcclave, uint16_t e) {
    if (iposicion + strlen(pcclave) > e) return 0;
    return comparacion(iposicion, modulo_gps.cframe_rx, pcclave, 0);
}

// One line of the burst, from s to its end e (its LF, or the burst length).
static void proceso_linea_gps(stdatos_rafaga_gps* pdatos, uint16_t s, uint16_t e) {
    const uint8_t* pctrama = modulo_gps.cframe_rx;
    uint8_t cchecksum = 0;

    if (modulo_gps.cdebug == 2) {
        linea();
        Serial1.print("Procesando: ");
        imprimo_linea_gps(s, e);
        linea();
    }

    uint16_t itipo = static_cast<uint16_t>(s + POSICION_TIPO_TRAMA);
    if (clave_en_linea(itipo, m_trama_gga, e) == 1) {
        pdatos->cframe_gga = 1;
        pdatos->calguna_trama_procesada = 1;
        if (comprobacion_checksum_nmea(pctrama, s, e, &cchecksum) == 0) informo_checksum_erroneo(cchecksum);
        else proceso_gga(pdatos, s, e);
    } else if (clave_en_linea(itipo, m_trama_gsa, e) == 1) {
        pdatos->cframe_gsa = 1;
        pdatos->calguna_trama_procesada = 1;
        if (comprobacion_checksum_nmea(pctrama, s, e, &cchecksum) == 0) {
            informo_checksum_erroneo(cchecksum);
        } else {
            lectura_dop(15, s, e, &pdatos->cpdop);
            lectura_dop(16, s, e, &pdatos->chdop);
            lectura_dop(17, s, e, &pdatos->cvdop);
        }
    } else if (clave_en_linea(itipo, m_trama_zda, e) == 1) {
        pdatos->cframe_zda = 1;
        pdatos->calguna_trama_procesada = 1;
        if (comprobacion_checksum_nmea(pctrama, s, e, &cchecksum) == 0) informo_checksum_erroneo(cchecksum);
        else proceso_zda(pdatos, s, e);
    } else if (clave_en_linea(s, m_trama_respuesta_ack, e) == 1) {
        pdatos->calguna_trama_procesada = 1;
        if (comprobacion_checksum_nmea(pctrama, s, e, &cchecksum) == 0) {
            informo_checksum_erroneo(cchecksum);
        } else {
            uint32_t lcomando = 0;
            if (extraccion_dato_nmea2(1, pctrama, s, e, &lcomando) == 1) {
                if (modulo_gps.cconfigurado == GPS_HABILITAR_SBAS && lcomando == ACK_SBAS) {
                    modulo_gps.cconfigurado = GPS_FUNCIONANDO;
                }
                modulo_gps.cdelay = 0;
            }
        }
    } else if (clave_en_linea(s, m_trama_respuesta_configuracion_l76lb, e) == 1) {
        pdatos->calguna_trama_procesada = 1;
        if (modulo_gps.ctipo != GPS_TIPO_PMTK) {
            modulo_gps.ctipo = GPS_TIPO_PMTK;
            Serial1.println("Identificado modulo L76LB");
        }
    } else if (clave_en_linea(s, m_trama_UC6226NIS, e) == 1) {
        pdatos->calguna_trama_procesada = 1;
        if (modulo_gps.ctipo != GPS_TIPO_CFGMSG) {
            modulo_gps.ctipo = GPS_TIPO_CFGMSG;
            Serial1.println("Identificado modulo SIM66M");
        }
    } else if (clave_en_linea(s, m_trama_sim66md, e) == 1) {
        pdatos->calguna_trama_procesada = 1;
        if (modulo_gps.ctipo != GPS_TIPO_CFGMSG) {
            modulo_gps.ctipo = GPS_TIPO_CFGMSG;
            Serial1.println("Identificado modulo SIM66MD");
        }
        modulo_gps.cconfigurado = GPS_RECONFIGURAR_CFGMSG;
    } else if (clave_en_linea(s, m_trama_sim66m, e) == 1) {
        // A receiver announcing itself by its module name rather than its chip's
        // ("SIM66MD" is tested first: it begins with these letters) is of the same family;
        // left as PMTK it would be sent the SBAS command for ever and never configured.
        pdatos->calguna_trama_procesada = 1;
        if (modulo_gps.ctipo != GPS_TIPO_CFGMSG) {
            modulo_gps.ctipo = GPS_TIPO_CFGMSG;
            Serial1.println("Identificado modulo SIM66M");
        }
    } else if (clave_en_linea(s, m_trama_respuesta_configuracion_sim66m, e) == 1) {
        pdatos->calguna_trama_procesada = 1;
    } else if (clave_en_linea(s, m_frame_ok, e) == 1) {
        pdatos->calguna_trama_procesada = 1;
        reset_datos_gps();
        uint8_t cestado = modulo_gps.cconfigurado;
        if (cestado >= 10 && cestado <= 24 && cestado % 2 == 0) modulo_gps.cconfigurado = static_cast<uint8_t>(cestado + 1);
    } else if (modulo_gps.cconfigurado == GPS_FUNCIONANDO &&
               comprobacion_checksum_nmea(pctrama, s, e, &cchecksum) == 1) {
        // A sentence type the receiver should not be sending: configure it again.
        if (modulo_gps.cdebug == 2) {
            linea();
            Serial1.print("Trama no procesada: ");
            imprimo_linea_gps(s, e);
            linea();
        }
        modulo_gps.cconfigurado = modulo_gps.ctipo == GPS_TIPO_PMTK ? GPS_RECONFIGURAR_PMTK : GPS_RECONFIGURAR_CFGMSG;
        modulo_gps.cdelay = RETARDO_REPETICION_GPS;
    }
}

// Two bursts without a recognised line: the next rate. The first recognised burst at a
// new rate confirms it: stored at EEPROM 1025, receiver off for 3 s and started again.
static void busqueda_baudios_gps(const stdatos_rafaga_gps* pdatos) {
    if (pdatos->calguna_trama_procesada == 0) {
        modulo_gps.cframes_no_procesadas = static_cast<uint8_t>(modulo_gps.cframes_no_procesadas + 1);
        if (modulo_gps.cframes_no_procesadas >= RAFAGAS_SIN_RECONOCER_MAXIMAS) {
            modulo_gps.cframes_no_procesadas = 0;
            reconversion_baudios_gps(1);
            modulo_gps.cconfigurado = GPS_FUNCIONANDO;
            modulo_gps.ccambio_baudios_gps = 1;
        }
    } else if (modulo_gps.ccambio_baudios_gps == 1) {
        modulo_gps.cconfigurado = GPS_APAGADO;
        digitalWrite(PIN_ALIMENTACION_GPS, LOW);
        Serial3.flush();
        Serial3.end();
        modulo_gps.ccambio_baudios_gps = 0;
        modulo_gps.cdelay = RETARDO_REARRANQUE_GPS;
        writeEEPROM_variable(modulo_gps.cbaudios_gps, EE_BAUDIOS_GPS, 1);
    }
}

// A dilution in tenths as units digit, '.', tenths digit.
static void imprimo_dop(uint8_t cdop, uint8_t cterminador) {
    transmito_variable(cdop / 10, 0, '.');
    transmito_variable(cdop % 10, 0, cterminador);
}

// The hemisphere letter of the burst's own position, beside the numbers it belongs to (the
// record's letter is 0 until the first capture and would print a NUL); nothing when the
// burst had no GGA.
static void imprimo_hemisferio(uint8_t cletra) {
    if (cletra != 0) Serial1.print(static_cast<char>(cletra));
}

static void imprimo_resumen_gps(const stdatos_rafaga_gps* pdatos) {
    linea();
    Serial1.print("Fecha UTC:");
    transmito_variable(modulo_gps.cdia_zda, 2, '/');
    transmito_variable(modulo_gps.cmes_zda, 2, '/');
    transmito_variable(modulo_gps.cano_zda, 2, ' ');
    transmito_variable(modulo_gps.chora_zda, 2, ':');
    transmito_variable(modulo_gps.cminuto_zda, 2, ':');
    transmito_variable(modulo_gps.csegundo_zda, 2, '.');
    transmito_variable(pdatos->imilisimas_zda, 3, 0);
    Serial1.print(" Sat:");
    transmito_variable(pdatos->csatelites, 0, 0);
    Serial1.print(" Calidad:");
    imprimo_dop(pdatos->cpdop, '/');
    imprimo_dop(pdatos->chdop, '/');
    imprimo_dop(pdatos->cvdop, 0);
    Serial1.print("  Actual: Lat ");
    transmito_variable(pdatos->cgrados_latitud, 2, '*');
    transmito_variable(pdatos->cminutos_latitud, 2, '.');
    transmito_variable(pdatos->idiez_milesimas_minutos_latitud, CIFRAS_FRACCION_MINUTOS, 0);
    imprimo_hemisferio(pdatos->cnorte_sur);
    Serial1.print(" Long ");
    transmito_variable(pdatos->cgrados_longitud, 3, '*');
    transmito_variable(pdatos->cminutos_longitud, 2, '.');
    transmito_variable(pdatos->idiez_milesimas_minutos_longitud, CIFRAS_FRACCION_MINUTOS, 0);
    imprimo_hemisferio(pdatos->ceste_oeste);
    linea();
}

// "$GPS,yy,mm,dd,hh,mm,ss,sat,lat deg,min,fraction,N/S,lon deg,min,fraction,E/W,pdop,hdop,vdop*hh"
// in cbuffer_kvx03, NUL-terminated and marked for sending.
static void construccion_trama_gps() {
    const uint8_t ctipo = TIPO_BUFFER_KVX03;
    comienzo_trama_kvx03("GPS,");
    insertamos_variable_buffer(cbuffer_kvx03, cano_utc, 2, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, cmes_utc, 2, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, cdia_utc, 2, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, chora_utc, 2, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, cminuto_utc, 2, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, csegundo_utc, 2, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, modulo_gps.csatelites, 0, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, modulo_gps.cgrados_latitud, 0, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, modulo_gps.cminutos_latitud, 0, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, modulo_gps.idiez_milesimas_minutos_latitud, CIFRAS_FRACCION_MINUTOS, ',',
                               ctipo);
    inserto_caracter_buffer(cbuffer_kvx03, static_cast<char>(modulo_gps.cnorte_sur), ctipo);
    inserto_caracter_buffer(cbuffer_kvx03, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, modulo_gps.cgrados_longitud, 0, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, modulo_gps.cminutos_longitud, 0, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, modulo_gps.idiez_milesimas_minutos_longitud, CIFRAS_FRACCION_MINUTOS,
                               ',', ctipo);
    inserto_caracter_buffer(cbuffer_kvx03, static_cast<char>(modulo_gps.ceste_oeste), ctipo);
    inserto_caracter_buffer(cbuffer_kvx03, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, modulo_gps.cpdop, 0, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, modulo_gps.chdop, 0, ',', ctipo);
    insertamos_variable_buffer(cbuffer_kvx03, modulo_gps.cvdop, 0, TERMINADOR_NINGUNO, ctipo);
    fin_trama_kvx03();
}

// Arms the clock-rate correction after a capture. cdia/chora/cminuto/csegundo_reloj: the
// firmware's own clock as it read when the fix arrived, before the capture set it.
static void armado_correccion_reloj(uint8_t cdia_reloj, uint8_t chora_reloj, uint8_t cminuto_reloj,
                                    uint8_t csegundo_reloj) {
    if (Tiempo_Ajustar_Hora == 1) {
        // The clock was just set: restart the pending sensor-time measurement.
        Tiempo_Capturar_Hora_Inicial = 1;
        Tiempo_Revision_Hora_GPS = 0;
        return;
    }
    if (cdia_gps_anterior == 0) {
        cdia_gps_anterior = modulo_gps.cdia_zda;
        chora_gps_anterior = modulo_gps.chora_zda;
        cminuto_gps_anterior = modulo_gps.cminuto_zda;
        csegundo_gps_anterior = modulo_gps.csegundo_zda;
        Serial1.print("Hora anterior GPS (Recepcion GPS):");
        transmito_variable(chora_gps_anterior, 2, ':');
        transmito_variable(cminuto_gps_anterior, 2, ':');
        transmito_variable(csegundo_gps_anterior, 2, TERMINADOR_LINEA);
        return;
    }
    // The comparison time is the firmware's own clock at the reception, not the GPS time
    // just written into it (which would make every comparison come out 0): since the
    // previous capture set the clock to GPS time, its distance from the previous GPS time
    // is what the firmware counted, and the GPS distance is what really passed.
    cdia_comparativa = cdia_reloj;
    chora_comparativa = chora_reloj;
    cminuto_comparativa = cminuto_reloj;
    csegundo_comparativa = csegundo_reloj;
    Tiempo_Ajustar_Hora = 1;
    Tiempo_Revision_Hora_GPS = 1;
    Serial1.print("Hora comparativa UTC (Recepcion GPS):");
    transmito_variable(chora_comparativa, 2, ':');
    transmito_variable(cminuto_comparativa, 2, ':');
    transmito_variable(csegundo_comparativa, 2, TERMINADOR_LINEA);
}

// A complete and good fix: clock, record, clock-rate correction, host sentence, receiver off.
static void captura_gps(const stdatos_rafaga_gps* pdatos) {
    // The firmware's clock as it reads now, before it is overwritten.
    uint8_t cdia_reloj = cdia_utc, chora_reloj = chora_utc, cminuto_reloj = cminuto_utc,
            csegundo_reloj = csegundo_utc;

    cmes_utc = modulo_gps.cmes_zda;
    cdia_utc = modulo_gps.cdia_zda;
    cano_utc = modulo_gps.cano_zda;
    chora_utc = modulo_gps.chora_zda;
    cminuto_utc = modulo_gps.cminuto_zda;
    csegundo_utc = modulo_gps.csegundo_zda;

    modulo_gps.csatelites = pdatos->csatelites;
    modulo_gps.cgrados_latitud = pdatos->cgrados_latitud;
    modulo_gps.cminutos_latitud = pdatos->cminutos_latitud;
    modulo_gps.idiez_milesimas_minutos_latitud = pdatos->idiez_milesimas_minutos_latitud;
    modulo_gps.cnorte_sur = pdatos->cnorte_sur;
    modulo_gps.cgrados_longitud = pdatos->cgrados_longitud;
    modulo_gps.cminutos_longitud = pdatos->cminutos_longitud;
    modulo_gps.idiez_milesimas_minutos_longitud = pdatos->idiez_milesimas_minutos_longitud;
    modulo_gps.ceste_oeste = pdatos->ceste_oeste;
    modulo_gps.cpdop = pdatos->cpdop;
    modulo_gps.chdop = pdatos->chdop;
    modulo_gps.cvdop = pdatos->cvdop;

    if (CTE_AJUSTE_RELOJ == 1) armado_correccion_reloj(cdia_reloj, chora_reloj, cminuto_reloj, csegundo_reloj);

    // Held at 255 rather than wrapping: a wrap to 1 would read as the first capture since
    // start and ask for another reset review.
    if (CONT_TRAMAS_GPS < 255) CONT_TRAMAS_GPS = static_cast<uint8_t>(CONT_TRAMAS_GPS + 1);
    if (CONT_TRAMAS_GPS == 1) cRevision_Resets_24h = 1;

    Serial1.print("Fecha capturada:");
    transmito_variable(cdia_utc, 2, '/');
    transmito_variable(cmes_utc, 2, '/');
    transmito_variable(cano_utc, 2, ' ');
    transmito_variable(chora_utc, 2, ':');
    transmito_variable(cminuto_utc, 2, ':');
    transmito_variable(csegundo_utc, 2, TERMINADOR_LINEA);

    cpeticion_nueva_hora = 0;
    cfecha_capturada = 1;
    choras_sin_sincronizacion_gps = 0;

    construccion_trama_gps();
    modulo_gps.cconfigurado = GPS_APAGAR;
    cmostramos_hora = 1;
}

void procesamos_gps() {
    // Only a burst received in this pass is processed: the record keeps the last one, which
    // must not be processed again on every pass that finds the port silent.
    const uint16_t ibytes = recepcion_rafaga_gps();
    if (ibytes == 0) return;

    stdatos_rafaga_gps datos;
    inicio_datos_rafaga(&datos);
    uint16_t s = 0;
    while (s < ibytes) {
        uint16_t e = ibusqueda_dato_gps(modulo_gps.cframe_rx, '\n', 1, s);
        proceso_linea_gps(&datos, s, e);
        s = static_cast<uint16_t>(e + 1);
    }

    busqueda_baudios_gps(&datos);
    if (modulo_gps.cdebug != 0) imprimo_resumen_gps(&datos);

    if (datos.csatelites > SATELITES_MINIMOS && modulo_gps.cconfigurado == GPS_FUNCIONANDO) {
        if (datos.cframe_gga == 1 && datos.cframe_gsa == 1 && datos.cframe_zda == 1) {
            modulo_gps.ctimeout_frame = 0;
        } else {
            modulo_gps.ctimeout_frame = static_cast<uint8_t>(modulo_gps.ctimeout_frame + 1);
            if (modulo_gps.ctimeout_frame > RAFAGAS_INCOMPLETAS_MAXIMAS) {
                modulo_gps.cconfigurado = GPS_RECONFIGURAR_CFGMSG;
                modulo_gps.ctimeout_frame = 0;
            }
            return;
        }
    } else {
        modulo_gps.ctimeout_frame = 0;
        if (datos.csatelites <= SATELITES_MINIMOS) return;
    }

    if (datos.cpdop > DOP_MAXIMO_CAPTURA || datos.chdop > DOP_MAXIMO_CAPTURA || datos.cvdop > DOP_MAXIMO_CAPTURA) return;
    if (datos.cgrados_latitud == SIN_LATITUD || datos.cgrados_longitud == SIN_LONGITUD) return;
    if (waves.ctest == 1) return;
    if (modulo_gps.cconfigurado != GPS_FUNCIONANDO) return;
    if (verificacion_limites_fecha(modulo_gps.cano_zda, modulo_gps.cmes_zda, modulo_gps.cdia_zda, modulo_gps.chora_zda,
                                   modulo_gps.cminuto_zda, modulo_gps.csegundo_zda) != 0) {
        return;
    }
    captura_gps(&datos);
}
