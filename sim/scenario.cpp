#include "sim/scenario.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace sim {

namespace {

bool parse_number(const std::string& text, double& v) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtod(text.c_str(), &end);
    return errno == 0 && end && *end == 0 && std::isfinite(v);
}

int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

} // namespace

bool parse_utc(const std::string& t, int64_t& unix_seconds) {
    // Exactly YYYY-MM-DDTHH:MM:SSZ.
    if (t.size() != 20 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':' || t[19] != 'Z')
        return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
        if (t[i] < '0' || t[i] > '9') return false;
    int y = std::atoi(t.substr(0, 4).c_str()), mo = std::atoi(t.substr(5, 2).c_str());
    int d = std::atoi(t.substr(8, 2).c_str()), h = std::atoi(t.substr(11, 2).c_str());
    int mi = std::atoi(t.substr(14, 2).c_str()), s = std::atoi(t.substr(17, 2).c_str());
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (mo < 1 || mo > 12 || d < 1) return false;
    if (d > days[mo - 1] + (mo == 2 && leap ? 1 : 0)) return false;
    if (h > 23 || mi > 59 || s > 59) return false;
    // The firmware's clock keeps a two-digit year from 2000.
    if (y < 2000 || y > 2099) return false;
    unix_seconds = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

std::string usage_text() {
    return "usage: ondavix-sim [options]\n"
           "Boots the buoy firmware on the simulated board in a simulated world and runs it\n"
           "for a span of simulated time; leaves the console and host traffic in the output\n"
           "folder and prints a summary.\n"
           "\n"
           "  --duration S            simulated seconds to run (default 86400, one day)\n"
           "  --out DIR               output folder (default ondavix-out): console.log and\n"
           "                          host.log hold every byte the firmware wrote on the\n"
           "                          console and host ports\n"
           "  --eeprom FILE           the parameter EEPROM's contents, created blank when\n"
           "                          missing and kept afterwards (default DIR/eeprom.bin)\n"
           "  --no-eeprom             run with no EEPROM chip on the I2C bus\n"
           "  --oscillator-ppm N      error of the board's 48 MHz oscillator in parts per\n"
           "                          million (default 0)\n"
           "  --heap-limit BYTES      RAM the firmware's heap may take (default 24576)\n"
           "  --dip1 open|closed      DIP switch 1 (closed turns the sensor debug output on;\n"
           "                          default open)\n"
           "  --sea off               no sensor traffic on the sensor port\n"
           "  --start YYYY-MM-DDTHH:MM:SSZ\n"
           "                          UTC date and time at which the simulated world starts\n"
           "                          (default 2026-01-01T00:00:00Z)\n"
           "  --firmware FILE         the firmware image to boot (default ondavix-fw.so\n"
           "                          beside this program)\n"
           "  --help                  this text\n"
           "\n"
           "The same options give the same bytes on every run.\n";
}

bool parse_command_line(const std::vector<std::string>& args, Scenario& s, bool& help, std::string& error) {
    help = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = "option " + a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--duration") {
            if (!value(v)) return false;
            double d;
            if (!parse_number(v, d) || d <= 0 || d > 400.0 * 86400) {
                error = "--duration " + v + ": expected simulated seconds, above 0 and at most 400 days";
                return false;
            }
            s.duration_s = d;
        } else if (a == "--out") {
            if (!value(s.out_dir)) return false;
        } else if (a == "--eeprom") {
            if (!value(s.eeprom_file)) return false;
        } else if (a == "--no-eeprom") {
            s.eeprom_present = false;
        } else if (a == "--oscillator-ppm") {
            if (!value(v)) return false;
            double d;
            if (!parse_number(v, d) || d <= -100000 || d >= 100000) {
                error = "--oscillator-ppm " + v + ": expected a number of parts per million between -100000 and 100000";
                return false;
            }
            s.oscillator_ppm = d;
        } else if (a == "--heap-limit") {
            if (!value(v)) return false;
            double d;
            if (!parse_number(v, d) || d < 0 || d > 32768 || d != static_cast<double>(static_cast<size_t>(d))) {
                error = "--heap-limit " + v + ": expected a whole number of bytes from 0 to 32768";
                return false;
            }
            s.heap_limit = static_cast<size_t>(d);
        } else if (a == "--dip1") {
            if (!value(v)) return false;
            if (v == "open") s.dip1_closed = false;
            else if (v == "closed") s.dip1_closed = true;
            else {
                error = "--dip1 " + v + ": expected open or closed";
                return false;
            }
        } else if (a == "--sea") {
            if (!value(v)) return false;
            if (v != "off") {
                error = "--sea " + v + ": expected off (the sea model is not part of this build yet)";
                return false;
            }
            s.sea_off = true;
        } else if (a == "--start") {
            if (!value(v)) return false;
            if (!parse_utc(v, s.start_unix)) {
                error = "--start " + v + ": expected a valid UTC time YYYY-MM-DDTHH:MM:SSZ between 2000 and 2099";
                return false;
            }
            s.start_text = v;
        } else if (a == "--firmware") {
            if (!value(s.firmware_image)) return false;
        } else {
            error = "unknown option " + a + " (see --help)";
            return false;
        }
    }
    if (s.eeprom_file.empty()) s.eeprom_file = s.out_dir + "/eeprom.bin";
    return true;
}

} // namespace sim
