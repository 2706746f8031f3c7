// A whole demo run on the real window against the simulated engine at time
// scale 0: the run's wall time against the engine's own time, and the CPU the
// program spends outside the engine.

#include "BenchEngines.h"
#include "BenchSupport.h"
#include "RichTextBox.h"
#include "SimEngine.h"
#include "frmMain.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;

namespace velmora::bench {

namespace {

struct RunFigures
{
    bool finished = false;
    std::string error;
    double wall = 0.0;
    double engine = 0.0;
    double outsideCpu = 0.0;
};

double Seconds(std::chrono::nanoseconds d)
{
    return std::chrono::duration<double>(d).count();
}

RunFigures OneRun()
{
    auto times = std::make_shared<EngineTimes>();
    const test::ScopedEngineFactory factory(
        TimingFactory([] { return sim::CreateSimEngine(); }, times));
    RunFigures figures;
    {
        frmMain form;
        ShowExposed(form);
        // A message box would wait for a click for ever; close it and count
        // the run as failed. Rarely fires within a run, so costs nothing.
        QTimer guard;
        guard.setInterval(2000);
        QObject::connect(&guard, &QTimer::timeout, &form, [&figures] {
            if (QWidget *box = QApplication::activeModalWidget()) {
                figures.error = "a message box opened during the run";
                box->close();
            }
        });
        guard.start();

        const auto cpu = ThreadCpuTime();
        const auto start = Clock::now();
        form.cmdStart->click();
        const auto wall = Clock::now() - start;
        const auto usedCpu = ThreadCpuTime() - cpu;
        guard.stop();

        figures.finished = form.redLog->PlainText().contains(u">  Fertig!\r\n"_s);
        figures.wall = Seconds(wall);
        figures.engine = Seconds(times->wall);
        figures.outsideCpu = Seconds(usedCpu - times->callerCpu);
        if (figures.error.empty() && !figures.finished)
            figures.error = "the run did not reach \"Fertig!\"";
    }
    return figures;
}

void DemoRun(benchmark::State &state)
{
    if (const RunFigures warm = OneRun(); !warm.error.empty()) {
        state.SkipWithError(warm.error.c_str());
        return;
    }
    for (auto _ : state) {
        const RunFigures run = OneRun();
        if (!run.error.empty()) {
            state.SkipWithError(run.error.c_str());
            return;
        }
        state.SetIterationTime(run.wall);
        state.counters["wall_s"] = run.wall;
        state.counters["engine_s"] = run.engine;
        state.counters["outside_cpu_s"] = run.outsideCpu;
    }
}
BENCHMARK(DemoRun)->Iterations(1)->Repetitions(5)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

}  // namespace velmora::bench
