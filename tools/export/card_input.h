// Where a card's records come from: an ondavix-sim output folder (its sd/ copy, else its
// sd.img), a folder holding the card's day folders, or a card image read through our FAT
// code. Shared by ondavix-export and ondavix-plot.
#pragma once

#include <string>
#include <vector>

#include "tools/export/card_records.h"

namespace tools {

// Reads the records of `input`. `folder` is set to the folder the input names (an output
// folder or card folder) or the one the image lies in. Files or folders of an image that
// cannot be read go to `unreadable`, one line each, and the rest is read. False with
// `error` when the input is missing, holds no FAT volume, or cannot be read at all.
bool read_card_input(const std::string& input, DirectionMethod single, CardRecords& records,
                     std::vector<std::string>& unreadable, std::string& folder, std::string& error);

// The command-line words both tools share. take_input_word takes a word that is no
// option's value as the input, once; --single-method's value is velocity or drift. False
// with `error` saying what was expected.
bool take_input_word(const std::string& word, std::string& input, std::string& error);
bool parse_single_method(const std::string& value, DirectionMethod& method, std::string& error);

} // namespace tools
