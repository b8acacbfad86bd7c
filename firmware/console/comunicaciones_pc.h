// Text and field helpers: builders that append fixed-format fields to the record buffers,
// console printers, parsers of numeric text fields, and the welcome banner. Main loop.
#pragma once

#include <stdint.h>

// ---------------------------------------------------------------- buffer builders
// ctipo selects the buffer's write count in ibytes_a_escribir_sd (0 raw, 1 wav, 2 res,
// 3 host sentence, 4 result summary) and its capacity; characters that find the buffer
// full are dropped. ccaracter_final: 0 nothing, 1 CR LF, any other value that character.
void inserto_caracter_buffer(char* pcbuffer, char ccaracter, uint8_t ctipo);
void insertamos_mensaje_buffer(char* pcbuffer, const char* pcmensaje, uint8_t ctipo);
// laux in decimal: cnumero_cifras positions with leading zeros, or 0 for no leading zeros.
void insertamos_variable_buffer(char* pcbuffer, uint32_t laux, uint8_t cnumero_cifras,
                                char ccaracter_final, uint8_t ctipo);
// laux in upper-case hexadecimal, exactly cnumero_cifras digits.
void insertamos_variable_hex_buffer(char* pcbuffer, uint32_t laux, uint8_t cnumero_cifras,
                                    char ccaracter_final, uint8_t ctipo);
// Sign (space or '-') and the magnitude as "%010.4f": 11 characters. Magnitudes from
// 99999.9999 on and the infinities give " 99999.9999" or "-99999.9999"; a NaN gives
// "        nan" (or "       -nan" with the sign bit set). Integer arithmetic only.
// cnumero_cifras and cnumero_decimales are accepted and not used: the layout is fixed.
void insertamos_variable_float_buffer_v02(char* pcbuffer, float fvalor, uint8_t cnumero_cifras,
                                          uint8_t cnumero_decimales, char ccaracter_final,
                                          uint8_t ctipo);

// ---------------------------------------------------------------- console printers
void linea();                                      // CR LF on the console
void linea_asteriscos(uint8_t ccantidad);          // ccantidad '*' and CR LF on the console
// laux in decimal by the field rule (a value wider than the field is printed whole), then
// ccon_linea: 1 CR LF, 0 nothing, any other value that character.
void transmito_variable(uint32_t laux, uint8_t cnumero_cifras, uint8_t ccon_linea);

// ---------------------------------------------------------------- parsers
// 1 if the bytes of pctrama_comparar from iinicio equal the text pctrama_comparada; a
// non-zero clongitud_comparada must also equal the text's length.
uint8_t comparacion(uint16_t iinicio, const uint8_t* pctrama_comparar,
                    const char* pctrama_comparada, uint8_t clongitud_comparada);
// Value of a text character: '0'..'9' 0..9, 'A'..'F' 10..15, ' ' 252, '-' 253, '.' 254,
// anything else 255.
uint8_t desconversion_ascii(uint8_t cascii);
// The decimal number in ccantidad characters from iposicion_mas_significativa; characters
// other than digits are skipped. At most 10 digits are taken (the last ten).
uint32_t conversion_ascii_decimal(uint16_t iposicion_mas_significativa, uint8_t ccantidad,
                                  const uint8_t* pctrama);
// The signed decimal number with optional point in those characters; 0 characters give 0.
float conversion_ascii_float(uint16_t iposicion_mas_significativa, uint8_t ccantidad,
                             const uint8_t* pctrama);

// ---------------------------------------------------------------- banner
// The welcome banner with the versions, on the console and on the host port.
void mensaje_bienvenida();
