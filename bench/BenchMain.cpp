// Runs every benchmark on the offscreen platform and prints one summary
// table; Google Benchmark's own report goes to --details=FILE (or nowhere).

#include "BenchSupport.h"
#include "Summary.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using velmora::bench::Measure;
using velmora::bench::Measures;

// Keeps each benchmark's median (or only) run and passes every run on to the
// console reporter writing the details.
class CollectingReporter : public benchmark::ConsoleReporter
{
public:
    explicit CollectingReporter(std::ostream &details) : ConsoleReporter(OO_None)
    {
        SetOutputStream(&details);
        SetErrorStream(&details);
    }

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            Keep(run);
        ConsoleReporter::ReportRuns(runs);
    }

    Measures measures;

private:
    void Keep(const Run &run)
    {
        std::string name = run.run_name.function_name;
        if (!run.run_name.args.empty())
            name += '/' + run.run_name.args;
        const bool repeated = run.repetitions > 1;
        if (run.error_occurred) {
            measures[name].error = name + ": " + run.error_message;
            return;
        }
        if (repeated != (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median"))
            return;
        Measure &m = measures[name];
        m.seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        for (const auto &[key, counter] : run.counters)
            m.counters[key] = counter.value;
    }
};

// Settings for the simulated engine and the platform, in a scratch folder.
void PrepareEnvironment(const velmora::bench::ScratchDirectory &scratch)
{
    const auto runtime = scratch.Path() / "run";
    std::filesystem::create_directories(runtime);
    chmod(runtime.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("VELMORA_SIM_LOCAL_ROOT", (scratch.Path() / "C").c_str(), 1);
    setenv("VELMORA_SIM_TIMESCALE", "0", 1);
    unsetenv("VELMORA_SIM_FAIL");
    unsetenv("VELMORA_SIM_THROW");
    unsetenv("VELMORA_SIM_RUNNING");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

}  // namespace

int main(int argc, char *argv[])
{
    const velmora::bench::ScratchDirectory scratch;
    PrepareEnvironment(scratch);

    // Repetitions of different benchmarks take turns, so a noisy stretch of
    // the machine does not fall on one side of a ratio only.
    std::vector<char *> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = int(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());

    std::string detailsPath;
    std::string figuresPath;
    for (int i = 1; i < count; ++i) {
        const std::string arg = args[size_t(i)];
        if (arg.starts_with("--details="))
            detailsPath = arg.substr(10);
        else if (arg.starts_with("--figures="))
            figuresPath = arg.substr(10);
        else {
            std::cerr << "unknown argument: " << arg
                      << "\nusage: velmora-bench [--details=FILE] [--figures=FILE] "
                         "[benchmark flags]\n";
            return 2;
        }
    }

    int qtArgc = 1;
    QApplication app(qtArgc, argv);

    std::ofstream detailsFile;
    std::ostringstream discarded;
    if (!detailsPath.empty())
        detailsFile.open(detailsPath);
    CollectingReporter reporter(detailsFile.is_open() ? static_cast<std::ostream &>(detailsFile)
                                                      : discarded);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto figures = velmora::bench::BuildFigures(reporter.measures);
    velmora::bench::PrintTable(figures, std::cout);
    if (!figuresPath.empty()) {
        std::ofstream out(figuresPath);
        velmora::bench::WriteFigures(figures, out);
    }
    bool allPass = true;
    for (const auto &f : figures)
        allPass = allPass && f.Pass();
    return allPass ? 0 : 1;
}
