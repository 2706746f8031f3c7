// The worker base as a concrete engine meets it, so what holds here holds for
// every engine: Busy, wakes, the error state and the preconditions, how a
// job's outcome lands, how an engine blocked in its own I/O is told to stop,
// and the download target every engine writes through.

#include "EngineTest.h"
#include "WorkerEngine.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <sys/file.h>
#include <thread>
#include <vector>

using velmora::TransferEngine;
using namespace velmora::engine;
using namespace velmora::test;
using Clock = std::chrono::steady_clock;

namespace {

// Shared between a test and its engine; outlives the engine.
struct Script
{
    std::function<Outcome(class TestEngine &)> job = [](TestEngine &) { return Outcome::Done(); };
    std::atomic<bool> queryFails = false;  // RemoteName sets an error and still answers
    std::atomic<int> aborts = 0;
    std::atomic<int> shutdowns = 0;
    std::atomic<bool> jobRunning = false;
    std::atomic<bool> jobRanIntoDestructor = false;

    // A job stuck in I/O that only OnAbortRequested ends, with a safety exit.
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    bool WaitForRelease()
    {
        std::unique_lock lock(mutex);
        return released.wait_for(lock, std::chrono::seconds(20), [this] { return release; });
    }
};

class TestEngine : public WorkerEngine
{
public:
    TestEngine(LocalSettings local, std::shared_ptr<Script> script)
        : WorkerEngine(std::move(local)), m_script(std::move(script))
    {}
    ~TestEngine() override { m_script->jobRanIntoDestructor = m_script->jobRunning.load(); }

    using WorkerEngine::Wait;  // for jobs that spend time

    std::u16string m_remote = u"C:\\";  // guarded by the state lock

protected:
    Job DialJobLocked(std::u16string, std::u16string, std::u16string, int32_t) override
    {
        return Run();
    }
    Job HangUpJobLocked() override { return Run(); }
    Job ReadRemoteDirectoryJobLocked() override { return Run(); }
    Job ChangeRemoteDirectoryJobLocked(std::u16string) override { return Run(); }
    Job DownloadFileJobLocked(std::u16string, LocalPlace) override { return Run(); }
    std::u16string RemoteDirectoryLocked() override { return m_remote; }
    std::u16string RemoteDrivesLocked() override { return u"C:"; }
    std::u16string RemoteNameLocked() override
    {
        if (m_script->queryFails)
            SetErrorLocked(u"Leitung gestört");
        return u"Prüfstand";
    }
    bool LongFileNamesLocked() override { return true; }

    void OnAbortRequested() override
    {
        ++m_script->aborts;
        {
            const std::lock_guard lock(m_script->mutex);
            m_script->release = true;
        }
        m_script->released.notify_all();
    }
    void OnShutdown() override { ++m_script->shutdowns; }

private:
    Job Run()
    {
        return [this] {
            m_script->jobRunning = true;
            Outcome outcome = m_script->job(*this);
            m_script->jobRunning = false;
            return outcome;
        };
    }

    std::shared_ptr<Script> m_script;
};

struct Sandbox
{
    QTemporaryDir root;
    QTemporaryDir lock;
    [[nodiscard]] LocalSettings Local() const
    {
        return LocalSettings::Make(QFile::encodeName(root.path()).toStdString(),
                                   QFile::encodeName(lock.path()).toStdString());
    }
};

std::unique_ptr<TransferEngine> NewEngine(const Sandbox &sandbox,
                                          std::shared_ptr<Script> script = nullptr)
{
    return MakeWorkerEngine<TestEngine>(sandbox.Local(),
                                        script ? script : std::make_shared<Script>());
}

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

using JobBody = std::function<Outcome(TestEngine &)>;

}  // namespace

Q_DECLARE_METATYPE(JobBody)

class WorkerEngineTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void busyUntilSeenAfterTheEnd_data()
    {
        QTest::addColumn<QString>("call");
        for (const QString &call : Operations)
            QTest::newRow(qPrintable(call)) << call;
    }

    void busyUntilSeenAfterTheEnd()
    {
        QFETCH(QString, call);
        Sandbox sandbox;
        auto engine = NewEngine(sandbox);
        QVERIFY(ReadyFor(call, *engine));
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

    void wakesAtLeastEvery250ms()
    {
        Lateness lateness;
        std::mutex mutex;  // declared before the engine, so it outlives it
        std::vector<Clock::time_point> times;
        Sandbox sandbox;
        auto script = std::make_shared<Script>();
        script->job = [](TestEngine &e) {
            return e.Wait(std::chrono::seconds(20)) ? Outcome::Done() : Outcome::Stopped();
        };
        auto engine = NewEngine(sandbox, script);
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
        auto engine = NewEngine(sandbox);
        QVERIFY(Finish(*engine, call));
        QCOMPARE(Q(engine->ErrorText()), noSession);
        engine->Initialize();
        QVERIFY(Finish(*engine, call));
        QCOMPARE(Q(engine->ErrorText()), IsServerCall(call) ? noLine : QString());
        if (call == "Dial") {  // and once more, connected
            QVERIFY(Finish(*engine, call));
            QCOMPARE(Q(engine->ErrorText()), QStringLiteral("Es besteht bereits eine Verbindung."));
        }
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
        auto script = std::make_shared<Script>();
        script->queryFails = true;
        auto engine = NewEngine(sandbox, script);
        QVERIFY(ReadyFor("RemoteName", *engine));
        QCOMPARE(Q(engine->RemoteName()), QStringLiteral("Prüfstand"));  // value still delivered
        QCOMPARE(Q(engine->ErrorText()), QStringLiteral("Leitung gestört"));
        QVERIFY(!engine->RemoteDrives().empty());  // a good query keeps the error
        QVERIFY(engine->ErrorOccurred());
        QCOMPARE(Q(engine->ErrorText()), QStringLiteral("Leitung gestört"));
        engine->ChangeRemoteDirectory(u"TOOLS");  // a new operation clears it
        QVERIFY(!engine->ErrorOccurred());
        QVERIFY(WaitIdle(*engine));
        QVERIFY(!engine->ErrorOccurred());
        engine->RemoteName();
        engine->Initialize();  // and so does Initialize
        QVERIFY(!engine->ErrorOccurred());
    }

    void jobOutcome_data()
    {
        QTest::addColumn<JobBody>("job");
        QTest::addColumn<QString>("error");  // null: none
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QString>("remote");  // after the commit
        const auto moveTo = [](TestEngine &engine) {
            return [&engine] { engine.m_remote = u"C:\\NEU"; };
        };
        QTest::newRow("done") << JobBody(
                                     [moveTo](TestEngine &e) { return Outcome::Done(moveTo(e)); })
                              << QString() << true << "C:\\NEU";
        QTest::newRow("failed, commit still applied") << JobBody([moveTo](TestEngine &e) {
            return Outcome::Failed(u"Leitung weg", moveTo(e));
        }) << "Leitung weg" << false << "C:\\NEU";
        QTest::newRow("stopped") << JobBody([](TestEngine &) { return Outcome::Stopped(); })
                                 << "Vorgang abgebrochen." << false << "C:\\";
        QTest::newRow("throws") << JobBody([](TestEngine &) -> Outcome {
            throw std::runtime_error("kaputt");
        }) << "Interner Fehler: kaputt"
                                << false << "C:\\";
    }

    void jobOutcome()
    {
        QFETCH(JobBody, job);
        QFETCH(QString, error);
        QFETCH(bool, connected);
        QFETCH(QString, remote);
        Sandbox sandbox;
        auto script = std::make_shared<Script>();
        script->job = job;
        auto engine = NewEngine(sandbox, script);
        engine->Initialize();
        engine->Dial(u"1", u"", u"", 0);
        QVERIFY(WaitIdle(*engine));
        QCOMPARE(engine->ErrorOccurred(), !error.isNull());
        QCOMPARE(Q(engine->ErrorText()), error.isNull() ? QString("") : error);
        // A Dial that ended Done, and only that, connects.
        QCOMPARE(engine->RemoteName().empty(), !connected);
        const auto &test = static_cast<TestEngine &>(*engine);
        QCOMPARE(Q(test.m_remote), remote);
    }

    void blockedJobIsToldToStop_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("shutdowns");
        QTest::newRow("AbortOperation") << "AbortOperation" << 0;
        QTest::newRow("Shutdown") << "Shutdown" << 1;
        QTest::newRow("destruction") << "destruction" << 0;
    }

    void blockedJobIsToldToStop()
    {
        QFETCH(QString, how);
        QFETCH(int, shutdowns);
        Sandbox sandbox;
        auto script = std::make_shared<Script>();
        std::atomic<bool> released = false;
        script->job = [&](TestEngine &) {
            // Blocked in its own I/O: neither Wait nor the abort flag reach it.
            released = script->WaitForRelease();
            return Outcome::Stopped();
        };
        auto engine = NewEngine(sandbox, script);
        engine->Initialize();
        engine->ReadRemoteDirectory();  // not connected: refused, no job
        QCOMPARE(Q(engine->ErrorText()), QStringLiteral("Keine Verbindung zum Server."));
        WakeCounter wakes;
        engine->SetWakeCallback(wakes.Callback());
        engine->Dial(u"1", u"", u"", 0);
        QTRY_VERIFY(script->jobRunning && wakes.Count() >= 1);
        QCOMPARE(script->aborts.load(), 0);

        if (how == "AbortOperation") {
            engine->AbortOperation();
            QVERIFY(WaitIdle(*engine));
            QCOMPARE(Q(engine->ErrorText()), QStringLiteral("Vorgang abgebrochen."));
            engine->AbortOperation();  // idle: no second call of the hook
        } else if (how == "Shutdown") {
            engine->Shutdown();
            QVERIFY(WaitIdle(*engine));
            engine->Shutdown();  // nothing left to shut down: no second call
        } else {
            engine.reset();
            const int atDestruction = wakes.Count();
            QThread::msleep(400);
            QCOMPARE(wakes.Count(), atDestruction);  // no wake after destruction
        }
        // Shutdown and destruction let go of the lock.
        QCOMPARE(NewEngine(sandbox)->AlreadyRunning(), how == "AbortOperation");
        QVERIFY(released);
        QCOMPARE(script->aborts.load(), 1);
        QCOMPARE(script->shutdowns.load(), shutdowns);
        QVERIFY(!script->jobRunning);
        QVERIFY(!script->jobRanIntoDestructor);
    }

    void downloadTarget()
    {
        Sandbox sandbox;
        const QDir root(sandbox.root.path());
        const QString name(255, u'x');  // as long as a name can be
        // Temp names of earlier writers: one was killed, one is still at work.
        QFile killed(root.filePath(".velmora-1-1.part"));
        QFile working(root.filePath(".velmora-1-2.part"));
        QVERIFY(killed.open(QIODevice::WriteOnly) && working.open(QIODevice::WriteOnly));
        QVERIFY(::flock(working.handle(), LOCK_EX) == 0);
        const LocalDrive drive(sandbox.root.path().toStdString());
        PartialFile tooLong;  // refused at once, not after the download
        QCOMPARE(Q(tooLong.Open(drive, {}, name.toStdString() + "x")),
                 "Schreibfehler (Fehler 36): C:\\" + name + "x");

        PartialFile file;
        QCOMPARE(Q(file.Open(drive, {}, name.toStdString())), QString());
        QCOMPARE(Q(file.WriteAt(4, "o Welt", 6)), QString());  // parts in any order
        QCOMPARE(Q(file.Write("Hall", 4)), QString());
        // Nothing of the download shows, and the killed writer's name is gone.
        const auto entries = [&] { return root.entryList(QDir::Files | QDir::Hidden); };
        QCOMPARE(entries(), QStringList{".velmora-1-2.part"});
        QCOMPARE(Q(file.Commit(35538.5)), QString());
        QCOMPARE(entries(), (QStringList{".velmora-1-2.part", name}));
        QFile done(root.filePath(name));
        QVERIFY(done.open(QIODevice::ReadOnly));
        QCOMPARE(done.readAll(), QByteArray("Hallo Welt"));
    }
};

QTEST_GUILESS_MAIN(WorkerEngineTest)
#include "tst_workerengine.moc"
