// Test main for every unit, scenario and interop executable: each test runs in a process of
// its own, forked from a parent that never runs a test, so every test starts with the
// firmware's globals at their static initial values, as it does under CTest (one process a
// test) and as the firmware does after a reset. A run that selects one test (CTest, or a
// developer in a debugger with --gtest_filter) runs it in place, without a fork.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

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
