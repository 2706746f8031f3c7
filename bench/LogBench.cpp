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

// The figures here are the process's CPU time: on a shared two-core machine
// other processes stretch wall time at random, not the CPU the program spends.

// One shown window per log size, kept for all repetitions: filling the big
// one is dearer than measuring it. Never destroyed, as widgets must not
// outlive the application object. No log takes the keyboard focus: only one
// window is active at a time, whichever the other benchmarks left so, and
// its log alone would pay for the input method following its caret.
frmMain &WindowWithLines(int lines)
{
    static auto *windows = new std::map<int, std::unique_ptr<frmMain>>;
    auto &window = (*windows)[lines];
    if (!window) {
        window = std::make_unique<frmMain>();
        window->redLog->setFocusPolicy(Qt::NoFocus);
        window->redLog->clearFocus();
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
    state.counters["ratio"] = perWrite(2) / perWrite(0);  // within the pair, then the median
}
BENCHMARK(LogWrite)->Iterations(1)->Repetitions(5);

struct ListingFixture
{
    frmMain form;
    ListingEngine *engine = nullptr;
    QString blockText;  // what one PrintDirectoryOutput adds to the log
};

// Never destroyed, like the windows above.
ListingFixture &ListingWindow()
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

// The listing block and the same text in one insert take turns, like the log
// writes above. Timed: the writes and the event processing that shows them,
// the same for both, which end with the same text in the same view.
void Listing(benchmark::State &state)
{
    constexpr int Rounds = 4;
    ListingFixture &f = ListingWindow();
    RichTextBox &log = *f.form.redLog;
    std::chrono::nanoseconds print{0};
    std::chrono::nanoseconds insert{0};
    for (auto _ : state) {
        for (int round = 0; round < Rounds; ++round) {
            for (int k = 0; k < 2; ++k) {
                const bool printing = (round + k) % 2 == 0;  // each goes first in turn
                f.engine->Rewind();
                log.SetSelStart(log.TextLength());
                if (!printing)
                    log.SetSelFontName(frmMain::ListingFontName);
                const auto start = ProcessCpuTime();
                if (printing)
                    f.form.PrintDirectoryOutput();
                else
                    log.SetSelText(f.blockText);
                ProcessEvents();
                (printing ? print : insert) += ProcessCpuTime() - start;
                if (log.PlainText() != f.blockText) {
                    state.SkipWithError(printing ? "the listing came out different"
                                                 : "the inserted block reads back different");
                    return;
                }
                TrimLog(log, 0);
                log.SetSelFontName(frmMain::WindowFontName);
                ProcessEvents();
            }
        }
    }
    const double blocks = double(Rounds * state.iterations());
    state.counters["print_s"] = Seconds(print) / blocks;
    state.counters["insert_s"] = Seconds(insert) / blocks;
    state.counters["ratio"] = Seconds(print) / Seconds(insert);
}
BENCHMARK(Listing)->Iterations(1)->Repetitions(7);

}  // namespace

}  // namespace velmora::bench
