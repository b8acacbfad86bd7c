// From the card's records to rows of sea state: runs without gaps, one row per averaging
// interval (RAW file) or per fixed window, CSV, the firmware's own results beside them, and
// plots of the spectra.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "card_files.h"
#include "records.h"
#include "welch.h"

namespace analyze {

struct Options {
    WelchOptions welch;
    double rate_hz = 0;      // samples per second; 0: the most common count per clock second
    int64_t window_s = 0;    // 0: one row per RAW file (averaging interval)
};

struct Row {
    int64_t start_utc = -1, end_utc = -1;
    std::string source;      // the RAW file (first one of a window)
    size_t samples = 0, segments = 0, gaps = 0;
    SeaState sea;
    Spectra spectra;
    bool has_firmware = false;
    FirmwareResult firmware;
};

struct Report {
    std::vector<Row> rows;
    std::vector<LineError> errors; // malformed lines of every file, all counted
    double rate_hz = 0;
};

// Gap-free runs of a record stream, as [begin, end) index pairs. The firmware's clock stamps
// each record with a whole second, and a second normally holds `rate` records: a second
// holding fewer, with no neighbour holding more to make up for it (the clock's second edge
// moving against the sensor's epochs), has lost samples, and a missing second or a clock
// step backwards breaks the time base. Each breaks the run; the records of a short second
// are dropped, since where in it the loss lies is not known. Records without a clock form
// a single run.
std::vector<std::pair<size_t, size_t>> gap_free_runs(const std::vector<RawSample>& s, double rate);

Report analyse(const CardFiles& files, const Options& options);

std::string csv(const Report& r, bool compare);
// A plain table of the spectral figures beside the firmware's for every row.
std::string compare_table(const Report& r);
// One PNG per row in folder `dir` (its spectrum, and direction and spread per frequency),
// drawn by gnuplot. False with `error` when the folder or gnuplot fails.
bool plot(const Report& r, const std::string& dir, std::string& error);

} // namespace analyze
