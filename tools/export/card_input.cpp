#include "tools/export/card_input.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/simulation.h"

namespace tools {

namespace {

bool is_dir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool is_file(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void remove_tree(const std::string& dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "%s left behind\n", dir.c_str());
}

} // namespace

bool read_card_input(const std::string& input, DirectionMethod single, CardRecords& records,
                     std::vector<std::string>& unreadable, std::string& folder, std::string& error) {
    std::string card_dir, image;
    if (is_dir(input)) {
        if (is_dir(input + "/sd"))
            card_dir = input + "/sd";
        else if (is_file(input + "/sd.img"))
            image = input + "/sd.img";
        else
            card_dir = input;
        folder = input;
    } else if (is_file(input)) {
        image = input;
        const size_t slash = input.rfind('/');
        folder = slash == std::string::npos ? "." : input.substr(0, slash);
    } else {
        error = input + ": no such folder or card image";
        return false;
    }
    if (image.empty()) return read_card_folder(card_dir, single, records, error);

    // The image's files are copied out read-only by our FAT code, then read as a folder.
    char pattern[] = "/tmp/ondavix-card-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error = std::string("temporary folder: ") + std::strerror(errno);
        return false;
    }
    const std::string temp = pattern;
    bool mounted = false;
    std::vector<std::string> damaged;
    const long copied = sim::export_card_files(image, temp + "/card", mounted, error, &damaged);
    // A damaged file is named and the rest of the card still read.
    for (const std::string& d : damaged) unreadable.push_back(image + ": " + d);
    bool ok = copied >= 0 && mounted;
    if (!ok)
        error = image + ": " + (error.empty() ? "no FAT volume on this image" : error);
    else
        ok = read_card_folder(temp + "/card", single, records, error);
    remove_tree(temp);
    return ok;
}

bool take_input_word(const std::string& word, std::string& input, std::string& error) {
    if (!word.empty() && word[0] == '-')
        error = "unknown option '" + word + "' (--help lists them)";
    else if (!input.empty())
        error = "one input only (got '" + input + "' and '" + word + "')";
    else
        input = word;
    return input == word;
}

bool parse_single_method(const std::string& value, DirectionMethod& method, std::string& error) {
    if (value != "velocity" && value != "drift") {
        error = "--single-method: expected velocity or drift, got '" + value + "'";
        return false;
    }
    method = value == "velocity" ? DirectionMethod::velocity : DirectionMethod::drift;
    return true;
}

} // namespace tools
