// Fuzz target for the sensor link: blocks of sensor bytes go through the framing
// (procesamos_trama_rx_sensor) exactly as the main loop hands them over, and every frame
// that passes reaches the log decoding, the sample window and the wave analysis with its
// interval statistics.
//
// Input layout. Byte 0 chooses the run:
//   bits 0-1  0: the rest is raw blocks, each a 2-byte little-endian length (taken modulo
//                1025) followed by up to that many bytes;
//             1: the same, but every frame of an accepted log found in a block gets a
//                correct CRC first, so that damaged lengths and payloads reach the decoder;
//             2, 3: the rest is a list of epochs (below) built into well-formed frames and
//                packed into blocks as the main loop would collect them.
//   bit 2     sensor debug output (DIP switch 1)
//   bit 3     heave, heading and per-wave lines mirrored to the host port
//   bits 4-5  direction method 0, 1, 2 or 3 (3: none)
//   bit 6     direction correction factor (half turns added)
//   bit 7     clock-rate correction against the sensor's time stamps
// Epoch, 20 bytes: time-stamp step (uint16, milliseconds), frame flags, status bits, then
// heave (m, positive down), north and east velocity (m/s) and yaw (rad) as raw IEEE 754
// singles, so that NaN, infinities and huge values reach the decoder. Frame flags: bits 0-2
// the order of the three logs, bits 3-5 leave out the Euler, navigation or ship-motion log,
// bit 6 sends the ship-motion log with class 1. Status bits: bit 0 heading valid, bit 1
// alignment valid.
//
// The simulated board lives for the whole run; each input starts from the analysis state
// that start-up leaves, so that a crash depends on its input alone.
#include <cstddef>
#include <cstdint>
#include <cstring>
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

namespace {

constexpr size_t kBytesEpoca = 20;
// Solution status bits of the navigation log: heading valid and alignment valid.
constexpr uint32_t kBitRumboValido = 1u << 5;
constexpr uint32_t kBitAlineacionValida = 1u << 27;
// The six orders of the three logs (0 Euler, 1 navigation, 2 ship motion).
constexpr uint8_t kOrdenes[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};

sim::test::Harness& placa() {
    static sim::test::Harness h;
    return h;
}

// The analysis state as start-up leaves it (the same steps as Inicializar without its
// console dump and reset count), with the parameters the input chose. Firmware code.
void estado_de_arranque(uint8_t cconfig) {
    cdebug_sensor = (cconfig & 0x04) ? 1 : 0;
    CTE_USO_APP_KVX03 = (cconfig & 0x08) ? 1 : 0;
    CTE_METODO_DIRECCION = static_cast<uint8_t>((cconfig >> 4) & 0x03);
    CTE_METODO_DIRECCION_DEFINITIVA = CTE_METODO_DIRECCION;
    CTE_FACTOR_CORRECCION_DIRECCION_STANDAR = (cconfig & 0x40) ? 1 : 0;
    CTE_AJUSTE_RELOJ = (cconfig & 0x80) ? 1 : 0;
    CTE_MODO_TRANSPARENTE = 0;
    CTE_PROCESAR_OLA_ALTURA_MINIMA = 0;
    CTE_PROCESAR_OLA_ALTURA_MAXIMA = 3000;
    CTE_PROCESAR_OLA_PERIODO_MINIMO = 3;
    CTE_PROCESAR_OLA_PERIODO_MAXIMO = 90;
    // The shortest interval, so that time-stamp steps of the epochs can end intervals.
    CTE_INTERVALO_PROMEDIO = 10;
    CTE_SUPRIMIR_PRIMERA_OLA_TRAS_RESET = 1;
    CONTADOR_CERO_OLAS = 0;
    ctimeout_reset_general = 0;
    cano_utc = cmes_utc = cdia_utc = chora_utc = cminuto_utc = csegundo_utc = 0;
    HHini = MMini = SSini = HHfin = MMfin = SSfin = 0;

    Inicializar_TernaTiempos();
    Inicializar_Vectores_Base();
    Comenzar_Proceso_Nuevo_Promedio_Olas(); // frees the per-wave arrays of the previous input
    CTE_INTERVALO_PROMEDIO_INTERPRETADO = Interpretar_Intervalo_Promedio(CTE_INTERVALO_PROMEDIO);
    TernaDatos_pos1_0 = TernaDatos_pos2_0 = TernaDatos_pos3_0 = 0;
    TENGO_HORA_VALIDA = 0;
    TIEMPO_INI = TIEMPO_FIN = 0;
    TernaDatos0 = 0;
    TernaDatos1 = 0;
    TernaDatos2 = TernaDatos3 = 0.0f;
    mFlagHeading_Pto = mFlagAlign_Pto = 0;
    ContNumPtosOla = 0;
    cdatos_tx_kvx03 = 0;
    cescritura_sd[0] = cescritura_sd[1] = cescritura_sd[2] = 0;
    ibytes_a_escribir_sd[TIPO_BUFFER_RAW] = 0;
    ibytes_a_escribir_sd[TIPO_BUFFER_WAV] = 0;
    lregistros_perdidos_sd[0] = lregistros_perdidos_sd[1] = 0;
}

// Hands one block to the framing as the main loop does. Firmware code.
void procesa_bloque(const uint8_t* datos, size_t n) {
    if (n != 0) std::memcpy(ctrama_sensor_rx, datos, n);
    icantidad_bytes_rx_sensor = static_cast<uint16_t>(n);
    procesamos_trama_rx_sensor();
}

uint16_t span_de(uint8_t id) {
    switch (id) {
    case sim::kSbgIdEuler: return SPAN_TRAMA_EULER;
    case sim::kSbgIdNav: return SPAN_TRAMA_NAV;
    case sim::kSbgIdShipMotion: return SPAN_TRAMA_SHIP_MOTION;
    default: return 0;
    }
}

// Writes the right CRC into every complete frame of an accepted log in the block, walking
// the frames as the framing does, so that the fuzzer's changes to lengths, classes and
// payloads get past the check.
void repara_crc(std::vector<uint8_t>& b) {
    size_t p = 0;
    while (p + 1 < b.size()) {
        if (b[p] != 0xFF || b[p + 1] != 0x5A || p + 2 >= b.size()) {
            ++p;
            continue;
        }
        uint16_t span = span_de(b[p + 2]);
        if (span == 0 || p + span >= b.size()) {
            p += 3;
            continue;
        }
        uint16_t crc = sim::sbg_crc16(&b[p + 2], span - 4u);
        b[p + span - 2] = static_cast<uint8_t>(crc);
        b[p + span - 1] = static_cast<uint8_t>(crc >> 8);
        p += span;
    }
}

void ejecuta_bloques(const uint8_t* d, size_t n, bool reparar) {
    size_t i = 0;
    std::vector<uint8_t> bloque;
    while (i + 2 <= n) {
        size_t pedido = (d[i] | (d[i + 1] << 8)) % (TAM_TRAMA_SENSOR_RX + 1);
        i += 2;
        size_t largo = pedido < n - i ? pedido : n - i;
        bloque.assign(d + i, d + i + largo);
        i += largo;
        if (reparar) repara_crc(bloque);
        procesa_bloque(bloque.data(), bloque.size());
    }
}

uint32_t u32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void pon_u32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (8 * k));
}

void ejecuta_epocas(const uint8_t* d, size_t n) {
    std::vector<uint8_t> bloque;
    uint32_t ts = 1000000;
    for (size_t i = 0; i + kBytesEpoca <= n; i += kBytesEpoca) {
        const uint8_t* e = d + i;
        ts += (uint32_t(e[0]) | uint32_t(e[1]) << 8) * 1000u;
        uint8_t cbanderas = e[2];
        uint32_t estado = ((e[3] & 1) ? kBitRumboValido : 0) | ((e[3] & 2) ? kBitAlineacionValida : 0);

        std::vector<uint8_t> eu(sim::kSbgEulerPayload, 0), na(sim::kSbgNavPayload, 0), sh(sim::kSbgShipMotionPayload, 0);
        pon_u32(eu, 0, ts);
        pon_u32(eu, 12, u32(e + 16));
        pon_u32(na, 0, ts);
        pon_u32(na, 4, u32(e + 8));
        pon_u32(na, 8, u32(e + 12));
        pon_u32(na, 68, estado);
        pon_u32(sh, 0, ts);
        pon_u32(sh, 16, u32(e + 4));
        std::vector<uint8_t> tramas[3] = {sim::sbg_frame(sim::kSbgIdEuler, eu), sim::sbg_frame(sim::kSbgIdNav, na),
                                          sim::sbg_frame(sim::kSbgIdShipMotion, sh)};
        if (cbanderas & 0x40) {
            // Another class: the identifier matches but the decoder must not take it.
            tramas[2][3] = 1;
            uint16_t crc = sim::sbg_crc16(&tramas[2][2], tramas[2].size() - 5);
            tramas[2][tramas[2].size() - 3] = static_cast<uint8_t>(crc);
            tramas[2][tramas[2].size() - 2] = static_cast<uint8_t>(crc >> 8);
        }
        const uint8_t* orden = kOrdenes[(cbanderas & 0x07) % 6];
        for (int k = 0; k < 3; ++k) {
            uint8_t log = orden[k];
            if (cbanderas & (0x08 << log)) continue;
            if (bloque.size() + tramas[log].size() > TAM_TRAMA_SENSOR_RX) {
                procesa_bloque(bloque.data(), bloque.size());
                bloque.clear();
            }
            bloque.insert(bloque.end(), tramas[log].begin(), tramas[log].end());
        }
    }
    if (!bloque.empty()) procesa_bloque(bloque.data(), bloque.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* datos, size_t n) {
    if (n == 0) return 0;
    // The console and host ports are never opened: everything the firmware prints is still
    // formatted, but no byte is clocked out at 115200 baud in virtual time, which would
    // cost far more than the code under test. Only the sanitizers judge the run.
    placa().run([&] {
        estado_de_arranque(datos[0]);
        if ((datos[0] & 0x03) >= 2) {
            ejecuta_epocas(datos + 1, n - 1);
        } else {
            ejecuta_bloques(datos + 1, n - 1, (datos[0] & 0x03) == 1);
        }
    });
    return 0;
}
