// How operations run: Busy, wake-ups, aborting, the error state, injected faults.

#include "SimTestSupport.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace simtest;

namespace {

const char *const Operations[] = {"Dial",
                                  "ReadLocalDirectory",
                                  "ChangeLocalDirectory",
                                  "ReadRemoteDirectory",
                                  "ChangeRemoteDirectory",
                                  "DownloadFile",
                                  "HangUp"};

using Clock = std::chrono::steady_clock;

// What the machine adds to any gap between two wakes: a thread of this process
// sleeping in short steps, and how late it woke each time. A busy machine or
// a sanitizer's slowdown shows there as well as in the engine's wakes.
class Lateness
{
public:
    Lateness()
        : m_thread([this] {
              constexpr auto step = std::chrono::milliseconds(5);
              while (!m_stop) {
                  const auto begin = Clock::now();
                  std::this_thread::sleep_for(step);
                  const auto end = Clock::now();
                  const std::lock_guard lock(m_mutex);
                  m_samples.push_back({begin, end, end - begin - step});
              }
          })
    {}
    ~Lateness()
    {
        m_stop = true;
        m_thread.join();
    }

    // The most any sleep overlapping from..to overslept.
    [[nodiscard]] Clock::duration Within(Clock::time_point from, Clock::time_point to)
    {
        const std::lock_guard lock(m_mutex);
        Clock::duration most{};
        for (const auto &sample : m_samples)
            if (sample.end > from && sample.begin < to)
                most = std::max(most, sample.late);
        return most;
    }

private:
    struct Sample
    {
        Clock::time_point begin, end;
        Clock::duration late;
    };
    std::mutex m_mutex;
    std::vector<Sample> m_samples;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

std::unique_ptr<TransferEngine> ReadyFor(const QString &call, const SimConfig &config)
{
    if (IsServerCall(call))
        return Connected(config);
    auto engine = CreateSimEngine(config);
    engine->Initialize();
    return engine;
}

}  // namespace

class SimOperationsTest : public QObject
{
    Q_OBJECT

    Sandbox m_sandbox;
    std::unique_ptr<TransferEngine> m_slow;  // time scale 1, connected

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QDir(m_sandbox.root.path()).mkdir("SUB"));
        m_slow = Connected(m_sandbox.Config(1.0));
        QVERIFY(m_slow);
    }

    void busyUntilEndAtTimeScaleZero_data()
    {
        QTest::addColumn<QString>("call");
        for (const char *call : Operations)
            QTest::newRow(call) << call;
    }

    void busyUntilEndAtTimeScaleZero()
    {
        QFETCH(QString, call);
        Sandbox sandbox;
        auto engine = ReadyFor(call, sandbox.Config(0.0));
        QVERIFY(engine);
        WakeCounter wakes;
        engine->SetWakeCallback(wakes.Callback());
        AllCalls().at(call)(*engine);
        QThread::msleep(50);  // a caller slow to ask: the worker is through by now
        const int wakesBefore = wakes.Count();
        QVERIFY(engine->Busy());  // still seen busy once
        QVERIFY(WaitIdle(*engine, 2000));
        QVERIFY2(!engine->ErrorOccurred(), qPrintable(Q(engine->ErrorText())));
        QTRY_VERIFY(wakes.Count() > wakesBefore);  // and woken again after that answer
        engine->AbortOperation();                  // idle: nothing to do, nothing reported
        QVERIFY(!engine->ErrorOccurred());
    }

    void abortStopsOperation_data()
    {
        QTest::addColumn<QString>("call");
        for (const char *call : Operations)
            if (QString(call) != "Dial")  // see wakesAtLeastEvery250msWhileDialling
                QTest::newRow(call) << call;
    }

    void abortStopsOperation()
    {
        QFETCH(QString, call);
        TransferEngine &engine = *m_slow;
        WakeCounter wakes;
        engine.SetWakeCallback(wakes.Callback());
        if (call == "ChangeLocalDirectory")
            engine.ChangeLocalDirectory(u"SUB");
        else
            AllCalls().at(call)(engine);
        QVERIFY(engine.Busy());
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, engine.ChangeLocalDirectory(u"C:\\"));
        const int wakesBefore = wakes.Count();
        engine.AbortOperation();
        QTRY_VERIFY_WITH_TIMEOUT(!engine.Busy(), 1000);
        QTRY_VERIFY(wakes.Count() > wakesBefore);
        engine.SetWakeCallback({});
        QVERIFY(engine.ErrorOccurred());
        QCOMPARE(Q(engine.ErrorText()), QStringLiteral("Vorgang abgebrochen."));
        // Nothing changed: still connected, same places, no file.
        QCOMPARE(Q(engine.LocalDirectory()), QStringLiteral("C:\\"));
        QCOMPARE(Q(engine.RemoteDirectory()), QStringLiteral("C:\\"));
        QCOMPARE(m_sandbox.Entries(), QStringList{"SUB"});
    }

    void wakesAtLeastEvery250msWhileDialling()
    {
        Lateness lateness;
        std::mutex mutex;  // declared before the engine, so it outlives it
        std::vector<Clock::time_point> times;
        Sandbox sandbox;
        auto engine = CreateSimEngine(sandbox.Config(1.0));
        engine->Initialize();
        engine->SetWakeCallback([&] {
            const std::lock_guard lock(mutex);
            times.push_back(Clock::now());
        });
        const auto start = Clock::now();
        engine->Dial(u"0431 555 0188", u"", u"", 5);
        QTest::qWait(1000);
        QVERIFY(engine->Busy());
        engine->AbortOperation();
        QVERIFY(WaitIdle(*engine, 1000));
        engine->SetWakeCallback({});
        const std::lock_guard lock(mutex);
        QVERIFY(times.size() >= 4);
        auto previous = start;
        for (const auto &time : times) {
            using std::chrono::duration_cast, std::chrono::milliseconds;
            // Time the whole process stood still is not the engine's gap.
            const auto gap = duration_cast<milliseconds>(time - previous);
            const auto stalled = duration_cast<milliseconds>(lateness.Within(previous, time));
            QVERIFY2(gap.count() <= 250 + stalled.count(),
                     qPrintable(QString("gap of %1 ms, %2 ms of it the machine's")
                                    .arg(gap.count())
                                    .arg(stalled.count())));
            previous = time;
        }
        QVERIFY(engine->RemoteName().empty());  // the aborted dial left no line
    }

    void destroyedWhileBusy()
    {
        Sandbox sandbox;
        auto engine = CreateSimEngine(sandbox.Config(1.0));
        engine->Initialize();
        WakeCounter wakes;
        engine->SetWakeCallback(wakes.Callback());
        engine->Dial(u"0431 555 0188", u"", u"", 5);
        QTRY_VERIFY(wakes.Count() >= 2);
        engine.reset();
        const int atDestruction = wakes.Count();
        QThread::msleep(400);
        QCOMPARE(wakes.Count(), atDestruction);
        QVERIFY(!CreateSimEngine(sandbox.Config())->AlreadyRunning());  // the lock went too
    }

    void callsNeedSessionAndLine_data()
    {
        QTest::addColumn<QString>("call");
        const QStringList anytime{"AlreadyRunning", "Initialize",    "Shutdown", "Busy",
                                  "AbortOperation", "ErrorOccurred", "ErrorText"};
        for (const auto &[call, run] : AllCalls())
            if (!anytime.contains(call))
                QTest::newRow(qPrintable(call)) << call;
    }

    void callsNeedSessionAndLine()
    {
        QFETCH(QString, call);
        const QString noSession = "Velmora ist nicht initialisiert.";
        const QString noLine = "Keine Verbindung zum Server.";
        Sandbox sandbox;
        auto engine = CreateSimEngine(sandbox.Config());
        QVERIFY(Finish(*engine, call));
        QCOMPARE(Q(engine->ErrorText()), noSession);
        engine->Initialize();
        QVERIFY(Finish(*engine, call));
        QCOMPARE(Q(engine->ErrorText()), IsServerCall(call) ? noLine : QString());
        if (IsServerCall(call)) {
            QVERIFY(Finish(*engine, "Dial") && Finish(*engine, "HangUp"));
            QVERIFY(Finish(*engine, call));
            QCOMPARE(Q(engine->ErrorText()), noLine);
        }
        engine->Shutdown();
        QVERIFY(Finish(*engine, call));
        QCOMPARE(Q(engine->ErrorText()), noSession);
    }

    void errorStateIsTheLastError()
    {
        Sandbox sandbox;
        SimConfig config = sandbox.Config();
        config.fail["RemoteName"] = std::nullopt;
        auto engine = Connected(config);
        QVERIFY(engine);
        QVERIFY(!engine->RemoteName().empty());  // value still delivered
        const QString text = Q(engine->ErrorText());
        QVERIFY(!text.isEmpty());
        QVERIFY(!engine->RemoteDrives().empty());  // a good query keeps the error
        QVERIFY(engine->ErrorOccurred());
        QCOMPARE(Q(engine->ErrorText()), text);
        engine->ChangeRemoteDirectory(u"TOOLS");  // a new operation clears it
        QVERIFY(!engine->ErrorOccurred());
        QVERIFY(WaitIdle(*engine));
        QVERIFY(!engine->ErrorOccurred());
        engine->RemoteName();
        engine->Initialize();  // and so does Initialize
        QVERIFY(!engine->ErrorOccurred());
    }

    void injectedFailures_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("text");  // null: the engine's own message
        QTest::newRow("Dial with text") << "Dial"
                                        << "Besetzt";
        QTest::newRow("Dial with empty text") << "Dial"
                                              << "";
        QTest::newRow("Dial own message") << "Dial" << QString();
        for (const char *call : {"HangUp", "ReadRemoteDirectory", "ChangeRemoteDirectory",
                                 "ReadLocalDirectory", "ChangeLocalDirectory", "LocalDirectory",
                                 "RemoteDirectory", "LongFileNames", "AlreadyRunning"})
            QTest::newRow(call) << call << "Leitung gestört";
    }

    void injectedFailures()
    {
        QFETCH(QString, call);
        QFETCH(QString, text);
        Sandbox sandbox;
        SimConfig config = sandbox.Config();
        config.fail[call.toStdString()] =
            text.isNull() ? std::nullopt : std::optional(text.toStdU16String());
        auto engine = ReadyFor(call, config);
        QVERIFY(engine);
        QVERIFY(Finish(*engine, call));
        QVERIFY(engine->ErrorOccurred());
        const QString reported = Q(engine->ErrorText());
        QCOMPARE(Q(engine->ErrorText()), reported);  // asked twice, same answer
        if (text.isNull())
            QVERIFY(!reported.isEmpty());
        else
            QCOMPARE(reported, text);
        if (call == "Dial")
            QVERIFY(engine->RemoteName().empty());  // no line after a failed dial
    }

    void injectedFailuresOfListingAndAbort()
    {
        Sandbox sandbox;
        QVERIFY(QDir(sandbox.root.path()).mkdir("SUB"));
        SimConfig config = sandbox.Config(1.0);
        config.fail = {{"NextDirEntry", u"kaputt"}, {"AbortOperation", std::nullopt}};
        auto engine = CreateSimEngine(config);
        engine->Initialize();
        QVERIFY(Finish(*engine, "ReadLocalDirectory"));
        DirEntry entry{7, u"alt", 3, 1.5};
        QCOMPARE(engine->NextDirEntry(entry), velmora::DirListingEnd);
        QCOMPARE(entry.Kind, 7);
        QCOMPARE(Q(entry.Name), QStringLiteral("alt"));
        QCOMPARE(Q(engine->ErrorText()), QStringLiteral("kaputt"));

        engine->ChangeLocalDirectory(u"SUB");
        engine->AbortOperation();  // fails: the operation runs to its end
        QVERIFY(WaitIdle(*engine));
        QCOMPARE(Q(engine->LocalDirectory()), QStringLiteral("C:\\SUB"));
        QVERIFY(engine->ErrorOccurred());
        QVERIFY(Q(engine->ErrorText()) != QStringLiteral("Vorgang abgebrochen."));
    }

    void thrownFailures_data()
    {
        QTest::addColumn<QString>("call");
        for (const auto &[call, run] : AllCalls())
            QTest::newRow(qPrintable(call)) << call;
    }

    void thrownFailures()
    {
        QFETCH(QString, call);
        Sandbox sandbox;
        SimConfig config = sandbox.Config();
        config.throwOn = {call.toStdString()};
        auto engine = CreateSimEngine(config);
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, AllCalls().at(call)(*engine));
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, AllCalls().at(call)(*engine));
    }
};

QTEST_GUILESS_MAIN(SimOperationsTest)
#include "tst_simoperations.moc"
