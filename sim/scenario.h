// What a simulation run is asked to do: the command line of ondavix-sim, parsed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "world/sea.h"

namespace sim {

// The default sea: Hs 2 m, Tp 9 s, from 240 degrees, 30 degrees of spread, seed 1.
SeaConfig default_sea();

struct Scenario {
    double duration_s = 86400.0;       // simulated seconds to run
    std::string out_dir = "ondavix-out";
    std::string eeprom_file;           // default: <out>/eeprom.bin
    bool eeprom_present = true;
    double oscillator_ppm = 0.0;
    size_t heap_limit = 24 * 1024;     // bytes of RAM the firmware's heap may take
    bool dip1_closed = false;          // closed switch = input low = sensor debug output on
    bool sea_off = false;              // no sensor traffic at all
    SeaConfig sea = default_sea();
    std::string sea_text = "hs=2,tp=9,dir=240,spread=30,seed=1";
    std::string motion_file;           // replay a motion CSV instead of the sea
    double sensor_rate_hz = 10.0;
    std::string start_text = "2026-01-01T00:00:00Z";
    int64_t start_unix = 1767225600;   // the UTC instant at which the world starts
    std::string host_script;           // telecommands the host unit sends, with their times
    std::string firmware_image;        // default: ondavix-fw.so beside the executable
};

// Parses the command line into `s`. On failure returns false with `error` naming the
// option and what was expected. `--help` sets `help`.
bool parse_command_line(const std::vector<std::string>& args, Scenario& s, bool& help, std::string& error);
std::string usage_text();

// Reads a --sea value: "off", "calm", "chop", "swell,h=H,t=T,dir=D" or the irregular
// sea "hs=H,tp=T,dir=D,spread=S,seed=N" (any subset of its keys; spread in degrees).
bool parse_sea(const std::string& text, Scenario& s, std::string& error);

// "YYYY-MM-DDTHH:MM:SSZ" to seconds since 1970-01-01 UTC; false if malformed or invalid.
bool parse_utc(const std::string& text, int64_t& unix_seconds);

} // namespace sim
