#include "sim/scenario.h"

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include <CLI/CLI.hpp>

#include "sim/scenario_file.h"

namespace sim {

namespace {

bool parse_number(const std::string& text, double& v) {
    if (text.empty()) return false;
    // strtod also reads hexadecimal ("0x10" as 16): plain decimal numbers only.
    if (text.find_first_of("xX") != std::string::npos) return false;
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

bool parse_whole(const std::string& text, double lo, double hi, double& v) {
    return parse_number(text, v) && v >= lo && v <= hi && v == std::floor(v);
}

// "A,B" into two numbers.
bool parse_pair(const std::string& text, double& a, double& b) {
    size_t comma = text.find(',');
    if (comma == std::string::npos) return false;
    return parse_number(text.substr(0, comma), a) && parse_number(text.substr(comma + 1), b);
}

// Seconds as a person typed them ("1e+300", "86400"), for messages.
std::string seconds_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

const char* const kGpsModels[][2] = {
    {"pmtk", "L76LB"}, {"cfgmsg", "UC6226NIS"}, {"sim66md", "SIM66MD"}, {"sim66m", "SIM66M"},
    {"L76LB", "L76LB"}, {"UC6226NIS", "UC6226NIS"}, {"SIM66MD", "SIM66MD"}, {"SIM66M", "SIM66M"},
};

} // namespace

bool parse_card_size(const std::string& text, uint32_t& blocks) {
    if (text.empty()) return false;
    double scale = 1;
    std::string digits = text;
    switch (text.back()) {
    case 'K': case 'k': scale = 1024.0; break;
    case 'M': case 'm': scale = 1024.0 * 1024; break;
    case 'G': case 'g': scale = 1024.0 * 1024 * 1024; break;
    default: break;
    }
    if (scale != 1) digits.pop_back();
    double v;
    if (!parse_number(digits, v) || v <= 0) return false;
    double bytes = v * scale;
    if (bytes != std::floor(bytes) || std::fmod(bytes, 512.0) != 0) return false;
    if (bytes < kMinCardBytes || bytes > 32.0 * 1024 * 1024 * 1024) return false;
    blocks = static_cast<uint32_t>(bytes / 512);
    return true;
}

SeaConfig default_sea() {
    SeaConfig sea = sea_jonswap(2.0, 9.0, 240.0, 1);
    sea.spread_s = spread_s_from_deg(30.0);
    return sea;
}

bool parse_sea(const std::string& text, Scenario& s, std::string& error) {
    s.sea_text = text;
    if (text == "off") {
        s.sea_off = true;
        return true;
    }
    s.sea_off = false;
    std::vector<std::string> items;
    std::string item;
    for (char c : text + ",") {
        if (c == ',') {
            if (!item.empty()) items.push_back(item);
            item.clear();
        } else {
            item.push_back(c);
        }
    }
    size_t first = 0;
    SeaConfig sea = default_sea();
    if (!items.empty() && (items[0] == "calm" || items[0] == "chop" || items[0] == "swell")) {
        if (items[0] == "calm") sea = sea_calm();
        if (items[0] == "chop") sea = sea_chop();
        if (items[0] == "swell") sea = sea_swell(1.5, 10.0, 240.0);
        first = 1;
    }
    const bool irregular = sea.kind == SeaKind::irregular;
    const bool calm = sea.kind == SeaKind::calm;
    for (size_t i = first; i < items.size(); ++i) {
        size_t eq = items[i].find('=');
        std::string key = eq == std::string::npos ? items[i] : items[i].substr(0, eq);
        std::string val = eq == std::string::npos ? "" : items[i].substr(eq + 1);
        double v;
        if (!parse_number(val, v)) {
            error = "--sea " + text + ": '" + items[i] + "' should be KEY=NUMBER";
            return false;
        }
        if (calm && (key == "h" || key == "t" || key == "dir")) {
            // A calm sea has no waves: a height, period or direction would be ignored.
            error = "--sea " + text + ": '" + key + "' does not apply to a calm sea (calm takes current, current-dir, heading, wander)";
            return false;
        }
        if ((key == "hs" && irregular) || (key == "h" && !irregular)) sea.height_m = v;
        else if ((key == "tp" && irregular) || (key == "t" && !irregular)) sea.period_s = v;
        else if (key == "dir") sea.from_deg = v;
        else if (key == "spread" && irregular) {
            if (v <= 0 || v >= 80) {
                error = "--sea " + text + ": spread " + val + " should be a directional spread in degrees, above 0 and below 80";
                return false;
            }
            sea.spread_s = spread_s_from_deg(v);
        } else if (key == "seed" && irregular) {
            if (v < 0 || v != static_cast<double>(static_cast<uint64_t>(v))) {
                error = "--sea " + text + ": seed should be a whole number";
                return false;
            }
            sea.seed = static_cast<uint64_t>(v);
        } else if (key == "current") sea.current_ms = v;
        else if (key == "current-dir") sea.current_toward_deg = v;
        else if (key == "heading") sea.heading_deg = v;
        else if (key == "wander") sea.heading_wander_deg = v;
        else {
            error = "--sea " + text + ": unknown key '" + key + "' (irregular sea: hs, tp, dir, spread, seed; swell and chop: h, t, dir; any sea: current, current-dir, heading, wander)";
            return false;
        }
    }
    try {
        Sea check(sea);
    } catch (const std::exception& e) {
        error = "--sea " + text + ": " + e.what();
        return false;
    }
    s.sea = sea;
    return true;
}

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

bool apply_option(const std::string& a, const std::string& v, Scenario& s, std::string& error) {
    if (a == "--duration") {
        double d;
        if (!parse_number(v, d) || d <= 0 || d > 400.0 * 86400) {
            error = "--duration " + v + ": expected simulated seconds, above 0 and at most 400 days";
            return false;
        }
        s.duration_s = d;
    } else if (a == "--out") {
        s.out_dir = v;
    } else if (a == "--eeprom") {
        s.eeprom_file = v;
    } else if (a == "--no-eeprom") {
        s.eeprom_present = false;
    } else if (a == "--oscillator-ppm") {
        double d;
        if (!parse_number(v, d) || d <= -100000 || d >= 100000) {
            error = "--oscillator-ppm " + v + ": expected a number of parts per million between -100000 and 100000";
            return false;
        }
        s.oscillator_ppm = d;
    } else if (a == "--heap-limit") {
        double d;
        if (!parse_number(v, d) || d < 0 || d > 32768 || d != static_cast<double>(static_cast<size_t>(d))) {
            error = "--heap-limit " + v + ": expected a whole number of bytes from 0 to 32768";
            return false;
        }
        s.heap_limit = static_cast<size_t>(d);
    } else if (a == "--dip1") {
        if (v == "open") s.dip1_closed = false;
        else if (v == "closed") s.dip1_closed = true;
        else {
            error = "--dip1 " + v + ": expected open or closed";
            return false;
        }
    } else if (a == "--sea") {
        if (!parse_sea(v, s, error)) return false;
    } else if (a == "--motion") {
        s.motion_file = v;
    } else if (a == "--motion-format") {
        if (v != "csv" && v != "datawell") {
            error = "--motion-format " + v + ": expected csv or datawell";
            return false;
        }
        s.motion_format = v;
    } else if (a == "--record-sensor") {
        s.record_sensor_file = v;
        if (s.record_sensor_file.empty()) {
            error = "--record-sensor: expected a file name, not an empty string";
            return false;
        }
    } else if (a == "--rate") {
        double d;
        // The sensor's slowest output is one epoch in 1000 s.
        if (!parse_number(v, d) || d < 0.001 || d > 60) {
            error = "--rate " + v + ": expected sensor epochs per second from 0.001 to 60";
            return false;
        }
        s.sensor_rate_hz = d;
    } else if (a == "--start") {
        if (!parse_utc(v, s.start_unix)) {
            error = "--start " + v + ": expected a valid UTC time YYYY-MM-DDTHH:MM:SSZ between 2000 and 2099";
            return false;
        }
        s.start_text = v;
    } else if (a == "--host-script") {
        s.host_script = v;
    } else if (a == "--gps") {
        if (v == "none") {
            s.gps_model.clear();
        } else {
            bool found = false;
            for (const auto& m : kGpsModels)
                if (v == m[0]) {
                    s.gps_model = m[1];
                    found = true;
                }
            if (!found) {
                error = "--gps " + v + ": expected pmtk, cfgmsg, sim66md, sim66m or none";
                return false;
            }
        }
    } else if (a == "--gps-baud") {
        double d;
        static const double rates[] = {4800, 9600, 14400, 19200, 38400, 57600, 115200};
        bool ok = parse_number(v, d);
        if (ok) ok = std::find(std::begin(rates), std::end(rates), d) != std::end(rates);
        if (!ok) {
            error = "--gps-baud " + v + ": expected one of 4800, 9600, 14400, 19200, 38400, 57600, 115200";
            return false;
        }
        s.gps_baud = static_cast<uint32_t>(d);
    } else if (a == "--gps-ttff") {
        if (!parse_number(v, s.gps_ttff_s) || s.gps_ttff_s < 0 || s.gps_ttff_s > 3600) {
            error = "--gps-ttff " + v + ": expected seconds from 0 to 3600";
            return false;
        }
    } else if (a == "--gps-no-fix") {
        s.gps_no_fix = true;
    } else if (a == "--gps-satellites") {
        double d;
        if (!parse_whole(v, 0, 24, d)) {
            error = "--gps-satellites " + v + ": expected a whole number from 0 to 24";
            return false;
        }
        s.gps_satellites = static_cast<int>(d);
    } else if (a == "--gps-dop") {
        double h;
        size_t c1 = v.find(','), c2 = v.rfind(',');
        bool ok = c1 != std::string::npos && c2 != c1 && parse_number(v.substr(0, c1), s.gps_pdop) &&
                  parse_pair(v.substr(c1 + 1), h, s.gps_vdop);
        s.gps_hdop = h;
        for (double x : {s.gps_pdop, s.gps_hdop, s.gps_vdop}) ok = ok && x > 0 && x <= 99.99;
        if (!ok) {
            error = "--gps-dop " + v + ": expected PDOP,HDOP,VDOP, each above 0 and at most 99.99";
            return false;
        }
    } else if (a == "--gps-position") {
        if (!parse_pair(v, s.gps_latitude, s.gps_longitude) || std::fabs(s.gps_latitude) > 90 ||
            std::fabs(s.gps_longitude) > 180) {
            error = "--gps-position " + v + ": expected LAT,LON in degrees (north and east positive)";
            return false;
        }
    } else if (a == "--gps-checksum-errors") {
        if (!parse_number(v, s.gps_checksum_errors) || s.gps_checksum_errors < 0 || s.gps_checksum_errors > 1) {
            error = "--gps-checksum-errors " + v + ": expected a probability from 0 to 1";
            return false;
        }
    } else if (a == "--card") {
        s.card_file = v;
    } else if (a == "--card-size") {
        if (!parse_card_size(v, s.card_blocks)) {
            error = "--card-size " + v + ": expected a size from " + std::to_string(kMinCardBytes) +
                    " bytes (the smallest card the factory format lays out) to 32G, in bytes with an optional K, M or G, a whole number of 512-byte blocks";
            return false;
        }
    } else if (a == "--card-type") {
        if (v == "sdsc") s.card_sdhc = false;
        else if (v == "sdhc") s.card_sdhc = true;
        else {
            error = "--card-type " + v + ": expected sdsc or sdhc";
            return false;
        }
    } else if (a == "--card-erased-ones") {
        s.card_erased_ones = true;
    } else if (a == "--card-out") {
        double from, to;
        if (!parse_pair(v, from, to) || from < 0 || to <= from) {
            error = "--card-out " + v + ": expected FROM,TO simulated seconds with TO after FROM";
            return false;
        }
        s.card_out.emplace_back(from, to);
    } else if (a == "--reset-at") {
        double d;
        if (!parse_number(v, d) || d <= 0) {
            error = "--reset-at " + v + ": expected simulated seconds above 0";
            return false;
        }
        s.resets.push_back(d);
    } else if (a == "--no-card") {
        s.card_present = false;
    } else if (a == "--plots") {
        s.plots = true;
    } else if (a == "--firmware") {
        s.firmware_image = v;
    } else if (a == "--realtime") {
        double d = 1;
        if (!v.empty() && (!parse_number(v, d) || d <= 0 || d > 1e6)) {
            error = "--realtime " + v + ": expected a factor above 0 and at most 1000000 (1 = the wall clock's pace, 10 = ten times faster)";
            return false;
        }
        s.realtime = d;
    } else if (a == "--pty") {
        s.pty = true;
    } else if (a == "--scenario") {
        if (v.empty()) {
            error = "--scenario: expected a TOML file name, not an empty string";
            return false;
        }
        s.scenario_file = v; // read before the other options, by parse_command_line
    } else if (a == "--fresh") {
        s.fresh = true;
    } else if (a == "--summary-json") {
        if (v.empty()) {
            error = "--summary-json: expected a file name, not an empty string";
            return false;
        }
        s.summary_json = v;
    } else if (a == "--version") {
        s.version = true;
    } else {
        error = "unknown option " + a + " (see --help)";
        return false;
    }
    return true;
}

namespace {

// The options of ondavix-sim, in the order --help lists them: name, what its value looks
// like (empty for a switch), and its help text.
struct OptionText {
    const char* name;
    const char* value;
    const char* help;
};

const OptionText kOptions[] = {
    {"--scenario", "FILE.toml", "the world and a timeline of events from a file (see\n"
                                "examples/); the options given beside it override it"},
    {"--duration", "S", "simulated seconds to run (default 86400, one day)"},
    {"--out", "DIR", "output folder (default ondavix-out): console.log holds every\n"
                     "byte the firmware wrote on the console port, host.raw every\n"
                     "byte it wrote on the host port, host.log the lines the host\n"
                     "unit received; written as the run goes"},
    {"--fresh", "", "start from a new card and a blank EEPROM even when the\n"
                    "output folder holds those of an earlier run"},
    {"--eeprom", "FILE", "the parameter EEPROM's contents, created blank when\n"
                         "missing and kept afterwards (default DIR/eeprom.bin)"},
    {"--no-eeprom", "", "run with no EEPROM chip on the I2C bus"},
    {"--oscillator-ppm", "N", "error of the board's 48 MHz oscillator in parts per\n"
                              "million (default 0)"},
    {"--heap-limit", "BYTES", "RAM the firmware's heap may take (default 24576)"},
    {"--dip1", "open|closed", "DIP switch 1 (closed turns the sensor debug output on;\n"
                              "default open)"},
    {"--sea", "SEA", "the sea under the buoy (default hs=2,tp=9,dir=240,\n"
                     "spread=30,seed=1):\n"
                     "  hs=H,tp=T,dir=D,spread=S,seed=N  irregular sea: Hs (m),\n"
                     "    peak period (s), mean direction the waves come\n"
                     "    from (degrees from north), spread (degrees), seed\n"
                     "  swell,h=H,t=T,dir=D  one regular swell\n"
                     "  chop    short, small waves   calm    no waves\n"
                     "  off     no sensor traffic at all\n"
                     "any sea also takes current=M/S,current-dir=D (toward),\n"
                     "heading=D and wander=D (the buoy's heading)"},
    {"--motion", "FILE", "replay a motion CSV (time_s,elevation_m,v_north_ms,\n"
                         "v_east_ms,heading_deg) instead of the sea"},
    {"--motion-format", "csv|datawell", "datawell: FILE is a moored buoy's raw record, one line\n"
                                        "per sample at 1.28 Hz, status,heave,north,west in cm"},
    {"--record-sensor", "FILE", "write the sensor port's bytes with their arrival times\n"
                                "(the stream board/qemu plays)"},
    {"--rate", "HZ", "sensor epochs per second (default 10)"},
    {"--start", "YYYY-MM-DDTHH:MM:SSZ", "UTC date and time at which the simulated world starts\n"
                                        "(default 2026-01-01T00:00:00Z)"},
    {"--host-script", "FILE", "telecommands for the host unit, one per line:\n"
                              "SECONDS FIELDS (600 1,8 sends $KVX03,1,8*hh at 600 s),\n"
                              "SECONDS baud RATE, SECONDS raw TEXT, SECONDS rawhex HEX;\n"
                              "# starts a comment"},
    {"--gps", "MODEL", "the GPS receiver: pmtk (an L76LB), cfgmsg (a UC6226NIS),\n"
                       "sim66md, sim66m, or none (default pmtk)"},
    {"--gps-baud", "N", "the rate the receiver was left at (4800, 9600, 14400,\n"
                        "19200, 38400, 57600, 115200; default 9600)"},
    {"--gps-ttff", "S", "seconds from power-up to the first fix (default 30)"},
    {"--gps-no-fix", "", "the receiver never gets a fix"},
    {"--gps-satellites", "N", "satellites in use once fixed (0..24, default 8)"},
    {"--gps-dop", "P,H,V", "dilutions of precision once fixed (default 1.6,0.9,1.3)"},
    {"--gps-position", "LAT,LON", "position once fixed, degrees north and east\n"
                                  "(default 43.37,-8.40)"},
    {"--gps-checksum-errors", "P", "probability that a sentence carries a wrong checksum"},
    {"--card", "FILE", "the SD card's image, created and formatted as a new card\n"
                       "when missing and kept afterwards (default DIR/sd.img);\n"
                       "after the run its files are copied to DIR/sd/"},
    {"--card-size", "SIZE", "size of a new card: bytes with K, M or G (default 4G)"},
    {"--card-type", "sdsc|sdhc", "standard capacity (FAT16) or SDHC (FAT32; the default)"},
    {"--card-erased-ones", "", "erased blocks read 0xFF instead of 0x00"},
    {"--card-out", "FROM,TO", "the card is out of its socket from simulated second\n"
                              "FROM to TO (repeatable)"},
    {"--no-card", "", "run with the card socket empty"},
    {"--reset-at", "S", "pull the board's reset line at simulated second S,\n"
                        "wherever the firmware is (repeatable)"},
    {"--plots", "", "after the run, draw DIR/plots/*.png (gnuplot) as\n"
                    "ondavix-plot DIR does"},
    {"--firmware", "FILE", "the firmware image to boot (default ondavix-fw.so\n"
                           "beside this program)"},
    {"--realtime", "[FACTOR]", "pace virtual time to the wall clock, FACTOR times faster\n"
                               "(default 1; 10 = ten simulated seconds a second); what\n"
                               "the firmware does is the same to the byte"},
    {"--pty", "", "open the console and host ports as pseudo-terminals (their\n"
                  "paths on stderr before the run: console pty: PATH, host\n"
                  "pty: PATH); bytes typed there reach the firmware at the\n"
                  "port's rate, its bytes come back; implies --realtime 1\n"
                  "unless a factor is given"},
    {"--summary-json", "FILE", "also write the summary as JSON to FILE"},
    {"--version", "", "the program's version"},
};

// The help text: the usage line first, then what the program does, then the options.
class HelpLayout : public CLI::Formatter {
public:
    std::string make_description(const CLI::App*) const override { return ""; }
    std::string make_usage(const CLI::App* app, std::string name) const override {
        return CLI::Formatter::make_usage(app, name) + "\n" + app->get_description() + "\n";
    }
};

// The command line's grammar: every option with its help; the values are read and checked
// by apply_option, in the order given.
std::unique_ptr<CLI::App> make_app() {
    auto app = std::make_unique<CLI::App>(
        "Boots the buoy firmware on the simulated board in a simulated world and runs it\n"
        "for a span of simulated time; leaves the console and host traffic in the output\n"
        "folder and prints a summary.",
        "ondavix-sim");
    app->formatter(std::make_shared<HelpLayout>());
    app->get_formatter()->column_width(26);
    app->get_formatter()->label("OPTIONS", "options");
    app->footer("Values may also be given as --option=value.\n"
                "The same options give the same bytes on every run.");
    app->allow_extras();
    app->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app->set_help_flag("-h,--help", "this text");
    for (const OptionText& o : kOptions) {
        if (*o.value == 0) app->add_flag(o.name, o.help)->disable_flag_override();
        else if (*o.value == '[') app->add_option(o.name, o.help)->type_name(o.value)->expected(0, 1);
        else app->add_option(o.name, o.help)->type_name(o.value);
    }
    return app;
}

} // namespace

std::string usage_text() { return make_app()->help(); }

bool parse_command_line(const std::vector<std::string>& args, Scenario& s, bool& help, std::string& error) {
    help = false;
    std::unique_ptr<CLI::App> app = make_app();
    for (const std::string& a : args) {
        // "--no-card=false" would read as the switch given: a switch takes no value.
        size_t eq = a.find('=');
        if (a.rfind("--", 0) != 0 || eq == std::string::npos) continue;
        for (const OptionText& o : kOptions)
            if (*o.value == 0 && a.compare(0, eq, o.name) == 0) {
                error = a + ": " + o.name + " is a switch and takes no value";
                return false;
            }
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend()); // CLI11 takes them last first
    try {
        app->parse(reversed);
    } catch (const CLI::CallForHelp&) {
        help = true;
        return true;
    } catch (const CLI::ArgumentMismatch& e) {
        // "--duration: 1 required S missing": the option ends its last word with no value.
        std::string what = e.what();
        error = "option " + what.substr(0, what.find(':')) + " needs a value";
        return false;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    if (!app->remaining().empty()) {
        error = "unknown option " + app->remaining().front() + " (see --help)";
        return false;
    }
    // Each option's values in the order given on the command line: a later one overrides an
    // earlier one, and the first bad value is the one named.
    std::map<const CLI::Option*, size_t> taken;
    // A scenario file first: the command line overrides it.
    if (CLI::Option* file = app->get_option("--scenario"); file->count() > 0) {
        if (!apply_option("--scenario", file->results().back(), s, error)) return false;
        if (!load_scenario_file(s.scenario_file, s, error)) return false;
    }
    for (const CLI::Option* o : app->parse_order()) {
        if (o->get_name() == "--scenario") continue;
        size_t k = taken[o]++;
        const std::string value = k < o->results().size() ? o->results()[k] : std::string();
        if (!apply_option(o->get_name(), value, s, error)) return false;
    }
    if (s.out_dir.empty()) {
        // An empty folder name would put every output file into the file-system root.
        error = "--out: expected a folder name, not an empty string";
        return false;
    }
    // Times past the end of the run would never happen; far beyond it they overflow the
    // conversion to virtual nanoseconds.
    for (double t : s.resets)
        if (t > s.duration_s) {
            error = "--reset-at " + seconds_text(t) + ": expected a time within the run (--duration " +
                    seconds_text(s.duration_s) + " s)";
            return false;
        }
    for (const TimelineEvent& e : s.events)
        if (e.at > s.duration_s) {
            error = e.where + ".at: " + seconds_text(e.at) + " s: expected a time within the run (duration " +
                    seconds_text(s.duration_s) + " s)";
            return false;
        }
    for (const auto& span : s.card_out)
        if (span.first > s.duration_s) {
            error = "--card-out: FROM " + seconds_text(span.first) + " should lie within the run (--duration " +
                    seconds_text(s.duration_s) + " s)";
            return false;
        }
    if (s.motion_format != "csv" && s.motion_file.empty()) {
        error = "--motion-format " + s.motion_format + ": expected with --motion FILE";
        return false;
    }
    // A person at a terminal types at the wall clock's pace.
    if (s.pty && s.realtime == 0) s.realtime = 1;
    if (s.eeprom_file.empty()) s.eeprom_file = s.out_dir + "/eeprom.bin";
    if (s.card_file.empty()) s.card_file = s.out_dir + "/sd.img";
    if (!s.card_sdhc && s.card_blocks > 8u * 1024 * 1024) {
        error = "--card-size: a standard-capacity card holds at most 4G (use --card-type sdhc)";
        return false;
    }
    return true;
}

} // namespace sim
