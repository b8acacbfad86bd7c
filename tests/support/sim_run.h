// Helpers for scenario tests: a fresh output folder per test, running ondavix-sim as a
// program, reading files.
#pragma once

#include <string>
#include <vector>

namespace sim::test {

// A new empty folder under the test temporary directory, unique to the running test.
std::string fresh_dir(const std::string& tag);
std::string read_file(const std::string& path);
// Runs the ondavix-sim executable with arguments; returns its exit status and fills the
// combined standard output and error.
int run_sim_exe(const std::vector<std::string>& args, std::string& output);
// Number of non-overlapping occurrences of `needle` in `text`.
size_t count_of(const std::string& text, const std::string& needle);

} // namespace sim::test
