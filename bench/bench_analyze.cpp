// ondavix-analyze on a day's card: 72 RAW files of 20 minutes at 10 Hz (864000 records,
// about 56 MB of text) from the default sea, laid out as the firmware writes them, and the
// whole analysis of them: parsing, runs, Welch spectra and the sea-state figures.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "analysis.h"
#include "world/sea.h"

namespace {

// One RAW record in the firmware's layout; heave whole centimetres rounded away from zero.
void raw_line(std::string& out, int64_t utc, const sim::MotionSample& m) {
    const int64_t s = utc % 86400;
    const double cm = -m.elevation_m * 100.0;
    const long h = static_cast<long>(cm > 0 ? std::ceil(cm) : std::floor(cm));
    char buf[96];
    std::snprintf(buf, sizeof buf, "01,01,26,%02d,%02d,%02d,00000,0000,%c%05ld,%c%010.4f,%c%010.4f,1,1\r\n",
                  static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60), static_cast<int>(s % 60),
                  h < 0 ? '-' : ' ', std::labs(h), m.v_north_ms < 0 ? '-' : ' ', std::fabs(m.v_north_ms),
                  m.v_east_ms < 0 ? '-' : ' ', std::fabs(m.v_east_ms));
    out += buf;
}

analyze::CardFiles day_card() {
    sim::SeaConfig c = sim::sea_jonswap(2.0, 9.0, 240.0, 1);
    c.spread_s = sim::spread_s_from_deg(30.0);
    sim::Sea sea(c);
    analyze::CardFiles files;
    const int64_t day = analyze::utc_seconds(2026, 1, 1, 0, 0, 0);
    for (int f = 0; f < 72; ++f) {
        analyze::DataFile file;
        char name[16];
        std::snprintf(name, sizeof name, "%02d%02d.raw", f / 3, f % 3 * 20);
        file.day = "260101", file.name = name, file.label = std::string("260101/") + name;
        for (int i = 0; i < 12000; ++i) {
            const long k = f * 12000L + i;
            raw_line(file.text, day + k / 10, sea.sample(static_cast<double>(k) / 10.0));
        }
        files.raw.push_back(std::move(file));
    }
    return files;
}

void AnalyzeDayCard(benchmark::State& state) {
    static const analyze::CardFiles files = day_card();
    for (auto _ : state) {
        analyze::Report r = analyze::analyse(files, analyze::Options{});
        benchmark::DoNotOptimize(r.rows.data());
        state.counters["rows"] = static_cast<double>(r.rows.size());
    }
}

} // namespace

BENCHMARK(AnalyzeDayCard)->Unit(benchmark::kSecond)->Iterations(1);
