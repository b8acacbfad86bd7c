// ondavix-sim: boots the buoy firmware on the simulated board and runs it in virtual time.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "sim/simulation.h"
#include "version.h"

namespace {

volatile std::sig_atomic_t g_stop_signal = 0;

void on_stop_signal(int signal) { g_stop_signal = signal; }

// SIGINT and SIGTERM end the run at the instant reached, with its outputs; a second one
// (the handler is reset by the first) ends the program at once.
void catch_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    sim::Scenario scenario;
    bool help = false;
    std::string error;
    if (!sim::parse_command_line(args, scenario, help, error)) {
        std::fprintf(stderr, "ondavix-sim: %s\n", error.c_str());
        return 2;
    }
    if (help) {
        std::fputs(sim::usage_text().c_str(), stdout);
        return 0;
    }
    if (scenario.version) {
        std::printf("ondavix-sim %s\n", ONDAVIX_SIM_VERSION);
        return 0;
    }
    try {
        sim::Simulation simulation(scenario);
        if (!simulation.carried_over().empty())
            std::fprintf(stderr, "ondavix-sim: %s\n", simulation.carried_over().c_str());
        if (simulation.console_pty()) {
            std::fprintf(stderr, "console pty: %s\n", simulation.console_pty()->path().c_str());
            std::fprintf(stderr, "host pty: %s\n", simulation.host_pty()->path().c_str());
        }
        catch_stop_signals();
        sim::Simulation::Live live;
        live.progress = isatty(STDERR_FILENO) == 1;
        live.stop = &g_stop_signal;
        // Wall time is only measured for the summary; it never touches the simulation.
        auto t0 = std::chrono::steady_clock::now();
        simulation.run(live);
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (simulation.stopped_by())
            std::fprintf(stderr, "ondavix-sim: %s: the run ends at %.3f simulated seconds; writing its outputs\n",
                         sim::signal_name(simulation.stopped_by()).c_str(), static_cast<double>(simulation.board().now()) / 1e9);
        if (!simulation.write_outputs(error)) {
            std::fprintf(stderr, "ondavix-sim: %s\n", error.c_str());
            return 1;
        }
        std::fputs(simulation.summary(wall).c_str(), stdout);
        if (!scenario.summary_json.empty() &&
            !sim::write_text_file(scenario.summary_json, simulation.summary_json(wall), error)) {
            std::fprintf(stderr, "ondavix-sim: --summary-json %s\n", error.c_str());
            return 1;
        }
        // Outputs written, the run's end is still told to whoever started it, as the shell
        // tells a program ended by the signal.
        if (simulation.stopped_by()) return 128 + simulation.stopped_by();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ondavix-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
