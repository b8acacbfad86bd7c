// Test main for every unit, scenario and interop executable: each test runs in a process of
// its own, forked from a parent that never runs a test, as it does under CTest (one process
// a test). A run that selects one test (CTest, or a developer in a debugger with
// --gtest_filter) runs it in place, without a fork, and so does every run with
// ONDAVIX_TEST_IN_PLACE set.
//
// Either way every test starts with the firmware's globals at their static initial values,
// as the firmware does after a reset: the linked firmware keeps them in sections of their
// own (see ondavix_fw in the top CMakeLists.txt), saved here before the first test and put
// back before each one.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Bounds of the firmware's writable sections, defined by the linker when the executable
// holds any of the firmware (weak: null otherwise).
extern "C" {
extern char __start_ondavix_fw_data[] __attribute__((weak));
extern char __stop_ondavix_fw_data[] __attribute__((weak));
extern char __start_ondavix_fw_data_rel[] __attribute__((weak));
extern char __stop_ondavix_fw_data_rel[] __attribute__((weak));
extern char __start_ondavix_fw_bss[] __attribute__((weak));
extern char __stop_ondavix_fw_bss[] __attribute__((weak));
}

namespace {

// Byte by byte and not checked by the address sanitizer: the sections hold its poisoned red
// zones between the globals, and a checked copy (memcpy included) would report them.
#if defined(__SANITIZE_ADDRESS__)
__attribute__((no_sanitize_address))
#endif
void copy_section(char* to, const char* from, size_t n) {
    volatile char* t = to;
    const volatile char* f = from;
    for (size_t i = 0; i < n; ++i) t[i] = f[i];
}

// The firmware's globals as static initialisation left them, put back before every test.
class FirmwareGlobals : public testing::EmptyTestEventListener {
public:
    FirmwareGlobals() {
        save(__start_ondavix_fw_data, __stop_ondavix_fw_data);
        save(__start_ondavix_fw_data_rel, __stop_ondavix_fw_data_rel);
        save(__start_ondavix_fw_bss, __stop_ondavix_fw_bss);
    }
    void OnTestStart(const testing::TestInfo&) override {
        for (Saved& s : saved_) copy_section(s.at, s.bytes.data(), s.bytes.size());
    }

private:
    struct Saved {
        char* at;
        std::vector<char> bytes;
    };
    void save(char* begin, char* end) {
        if (begin == nullptr || end <= begin) return;
        saved_.push_back({begin, std::vector<char>(static_cast<size_t>(end - begin))});
        copy_section(saved_.back().bytes.data(), begin, saved_.back().bytes.size());
    }
    std::vector<Saved> saved_;
};

// GoogleTest's filter patterns: '*' any run of characters, '?' one character.
bool matches(const char* pattern, const char* name) {
    if (*pattern == '\0') return *name == '\0';
    if (*pattern == '*') return matches(pattern + 1, name) || (*name != '\0' && matches(pattern, name + 1));
    if (*name == '\0') return false;
    return (*pattern == '?' || *pattern == *name) && matches(pattern + 1, name + 1);
}

bool any_matches(const std::string& patterns, const std::string& name) {
    size_t start = 0;
    while (start <= patterns.size()) {
        size_t end = patterns.find(':', start);
        if (end == std::string::npos) end = patterns.size();
        if (matches(patterns.substr(start, end - start).c_str(), name.c_str())) return true;
        start = end + 1;
    }
    return false;
}

// The filter's positive and negative parts ("POS:POS-NEG:NEG"), as GoogleTest reads them.
bool selected(const std::string& filter, const std::string& name) {
    const size_t dash = filter.find('-');
    std::string positive = filter.substr(0, dash);
    if (positive.empty()) positive = "*";
    if (!any_matches(positive, name)) return false;
    return dash == std::string::npos || !any_matches(filter.substr(dash + 1), name);
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new FirmwareGlobals);
    const std::string filter = GTEST_FLAG_GET(filter);
    if (GTEST_FLAG_GET(list_tests) || std::getenv("ONDAVIX_TEST_IN_PLACE") != nullptr)
        return RUN_ALL_TESTS();

    std::vector<std::string> names;
    const testing::UnitTest& all = *testing::UnitTest::GetInstance();
    for (int s = 0; s < all.total_test_suite_count(); ++s) {
        const testing::TestSuite& suite = *all.GetTestSuite(s);
        for (int t = 0; t < suite.total_test_count(); ++t) {
            const std::string name = std::string(suite.name()) + "." + suite.GetTestInfo(t)->name();
            const bool disabled = name.find("DISABLED_") != std::string::npos;
            if (selected(filter, name) && (!disabled || GTEST_FLAG_GET(also_run_disabled_tests)))
                names.push_back(name);
        }
    }
    if (names.size() <= 1) return RUN_ALL_TESTS();

    std::vector<std::string> failed;
    for (const std::string& name : names) {
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t child = fork();
        if (child < 0) {
            std::perror("fork");
            return 2;
        }
        if (child == 0) {
            GTEST_FLAG_SET(filter, name);
            std::_Exit(RUN_ALL_TESTS());
        }
        int status = 0;
        if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            failed.push_back(name);
    }
    std::printf("\n%zu tests, each in its own process: %zu passed, %zu failed\n", names.size(),
                names.size() - failed.size(), failed.size());
    for (const std::string& name : failed) std::printf("  FAILED %s\n", name.c_str());
    return failed.empty() ? 0 : 1;
}
