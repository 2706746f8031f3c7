// The benchmarks' own tools: what the timing engine books, the start-up
// probe and its launcher, the threaded engine's wakes, and the verdicts of
// the summary table.

#include "BenchEngines.h"
#include "ChildProcess.h"
#include "Summary.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;
using namespace velmora::bench;

namespace {

// LocalDrives takes 20 ms, Dial runs until Busy has said true twice, HangUp
// fails at once.
class ScriptedEngine : public velmora::test::RecordingEngine
{
public:
    std::u16string LocalDrives() override
    {
        std::this_thread::sleep_for(20ms);
        return u"C:";
    }
    void Dial(std::u16string, std::u16string, std::u16string, int32_t) override { m_busy = 2; }
    bool Busy() override { return m_busy-- > 0; }
    void HangUp() override { throw std::runtime_error("no line"); }

private:
    int m_busy = 0;
};

}  // namespace

class BenchToolsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void timingBooksCallsAndWholeOperations();
    void timingBooksAFailedStartAsACall();
    void probedProgramReportsPaintAndMemory();
    void launcherGivesUpOnSilentOrHangingPrograms();
    void threadedEngineWakesLastWhenIdle();
    void verdicts();
};

void BenchToolsTest::timingBooksCallsAndWholeOperations()
{
    auto times = std::make_shared<EngineTimes>();
    const velmora::EngineFactory factory = TimingFactory(
        [] {
            std::this_thread::sleep_for(20ms);
            return std::make_unique<ScriptedEngine>();
        },
        times);
    const auto engine = factory();
    QVERIFY(times->wall >= 20ms);  // the creation is the engine's

    QCOMPARE(engine->LocalDrives(), u"C:");  // 20 ms more
    std::this_thread::sleep_for(300ms);      // the program's
    engine->Dial(u"1", u"", u"", 1);
    std::this_thread::sleep_for(30ms);  // waiting: the operation's
    QVERIFY(engine->Busy());
    QVERIFY(engine->Busy());
    QVERIFY(!engine->Busy());
    std::this_thread::sleep_for(300ms);  // the program's again
    QVERIFY(!engine->Busy());

    QCOMPARE(times->operations, 1);
    QCOMPARE(times->calls, 6);
    QVERIFY2(times->wall >= 70ms && times->wall < 300ms,
             qPrintable(QString::number(times->wall.count() / 1e6) + QStringLiteral(" ms")));
    QVERIFY(times->callerCpu < times->wall);  // sleeping is no CPU
}

void BenchToolsTest::timingBooksAFailedStartAsACall()
{
    auto times = std::make_shared<EngineTimes>();
    TimingEngine engine(std::make_unique<ScriptedEngine>(), times);
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, engine.HangUp());
    std::this_thread::sleep_for(300ms);
    QVERIFY(!engine.Busy());  // no operation was running to end here
    QCOMPARE(times->operations, 0);
    QCOMPARE(times->calls, 2);
    QVERIFY(times->wall < 300ms);
}

void BenchToolsTest::probedProgramReportsPaintAndMemory()
{
    const ProbeResult result = RunProbed(VELMORA_PROBED_MINIMAL);
    QVERIFY2(result.ok, result.error.c_str());
    QVERIFY(result.startup > 0ns && result.startup < 30s);
    QVERIFY(result.peakRssKib > 1024);  // a Qt window program takes megabytes
}

void BenchToolsTest::launcherGivesUpOnSilentOrHangingPrograms()
{
    const ProbeResult silent = RunProbed("/bin/true");
    QVERIFY(!silent.ok);
    QVERIFY2(silent.error.find("did not report") != std::string::npos, silent.error.c_str());

    const ProbeResult missing = RunProbed("/nonexistent/velmora");
    QVERIFY(!missing.ok);

    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("hang.sh"));
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\nexec sleep 60\n");
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
    const auto start = Clock::now();
    const ProbeResult hanging = RunProbed(script.toStdString(), 300ms);
    QVERIFY(!hanging.ok);
    QVERIFY2(hanging.error.find("no exit") != std::string::npos, hanging.error.c_str());
    QVERIFY(Clock::now() - start < 30s);  // killed, not waited for
}

void BenchToolsTest::threadedEngineWakesLastWhenIdle()
{
    ThreadedEngine engine;
    std::mutex mutex;
    std::vector<bool> busyAtWake;
    engine.SetWakeCallback([&] {
        const bool busy = engine.Busy();
        const std::lock_guard lock(mutex);
        busyAtWake.push_back(busy);
    });
    engine.Plan(600ms, 200ms);
    engine.ChangeLocalDirectory(u"C:\\");
    QVERIFY(engine.Busy());
    QTRY_VERIFY_WITH_TIMEOUT(!engine.Busy(), 10000);
    const auto recorded = [&] {
        const std::lock_guard lock(mutex);
        return int(busyAtWake.size());
    };
    QTRY_COMPARE_WITH_TIMEOUT(recorded(), engine.WakesSent(), 5000);  // the last may be on its way
    const std::lock_guard lock(mutex);
    QVERIFY(busyAtWake.size() >= 2);  // progress while busy, then the end
    QVERIFY(!busyAtWake.back());
    QVERIFY(std::all_of(busyAtWake.begin(), busyAtWake.end() - 1, [](bool b) { return b; }));
    QVERIFY(engine.LastEnd() <= Clock::now());
}

void BenchToolsTest::verdicts()
{
    QCOMPARE(*Median({3.0, 1.0, 2.0}), 2.0);
    QCOMPARE(*Median({4.0, 1.0, 3.0, 2.0}), 2.5);
    QVERIFY(!Median({}));

    Measures m;
    m["LogWrite"].counters = {{"empty_s", 10e-6}, {"lines100000_s", 20e-6}};  // at the bound
    m["WakeLatency"].counters = {{"wait_s", 0.6e-3}, {"loop_s", 0.05e-3}};
    m["DemoRun"].counters = {{"wall_s", 0.100}, {"engine_s", 0.060}, {"outside_cpu_s", 0.02}};
    m["Startup"].error = "Startup: the probe did not report";
    // A throughput must reach its share of the baseline's.
    m["SftpDownload"].counters = {{"engine_mibs", 90.0},
                                  {"client_mibs", 100.0},
                                  {"ratio", 1.0},
                                  {"wait_cpu_s", 0.02},
                                  {"wait_wall_s", 1.0}};
    m["SftpDownload/50ms"].counters = {
        {"engine_mibs", 40.0}, {"client_mibs", 38.0}, {"ratio", 0.98}};
    // 80 % of the link's rate, at the bound; OpenSSH's figure only beside it.
    m["SftpDownload/100ms-50MiBs"].counters = {
        {"engine_wait_mibs", 40.0}, {"link_mibs", 50.0}, {"client_mibs", 19.0}};
    m["FtpDownload/proftpd-tls"].counters = {
        {"engine_mibs", 1.0}, {"client_mibs", 1.0}, {"ratio", 1.0}};
    const auto figures = BuildFigures(m);
    const auto find = [&](const std::string &id) {
        return *std::find_if(figures.begin(), figures.end(),
                             [&](const Figure &f) { return f.id == id; });
    };
    QVERIFY(find("1").Pass());
    QCOMPARE(*find("1").ratio, 2.0);
    QVERIFY(!find("2").Pass());  // not measured at all
    QVERIFY(find("2").error.find("not measured") != std::string::npos);
    QVERIFY(!find("3").Pass());  // 0.6 ms over a bound of 0.5 ms
    QVERIFY(!find("5a").Pass() && !find("5b").Pass());
    QCOMPARE(find("5a").error, std::string("Startup: the probe did not report"));
    QVERIFY(find("6a").Pass());
    QVERIFY(qFuzzyCompare(*find("6a").value, 0.040));
    QVERIFY(find("7").Pass());  // at the bound, from the paired ratio
    QCOMPARE(*find("7").ratio, 1.0);
    QVERIFY(!find("8").Pass());   // 2 % of the wall time
    QVERIFY(!find("10").Pass());  // the paired ratio decides, not the medians
    QVERIFY(find("11").Pass());
    QVERIFY(find("11").note.find("19.0 MiB/s, ratio 0.38") != std::string::npos);
    QVERIFY(!find("12").Pass() && find("13").Pass());  // FTP against curl, each its own

    m["LogWrite"].counters["lines100000_s"] = 20.2e-6;
    // Measured in pairs: the median of the ratios within each pair decides.
    m["Listing"].counters = {{"print_s", 0.030}, {"insert_s", 0.020}, {"ratio", 1.3}};
    m["WakeLatency"].counters["wait_s"] = 0.4e-3;
    m["DemoRun"].counters["engine_s"] = 0.040;  // the run adds 60 ms
    m["SftpDownload"].counters["ratio"] = 0.99;
    m["SftpDownload"].counters["wait_cpu_s"] = 0.005;
    m["SftpDownload/100ms-50MiBs"].counters["engine_wait_mibs"] = 39.9;
    const auto again = BuildFigures(m);
    QVERIFY(!again[0].Pass());
    QCOMPARE(*again[1].ratio, 1.3);
    QVERIFY(again[1].Pass());
    QVERIFY(again[2].Pass());
    QVERIFY(!again[6].Pass());
    QVERIFY(!again[8].Pass());
    QVERIFY(again[9].Pass());
    QVERIFY(!again[12].Pass());
}

QTEST_GUILESS_MAIN(BenchToolsTest)
#include "tst_benchtools.moc"
