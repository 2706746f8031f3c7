// One suite at a time: the instance lock between engines and processes.

#include "SimTestSupport.h"

#include <QFileInfo>

#include <stdexcept>

using namespace simtest;

class SimLockTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void twoEnginesInOneProcess()
    {
        Sandbox sandbox;
        auto first = CreateSimEngine(sandbox.Config());
        auto second = CreateSimEngine(sandbox.Config());
        QVERIFY(!first->AlreadyRunning());
        first->Initialize();
        QVERIFY(!first->AlreadyRunning());  // its own lock is no other suite
        QVERIFY(second->AlreadyRunning());
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, second->Initialize());
        first->Shutdown();
        QVERIFY(!second->AlreadyRunning());
        second->Initialize();
        QVERIFY(first->AlreadyRunning());
        second.reset();  // destruction releases as well
        QVERIFY(!first->AlreadyRunning());
    }

    void killedHolderDoesNotBlock()
    {
        Sandbox sandbox;
        OtherSuite holder("hold", sandbox);
        QVERIFY(holder.Started());
        QVERIFY(holder.Read("ready").contains("ready"));
        auto engine = CreateSimEngine(sandbox.Config());
        QVERIFY(engine->AlreadyRunning());

        QVERIFY(holder.Kill());  // no chance to clean up
        QVERIFY(!engine->AlreadyRunning());
        engine->Initialize();
        QVERIFY(!engine->ErrorOccurred());
    }

    void forcedRunning()
    {
        Sandbox sandbox;
        SimConfig config = sandbox.Config();
        config.forceRunning = true;
        QVERIFY(CreateSimEngine(config)->AlreadyRunning());
        QVERIFY(!CreateSimEngine(sandbox.Config())->AlreadyRunning());
    }

    void environmentChoosesFolders()
    {
        Sandbox sandbox;
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(sandbox.lock.path()));
        qputenv("VELMORA_SIM_LOCAL_ROOT", QFile::encodeName(sandbox.root.filePath("C")));
        auto engine = CreateSimEngine();
        savedRuntime.isNull() ? qunsetenv("XDG_RUNTIME_DIR")
                              : qputenv("XDG_RUNTIME_DIR", savedRuntime);
        qunsetenv("VELMORA_SIM_LOCAL_ROOT");
        engine->Initialize();
        QVERIFY(QFileInfo(sandbox.root.filePath("C")).isDir());  // created on Initialize
        QVERIFY(QFileInfo::exists(sandbox.lock.filePath("velmora-sim.lock")));
        QVERIFY(CreateSimEngine(sandbox.Config())->AlreadyRunning());
    }
};

QTEST_GUILESS_MAIN(SimLockTest)
#include "tst_simlock.moc"
