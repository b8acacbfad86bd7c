// ondavix-analyze: the spectral and directional sea state of the buoy's RAW records, per
// averaging interval or per fixed window, as CSV; optionally beside the firmware's own
// interval results and with plots of the spectra.
// Exit status: 0 done (malformed lines are reported and counted, not fatal); 1 the inputs
// could not be read or the output not written; 2 bad usage.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "analysis.h"

namespace {

const char* const kUsage =
    "usage: ondavix-analyze CARD_OR_FOLDER_OR_RAW... [--out FILE.csv] [options]\n"
    "Spectral sea state of the buoy's RAW records: Hm0, Tp, Tm01, Tm02, spectral width, peak\n"
    "and mean direction (coming from, degrees clockwise from north) and directional spread,\n"
    "one CSV row per averaging interval (RAW file) or per --window.\n"
    "\n"
    "Inputs: a card image (FAT, read-only), a folder copied off a card or one day folder\n"
    "(YYMMDD), the simulator's output folder (its sd/ copy, else sd.img), or .raw/.res files.\n"
    "\n"
    "  --out FILE          the CSV (default: standard output)\n"
    "  --window SECONDS    one row per span of SECONDS on the UTC clock (e.g. 3600), across\n"
    "                      RAW files, instead of one row per averaging interval\n"
    "  --segment SECONDS   Welch segment length (default 256: bins of 1/256 Hz)\n"
    "  --overlap FRACTION  of consecutive segments, 0 to 0.9 (default 0.5)\n"
    "  --taper NAME        hann, hamming or boxcar (default hann)\n"
    "  --band FMIN,FMAX    band of the figures in Hz (default 0.025,0.58)\n"
    "  --rate HZ           samples per second (default: the most common count per second)\n"
    "  --compare           add the firmware's own interval results (.res files) as fw_*\n"
    "                      columns and print both side by side\n"
    "  --plot FOLDER       a PNG per row: spectrum, direction and spread per frequency\n"
    "                      (needs gnuplot)\n"
    "  --help              this text\n"
    "\n"
    "Segments are detrended and never span a gap: lost samples (a clock second with fewer\n"
    "records than the rate), missing seconds and file boundaries. Malformed lines are\n"
    "reported on standard error with file and line and counted; they are not used.\n"
    "Exit status: 0 done; 1 inputs unreadable or output not written; 2 bad usage.\n";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "ondavix-analyze: %s\n(ondavix-analyze --help shows the usage)\n", message.c_str());
    return 2;
}

bool to_double(const std::string& s, double& v) {
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return !s.empty() && end == s.c_str() + s.size() && std::isfinite(v);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> inputs;
    analyze::Options o;
    std::string out_path, plot_dir;
    bool compare = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        std::string v;
        double d = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--out") {
            if (!value(out_path)) return usage_error("--out needs a file name");
        } else if (a == "--plot") {
            if (!value(plot_dir)) return usage_error("--plot needs a folder");
        } else if (a == "--compare") {
            compare = true;
        } else if (a == "--window") {
            if (!value(v) || !to_double(v, d) || d < 60 || d > 86400 || d != std::floor(d))
                return usage_error("--window " + v + ": expected whole seconds from 60 to 86400");
            o.window_s = static_cast<int64_t>(d);
        } else if (a == "--segment") {
            if (!value(v) || !to_double(v, d) || d < 10 || d > 3600)
                return usage_error("--segment " + v + ": expected seconds from 10 to 3600");
            o.welch.segment_s = d;
        } else if (a == "--overlap") {
            if (!value(v) || !to_double(v, d) || d < 0 || d > 0.9)
                return usage_error("--overlap " + v + ": expected a fraction from 0 to 0.9");
            o.welch.overlap = d;
        } else if (a == "--taper") {
            if (!value(v)) return usage_error("--taper needs hann, hamming or boxcar");
            if (v == "hann") o.welch.taper = analyze::Taper::hann;
            else if (v == "hamming") o.welch.taper = analyze::Taper::hamming;
            else if (v == "boxcar") o.welch.taper = analyze::Taper::boxcar;
            else return usage_error("--taper " + v + ": expected hann, hamming or boxcar");
        } else if (a == "--band") {
            double lo = 0, hi = 0;
            const size_t comma = value(v) ? v.find(',') : std::string::npos;
            if (comma == std::string::npos || !to_double(v.substr(0, comma), lo) ||
                !to_double(v.substr(comma + 1), hi) || lo <= 0 || hi <= lo)
                return usage_error("--band " + v + ": expected FMIN,FMAX in Hz with 0 < FMIN < FMAX");
            o.welch.f_min_hz = lo, o.welch.f_max_hz = hi;
        } else if (a == "--rate") {
            if (!value(v) || !to_double(v, d) || d <= 0 || d > 200)
                return usage_error("--rate " + v + ": expected samples per second, above 0 and at most 200");
            o.rate_hz = d;
        } else if (!a.empty() && a[0] == '-') {
            return usage_error("unknown option " + a);
        } else {
            inputs.push_back(a);
        }
    }
    if (inputs.empty()) return usage_error("no card, folder or RAW file given");

    analyze::CardFiles files;
    std::string error;
    if (!analyze::gather_files(inputs, files, error)) {
        std::fprintf(stderr, "ondavix-analyze: %s\n", error.c_str());
        return 1;
    }
    if (files.raw.empty()) {
        std::fprintf(stderr, "ondavix-analyze: no RAW files in %s\n", inputs[0].c_str());
        return 1;
    }
    if (compare && files.res.empty()) std::fprintf(stderr, "ondavix-analyze: --compare: no result (.res) files found\n");
    analyze::Report rep;
    try {
        rep = analyze::analyse(files, o);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ondavix-analyze: %s\n", e.what());
        return 1;
    }
    for (const analyze::LineError& e : rep.errors) std::fprintf(stderr, "%s\n", e.text().c_str());
    if (!rep.errors.empty()) std::fprintf(stderr, "ondavix-analyze: %zu malformed lines not used\n", rep.errors.size());
    if (!(rep.rate_hz > 0)) {
        std::fprintf(stderr, "ondavix-analyze: no clock second with records found; give the sample rate with --rate\n");
        return 1;
    }
    const std::string text = analyze::csv(rep, compare);
    if (out_path.empty()) {
        std::fputs(text.c_str(), stdout);
    } else {
        std::ofstream f(out_path, std::ios::binary | std::ios::trunc);
        f << text;
        if (!f.flush()) {
            std::fprintf(stderr, "ondavix-analyze: %s: cannot write\n", out_path.c_str());
            return 1;
        }
    }
    if (compare && !out_path.empty()) std::fputs(analyze::compare_table(rep).c_str(), stdout);
    if (!plot_dir.empty() && !analyze::plot(rep, plot_dir, error)) {
        std::fprintf(stderr, "ondavix-analyze: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
