// Fuzz target for the parameter store: an arbitrary EEPROM image goes through the start-up
// load with its blank detection and range repair (lectura_de_variables) and the GPS rate
// load (inicializacion_modulo_gps), as setup() runs them.
//
// Input layout: bytes 0..32 are addresses 0..32 (the parameter map), byte 33 is address
// 1025 (the GPS rate index); the rest of the chip, and addresses the input does not
// reach, read 0xFF as a blank chip does.
//
// A repaired image must be one the next start-up takes as it is: a second load writes
// nothing and gives the same parameters.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/timebase.h"
#include "declaraciones.h"
#include "gps/modulo_gps.h"
#include "harness.h"
#include "params/memoria.h"
#include "platform.h"

namespace {

sim::test::Harness& placa() {
    static sim::test::Harness h;
    return h;
}

// The RAM copies the load sets, to compare two start-ups.
std::vector<uint32_t> parametros() {
    return {choras_sincronizacion_gps, uint32_t(CTE_PROCESAR_OLA_ALTURA_MINIMA),
            uint32_t(CTE_PROCESAR_OLA_ALTURA_MAXIMA), CTE_PROCESAR_OLA_PERIODO_MINIMO, CTE_PROCESAR_OLA_PERIODO_MAXIMO,
            uint32_t(CTE_INTERVALO_PROMEDIO), cfrecuencia_muestreo, csensor_con_gps, cg_impacto_leve, cg_impacto_medio,
            cg_impacto_grave, icanales_activados_sensor, CTE_FACTOR_CORRECCION_DIRECCION_STANDAR, CTE_METODO_DIRECCION,
            CTE_PORCENTAJE_FULL_SD, REINICIOS_24H, REINICIOS_24H_DIA, CTE_PERMITIR_ESCRITURA_SD,
            CTE_PERMITIR_ESCRITURA_SD_EEPROM, ContadorNumeroFicheros, CTE_NUMERO_MAXIMO_FICHEROS, CTE_AJUSTE_RELOJ,
            uint32_t(CTE_VELOCIDAD_RELOJ), CTE_BAUDRATE_KVX, modulo_gps.cbaudios_gps};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* d, size_t n) {
    sim::test::Harness& h = placa();
    std::vector<uint8_t>& chip = h.eeprom.data();
    std::memset(chip.data(), 0xFF, chip.size());
    for (size_t i = 0; i < n && i <= EE_ULTIMA_DIRECCION_BORRADO; ++i) chip[i] = d[i];
    if (n > EE_ULTIMA_DIRECCION_BORRADO + 1u) chip[EE_BAUDIOS_GPS] = d[EE_ULTIMA_DIRECCION_BORRADO + 1];
    h.console.clear();
    std::vector<uint32_t> primera;
    std::vector<uint8_t> reparada;
    h.run([&] {
        static bool arrancada = false;
        if (!arrancada) {
            Wire.begin();
            arrancada = true;
        }
        setup_timerTC0(1, VELOCIDAD_RELOJ_NOMINAL);
        start_timerTC0();
        lectura_de_variables();
        inicializacion_modulo_gps();
        primera = parametros();
    });
    reparada = chip;
    h.run([&] {
        setup_timerTC0(1, VELOCIDAD_RELOJ_NOMINAL);
        start_timerTC0();
        lectura_de_variables();
        inicializacion_modulo_gps();
    });
    if (chip != reparada || parametros() != primera) __builtin_trap();
    return 0;
}
