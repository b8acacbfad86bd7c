// Text and field helpers shared by every record, sentence and console line, and the
// welcome banner. The builders work in place on the static record buffers with 32-bit
// integer division; the float field builds its ten characters in a temporary text. Main loop.
#include "console/comunicaciones_pc.h"

#include <math.h>
#include <string.h>

#include "core/ondavix_hw4_fw8_1.h"
#include "declaraciones.h"
#include "platform.h"

const uint32_t lvalores_decimales[10] = {1u, 10u, 100u, 1000u, 10000u, 100000u,
                                         1000000u, 10000000u, 100000000u, 1000000000u};
const uint32_t lvalores_hexadecimales[8] = {0x1u, 0x10u, 0x100u, 0x1000u,
                                            0x10000u, 0x100000u, 0x1000000u, 0x10000000u};
const char cvalores_ascii[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                 '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

uint8_t ccalculo_checksum_nmea = 0;  // 1 = inserted characters go into the checksum
uint8_t cchecksum_nmea_kvx03 = 0;    // running XOR of the checksummed characters
uint16_t ibytes_a_escribir_sd[CANTIDAD_TIPOS_BUFFER] = {0, 0, 0, 0, 0};

// Capacity in characters of each buffer kind.
static const uint16_t itam_buffer[CANTIDAD_TIPOS_BUFFER] = {
    TAM_BUFFER_RAW, TAM_BUFFER_WAV, TAM_BUFFER_RES, TAM_BUFFER_KVX03, TAM_BUFFER_PROMEDIO};

// Decision on a leading quotient above 15 (a value wider than its field, which no caller
// produces): the field gets this mark in that position instead of a digit. It keeps the
// record's width, cannot be mistaken for a number, and the 16-entry digit table is never
// indexed past its end.
static constexpr char CARACTER_DESBORDAMIENTO = '*';

// Decimal positions beyond the ten of lvalores_decimales (and hexadecimal ones beyond the
// eight of lvalores_hexadecimales) can only hold a zero in 32 bits.
static constexpr uint8_t POSICIONES_DECIMALES = 10;
static constexpr uint8_t POSICIONES_HEXADECIMALES = 8;

static char caracter_digito(uint32_t lcociente) {
    return lcociente <= 15 ? cvalores_ascii[lcociente] : CARACTER_DESBORDAMIENTO;
}

// ---------------------------------------------------------------- buffer builders

void inserto_caracter_buffer(char* pcbuffer, char ccaracter, uint8_t ctipo) {
    if (ctipo >= CANTIDAD_TIPOS_BUFFER) return;
    if (ibytes_a_escribir_sd[ctipo] >= itam_buffer[ctipo]) return;
    pcbuffer[ibytes_a_escribir_sd[ctipo]] = ccaracter;
    if (ccalculo_checksum_nmea == 1) {
        cchecksum_nmea_kvx03 = static_cast<uint8_t>(cchecksum_nmea_kvx03 ^ static_cast<uint8_t>(ccaracter));
    }
    ibytes_a_escribir_sd[ctipo] = static_cast<uint16_t>(ibytes_a_escribir_sd[ctipo] + 1);
}

void insertamos_mensaje_buffer(char* pcbuffer, const char* pcmensaje, uint8_t ctipo) {
    for (; *pcmensaje != 0; ++pcmensaje) inserto_caracter_buffer(pcbuffer, *pcmensaje, ctipo);
}

// Appends the terminator of a field: 0 nothing, 1 CR LF, otherwise that character.
static void inserto_terminador(char* pcbuffer, char ccaracter_final, uint8_t ctipo) {
    if (ccaracter_final == TERMINADOR_NINGUNO) return;
    if (ccaracter_final == TERMINADOR_LINEA) {
        inserto_caracter_buffer(pcbuffer, '\r', ctipo);
        inserto_caracter_buffer(pcbuffer, '\n', ctipo);
        return;
    }
    inserto_caracter_buffer(pcbuffer, ccaracter_final, ctipo);
}

// laux / ldivisor, laux left as the remainder. The chip has no divide instruction and a
// library division costs tens of cycles: a digit's quotient (0..9) is counted by
// subtraction; a larger one (a value with more digits than its field, printed as the
// overflow character) falls back to the division.
static uint32_t cociente_digito(uint32_t& laux, uint32_t ldivisor) {
    uint32_t lcociente = 0;
    while (laux >= ldivisor) {
        if (++lcociente == 10) {
            lcociente += (laux - ldivisor) / ldivisor;
            laux = (laux - ldivisor) % ldivisor;
            return lcociente;
        }
        laux -= ldivisor;
    }
    return lcociente;
}

void insertamos_variable_buffer(char* pcbuffer, uint32_t laux, uint8_t cnumero_cifras,
                                char ccaracter_final, uint8_t ctipo) {
    uint8_t csuprimir_ceros = cnumero_cifras == 0 ? 1 : 0;
    uint8_t cposiciones = cnumero_cifras == 0 ? POSICIONES_DECIMALES : cnumero_cifras;
    uint8_t cemitiendo = csuprimir_ceros == 0 ? 1 : 0;
    for (int16_t p = static_cast<int16_t>(cposiciones - 1); p >= 0; --p) {
        uint32_t lcociente = 0;
        if (p < POSICIONES_DECIMALES) lcociente = cociente_digito(laux, lvalores_decimales[p]);
        if (lcociente != 0) cemitiendo = 1;
        if (cemitiendo == 1 || p == 0) inserto_caracter_buffer(pcbuffer, caracter_digito(lcociente), ctipo);
    }
    inserto_terminador(pcbuffer, ccaracter_final, ctipo);
}

void insertamos_variable_hex_buffer(char* pcbuffer, uint32_t laux, uint8_t cnumero_cifras,
                                    char ccaracter_final, uint8_t ctipo) {
    for (int16_t p = static_cast<int16_t>(cnumero_cifras - 1); p >= 0; --p) {
        uint32_t lcociente = 0;
        if (p < POSICIONES_HEXADECIMALES) {
            // Powers of 16: shifts, not divisions.
            lcociente = laux >> (4 * p);
            laux &= lvalores_hexadecimales[p] - 1u;
        }
        inserto_caracter_buffer(pcbuffer, caracter_digito(lcociente), ctipo);
    }
    inserto_terminador(pcbuffer, ccaracter_final, ctipo);
}

// The field is built from the bits of the float with integer arithmetic only, giving the
// bytes a correctly rounded "%010.4f" gives (glibc's: round half to even on the exact binary
// value, "-0000.0000" for negative zero, "nan"/"-nan" right-aligned in spaces), with no
// formatted print, no float parsing and no software floating point on the chip.
void insertamos_variable_float_buffer_v02(char* pcbuffer, float fvalor, uint8_t cnumero_cifras,
                                          uint8_t cnumero_decimales, char ccaracter_final,
                                          uint8_t ctipo) {
    (void)cnumero_cifras;
    (void)cnumero_decimales;
    uint32_t lbits = 0;
    memcpy(&lbits, &fvalor, sizeof lbits);
    uint8_t cnegativo = (lbits >> 31) != 0 ? 1 : 0;
    uint32_t lexponente = (lbits >> 23) & 0xFFu;
    uint32_t lmantisa = lbits & 0x7FFFFFu;
    uint32_t lmagnitud = lbits & 0x7FFFFFFFu;

    if (lexponente == 0xFFu && lmantisa != 0) {
        // Not a number: a space (it is not below zero) and the sign bit's text.
        insertamos_mensaje_buffer(pcbuffer, cnegativo ? "       -nan" : "        nan", ctipo);
        inserto_terminador(pcbuffer, ccaracter_final, ctipo);
        return;
    }
    // 100000.0f (0x47C35000) is the first float at or past 99999.9999: from there on, and
    // for the infinities, the field is the fixed text of the largest value.
    if (lmagnitud >= 0x47C35000u) {
        insertamos_mensaje_buffer(pcbuffer, cnegativo ? "-99999.9999" : " 99999.9999", ctipo);
        inserto_terminador(pcbuffer, ccaracter_final, ctipo);
        return;
    }
    // Negative zero is not below zero: a space, then the sign inside the zero-padded text.
    inserto_caracter_buffer(pcbuffer, cnegativo && lmagnitud != 0 ? '-' : ' ', ctipo);
    uint8_t csigno_en_texto = cnegativo && lmagnitud == 0 ? 1 : 0;

    // Magnitude = m * 2^e exactly; the field holds it in units of 1e-4, rounded half to even.
    if (lexponente != 0) lmantisa |= 0x800000u;
    int32_t lexp2 = static_cast<int32_t>(lexponente != 0 ? lexponente : 1) - 150;
    uint32_t ldiezmilesimas = 0;
    if (lexp2 >= 0) {
        // Whole numbers below 100000: the shift and the product fit in 32 bits.
        ldiezmilesimas = (lmantisa << lexp2) * 10000u;
    } else if (lexp2 > -40) {
        // m * 10000 < 2^38: below 2^-39 of it the value is under half a unit and rounds to 0.
        uint64_t lproducto = static_cast<uint64_t>(lmantisa) * 10000u;
        uint32_t cdesplazamiento = static_cast<uint32_t>(-lexp2);
        uint64_t lresto = lproducto & ((1ull << cdesplazamiento) - 1u);
        uint64_t lmitad = 1ull << (cdesplazamiento - 1u);
        ldiezmilesimas = static_cast<uint32_t>(lproducto >> cdesplazamiento);
        if (lresto > lmitad || (lresto == lmitad && (ldiezmilesimas & 1u) != 0)) ++ldiezmilesimas;
    }

    // Ten characters: five integer digits (four after a sign), the point, four decimals.
    char ctexto[11];
    // Digit p stands for 10^(8-p) before the point, 10^(9-p) after it (below 10^9: one
    // digit each, counted by subtraction).
    uint32_t lresto = ldiezmilesimas;
    for (uint8_t p = 0; p < 10; ++p) {
        if (p == 5) {
            ctexto[5] = '.';
            continue;
        }
        uint8_t cpotencia = static_cast<uint8_t>(p < 5 ? 8 - p : 9 - p);
        ctexto[p] = static_cast<char>('0' + cociente_digito(lresto, lvalores_decimales[cpotencia]));
    }
    if (csigno_en_texto) ctexto[0] = '-';
    ctexto[10] = 0;
    // No self-check of the text against the value: it is exact by construction, and reading
    // it back would need the float parser this formatter exists to avoid.
    insertamos_mensaje_buffer(pcbuffer, ctexto, ctipo);
    inserto_terminador(pcbuffer, ccaracter_final, ctipo);
}

// ---------------------------------------------------------------- console printers

// ccantidad '*' characters and CR LF on a port.
static void asteriscos(Print& puerto, uint8_t ccantidad) {
    for (uint8_t i = 0; i < ccantidad; ++i) puerto.print('*');
    puerto.println();
}

// A console line of 100 bytes and more holds the loop some 9 ms at 115200 baud once the
// transmit queue is full: the sensor's port is seen to at every line end.
void linea() {
    Serial1.println();
    atiende_puerto_sensor();
}

void linea_asteriscos(uint8_t ccantidad) { asteriscos(Serial1, ccantidad); }

void transmito_variable(uint32_t laux, uint8_t cnumero_cifras, uint8_t ccon_linea) {
    uint8_t csuprimir_ceros = cnumero_cifras == 0 ? 1 : 0;
    uint8_t cposiciones = cnumero_cifras == 0 ? POSICIONES_DECIMALES : cnumero_cifras;
    uint8_t cemitiendo = csuprimir_ceros == 0 ? 1 : 0;
    for (int16_t p = static_cast<int16_t>(cposiciones - 1); p >= 0; --p) {
        uint32_t lcociente = 0;
        if (p < POSICIONES_DECIMALES) {
            lcociente = laux / lvalores_decimales[p];
            laux = laux % lvalores_decimales[p];
        }
        if (lcociente != 0) cemitiendo = 1;
        // The highest position carries the whole quotient, printed in decimal.
        if (cemitiendo == 1 || p == 0) Serial1.print(lcociente);
    }
    if (ccon_linea == TERMINADOR_LINEA) {
        Serial1.println();
    } else if (ccon_linea != TERMINADOR_NINGUNO) {
        Serial1.print(static_cast<char>(ccon_linea));
    }
}

// ---------------------------------------------------------------- parsers

uint8_t comparacion(uint16_t iinicio, const uint8_t* pctrama_comparar,
                    const char* pctrama_comparada, uint8_t clongitud_comparada) {
    uint16_t ilongitud = 0;
    while (pctrama_comparada[ilongitud] != 0) ++ilongitud;
    if (clongitud_comparada != 0 && clongitud_comparada != ilongitud) return 0;
    for (uint16_t i = 0; i < ilongitud; ++i) {
        if (pctrama_comparar[iinicio + i] != static_cast<uint8_t>(pctrama_comparada[i])) return 0;
    }
    return 1;
}

uint8_t desconversion_ascii(uint8_t cascii) {
    if (cascii >= '0' && cascii <= '9') return static_cast<uint8_t>(cascii - '0');
    if (cascii >= 'A' && cascii <= 'F') return static_cast<uint8_t>(cascii - 'A' + 10);
    if (cascii == ' ') return 252;
    if (cascii == '-') return 253;
    if (cascii == '.') return 254;
    return 255;
}

uint32_t conversion_ascii_decimal(uint16_t iposicion_mas_significativa, uint8_t ccantidad,
                                  const uint8_t* pctrama) {
    uint32_t lresultado = 0;
    uint8_t cdigitos = 0;
    for (int16_t i = static_cast<int16_t>(ccantidad - 1); i >= 0; --i) {
        uint8_t cvalor = desconversion_ascii(pctrama[iposicion_mas_significativa + i]);
        if (cvalor > 9 || cdigitos >= POSICIONES_DECIMALES) continue;
        lresultado += cvalor * lvalores_decimales[cdigitos];
        ++cdigitos;
    }
    return lresultado;
}

float conversion_ascii_float(uint16_t iposicion_mas_significativa, uint8_t ccantidad,
                             const uint8_t* pctrama) {
    uint32_t lsuma = 0;
    uint8_t cdigitos = 0;
    uint8_t cdecimales = 0;
    uint8_t cpunto = 0;
    uint8_t cnegativo = 0;
    for (int16_t i = static_cast<int16_t>(ccantidad - 1); i >= 0; --i) {
        uint8_t cvalor = desconversion_ascii(pctrama[iposicion_mas_significativa + i]);
        if (cvalor == 253) {
            cnegativo = 1;
        } else if (cvalor == 254) {
            cpunto = 1;
        } else if (cvalor <= 9 && cdigitos < POSICIONES_DECIMALES) {
            lsuma += cvalor * lvalores_decimales[cdigitos];
            ++cdigitos;
            if (cpunto == 0) ++cdecimales;
        }
    }
    float fresultado = static_cast<float>(lsuma);
    if (cpunto == 1) {
        // Ten decimals lie one past the powers table.
        float fdivisor = cdecimales < POSICIONES_DECIMALES
                             ? static_cast<float>(lvalores_decimales[cdecimales])
                             : 1e10f;
        fresultado /= fdivisor;
    }
    return cnegativo == 1 ? -fresultado : fresultado;
}

// ---------------------------------------------------------------- banner

static const char m_fabricante[] = "KESTRALUM";
// The maker's motto.
static const char m_lema[] = "Medimos el mar, ola a ola.";
static const char m_producto[] = "ONDAVIX";
static constexpr uint8_t VERSION_HARDWARE_MAYOR = 4;
static constexpr uint8_t VERSION_HARDWARE_MENOR = 0;
static constexpr uint8_t VERSION_FIRMWARE_MAYOR = 8;
static constexpr uint8_t VERSION_FIRMWARE_MENOR = 1;
static constexpr uint8_t ANCHO_BANNER = 79;

// Lines of the banner above the versions, the same on both ports.
static void cabecera_banner(Print& puerto) {
    puerto.println();
    asteriscos(puerto, ANCHO_BANNER);
    puerto.print("\t\t");
    puerto.println(m_fabricante);
    puerto.print("\t\t");
    puerto.println(m_lema);
    asteriscos(puerto, ANCHO_BANNER);
}

void mensaje_bienvenida() {
    // Console: versions as fixed fields (Hardware:04_0, Firmware:08_01).
    cabecera_banner(Serial1);
    Serial1.print('\t');
    Serial1.print(m_producto);
    Serial1.print("\tHardware:");
    transmito_variable(VERSION_HARDWARE_MAYOR, 2, '_');
    transmito_variable(VERSION_HARDWARE_MENOR, 1, '\t');
    Serial1.print("Firmware:");
    transmito_variable(VERSION_FIRMWARE_MAYOR, 2, '_');
    transmito_variable(VERSION_FIRMWARE_MENOR, 2, TERMINADOR_LINEA);
    linea_asteriscos(ANCHO_BANNER);
    linea();

    // Host: plain decimal numbers (Hardware:4_0, Firmware:8_1).
    cabecera_banner(Serial0);
    Serial0.print('\t');
    Serial0.print(m_producto);
    Serial0.print("\tHardware:");
    Serial0.print(VERSION_HARDWARE_MAYOR);
    Serial0.print("_");
    Serial0.print(VERSION_HARDWARE_MENOR);
    Serial0.print("\tFirmware:");
    Serial0.print(VERSION_FIRMWARE_MAYOR);
    Serial0.print("_");
    Serial0.println(VERSION_FIRMWARE_MENOR);
    asteriscos(Serial0, ANCHO_BANNER);
    Serial0.println();
}
