// Pieces shared by the readers of motion files (world/motion_csv.h): fields, numbers, and
// quoting a piece of a bad line in a message.
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace sim::motion_text {

std::string trim(const std::string& s);
// The comma-separated fields of a line, empty ones included.
std::vector<std::string> split(const std::string& line);
// Shortens a quoted piece of the file so one bad line cannot flood the message; bytes
// that do not print show as \xNN, so that the message says what the file holds.
std::string quoted(const std::string& s);
// A field as a number: decimal text (locale-independent) or nan. Returns false with a
// reason otherwise.
bool parse_number(const std::string& text, double& out, std::string& reason);
// Opens a motion file for reading; throws MotionCsvError for a folder ("is a folder;
// expected " + kind) or a file that cannot be opened.
void open_motion_file(const std::string& path, const std::string& kind, std::ifstream& in);

} // namespace sim::motion_text
