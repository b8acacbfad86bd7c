// Pictures of a run from the card's records, drawn by gnuplot into PNG files: the heave of
// a chosen span with the wave limits and crests the firmware found, each wave's height
// against its period, the interval statistics over the run beside the sea's truth, and a
// rose of the waves' directions.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/export/card_records.h"

namespace tools {

// What the simulated sea really was (ondavix-sim writes it to OUTDIR/sea_truth.csv).
struct SeaTruthFigures {
    double hs_m = 0, tp_s = 0, tm02_s = 0, from_deg = 0, spread_deg = 0;
    std::string sea; // the --sea text
};

constexpr const char* kSeaTruthHeader = "hs_m,tp_s,tm02_s,from_deg,spread_deg,sea";

// The file's text: the header and one row.
std::string sea_truth_csv(const SeaTruthFigures& t);
// Reads a sea_truth.csv. A missing file leaves `out` empty and is no error; anything but
// the header and one row of five numbers and the sea is, "FILE:LINE: expected ...".
bool read_sea_truth(const std::string& path, std::optional<SeaTruthFigures>& out, std::string& error);

// The heave plot's span: from `start` (empty: the first wave limit of the record; an ISO
// 8601 UTC time "YYYY-MM-DDTHH:MM:SSZ"; or +S, seconds after the first sample) for
// `seconds`.
struct PlotSpan {
    std::string start;
    double seconds = 120;
};
// "START,SECONDS" or "START" as --span takes it; false with `error` saying what was expected.
bool parse_span(const std::string& text, PlotSpan& span, std::string& error);

struct PlotReport {
    std::vector<std::string> written; // PNG files
    std::vector<std::string> notes;   // plots left out or drawn without something, and why
};

// Writes heave.png, waves.png, intervals.png and rose.png (and the data and gnuplot script
// they come from) into `dir`, created when missing. False with `error` when the folder or a
// file cannot be written, the span holds no samples, or gnuplot fails.
bool write_plots(const CardRecords& records, const std::optional<SeaTruthFigures>& truth, const PlotSpan& span,
                 const std::string& dir, PlotReport& report, std::string& error);

} // namespace tools
