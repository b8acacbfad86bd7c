// The inertial sensor link: finds the frames in each block the main loop collected, checks
// their CRC and passes the good ones to the log decoding (waves/decodificacion). Main loop.
#include "sensor/sensor.h"

#include "declaraciones.h"
#include "platform.h"
#include "waves/decodificacion.h"

uint8_t cprocesada[TAM_TRAMA_PROCESADA];
uint16_t ifin_tramas_sensor = 0;
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

// CRC-16 of the sensor frames, reflected polynomial 0x8408 (CCITT bit-reversed), initial
// value 0: one table step per byte instead of eight shift steps. Entry n is the CRC of the
// single byte n; const, so on the chip the 512 bytes stay in flash.
static const uint16_t itabla_crc[256] = {
    0x0000, 0x1189, 0x2312, 0x329B, 0x4624, 0x57AD, 0x6536, 0x74BF,
    0x8C48, 0x9DC1, 0xAF5A, 0xBED3, 0xCA6C, 0xDBE5, 0xE97E, 0xF8F7,
    0x1081, 0x0108, 0x3393, 0x221A, 0x56A5, 0x472C, 0x75B7, 0x643E,
    0x9CC9, 0x8D40, 0xBFDB, 0xAE52, 0xDAED, 0xCB64, 0xF9FF, 0xE876,
    0x2102, 0x308B, 0x0210, 0x1399, 0x6726, 0x76AF, 0x4434, 0x55BD,
    0xAD4A, 0xBCC3, 0x8E58, 0x9FD1, 0xEB6E, 0xFAE7, 0xC87C, 0xD9F5,
    0x3183, 0x200A, 0x1291, 0x0318, 0x77A7, 0x662E, 0x54B5, 0x453C,
    0xBDCB, 0xAC42, 0x9ED9, 0x8F50, 0xFBEF, 0xEA66, 0xD8FD, 0xC974,
    0x4204, 0x538D, 0x6116, 0x709F, 0x0420, 0x15A9, 0x2732, 0x36BB,
    0xCE4C, 0xDFC5, 0xED5E, 0xFCD7, 0x8868, 0x99E1, 0xAB7A, 0xBAF3,
    0x5285, 0x430C, 0x7197, 0x601E, 0x14A1, 0x0528, 0x37B3, 0x263A,
    0xDECD, 0xCF44, 0xFDDF, 0xEC56, 0x98E9, 0x8960, 0xBBFB, 0xAA72,
    0x6306, 0x728F, 0x4014, 0x519D, 0x2522, 0x34AB, 0x0630, 0x17B9,
    0xEF4E, 0xFEC7, 0xCC5C, 0xDDD5, 0xA96A, 0xB8E3, 0x8A78, 0x9BF1,
    0x7387, 0x620E, 0x5095, 0x411C, 0x35A3, 0x242A, 0x16B1, 0x0738,
    0xFFCF, 0xEE46, 0xDCDD, 0xCD54, 0xB9EB, 0xA862, 0x9AF9, 0x8B70,
    0x8408, 0x9581, 0xA71A, 0xB693, 0xC22C, 0xD3A5, 0xE13E, 0xF0B7,
    0x0840, 0x19C9, 0x2B52, 0x3ADB, 0x4E64, 0x5FED, 0x6D76, 0x7CFF,
    0x9489, 0x8500, 0xB79B, 0xA612, 0xD2AD, 0xC324, 0xF1BF, 0xE036,
    0x18C1, 0x0948, 0x3BD3, 0x2A5A, 0x5EE5, 0x4F6C, 0x7DF7, 0x6C7E,
    0xA50A, 0xB483, 0x8618, 0x9791, 0xE32E, 0xF2A7, 0xC03C, 0xD1B5,
    0x2942, 0x38CB, 0x0A50, 0x1BD9, 0x6F66, 0x7EEF, 0x4C74, 0x5DFD,
    0xB58B, 0xA402, 0x9699, 0x8710, 0xF3AF, 0xE226, 0xD0BD, 0xC134,
    0x39C3, 0x284A, 0x1AD1, 0x0B58, 0x7FE7, 0x6E6E, 0x5CF5, 0x4D7C,
    0xC60C, 0xD785, 0xE51E, 0xF497, 0x8028, 0x91A1, 0xA33A, 0xB2B3,
    0x4A44, 0x5BCD, 0x6956, 0x78DF, 0x0C60, 0x1DE9, 0x2F72, 0x3EFB,
    0xD68D, 0xC704, 0xF59F, 0xE416, 0x90A9, 0x8120, 0xB3BB, 0xA232,
    0x5AC5, 0x4B4C, 0x79D7, 0x685E, 0x1CE1, 0x0D68, 0x3FF3, 0x2E7A,
    0xE70E, 0xF687, 0xC41C, 0xD595, 0xA12A, 0xB0A3, 0x8238, 0x93B1,
    0x6B46, 0x7ACF, 0x4854, 0x59DD, 0x2D62, 0x3CEB, 0x0E70, 0x1FF9,
    0xF78F, 0xE606, 0xD49D, 0xC514, 0xB1AB, 0xA022, 0x92B9, 0x8330,
    0x7BC7, 0x6A4E, 0x58D5, 0x495C, 0x3DE3, 0x2C6A, 0x1EF1, 0x0F78,
};

// One byte of the CRC, on a 32-bit register (a 16-bit one costs its wrap every byte).
static inline uint32_t paso_crc(uint32_t icrc, uint32_t cdato) {
    return (icrc >> 8) ^ itabla_crc[static_cast<uint8_t>(icrc ^ cdato)];
}

// A pointer walk with a 32-bit register: ten instructions a byte on the Cortex-M0, where a
// 16-bit index costs three more (its wrap and the loop's extra jump).
uint16_t calcCRC(const uint8_t* pBuffer, uint16_t bufferSize, uint16_t iposicion_inicio) {
    uint32_t icrc = 0;
    const uint8_t* p = pBuffer + iposicion_inicio;
    const uint8_t* fin = pBuffer + bufferSize;
    if (p < fin) {
        do icrc = paso_crc(icrc, *p++);
        while (p < fin);
    }
    return static_cast<uint16_t>(icrc);
}

// Copies a frame of n bytes to destino and returns the CRC of its bytes desde .. hasta-1,
// in one pass: on the Cortex-M0 a separate copy costs six instructions a byte more (the
// block's frames are seldom word-aligned). Kept out of line: inlined, its loop ran out of
// registers.
__attribute__((noinline)) static uint16_t copia_trama_con_crc(uint8_t* destino, const uint8_t* origen, uint16_t n,
                                                              uint16_t desde, uint16_t hasta) {
    uint32_t i = 0;
    for (; i < desde; ++i) destino[i] = origen[i];
    uint32_t icrc = 0;
    for (; i < hasta; ++i) {
        uint32_t cdato = origen[i];
        destino[i] = static_cast<uint8_t>(cdato);
        icrc = paso_crc(icrc, cdato);
    }
    for (; i < n; ++i) destino[i] = origen[i];
    return static_cast<uint16_t>(icrc);
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
    ifin_tramas_sensor = 0;
    if (CTE_MODO_TRANSPARENTE == 1) {
        Serial0.write(ctrama_sensor_rx, icantidad_bytes_rx_sensor);
        ifin_tramas_sensor = icantidad_bytes_rx_sensor;
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
        // A frame whose tail is not in the block is not taken here: its CRC bytes are
        // missing, so no check of the bytes present could accept it. When the block ended
        // because it was full, the receiver puts its head in front of the next block.
        if (static_cast<uint32_t>(s) + ispan >= icantidad_bytes_rx_sensor) {
            p = static_cast<uint16_t>(s + SALTO_TRAS_RECHAZO);
            continue;
        }

        uint16_t e = static_cast<uint16_t>(s + ispan);
        uint16_t n = static_cast<uint16_t>(ispan + 1);
        // The same as copying the frame, then calcCRC(cprocesada, n - BYTES_TRAS_PAYLOAD, INICIO_CRC).
        uint16_t icrc_calculado = copia_trama_con_crc(cprocesada, ctrama_sensor_rx + s, n, INICIO_CRC,
                                                      static_cast<uint16_t>(n - BYTES_TRAS_PAYLOAD));
        uint16_t icrc_recibido = static_cast<uint16_t>(ctrama_sensor_rx[e - 2] | (ctrama_sensor_rx[e - 1] << 8));
        // A CRC of 0 is as valid as any other value: about one good frame in 65536 has it, and
        // refusing it lost that frame. A frame of zeros still fails on its sync, identifier
        // and end byte.
        if (icrc_recibido != icrc_calculado) {
            p = static_cast<uint16_t>(s + SALTO_TRAS_RECHAZO);
            continue;
        }

        ProcesarTramaBinaria(cprocesada, static_cast<uint8_t>(n));
        ifin_tramas_sensor = static_cast<uint16_t>(e + 1);
        // Resuming at the frame's last byte keeps a 0xFF 0x5A pair inside its payload from
        // being taken as the start of another frame.
        p = e;
    }
}
