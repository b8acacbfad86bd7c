// ondavix-kvx: builds a telecommand for the buoy's host line with its checksum, or checks the
// checksum of a sentence the buoy sent, for someone driving a real buoy from a terminal.
//   ondavix-kvx 1,8                       prints $KVX03,1,8*4F
//   ondavix-kvx --check '$OLA,01,01*42'   says whether the checksum is right
// Exit status: 0 built, or checksum right; 1 checksum wrong or not a checksummed sentence;
// 2 bad usage.
#include <cstdio>
#include <string>
#include <vector>

#include "world/kvx_sentence.h"

namespace {

const char* const kUsage =
    "usage: ondavix-kvx FIELDS\n"
    "       ondavix-kvx --check SENTENCE\n"
    "Builds a telecommand for the buoy's host line, or checks a sentence the buoy sent.\n"
    "\n"
    "  FIELDS            the telecommand's fields after \"$KVX03,\": decimal numbers\n"
    "                    separated by commas, empty fields allowed (e.g. 1,8 or 3,,1).\n"
    "                    Prints \"$KVX03,\" FIELDS \"*\" and the two-digit checksum, then a\n"
    "                    line end; the buoy takes the sentence with or without CR LF.\n"
    "  --check SENTENCE  checks \"$...*hh\": hh must be the upper-case hexadecimal\n"
    "                    exclusive-or of the characters between \"$\" and \"*\". One line\n"
    "                    end after hh is ignored. Quote the sentence for the shell.\n"
    "  --help            this text\n"
    "\n"
    "Exit status: 0 built, or checksum right; 1 checksum wrong or not a checksummed\n"
    "sentence; 2 bad usage.\n";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "ondavix-kvx: %s\n(ondavix-kvx --help shows the usage)\n", message.c_str());
    return 2;
}

// One line end, as a sentence copied off the line may still carry.
std::string without_line_end(std::string s) {
    if (s.size() >= 2 && s.compare(s.size() - 2, 2, "\r\n") == 0)
        s.resize(s.size() - 2);
    else if (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

int check(const std::string& sentence) {
    const sim::SentenceCheck r = sim::kvx_check(without_line_end(sentence));
    switch (r.verdict) {
    case sim::ChecksumVerdict::Right:
        std::printf("checksum right: %s\n", sim::kvx_hex(r.computed).c_str());
        return 0;
    case sim::ChecksumVerdict::Wrong:
        std::printf("checksum wrong: %s\n", r.problem.c_str());
        return 1;
    case sim::ChecksumVerdict::Malformed:
        break;
    }
    std::printf("not a checksummed sentence: %s\n", r.problem.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage_error("expected the telecommand fields (e.g. 1,8) or --check SENTENCE");
    if (args[0] == "--help" || args[0] == "-h") {
        if (args.size() != 1) return usage_error("expected nothing after " + args[0]);
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args[0] == "--check") {
        if (args.size() != 2)
            return usage_error(args.size() == 1 ? "expected a sentence after --check (e.g. --check '$OLA,01,01*42')"
                                                : "expected one sentence after --check; quote it for the shell");
        return check(args[1]);
    }
    if (args[0].size() > 1 && args[0][0] == '-' && args[0][1] == '-')
        return usage_error("unknown option " + args[0] + "; expected --check, --help or the telecommand fields");
    if (args.size() != 1)
        return usage_error("expected the fields as one argument without blanks (e.g. 1,8), found " +
                           std::to_string(args.size()) + " arguments");
    const std::string problem = sim::kvx_fields_problem(args[0]);
    if (!problem.empty()) return usage_error(problem);
    std::printf("%s\n", sim::kvx_telecommand(args[0]).c_str());
    return 0;
}
