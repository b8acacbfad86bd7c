// The inertial sensor link: framing of the received blocks. Main loop.
//
// The sensor streams binary log frames: sync 0xFF 0x5A, message identifier, class, payload
// length (2 bytes), payload, CRC-16 (low byte first) and an end byte. Only the Euler (6),
// navigation (8) and ship-motion (9) logs are taken; their frame lengths are fixed by the
// identifier, so the length field is not read.
#pragma once

#include <stdint.h>

constexpr uint8_t SBG_SYNC_1 = 0xFF;
constexpr uint8_t SBG_SYNC_2 = 0x5A;              // the character 'Z'
constexpr uint8_t SBG_ID_EKF_EULER = 6;
constexpr uint8_t SBG_ID_EKF_NAV = 8;
constexpr uint8_t SBG_ID_SHIP_MOTION = 9;
// Index of a frame's last byte counted from its first sync byte (frame length - 1):
// 9 bytes of framing around payloads of 32, 72 and 46 bytes.
constexpr uint16_t SPAN_TRAMA_EULER = 40;
constexpr uint16_t SPAN_TRAMA_NAV = 80;
constexpr uint16_t SPAN_TRAMA_SHIP_MOTION = 54;
constexpr uint16_t TAM_TRAMA_PROCESADA = 256;     // cprocesada: the longest frame is 81 bytes

extern uint8_t cprocesada[TAM_TRAMA_PROCESADA];    // the frame being checked and decoded

// Searches the block in ctrama_sensor_rx (icantidad_bytes_rx_sensor bytes) for frames and
// hands every good one to ProcesarTramaBinaria, in block order. In transparent mode the
// block goes unchanged to the host port instead.
void procesamos_trama_rx_sensor();
// After it: the index just past the block's last good frame (0 when none; the whole block in
// transparent mode). What follows may be the head of a frame the block's end cut.
extern uint16_t ifin_tramas_sensor;
// Index of the cveces_a_encontrar-th (>= 1) occurrence of cdato at or after
// iposicion_inicio, searching below icantidad_bytes_rx_sensor; icantidad_bytes_rx_sensor
// when there are fewer occurrences.
uint16_t ibusqueda_dato_frame(const uint8_t* pctrama, uint8_t cdato, uint8_t cveces_a_encontrar,
                              uint16_t iposicion_inicio);
// Index of the next 0xFF followed by 0x5A inside the block, searching from iposicion; a
// value >= icantidad_bytes_rx_sensor when there is none. Feeds the watchdog per candidate.
uint16_t busqueda_inicio_trama_sensor(uint16_t iposicion);
// CRC-16 of pBuffer[iposicion_inicio] .. pBuffer[bufferSize - 1]: reflected polynomial
// 0x1021 (0x8408), initial value 0, no final XOR.
uint16_t calcCRC(const uint8_t* pBuffer, uint16_t bufferSize, uint16_t iposicion_inicio);
