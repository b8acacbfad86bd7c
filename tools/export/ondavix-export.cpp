// ondavix-export: the records of a buoy's card as tidy CSV files (raw.csv, waves.csv,
// results.csv), from a simulator output folder, a folder copied off a card, or a card image.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/export/card_input.h"

namespace {

const char* const kUsage =
    "usage: ondavix-export OUTDIR|CARD_FOLDER|IMAGE [--out DIR] [--single-method velocity|drift]\n"
    "\n"
    "Writes raw.csv, waves.csv and results.csv: one header row with the units, ISO 8601 UTC\n"
    "times, one comma between fields, one row per record on the card.\n"
    "  OUTDIR          an ondavix-sim output folder: its sd/ copy, else its sd.img\n"
    "  CARD_FOLDER     a folder holding the card's day folders (YYMMDD)\n"
    "  IMAGE           a card image (MBR partition 1, or a volume without one)\n"
    "  --out DIR       where the CSV files go (default: OUTDIR or CARD_FOLDER, or the\n"
    "                  image's own folder)\n"
    "  --single-method records that carry one direction come from this method (default\n"
    "                  velocity, the buoy's default); records with both or none say so\n"
    "Exit status: 0 done, 1 some lines were malformed (each named on stderr, the rest\n"
    "written), 2 bad arguments or unreadable input.\n";

bool is_dir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int fail(const std::string& message) {
    std::fprintf(stderr, "ondavix-export: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string input, out_dir, error;
    tools::DirectionMethod single = tools::DirectionMethod::velocity;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--out" || a == "--single-method") {
            if (i + 1 >= argc) return fail(a + " needs a value");
            const std::string v = argv[++i];
            if (a == "--out")
                out_dir = v;
            else if (!tools::parse_single_method(v, single, error))
                return fail(error);
        } else if (!tools::take_input_word(a, input, error)) {
            return fail(error);
        }
    }
    if (input.empty()) return fail("no input given (--help)");
    if (!out_dir.empty() && !is_dir(out_dir)) return fail("--out " + out_dir + ": not a folder");

    std::string folder;
    std::vector<std::string> unreadable;
    tools::CardRecords records;
    const bool read = tools::read_card_input(input, single, records, unreadable, folder, error);
    for (const std::string& u : unreadable) std::fprintf(stderr, "ondavix-export: %s\n", u.c_str());
    if (!read) return fail(error);
    if (out_dir.empty()) out_dir = folder;
    if (!is_dir(out_dir)) return fail("--out " + out_dir + ": not a folder");
    for (const std::string& p : records.problems) std::fprintf(stderr, "%s\n", p.c_str());
    if (!tools::write_csv_files(records, out_dir, error)) return fail(error);
    std::printf("%zu files read: %zu raw samples, %zu waves, %zu results -> %s/{raw,waves,results}.csv\n",
                records.files.size(), records.raw.size(), records.waves.size(), records.results.size(),
                out_dir.c_str());
    if (!unreadable.empty())
        std::fprintf(stderr, "ondavix-export: %zu unreadable files or folders on the card (named above)\n", unreadable.size());
    if (!records.problems.empty())
        std::fprintf(stderr, "ondavix-export: %zu malformed lines skipped (named above)\n", records.problems.size());
    return records.problems.empty() && unreadable.empty() ? 0 : 1;
}
