// Start-up time and peak memory of the program's probed twin against a
// minimal Qt window program with the same probe, started in turns. Each
// repetition starts both once; the medians are Google Benchmark's own.

#include "ChildProcess.h"

#include <benchmark/benchmark.h>

namespace velmora::bench {

namespace {

double Seconds(std::chrono::nanoseconds d)
{
    return std::chrono::duration<double>(d).count();
}

void Startup(benchmark::State &state)
{
    // One untimed start each first, so neither pays for a cold file cache.
    [[maybe_unused]] static const bool warm =
        RunProbed(VELMORA_PROBED_DEMO).ok && RunProbed(VELMORA_PROBED_MINIMAL).ok;
    for (auto _ : state) {
        const ProbeResult demo = RunProbed(VELMORA_PROBED_DEMO);
        const ProbeResult minimal = RunProbed(VELMORA_PROBED_MINIMAL);
        for (const ProbeResult *r : {&demo, &minimal}) {
            if (!r->ok) {
                state.SkipWithError(r->error.c_str());
                return;
            }
        }
        state.counters["demo_s"] = Seconds(demo.startup);
        state.counters["minimal_s"] = Seconds(minimal.startup);
        state.counters["demo_mib"] = double(demo.peakRssKib) / 1024.0;
        state.counters["minimal_mib"] = double(minimal.peakRssKib) / 1024.0;
        // wait4's figure also holds the launching process's own high-water mark.
        state.counters["demo_wait4_mib"] = double(demo.rusageMaxRssKib) / 1024.0;
    }
}
BENCHMARK(Startup)->Iterations(1)->Repetitions(7);

}  // namespace

}  // namespace velmora::bench
