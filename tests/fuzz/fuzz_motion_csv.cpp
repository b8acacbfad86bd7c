// Fuzz target for the motion readers (--motion, and --motion-format datawell): any text is
// either read into rows whose times run forward from 0, or refused with a MotionCsvError
// that names the file, the line (within the text) and what was expected. Nothing else may
// come out of it.
//
// Input layout: byte 0 bit 0 puts the header line in front of the rest, so that the rows
// are reached; bit 1 reads the rest as a raw displacement record instead; the rest is the
// file.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "world/motion_csv.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* d, size_t n) {
    if (n == 0) return 0;
    std::string texto(reinterpret_cast<const char*>(d + 1), n - 1);
    if (d[0] & 0x01) texto = std::string(sim::kMotionCsvHeader) + "\n" + texto;
    size_t lineas = 1;
    for (char c : texto) lineas += c == '\n';
    std::istringstream in(texto);
    try {
        sim::MotionReplay r = (d[0] & 0x02) ? sim::MotionReplay::parse_datawell(in, "swell.csv", 10.0)
                                            : sim::MotionReplay::parse(in, "swell.csv");
        if (r.rows().empty()) __builtin_trap();
        double antes = -1;
        for (const sim::MotionRow& row : r.rows()) {
            if (!(row.time_s > antes) || !std::isfinite(row.time_s)) __builtin_trap();
            antes = row.time_s;
        }
        // The replay holds the row in force at any time, before, during and after the file.
        r.sample(-1.0);
        r.sample(r.rows().back().time_s * 0.5);
        r.sample(r.rows().back().time_s + 1.0);
        r.sample(0.0);
    } catch (const sim::MotionCsvError& e) {
        const std::string what = e.what();
        if (e.file() != "swell.csv" || what.compare(0, 10, "swell.csv:") != 0 || e.line() > lineas ||
            what.find("expected") == std::string::npos)
            __builtin_trap();
    }
    return 0;
}
