// The worker base as a concrete engine meets it: how a job's outcome lands,
// and how an engine blocked in its own I/O is told to stop.

#include "WorkerEngine.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>

using velmora::TransferEngine;
using velmora::engine::Job;
using velmora::engine::LocalPlace;
using velmora::engine::LocalSettings;
using velmora::engine::MakeWorkerEngine;
using velmora::engine::Outcome;
using velmora::engine::WorkerEngine;

namespace {

QString Q(const std::u16string &text)
{
    return QStringView(text).toString();
}

// Shared between a test and its engine; outlives the engine.
struct Script
{
    std::function<Outcome(class TestEngine &)> job;
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
    std::u16string RemoteNameLocked() override { return u"Prüfstand"; }
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

bool WaitIdle(TransferEngine &engine)
{
    return QTest::qWaitFor([&] { return !engine.Busy(); }, 10'000);
}

using JobBody = std::function<Outcome(TestEngine &)>;

}  // namespace

Q_DECLARE_METATYPE(JobBody)

class WorkerEngineTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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
        auto engine = MakeWorkerEngine<TestEngine>(sandbox.Local(), script);
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
        auto engine = MakeWorkerEngine<TestEngine>(sandbox.Local(), script);
        engine->Initialize();
        engine->ReadRemoteDirectory();  // not connected: refused, no job
        QCOMPARE(Q(engine->ErrorText()), QStringLiteral("Keine Verbindung zum Server."));
        engine->Dial(u"1", u"", u"", 0);
        QTRY_VERIFY(script->jobRunning);
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
        }
        QVERIFY(released);
        QCOMPARE(script->aborts.load(), 1);
        QCOMPARE(script->shutdowns.load(), shutdowns);
        QVERIFY(!script->jobRunning);
        QVERIFY(!script->jobRanIntoDestructor);
    }
};

QTEST_GUILESS_MAIN(WorkerEngineTest)
#include "tst_workerengine.moc"
