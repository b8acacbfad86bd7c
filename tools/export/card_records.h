// The buoy's card records read back on a host: raw samples, per-wave lines and interval
// results, as the firmware writes them into its day folders, turned into tidy CSV rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tools {

// Which direction fields a record holds: the firmware writes one direction (and one spread)
// per method in force, so a record with one of them does not say which method it was.
enum class DirectionMethod { velocity, drift };

struct RawSample {
    std::string time_utc;        // ISO 8601, empty while the buoy had no valid clock
    uint32_t point = 0;          // running point number within the wave
    int heading_deg = 0;
    int heave_cm = 0;            // positive down, as the sensor gives it
    double north_m_s = 0, east_m_s = 0;
    int heading_valid = 0, alignment_valid = 0;
};

struct WaveRecord {
    std::string time_utc;        // the minute the wave closed
    int number = 0;              // wave number in the interval
    int height_cm = 0;
    int period_ds = 0;           // tenths of a second
    int samples = 0;
    std::optional<int> dir_velocity_dd, dir_drift_dd; // tenths of a degree, coming from
    int heading_quality = 0, alignment_quality = 0;   // percent
};

struct ResultRecord {
    std::string date;            // the interval end's date, as the record carries it
    int start_hour = 0, start_minute = 0;
    std::string start_utc;       // interval start, ISO 8601 (see infer_result_starts)
    int waves = 0;
    int hmax_cm = 0, h13_cm = 0, h110_cm = 0, hav_cm = 0;
    int tmax_ds = 0, tpeak_ds = 0, t13_ds = 0, t110_ds = 0, tav_ds = 0;
    std::optional<int> dir_velocity_dd, dir_drift_dd, spread_velocity_dd, spread_drift_dd;
    int heading_quality = 0, alignment_quality = 0;
};

// Each parser reads one line (without its CR LF); on a malformed line it returns false and
// says in `expected` what the line should have looked like.
bool parse_raw(const std::string& line, RawSample& out, std::string& expected);
bool parse_wave(const std::string& line, DirectionMethod single, WaveRecord& out, std::string& expected);
bool parse_result(const std::string& line, DirectionMethod single, ResultRecord& out, std::string& expected);

// A result record carries the start's hour and minute with the end's date; an interval
// that starts in hour 23 may end at 00:00:01 the next day. Fills start_utc for a sequence of
// records in card order.
void infer_result_starts(std::vector<ResultRecord>& results);

// The records of a card folder (the day folders as copied off the card), in time order.
struct CardRecords {
    std::vector<RawSample> raw;
    std::vector<WaveRecord> waves;
    std::vector<ResultRecord> results;
    std::vector<std::string> problems; // "file:line: expected ...", one per line skipped
    std::vector<std::string> files;    // data files read
};

// Reads every day folder (six digits, YYMMDD) under `card_dir`. False with `error` only when
// the folder itself cannot be read.
bool read_card_folder(const std::string& card_dir, DirectionMethod single, CardRecords& out, std::string& error);

// Writes `text` to `path`, replacing it; false with `error` naming the file.
bool write_text_file(const std::string& path, const std::string& text, std::string& error);

// Writes raw.csv, waves.csv and results.csv into `dir`.
bool write_csv_files(const CardRecords& records, const std::string& dir, std::string& error);

} // namespace tools
