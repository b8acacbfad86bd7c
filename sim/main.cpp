// ondavix-sim: boots the buoy firmware on the simulated board and runs it in virtual time.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "sim/simulation.h"
#include "version.h"

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
        // Wall time is only measured for the summary; it never touches the simulation.
        auto t0 = std::chrono::steady_clock::now();
        simulation.run();
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!simulation.write_outputs(error)) {
            std::fprintf(stderr, "ondavix-sim: %s\n", error.c_str());
            return 1;
        }
        std::fputs(simulation.summary(wall).c_str(), stdout);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ondavix-sim: %s\n", e.what());
        return 1;
    }
    return 0;
}
