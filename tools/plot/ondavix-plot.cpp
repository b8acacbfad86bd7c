// ondavix-plot: PNG plots of a run from the card's records (gnuplot), into OUTDIR/plots/.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/export/card_input.h"
#include "tools/plot/plots.h"

namespace {

const char* const kUsage =
    "usage: ondavix-plot OUTDIR|CARD_FOLDER|IMAGE [--out DIR] [--span START[,SECONDS]]\n"
    "                    [--single-method velocity|drift]\n"
    "\n"
    "Draws with gnuplot, into DIR (default OUTDIR/plots, or plots/ beside the card folder\n"
    "or image):\n"
    "  heave.png      the heave as recorded over a span, with the wave limits the firmware\n"
    "                 found and each wave's crest and trough\n"
    "  waves.png      each wave's height against its period\n"
    "  intervals.png  H1/3, Hmax and Tp of every interval, beside the sea's truth when the\n"
    "                 folder holds the simulator's sea_truth.csv\n"
    "  rose.png       the share of waves coming from each 15-degree sector\n"
    "and the data files and plots.gp they are drawn from (gnuplot plots.gp draws them again).\n"
    "  --span START[,SECONDS]  the heave plot's span: START a UTC time YYYY-MM-DDTHH:MM:SSZ\n"
    "                  or +S, seconds after the first sample; SECONDS long (default: 120 s\n"
    "                  from the first wave limit)\n"
    "  --single-method records that carry one direction come from this method (default\n"
    "                  velocity)\n"
    "Exit status: 0 drawn, 1 drawn but some lines or files of the card could not be read\n"
    "(named on stderr), 2 bad arguments, unreadable input or gnuplot failing.\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "ondavix-plot: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string input, out_dir, error;
    tools::PlotSpan span;
    tools::DirectionMethod single = tools::DirectionMethod::velocity;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--out" || a == "--span" || a == "--single-method") {
            if (i + 1 >= argc) return fail(a + " needs a value");
            const std::string v = argv[++i];
            if (a == "--out")
                out_dir = v;
            else if (a == "--span" && !tools::parse_span(v, span, error))
                return fail(error);
            else if (a == "--single-method" && !tools::parse_single_method(v, single, error))
                return fail(error);
        } else if (!tools::take_input_word(a, input, error)) {
            return fail(error);
        }
    }
    if (input.empty()) return fail("no input given (--help)");

    std::string folder;
    std::vector<std::string> unreadable;
    tools::CardRecords records;
    const bool read = tools::read_card_input(input, single, records, unreadable, folder, error);
    for (const std::string& u : unreadable) std::fprintf(stderr, "ondavix-plot: %s\n", u.c_str());
    if (!read) return fail(error);
    for (const std::string& p : records.problems) std::fprintf(stderr, "%s\n", p.c_str());
    std::optional<tools::SeaTruthFigures> truth;
    if (!tools::read_sea_truth(folder + "/sea_truth.csv", truth, error)) return fail(error);
    tools::PlotReport report;
    if (!tools::write_plots(records, truth, span, out_dir.empty() ? folder + "/plots" : out_dir, report, error))
        return fail(error);
    for (const std::string& n : report.notes) std::fprintf(stderr, "ondavix-plot: %s\n", n.c_str());
    for (const std::string& w : report.written) std::printf("%s\n", w.c_str());
    return records.problems.empty() && unreadable.empty() ? 0 : 1;
}
