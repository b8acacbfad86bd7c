// ondavix-sim as a person runs it: the outputs written as the run goes, a signal that ends
// the run at the instant reached, the JSON summary, a kept output folder, the pace of the
// wall clock and the ports as pseudo-terminals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/sim_run.h"
#include "world/kvx_sentence.h"

using sim::test::fresh_dir;
using sim::test::read_file;

extern char** environ;

namespace {

const std::string kResets = "n\xEF\xBF\xBD reinicios = ";

// ondavix-sim started with `args`, its standard output into `out_file` and its standard
// error into `err_file`; returns its process id.
pid_t start_sim(const std::vector<std::string>& args, const std::string& out_file, const std::string& err_file) {
    std::vector<std::string> all = {ONDAVIX_SIM_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

off_t file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Waits up to `seconds` for `ok`; true when it came.
template <class F> bool wait_for(double seconds, F ok) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ok();
}

} // namespace

TEST(LiveRun, OutputsGrowDuringTheRunAndSigintEndsItWithSummaryEepromAndCard) {
    std::string dir = fresh_dir("sigint");
    pid_t pid = start_sim({"--duration", "86400", "--out", dir + "/out", "--card-size", "16M",
                           "--firmware", ONDAVIX_FW_IMAGE},
                          dir + "/stdout", dir + "/stderr");
    ASSERT_GT(pid, 0);
    // The first simulated minute reaches the files while the day is still being run.
    const std::string con = dir + "/out/console.log";
    bool written = wait_for(60, [&] { return file_size(con) > 2000 && file_size(dir + "/out/host.raw") > 0; });
    const off_t first = file_size(con);
    bool grew = written && wait_for(10, [&] { return file_size(con) > first; });
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(written) << read_file(dir + "/stderr");
    EXPECT_TRUE(grew);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by the signal instead of ending the run";
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
    const std::string summary = read_file(dir + "/stdout");
    EXPECT_NE(summary.find("stopped          by SIGINT"), std::string::npos) << summary;
    double simulated = 0;
    ASSERT_EQ(std::sscanf(summary.c_str(), "simulated time %lf s", &simulated), 1) << summary;
    EXPECT_GT(simulated, 60);
    EXPECT_LT(simulated, 86400);
    // The EEPROM as the firmware left it (its defaults written at the first start), the
    // card's files copied out, the logs whole up to the instant the run ended.
    const std::string eeprom = read_file(dir + "/out/eeprom.bin");
    ASSERT_EQ(eeprom.size(), 4096u);
    EXPECT_EQ(eeprom[7], 20);
    EXPECT_FALSE(read_file(dir + "/out/sd/260101/0000.raw").empty());
    EXPECT_GE(file_size(con), first);
    EXPECT_NE(read_file(dir + "/out/host.log").find("Hardware:4_0"), std::string::npos);
}

TEST(LiveRun, SummaryJsonHoldsWhatTheTextSummaryAndTheConsoleSay) {
    std::string dir = fresh_dir("json");
    std::string out;
    ASSERT_EQ(sim::test::run_sim_exe({"--duration", "2500", "--out", dir, "--card-size", "16M", "--summary-json",
                                      dir + "/summary.json", "--firmware", ONDAVIX_FW_IMAGE}, out), 0) << out;
    const nlohmann::json j = nlohmann::json::parse(read_file(dir + "/summary.json"));
    unsigned long long formed = 0, sent = 0;
    long long lost = 0, later = 0;
    size_t at = out.find("samples        formed");
    ASSERT_NE(at, std::string::npos) << out;
    ASSERT_EQ(std::sscanf(out.c_str() + at, "samples formed %llu of %llu epochs sent (%lld lost, %lld after", &formed,
                          &sent, &lost, &later), 4);
    EXPECT_EQ(j["samples"]["formed"], formed);
    EXPECT_EQ(j["samples"]["epochs_sent"], sent);
    EXPECT_EQ(j["samples"]["lost"], lost);
    EXPECT_EQ(j["samples"]["lost_after_first_minute"], later);
    EXPECT_DOUBLE_EQ(j["simulated_s"].get<double>(), 2500);
    EXPECT_TRUE(j["stopped_by"].is_null());
    char hs[16];
    std::snprintf(hs, sizeof hs, "Hs %.3f m", j["truth"]["hs_m"].get<double>());
    EXPECT_NE(out.find(hs), std::string::npos) << hs;
    // Every interval the firmware printed (two in 2500 s), its figures in metres, seconds
    // and degrees from the console's cm, 0.1 s and 0.1 degree.
    const std::string con = read_file(dir + "/console.log");
    ASSERT_EQ(j["intervals"].size(), sim::test::count_of(con, "NumOlas="));
    ASSERT_EQ(j["intervals"].size(), 2u);
    const nlohmann::json& last = j["intervals"][1];
    const std::string hmax = "Hmax=" + std::to_string(last["firmware"]["Hmax"].get<long>()) + " ";
    EXPECT_NE(con.find("NumOlas=" + std::to_string(last["n"].get<long>()) + " " + hmax), std::string::npos);
    EXPECT_DOUBLE_EQ(last["hmax_m"].get<double>(), last["firmware"]["Hmax"].get<long>() / 100.0);
    EXPECT_DOUBLE_EQ(last["tp_s"].get<double>(), last["firmware"]["Tpico"].get<long>() / 10.0);
    EXPECT_EQ(last["firmware_time"], "2026-01-01T00:40");
    EXPECT_NEAR(last["printed_at_s"].get<double>(), 2400, 5);
    EXPECT_TRUE(last["direction_drift_deg"].is_null()); // the drift method is off by default
}

TEST(LiveRun, AKeptCardAndEepromAreNamedAndFreshStartsFromNewOnes) {
    std::string dir = fresh_dir("kept");
    std::string out;
    const std::vector<std::string> run = {"--duration", "60", "--out", dir, "--card-size", "8M",
                                          "--firmware", ONDAVIX_FW_IMAGE};
    ASSERT_EQ(sim::test::run_sim_exe(run, out), 0) << out;
    EXPECT_EQ(out.find("earlier run"), std::string::npos) << out;
    const std::string first_raw = read_file(dir + "/sd/260101/0000.raw");
    ASSERT_FALSE(first_raw.empty());
    ASSERT_EQ(sim::test::run_sim_exe(run, out), 0) << out;
    EXPECT_NE(out.find("going on with the card image " + dir + "/sd.img and the EEPROM image " + dir +
                       "/eeprom.bin of an earlier run"), std::string::npos) << out;
    EXPECT_NE(read_file(dir + "/console.log").find(kResets + "2 "), std::string::npos);
    EXPECT_GT(read_file(dir + "/sd/260101/0000.raw").size(), first_raw.size()); // records piled on
    // --fresh: a new card of the size asked for and a blank EEPROM, as on the first run.
    std::vector<std::string> fresh = run;
    fresh[5] = "16M";
    fresh.push_back("--fresh");
    ASSERT_EQ(sim::test::run_sim_exe(fresh, out), 0) << out;
    EXPECT_NE(out.find("--fresh: a new card and a blank EEPROM replace the card image"), std::string::npos) << out;
    EXPECT_NE(read_file(dir + "/console.log").find(kResets + "1 "), std::string::npos);
    EXPECT_EQ(read_file(dir + "/sd/260101/0000.raw"), first_raw);
    EXPECT_EQ(file_size(dir + "/sd.img"), 16 << 20);
}

TEST(LiveRun, RealtimePacesToTheWallClockAndChangesNoByte) {
    std::string dir = fresh_dir("realtime");
    std::string paced, plain;
    const std::vector<std::string> run = {"--duration", "6", "--no-card", "--firmware", ONDAVIX_FW_IMAGE};
    std::vector<std::string> a = run, b = run;
    a.insert(a.end(), {"--out", dir + "/paced", "--realtime", "2"});
    b.insert(b.end(), {"--out", dir + "/plain"});
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(sim::test::run_sim_exe(a, paced), 0) << paced;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // Six simulated seconds at twice the wall clock's pace: three seconds, within 10 % (the
    // summary's wall time, from boot to end; the program's start and its files around it).
    EXPECT_GE(wall, 2.7);
    double told = 0;
    size_t at = paced.find("wall time");
    ASSERT_NE(at, std::string::npos) << paced;
    ASSERT_EQ(std::sscanf(paced.c_str() + at, "wall time %lf s", &told), 1);
    EXPECT_NEAR(told, 3.0, 0.3);
    ASSERT_EQ(sim::test::run_sim_exe(b, plain), 0) << plain;
    for (const char* f : {"/console.log", "/host.raw", "/host.log", "/eeprom.bin"}) {
        const std::string x = read_file(dir + "/paced" + f);
        EXPECT_FALSE(x.empty()) << f;
        EXPECT_TRUE(x == read_file(dir + "/plain" + f)) << f;
    }
}

namespace {

// What arrives on `fd` until `want` is among it or `seconds` pass.
std::string read_until(int fd, const std::string& want, double seconds) {
    std::string got;
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (got.find(want) == std::string::npos && std::chrono::steady_clock::now() < until) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<size_t>(n));
        }
    }
    return got;
}

// The path printed on stderr after `label` ("host pty: ").
std::string pty_path(const std::string& err, const std::string& label) {
    size_t at = err.find(label);
    if (at == std::string::npos) return "";
    size_t end = err.find('\n', at);
    if (end == std::string::npos) return "";
    return err.substr(at + label.size(), end - at - label.size());
}

} // namespace

TEST(LiveRun, PtyCarriesATelecommandAndItsReplyAndConsoleTyping) {
    std::string dir = fresh_dir("pty");
    pid_t pid = start_sim({"--pty", "--realtime", "4", "--duration", "300", "--out", dir + "/out", "--no-card",
                           "--firmware", ONDAVIX_FW_IMAGE},
                          dir + "/stdout", dir + "/stderr");
    ASSERT_GT(pid, 0);
    std::string err;
    wait_for(20, [&] {
        err = read_file(dir + "/stderr");
        return err.find("host pty: ") != std::string::npos && err.find('\n', err.find("host pty: ")) != std::string::npos;
    });
    const std::string console_path = pty_path(err, "console pty: "), host_path = pty_path(err, "host pty: ");
    int host = host_path.empty() ? -1 : open(host_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int console = console_path.empty() ? -1 : open(console_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    std::string banner, reply, test;
    if (host >= 0 && console >= 0) {
        // The firmware's start-up banner comes out of the host port; then a telecommand goes
        // in (the first step of the armed EEPROM erase, which only answers) and its reply
        // comes back; the console echoes a typed line and runs its test routine.
        banner = read_until(host, "Hardware:4_0", 20);
        const std::string command = sim::kvx_telecommand("1,30") + "\r\n";
        EXPECT_EQ(write(host, command.data(), command.size()), static_cast<ssize_t>(command.size()));
        reply = read_until(host, "$OLA,01,01,30,1*", 20);
        if (reply.find("\r\n", reply.find("$OLA,01,01,30,1*")) == std::string::npos) reply += read_until(host, "\r\n", 2);
        EXPECT_EQ(write(console, "TEST\r", 5), 5);
        test = read_until(console, "\t\t\tTEST\r\n", 20);
    }
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    if (host >= 0) close(host);
    if (console >= 0) close(console);
    ASSERT_FALSE(host_path.empty()) << err;
    ASSERT_FALSE(console_path.empty()) << err;
    EXPECT_EQ(host_path.rfind("/dev/", 0), 0u) << host_path;
    EXPECT_NE(banner.find("Hardware:4_0"), std::string::npos);
    size_t at = reply.find("$OLA,01,01,30,1*");
    ASSERT_NE(at, std::string::npos) << reply;
    EXPECT_EQ(sim::kvx_check(reply.substr(at, reply.find("\r\n", at) - at)).verdict, sim::ChecksumVerdict::Right)
        << reply.substr(at);
    EXPECT_NE(test.find("TEST\r"), std::string::npos) << test; // the line editor's echo
    EXPECT_NE(test.find("\t\t\tTEST\r\n"), std::string::npos) << test;
    // The host unit's log shows what came in through the pseudo-terminal and the answer.
    const std::string log = read_file(dir + "/out/host.log");
    EXPECT_NE(log.find("sent  " + sim::kvx_telecommand("1,30") + "\\r\\n"), std::string::npos) << log;
    EXPECT_NE(log.find("  ok    crlf  $OLA,01,01,30,1*"), std::string::npos) << log;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
}
