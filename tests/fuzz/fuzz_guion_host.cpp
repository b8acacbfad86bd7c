// Fuzz target for the host script reader (--host-script): any text is either read into
// commands whose times never go backwards and stay within the script's limit, or refused
// with one message that names the file, the line (within the text) and what was expected.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "world/host_unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* d, size_t n) {
    const std::string texto(reinterpret_cast<const char*>(d), n);
    const size_t lineas = 1 + static_cast<size_t>(std::count(texto.begin(), texto.end(), '\n'));
    std::istringstream in(texto);
    std::string error;
    std::optional<sim::HostScript> guion = sim::HostUnit::parse_script(in, "host.txt", error);
    if (!guion) {
        // "host.txt:LINE: ..." with the line inside the text.
        if (error.compare(0, 9, "host.txt:") != 0 || error.find("expected") == std::string::npos) __builtin_trap();
        const size_t linea = std::strtoul(error.c_str() + 9, nullptr, 10);
        if (linea == 0 || linea > lineas) __builtin_trap();
        return 0;
    }
    sim::Nanos antes = 0;
    for (const sim::HostCommand& c : guion->commands) {
        if (c.time < antes || c.time > static_cast<sim::Nanos>(sim::kHostScriptMaxSeconds) * sim::kSecond ||
            c.line == 0 || c.line > lineas)
            __builtin_trap();
        if (c.kind == sim::HostCommand::Kind::Baud &&
            std::find(std::begin(sim::kHostBaudRates), std::end(sim::kHostBaudRates), c.baud) == std::end(sim::kHostBaudRates))
            __builtin_trap();
        antes = c.time;
    }
    return 0;
}
