// The log control: one status line at growing log sizes, and a listing block
// against the same text inserted at once.

#include "BenchEngines.h"
#include "BenchSupport.h"
#include "RichTextBox.h"
#include "frmMain.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <map>
#include <memory>

using namespace Qt::StringLiterals;

namespace velmora::bench {

namespace {

constexpr int ListingSize = 10000;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void ProcessEvents()
{
    QCoreApplication::processEvents();
}

// Times stretches of work by the process's CPU time, which is what the figures
// use: on a shared two-core machine other processes stretch wall time at
// random, not the CPU the program spends. Wall time goes to the details.
class Stopwatch
{
public:
    void Start()
    {
        m_cpuStart = ProcessCpuTime();
        m_wallStart = Clock::now();
    }

    void Stop(benchmark::State &state)
    {
        const auto cpu = ProcessCpuTime() - m_cpuStart;
        m_wall += Clock::now() - m_wallStart;
        state.SetIterationTime(Seconds(cpu));
    }

    void Report(benchmark::State &state) const
    {
        state.counters["wall_s"] =
            benchmark::Counter(Seconds(m_wall), benchmark::Counter::kAvgIterations);
    }

private:
    std::chrono::nanoseconds m_cpuStart{0};
    Clock::time_point m_wallStart;
    Clock::duration m_wall{0};
};

// One shown window per log size, kept for all repetitions: filling the big
// one is dearer than measuring it. Never destroyed, as widgets must not
// outlive the application object.
frmMain &WindowWithLines(int lines)
{
    static auto *windows = new std::map<int, std::unique_ptr<frmMain>>;
    auto &window = (*windows)[lines];
    if (!window) {
        window = std::make_unique<frmMain>();
        ShowExposed(*window);
        FillLog(*window->redLog, lines);
        ProcessEvents();
    }
    return *window;
}

// Writes to the empty log and to the full one take turns, each timed alone,
// so that a busy stretch of the machine weighs on both alike. As in a run,
// the last thing before a write is its own window's repaint. A log of 50
// lines, a full view of a small log, shows in the details how much of the
// difference is the view being full rather than the log being long.
void LogWrite(benchmark::State &state)
{
    constexpr int Sizes[] = {0, 50, 100000};
    constexpr int Writes = 2000;
    const QString text = u"Lese Verzeichnisinhalt von C:\\"_s;
    std::chrono::nanoseconds cpu[3] = {};
    for (auto _ : state) {
        for (int i = 0; i < Writes; ++i) {
            for (int k = 0; k < 3; ++k) {
                const int which = (i + k) % 3;  // each size goes first in turn
                frmMain &form = WindowWithLines(Sizes[which]);
                TrimLog(*form.redLog, Sizes[which]);  // back to the size measured at
                ProcessEvents();
                const auto start = ProcessCpuTime();
                form.AddLogStatus(text);
                cpu[which] += ProcessCpuTime() - start;
                ProcessEvents();  // the run shows each line before it goes on
            }
        }
    }
    const auto perWrite = [&](int which) {
        return Seconds(cpu[which]) / double(Writes * state.iterations());
    };
    state.counters["empty_s"] = perWrite(0);
    state.counters["lines50_s"] = perWrite(1);
    state.counters["lines100000_s"] = perWrite(2);
}
BENCHMARK(LogWrite)->Iterations(1)->Repetitions(5);

struct ListingFixture
{
    frmMain form;
    ListingEngine *engine = nullptr;
    QString blockText;  // what one PrintDirectoryOutput adds to the log
};

// Never destroyed, like the windows above.
ListingFixture &Listing()
{
    static ListingFixture *fixture = [] {
        auto *f = new ListingFixture;
        auto engine = std::make_unique<ListingEngine>(MakeListing(ListingSize));
        f->engine = engine.get();
        f->form.Engine = std::move(engine);
        ShowExposed(f->form);
        f->form.PrintDirectoryOutput();
        f->blockText = f->form.redLog->PlainText();
        TrimLog(*f->form.redLog, 0);
        ProcessEvents();
        return f;
    }();
    return *fixture;
}

// Timed: the writes and the event processing that shows them, the same for
// both sides, which end with the same text in the same view.
void ListingPrint(benchmark::State &state)
{
    ListingFixture &f = Listing();
    RichTextBox &log = *f.form.redLog;
    Stopwatch watch;
    for (auto _ : state) {
        f.engine->Rewind();
        watch.Start();
        f.form.PrintDirectoryOutput();
        ProcessEvents();
        watch.Stop(state);
        if (log.TextLength() != f.blockText.size()) {
            state.SkipWithError("the listing came out different");
            break;
        }
        TrimLog(log, 0);
        ProcessEvents();
    }
    watch.Report(state);
}
BENCHMARK(ListingPrint)
    ->Name("Listing/PrintDirectoryOutput")
    ->UseManualTime()
    ->Iterations(4)
    ->Repetitions(7)
    ->Unit(benchmark::kMillisecond);

void ListingSingleInsert(benchmark::State &state)
{
    ListingFixture &f = Listing();
    RichTextBox &log = *f.form.redLog;
    Stopwatch watch;
    for (auto _ : state) {
        log.SetSelStart(log.TextLength());
        log.SetSelFontName(u"courier"_s);
        watch.Start();
        log.SetSelText(f.blockText);
        ProcessEvents();
        watch.Stop(state);
        if (log.PlainText() != f.blockText) {
            state.SkipWithError("the inserted block reads back different");
            break;
        }
        TrimLog(log, 0);
        log.SetSelFontName(u"MS Sans Serif"_s);
        ProcessEvents();
    }
    watch.Report(state);
}
BENCHMARK(ListingSingleInsert)
    ->Name("Listing/SingleInsert")
    ->UseManualTime()
    ->Iterations(4)
    ->Repetitions(7)
    ->Unit(benchmark::kMillisecond);

}  // namespace

}  // namespace velmora::bench
