// Finds the buoy's data files wherever they are: in a card image (read through our own FAT
// code, read-only), in a folder copied off a card (or the simulator's output folder), or
// given one by one.
#pragma once

#include <string>
#include <vector>

namespace analyze {

struct DataFile {
    std::string label; // where it came from, for messages: "sd.img:/260101/0020.raw" or a path
    std::string day;   // the day directory it lies in ("260101"), empty if unknown
    std::string name;  // file name ("0020.raw")
    std::string text;  // its contents
};

struct CardFiles {
    std::vector<DataFile> raw; // in recording order (day, then name: HHMM)
    std::vector<DataFile> res;
};

// Gathers the RAW and result files of every input: a card image file, a folder holding day
// directories (YYMMDD), a day directory, the simulator's output folder (its sd/ copy, else
// sd.img), or single .raw/.res files. False with `error` naming the input and what was
// expected.
bool gather_files(const std::vector<std::string>& inputs, CardFiles& out, std::string& error);

} // namespace analyze
