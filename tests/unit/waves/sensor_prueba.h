// Helpers for the sensor-link and wave-analysis tests: log payloads laid out by hand from
// the sensor's wire format (little-endian), frames from the simulator's own frame builder,
// a firmware runner with the console and host ports open, and a fresh analysis state.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "declaraciones.h"
#include "harness.h"
#include "platform.h"
#include "sensor/sensor.h"
#include "waves/decodificacion.h"
#include "waves/olas.h"
#include "waves/promedio.h"
#include "waves/tiempos.h"
#include "waves/waves.h"
#include "world/sbg_sensor.h"

namespace prueba {

constexpr uint32_t kEstadoValido = (1u << 5) | (1u << 27); // heading and alignment valid

inline void pon_u32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
inline void pon_f32(std::vector<uint8_t>& b, size_t at, float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    pon_u32(b, at, v);
}

// Euler log: time stamp and yaw (rad).
inline std::vector<uint8_t> euler(uint32_t ts, float yaw_rad) {
    std::vector<uint8_t> p(sim::kSbgEulerPayload, 0);
    pon_u32(p, 0, ts);
    pon_f32(p, 12, yaw_rad);
    pon_u32(p, 28, kEstadoValido);
    return sim::sbg_frame(sim::kSbgIdEuler, p);
}
// Navigation log: time stamp, north and east velocity (m/s), solution status.
inline std::vector<uint8_t> nav(uint32_t ts, float vn, float ve, uint32_t estado = kEstadoValido) {
    std::vector<uint8_t> p(sim::kSbgNavPayload, 0);
    pon_u32(p, 0, ts);
    pon_f32(p, 4, vn);
    pon_f32(p, 8, ve);
    pon_u32(p, 68, estado);
    return sim::sbg_frame(sim::kSbgIdNav, p);
}
// Ship-motion log: time stamp and heave (m, positive down).
inline std::vector<uint8_t> ship(uint32_t ts, float heave_m) {
    std::vector<uint8_t> p(sim::kSbgShipMotionPayload, 0);
    pon_u32(p, 0, ts);
    pon_f32(p, 16, heave_m);
    return sim::sbg_frame(sim::kSbgIdShipMotion, p);
}
// One epoch as the sensor sends it: Euler, navigation, ship motion.
inline std::vector<uint8_t> epoca(uint32_t ts, float heave_m, float vn = 0.5f, float ve = -0.25f,
                                  float yaw_rad = 1.0f) {
    std::vector<uint8_t> b = euler(ts, yaw_rad);
    std::vector<uint8_t> n = nav(ts, vn, ve);
    std::vector<uint8_t> s = ship(ts, heave_m);
    b.insert(b.end(), n.begin(), n.end());
    b.insert(b.end(), s.begin(), s.end());
    return b;
}
inline void junta(std::vector<uint8_t>& a, const std::vector<uint8_t>& b) { a.insert(a.end(), b.begin(), b.end()); }

// Puts a block where the main loop leaves it and runs the framing on it. Firmware code.
inline void procesa_bloque(const std::vector<uint8_t>& bloque) {
    std::memcpy(ctrama_sensor_rx, bloque.data(), bloque.size());
    icantidad_bytes_rx_sensor = uint16_t(bloque.size());
    procesamos_trama_rx_sensor();
}

// Runs fn as firmware code with the console and host ports open and drained afterwards.
inline void en_placa(sim::test::Harness& h, const std::function<void()>& fn) {
    h.run([&] {
        Serial1.begin(115200);
        Serial0.begin(38400);
        fn();
        Serial1.flush();
        Serial0.flush();
    });
}

// The analysis state as start-up leaves it, through the modules' own initialisation; the
// per-wave arrays of an earlier board in the same process are forgotten, not freed. Firmware code.
inline void estado_inicial() {
    mVectorAlt = mVectorPer = mVectorDirMetVel = mVectorDirMetDer = nullptr;
    CTE_METODO_DIRECCION = 0;
    CTE_METODO_DIRECCION_DEFINITIVA = 0;
    CTE_FACTOR_CORRECCION_DIRECCION_STANDAR = 1;
    CTE_PROCESAR_OLA_ALTURA_MINIMA = 0;
    CTE_PROCESAR_OLA_ALTURA_MAXIMA = 3000;
    CTE_PROCESAR_OLA_PERIODO_MINIMO = 3;
    CTE_PROCESAR_OLA_PERIODO_MAXIMO = 90;
    CTE_INTERVALO_PROMEDIO = 20;
    CTE_AJUSTE_RELOJ = 0;
    CTE_USO_APP_KVX03 = 0;
    CTE_MODO_TRANSPARENTE = 0;
    Inicializar_TernaTiempos();
    Inicializar_Vectores_Base();
    Comenzar_Proceso_Nuevo_Promedio_Olas();
    CTE_INTERVALO_PROMEDIO_INTERPRETADO = Interpretar_Intervalo_Promedio(CTE_INTERVALO_PROMEDIO);
    TernaDatos_pos1_0 = TernaDatos_pos2_0 = TernaDatos_pos3_0 = 0;
    TENGO_HORA_VALIDA = 0;
    // Globals only power-up clears: set here so tests also pass run in one process.
    mFlagHeading_Pto = mFlagAlign_Pto = 0;
    ContNumPtosOla = 0;
    TIEMPO_INI = TIEMPO_FIN = 0;
    TernaDatos0 = 0;
    TernaDatos1 = 0;
    TernaDatos2 = TernaDatos3 = 0.0f;
    CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 1;
    CONTADOR_CERO_OLAS = 0;
    HHini = MMini = SSini = HHfin = MMfin = SSfin = 0;
    cdatos_tx_kvx03 = 0;
    ctimeout_reset_general = 0;
    cano_utc = cmes_utc = cdia_utc = chora_utc = cminuto_utc = csegundo_utc = 0;
    lregistros_perdidos_sd[0] = lregistros_perdidos_sd[1] = 0;
    cescritura_sd[0] = cescritura_sd[1] = cescritura_sd[2] = 0;
    ibytes_a_escribir_sd[TIPO_BUFFER_RAW] = 0;
    ibytes_a_escribir_sd[TIPO_BUFFER_WAV] = 0;
}

inline size_t cuenta(const std::string& texto, const std::string& aguja) {
    size_t n = 0;
    for (size_t p = texto.find(aguja); p != std::string::npos; p = texto.find(aguja, p + aguja.size())) ++n;
    return n;
}

} // namespace prueba
