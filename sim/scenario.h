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

// Something that happens at a simulated time (a scenario file's timeline). Spans run from
// `at` to `until` (the run's end when until < 0).
struct TimelineEvent {
    enum class Kind {
        Reset,            // the reset line pulled
        PowerCut,         // the supply lost and back: the board restarts, the sensor is power cycled
        Console,          // `text` typed on the console, CR after it
        Telecommand,      // $KVX03,`text`*hh CR LF sent by the host unit
        SensorSilent,     // span: the sensor sends nothing (powered down, up again at its end)
        SensorGarbage,    // `count` bytes of noise on the sensor line
        SensorFaults,     // span: frames dropped and CRCs altered at `drop` and `crc`
        GpsNoFix,         // span: no sky, no fix
        CardOut,          // span: the card out of its socket
        CardWriteErrors,  // span: every block write refused
        CardFull,         // the card taken out, filled on a computer to leave `count` bytes
                          // free (a file /RELLENO.BIN) and put back 2 s later
        EepromAbsent,     // span: the chip acknowledges nothing
        EepromWriteErrors,// span: the chip refuses writes
    };
    Kind kind = Kind::Reset;
    double at = 0, until = -1;
    std::string text;
    size_t count = 0;
    double drop = 0, crc = 0;
    std::string where; // FILE:LINE, for messages
};

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
    std::string motion_format = "csv"; // or "datawell": a moored buoy's raw displacements
    std::string record_sensor_file;    // sensor port bytes with arrival times (SensorRecorder)
    double sensor_rate_hz = 10.0;
    std::string start_text = "2026-01-01T00:00:00Z";
    int64_t start_unix = 1767225600;   // the UTC instant at which the world starts
    std::string host_script;           // telecommands the host unit sends, with their times
    std::string firmware_image;        // default: ondavix-fw.so beside the executable
    bool plots = false;                // draw <out>/plots/*.png after the run

    // The GPS receiver on Serial3, powered by board pin 17: a model name ("L76LB",
    // "SIM66M", "SIM66MD", "UC6226NIS") or empty for none.
    std::string gps_model = "L76LB";
    uint32_t gps_baud = 9600;          // the rate the receiver was left at
    double gps_ttff_s = 30.0;          // cold-start time to first fix
    bool gps_no_fix = false;           // no sky: never a fix
    int gps_satellites = 8;
    double gps_pdop = 1.6, gps_hdop = 0.9, gps_vdop = 1.3;
    double gps_latitude = 43.37, gps_longitude = -8.40;
    double gps_checksum_errors = 0.0;  // probability that a sentence carries a wrong checksum

    // The SD card: an image file kept across runs (default <out>/sd.img), created and
    // factory formatted when missing with card_blocks blocks of the given type.
    bool card_present = true;
    std::string card_file;
    uint32_t card_blocks = 4u * 1024 * 1024 * 2; // 4 GiB
    bool card_sdhc = true;
    bool card_erased_ones = false;
    // Spans of simulated seconds during which the card is out of its socket.
    std::vector<std::pair<double, double>> card_out;
    // Simulated seconds at which the board's reset line is pulled (a restart at that
    // instant, wherever the firmware is).
    std::vector<double> resets;

    // Virtual seconds per wall-clock second (--realtime; 0: as fast as the host goes). Only
    // the pace changes, never a byte of what the firmware does.
    double realtime = 0.0;
    bool pty = false;                  // the console and host ports as pseudo-terminals
    std::string scenario_file;         // --scenario: a TOML file read before the options
    std::vector<TimelineEvent> events; // its timeline
    double sensor_drop = 0.0, sensor_crc_errors = 0.0; // fault probabilities from the start
    bool fresh = false;                // a new card and a blank EEPROM even when kept ones exist
    std::string summary_json;          // the summary as JSON too, into this file
    bool version = false;              // --version: print the program's version, run nothing
};

// Parses the command line into `s` (CLI11: "--opt value" or "--opt=value"). On failure
// returns false with `error` naming the option and what was expected. `--help` sets `help`.
bool parse_command_line(const std::vector<std::string>& args, Scenario& s, bool& help, std::string& error);
std::string usage_text();
// One option with its value (empty for a switch), read into `s` as the command line would;
// false with `error` naming the option and what was expected. Scenario files use it too.
bool apply_option(const std::string& option, const std::string& value, Scenario& s, std::string& error);

// Reads a --sea value: "off", "calm", "chop", "swell,h=H,t=T,dir=D" or the irregular
// sea "hs=H,tp=T,dir=D,spread=S,seed=N" (any subset of its keys; spread in degrees).
bool parse_sea(const std::string& text, Scenario& s, std::string& error);

// The smallest card the factory formatter lays out a volume on: 4216 blocks.
constexpr uint64_t kMinCardBytes = 4216ull * 512;

// A card size: a number of bytes with an optional K, M or G suffix (powers of 1024),
// a whole number of 512-byte blocks. False when malformed or out of kMinCardBytes .. 32 GiB.
bool parse_card_size(const std::string& text, uint32_t& blocks);

// "YYYY-MM-DDTHH:MM:SSZ" to seconds since 1970-01-01 UTC; false if malformed or invalid.
bool parse_utc(const std::string& text, int64_t& unix_seconds);

} // namespace sim
