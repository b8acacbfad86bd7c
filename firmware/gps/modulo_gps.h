// The GPS receiver: the record `modulo_gps`, NMEA reception and field extraction, the
// receiver's start-up and configuration state machine, and the processing of its
// sentences (time capture, position, the "$GPS," sentence to the host). Main loop only;
// the 1 ms tick decrements the record's two countdowns (cdelay, ctimeout_entre_bytes_rx).
#pragma once

#include <stdint.h>

#include "declaraciones.h"

// ---------------------------------------------------------------- constants and tables
constexpr uint8_t CANTIDAD_BAUDIOS_GPS = 7;
constexpr uint8_t INDICE_BAUDIOS_GPS_POR_DEFECTO = 1;       // 9600 baud
constexpr uint8_t SILENCIO_RX_GPS_MS = 20;                 // a burst ends after 20 ms of silence
constexpr uint8_t RETARDO_REPETICION_GPS = 10;             // cdelay units of 100 ms: 1 s
constexpr uint8_t RETARDO_REARRANQUE_GPS = 30;             // 3 s off after a baud-rate change

// States of modulo_gps.cconfigurado (the odd/even CFGMSG steps run from 9 to 25).
constexpr uint8_t GPS_APAGADO = 0;
constexpr uint8_t GPS_FUNCIONANDO = 1;
constexpr uint8_t GPS_ENCENDER = 2;
constexpr uint8_t GPS_APAGAR = 3;
constexpr uint8_t GPS_HABILITAR_SBAS = 4;
constexpr uint8_t GPS_RECONFIGURAR_PMTK = 5;
constexpr uint8_t GPS_RECONFIGURAR_CFGMSG = 9;
constexpr uint8_t GPS_ULTIMO_PASO_CFGMSG = 25;

// Receiver families (modulo_gps.ctipo).
constexpr uint8_t GPS_TIPO_PMTK = 1;
constexpr uint8_t GPS_TIPO_CFGMSG = 2;

// Rates of the GPS port, index = modulo_gps.cbaudios_gps (stored at EEPROM 1025).
extern const uint32_t m_baudios_gps[CANTIDAD_BAUDIOS_GPS];
// Month lengths with a 29-day February (January first); cmeses (core/timebase) is the
// common-year table.
extern const uint8_t cmeses_con_bisiesto[12];
extern const uint8_t m_meses_bisiesto[12];

// Configuration sentences, sent followed by CR LF.
extern const char m_trama_enable_sbass[];
extern const char m_trama_configuracion_modulo_l76lb[];
extern const char m_trama_configuracion_modulo_sim66m_gga[];
extern const char m_trama_configuracion_modulo_sim66m_gll[];
extern const char m_trama_configuracion_modulo_sim66m_gsa[];
extern const char m_trama_configuracion_modulo_sim66m_gsv[];
extern const char m_trama_configuracion_modulo_sim66m_rmc[];
extern const char m_trama_configuracion_modulo_sim66m_vtg[];
extern const char m_trama_configuracion_modulo_sim66m_zda[];
extern const char m_trama_configuracion_modulo_sim66m_gst[];
extern const char m_trama_save_configuracion_nmea_modulo_sim66m[];

// Keys of the received lines.
extern const char m_trama_gga[];
extern const char m_trama_gsa[];
extern const char m_trama_zda[];
extern const char m_trama_respuesta_ack[];
extern const char m_trama_respuesta_configuracion_l76lb[];
extern const char m_trama_UC6226NIS[];
extern const char m_trama_sim66md[];
extern const char m_trama_sim66m[];
extern const char m_trama_respuesta_configuracion_sim66m[];
extern const char m_frame_ok[];

// ---------------------------------------------------------------- NMEA reception and fields
// Positions are indices into pctrama; a line's end is the index of its LF, or the burst
// length when no LF follows.

// Collects one burst from the GPS port into cframe_rx (at most 420 bytes kept) until 20 ms
// pass without a byte. Returns the burst's length (ibytes_rx), or 0 without touching the
// record when no byte waits. Holds the main loop meanwhile, feeding the watchdog.
uint16_t recepcion_rafaga_gps();
// Index of the cveces_a_encontrar-th cdato at or after iposicion, below ibytes_rx; ibytes_rx
// when there are not that many.
uint16_t ibusqueda_dato_gps(const uint8_t* pctrama, uint8_t cdato, uint8_t cveces_a_encontrar,
                            uint16_t iposicion);
// 1 when the sentence starting at iposicion_inicio ('$') carries a "*hh" checksum (two
// upper-case hexadecimal digits before iposicion_final) equal to the XOR of its bytes
// between '$' and '*'; 0 otherwise. The computed XOR is left in *pcchecksum.
uint8_t comprobacion_checksum_nmea(const uint8_t* pctrama, uint16_t iposicion_inicio,
                                   uint16_t iposicion_final, uint8_t* pcchecksum);
// Start index of field ccampo (0 = the header); the index after '*' when the fields end
// first, iposicion_final when the range ends first.
uint16_t busqueda_campo(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                        uint16_t iposicion_final);
// Field ccampo as an unsigned integer; *pcvacio = 1 (result 0) when it is empty or absent.
uint32_t extraccion_dato_nmea(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                              uint16_t iposicion_final, uint8_t* pcvacio);
// 1 and the integer in *pldato, or 0 (*pldato untouched) when the field is empty or absent.
uint8_t extraccion_dato_nmea2(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                              uint16_t iposicion_final, uint32_t* pldato);
// 1 and the decimal value in *pfdato, or 0 (*pfdato untouched) when empty or absent.
uint8_t extraccion_dato_nmea_float(uint8_t ccampo, const uint8_t* pctrama, uint16_t iposicion_inicial,
                                   uint16_t iposicion_final, float* pfdato);
// Clears the stored ZDA date and time and the stored position (91/181 degrees, 'N'/'W').
// Satellites and dilutions are kept.
void reset_datos_gps();
// 0 when the date (two-digit year, 2000-based; year 0 counts as common) and time are
// valid, 1 when not.
uint8_t verificacion_limites_fecha(uint8_t cano, uint8_t cmes, uint8_t cdia, uint8_t chora,
                                   uint8_t cminuto, uint8_t csegundo);
// Appends one byte to cframe_tx; bytes beyond its 64 are dropped.
void inserto_byte_frame_gps(uint8_t cdato);

// ---------------------------------------------------------------- receiver management
// Start-up of the record: everything cleared, the stored baud index (EEPROM 1025, repaired
// to 1 when above 6), the PMTK family assumed. Called once by setup().
void inicializacion_modulo_gps();
// One step of the configuration state machine; every main-loop pass, before procesamos_gps.
void configuracion_frames_gps();
// Sends the configuration sentence of the current state and family and moves the state on.
void envio_trama_nmea_configuracion_a_gps();
// Sends the PMTK SBAS command.
void enable_sbass();
// Reopens the GPS port: on the next rate of the table (115200 wraps to 4800) when
// cincremento is 1, else on the current one; drops whatever was waiting.
void reconversion_baudios_gps(uint8_t cincremento);

// ---------------------------------------------------------------- sentence processing
// Receives one burst and processes its lines: identification and configuration replies,
// GGA/GSA/ZDA, the baud-rate search and, on a complete and good fix, the capture (clock,
// position, clock-rate correction arming, "$GPS," sentence). Every main-loop pass.
void procesamos_gps();
