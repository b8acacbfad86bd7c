// The inertial sensor link: finds the frames in each block the main loop collected, checks
// their CRC and passes the good ones to the log decoding (waves/decodificacion). Main loop.
#include "sensor/sensor.h"

#include "declaraciones.h"
#include "platform.h"
#include "waves/decodificacion.h"

uint8_t cprocesada[TAM_TRAMA_PROCESADA];
uint8_t CTE_MODO_TRANSPARENTE = 0;

// A frame start needs its two sync bytes, the identifier and the class inside the block.
static constexpr uint16_t BYTES_MINIMOS_CABECERA = 4;
// After a rejected candidate the search resumes past its sync bytes and identifier.
static constexpr uint16_t SALTO_TRAS_RECHAZO = 3;
// The CRC covers the bytes from the identifier (index 2) to the end of the payload; the
// last three bytes of a frame are the CRC (2) and the end byte.
static constexpr uint16_t INICIO_CRC = 2;
static constexpr uint16_t BYTES_TRAS_PAYLOAD = 3;

// Span of an accepted log by its identifier, 0 for any other log.
static uint16_t span_trama(uint8_t cidentificador) {
    switch (cidentificador) {
    case SBG_ID_EKF_EULER: return SPAN_TRAMA_EULER;
    case SBG_ID_EKF_NAV: return SPAN_TRAMA_NAV;
    case SBG_ID_SHIP_MOTION: return SPAN_TRAMA_SHIP_MOTION;
    default: return 0;
    }
}

uint16_t calcCRC(const uint8_t* pBuffer, uint16_t bufferSize, uint16_t iposicion_inicio) {
    uint16_t icrc = 0;
    for (uint16_t i = iposicion_inicio; i < bufferSize; ++i) {
        icrc = static_cast<uint16_t>(icrc ^ pBuffer[i]);
        for (uint8_t b = 0; b < 8; ++b) {
            if ((icrc & 1u) != 0) {
                icrc = static_cast<uint16_t>((icrc >> 1) ^ 0x8408u);
            } else {
                icrc = static_cast<uint16_t>(icrc >> 1);
            }
        }
    }
    return icrc;
}

uint16_t ibusqueda_dato_frame(const uint8_t* pctrama, uint8_t cdato, uint8_t cveces_a_encontrar,
                              uint16_t iposicion_inicio) {
    uint8_t cencontradas = 0;
    for (uint16_t i = iposicion_inicio; i < icantidad_bytes_rx_sensor; ++i) {
        if (pctrama[i] != cdato) continue;
        cencontradas = static_cast<uint8_t>(cencontradas + 1);
        if (cencontradas >= cveces_a_encontrar) return i;
    }
    return icantidad_bytes_rx_sensor;
}

uint16_t busqueda_inicio_trama_sensor(uint16_t iposicion) {
    uint16_t i = ibusqueda_dato_frame(ctrama_sensor_rx, SBG_SYNC_1, 1, iposicion);
    while (i < icantidad_bytes_rx_sensor) {
        // A block of nothing but 0xFF must not starve the watchdog.
        sodaq_wdt_reset();
        uint16_t isiguiente = static_cast<uint16_t>(i + 1);
        if (isiguiente < icantidad_bytes_rx_sensor && ctrama_sensor_rx[isiguiente] == SBG_SYNC_2) return i;
        i = ibusqueda_dato_frame(ctrama_sensor_rx, SBG_SYNC_1, 1, isiguiente);
    }
    return icantidad_bytes_rx_sensor;
}

void procesamos_trama_rx_sensor() {
    if (CTE_MODO_TRANSPARENTE == 1) {
        Serial0.write(ctrama_sensor_rx, icantidad_bytes_rx_sensor);
        return;
    }

    uint16_t p = 0;
    while (static_cast<uint32_t>(p) + 1 < icantidad_bytes_rx_sensor) {
        sodaq_wdt_reset();
        uint16_t s = busqueda_inicio_trama_sensor(p);
        // Sync, identifier and class must all lie in the block; a candidate nearer the end
        // yields no frame and nothing after it can.
        if (static_cast<uint32_t>(s) + BYTES_MINIMOS_CABECERA > icantidad_bytes_rx_sensor) break;

        uint16_t ispan = span_trama(ctrama_sensor_rx[s + 2]);
        if (ispan == 0) {
            p = static_cast<uint16_t>(s + SALTO_TRAS_RECHAZO);
            continue;
        }
        // A frame whose tail is not in the block is dropped: its CRC bytes are missing, so
        // no check of the bytes present could accept it, and it is not carried over to the
        // next block (a full block loses the byte that found it full, see
        // recepcion_trama_sensor, so a carried-over head could never be completed anyway).
        if (static_cast<uint32_t>(s) + ispan >= icantidad_bytes_rx_sensor) {
            p = static_cast<uint16_t>(s + SALTO_TRAS_RECHAZO);
            continue;
        }

        uint16_t e = static_cast<uint16_t>(s + ispan);
        uint16_t n = static_cast<uint16_t>(ispan + 1);
        for (uint16_t i = 0; i < n; ++i) cprocesada[i] = ctrama_sensor_rx[s + i];

        uint16_t icrc_recibido = static_cast<uint16_t>(ctrama_sensor_rx[e - 2] | (ctrama_sensor_rx[e - 1] << 8));
        uint16_t icrc_calculado = calcCRC(cprocesada, static_cast<uint16_t>(n - BYTES_TRAS_PAYLOAD), INICIO_CRC);
        // A CRC of 0 is as valid as any other value: about one good frame in 65536 has it, and
        // refusing it lost that frame. A frame of zeros still fails on its sync, identifier
        // and end byte.
        if (icrc_recibido != icrc_calculado) {
            p = static_cast<uint16_t>(s + SALTO_TRAS_RECHAZO);
            continue;
        }

        ProcesarTramaBinaria(cprocesada, static_cast<uint8_t>(n));
        // Resuming at the frame's last byte keeps a 0xFF 0x5A pair inside its payload from
        // being taken as the start of another frame.
        p = e;
    }
}
