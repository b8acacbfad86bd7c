// Running the outside tools (mkfs.fat, fsck.fat, mtools) from tests.
#pragma once

#include <string>

namespace sim::test {

// Full path of an executable found on PATH or in /usr/sbin and /sbin (where fsck.fat and
// mkfs.fat live); empty when missing.
std::string find_tool(const std::string& name);

struct ToolRun {
    int status = -1;     // exit status; -1 when the command could not run or was killed
    std::string out;     // standard output and error together
};

// Runs a shell command.
ToolRun run(const std::string& command);

// A path or word quoted for the shell (no single quotes inside).
inline std::string quote(const std::string& s) { return "'" + s + "'"; }

} // namespace sim::test
