// How fast the simulator runs the firmware: simulated seconds per wall second for the idle
// firmware and for the firmware measuring a sea. Measures only; never fails on time.
//
//   build/ondavix-bench --benchmark_filter=Day
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "sim/simulation.h"

namespace {

void run_scenario(benchmark::State& state, const std::string& sea, double seconds, double rate_hz) {
    double simulated = 0;
    for (auto _ : state) {
        sim::Scenario s;
        s.out_dir = "/tmp/ondavix-bench";
        s.eeprom_present = true;
        s.eeprom_file = "/tmp/ondavix-bench-eeprom-unused.bin";
        s.duration_s = seconds;
        s.sensor_rate_hz = rate_hz;
        std::string error;
        if (!sim::parse_sea(sea, s, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        sim::Simulation simulation(s);
        simulation.run();
        simulated += seconds;
    }
    state.counters["sim_s_per_wall_s"] = benchmark::Counter(simulated, benchmark::Counter::kIsRate);
}

void IdleHour(benchmark::State& state) { run_scenario(state, "off", 3600, 10); }
void SeaHour10Hz(benchmark::State& state) { run_scenario(state, "hs=2,tp=9,dir=240", 3600, 10); }
void IdleDay(benchmark::State& state) { run_scenario(state, "off", 86400, 10); }
void SeaDay10Hz(benchmark::State& state) { run_scenario(state, "hs=2,tp=9,dir=240", 86400, 10); }

} // namespace

BENCHMARK(IdleHour)->Unit(benchmark::kMillisecond);
BENCHMARK(SeaHour10Hz)->Unit(benchmark::kMillisecond);
BENCHMARK(IdleDay)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK(SeaDay10Hz)->Unit(benchmark::kSecond)->Iterations(1);
BENCHMARK_MAIN();
