// Start-up time and peak memory of the program's probed twin against a
// minimal Qt window program with the same probe, started in turns.

#include "ChildProcess.h"
#include "Summary.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace velmora::bench {

namespace {

constexpr int Starts = 7;

void Startup(benchmark::State &state)
{
    std::vector<double> demoSeconds, minimalSeconds, demoMib, minimalMib, demoRusageMib;
    for (auto _ : state) {
        // One untimed start each first, so neither pays for a cold file cache.
        for (const char *program : {VELMORA_PROBED_DEMO, VELMORA_PROBED_MINIMAL}) {
            if (const ProbeResult warm = RunProbed(program); !warm.ok) {
                state.SkipWithError(warm.error.c_str());
                return;
            }
        }
        for (int i = 0; i < Starts; ++i) {
            const ProbeResult demo = RunProbed(VELMORA_PROBED_DEMO);
            const ProbeResult minimal = RunProbed(VELMORA_PROBED_MINIMAL);
            for (const ProbeResult *r : {&demo, &minimal}) {
                if (!r->ok) {
                    state.SkipWithError(r->error.c_str());
                    return;
                }
            }
            demoSeconds.push_back(std::chrono::duration<double>(demo.startup).count());
            minimalSeconds.push_back(std::chrono::duration<double>(minimal.startup).count());
            demoMib.push_back(double(demo.peakRssKib) / 1024.0);
            minimalMib.push_back(double(minimal.peakRssKib) / 1024.0);
            demoRusageMib.push_back(double(demo.rusageMaxRssKib) / 1024.0);
        }
    }
    state.counters["demo_s"] = *Median(demoSeconds);
    state.counters["minimal_s"] = *Median(minimalSeconds);
    state.counters["demo_mib"] = *Median(demoMib);
    state.counters["minimal_mib"] = *Median(minimalMib);
    // wait4's figure also holds the launching process's own high-water mark.
    state.counters["demo_wait4_mib"] = *Median(demoRusageMib);
}
BENCHMARK(Startup)->Iterations(1);

}  // namespace

}  // namespace velmora::bench
