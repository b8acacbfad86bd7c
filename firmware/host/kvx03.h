// The host link: validation of a received "$KVX03" block, the reply framing shared by every
// outgoing "$OLA," sentence, and the telecommands of groups 1 to 15. Main loop only.
#pragma once

#include <stdint.h>

// Header every telecommand starts with.
extern const char m_trama_kvx03[];

// Status values of a reply.
constexpr uint8_t KVX03_HECHO = 1;      // 01: done
constexpr uint8_t KVX03_RECHAZADO = 33; // 33: rejected

// EEPROM erase arming counter: 30 arms (or disarms) it, each 31 advances it, the erase
// runs when it reaches 4. 0 at start.
extern uint8_t borrar_eeprom;
constexpr uint8_t PASOS_BORRADO_EEPROM = 4;

// Validates and executes the block in ctrama_rx_kvx03 (ccantidad_bytes_rx_kvx03 bytes). In
// transparent mode the block is first copied to the sensor port. A block with a bad
// checksum, another header, or a group or command that is not listed gets no reply;
// otherwise the reply is left in cbuffer_kvx03 with cdatos_tx_kvx03 = 1.
void procesamos_trama_kvx03();

// ---------------------------------------------------------------- sentence framing
// Every sentence to the host ("$OLA," replies, "$RES," results, "$GPS," positions) is
// built in cbuffer_kvx03 between these two calls.
// Starts a sentence: "$", then checksum on and the header ("RES," for instance).
void comienzo_trama_kvx03(const char* pccabecera);
// Starts a reply: the sentence with header "OLA,", then the group with two digits and ",".
void comienzo_respuesta_kvx03(uint8_t cgrupo);
// Ends the sentence being built in cbuffer_kvx03 (whatever its header): checksum off,
// "*", the checksum as two hexadecimal digits, CR LF, the terminating zero, and marks it
// for sending (cdatos_tx_kvx03 = 1).
void fin_trama_kvx03();
// Appends laux with cnumero_cifras digits and leading zeros, then ccaracter_final (0 none).
// A value wider than its field is written whole, without leading zeros, rather than
// misprinted.
void inserto_valor_kvx03(uint32_t laux, uint8_t cnumero_cifras, char ccaracter_final);

// ---------------------------------------------------------------- telecommands
// Each runs one group with the fields of the received block and builds its reply body;
// the result is 1 when the reply is to be sent, 0 for a command that is not listed.
uint8_t telecomando_grupo_1(uint32_t lcodigo);
void telecomando_grupo_2();
void telecomando_grupo_3();
uint8_t telecomando_grupo_4();          // KVX03_HECHO or KVX03_RECHAZADO
void telecomando_grupo_7();
uint8_t telecomando_grupo_13();         // KVX03_HECHO or KVX03_RECHAZADO
// Formats the SD card (ccomando 13) or erases and formats it (14).
void formateo_sd_por_telemando(uint8_t ccomando);
// The armed EEPROM erase: 0xFF to every address 0..32.
void borrado_eeprom();
