// One suite at a time: the instance lock between engines and processes, and
// where it lives.

#include "SimTestSupport.h"

#include <QFileInfo>

#include <stdexcept>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
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

    void lockBetweenProcesses()
    {
        Sandbox sandbox;
        auto engine = CreateSimEngine(sandbox.Config());
        QCOMPARE(AskFromAnotherProcess(sandbox), QByteArray("running=0 initialize=ok"));
        engine->Initialize();  // the probe's lock went with its process
        QVERIFY(!engine->ErrorOccurred());
        QCOMPARE(AskFromAnotherProcess(sandbox), QByteArray("running=1 initialize=refused"));
        QCOMPARE(AskFromAnotherProcess(sandbox), QByteArray("running=1 initialize=refused"));
        engine->Shutdown();
        QCOMPARE(AskFromAnotherProcess(sandbox), QByteArray("running=0 initialize=ok"));
        QVERIFY(!engine->AlreadyRunning());

        // Killed in the middle of a download: the lock goes, and so does the file.
        OtherSuite holder("hold", sandbox);
        QVERIFY(holder.Started());
        QCOMPARE(holder.Read("\n").trimmed(), QByteArray("ready"));
        QVERIFY(engine->AlreadyRunning());
        QCOMPARE(AskFromAnotherProcess(sandbox), QByteArray("running=1 initialize=refused"));

        QVERIFY(holder.Kill());  // SIGKILL, no chance to clean up
        QCOMPARE(sandbox.Entries(), QStringList{});
        QCOMPARE(AskFromAnotherProcess(sandbox), QByteArray("running=0 initialize=ok"));
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

    void environmentChoosesFolders_data()
    {
        QTest::addColumn<QString>("runtimeDir");  // XDG_RUNTIME_DIR; else TMPDIR, shared by all
        QTest::addColumn<QString>("found");       // what velmora-UID in TMPDIR is beforehand
        QTest::newRow("XDG_RUNTIME_DIR") << u"absolute"_s << QString();
        QTest::newRow("relative XDG_RUNTIME_DIR ignored") << u"run"_s << QString();
        QTest::newRow("own folder made") << QString() << QString();
        QTest::newRow("own folder there") << QString() << u"0700"_s;
        QTest::newRow("folder others may read") << QString() << u"0755"_s;
        QTest::newRow("link to a folder of ours") << QString() << u"link"_s;
        QTest::newRow("someone else's folder") << QString() << u"nobody"_s;
        QTest::newRow("a FIFO as the lock") << QString() << u"fifo"_s;
    }

    void environmentChoosesFolders()
    {
        QFETCH(QString, runtimeDir);
        QFETCH(QString, found);
        Sandbox sandbox;
        QTemporaryDir sharedTemp;  // as /tmp: anyone may make a folder in it
        QVERIFY(::chmod(QFile::encodeName(sharedTemp.path()), 01777) == 0);
        const QString own = sharedTemp.filePath(QString("velmora-%1").arg(::geteuid()));
        const QByteArray ownPath = QFile::encodeName(own);
        const mode_t mode = found == "0755" ? 0755 : 0700;
        QVERIFY(found != "link" || QFile::link(sandbox.lock.path(), own));
        QVERIFY(found == "" || found == "link" ||
                (::mkdir(ownPath, mode) == 0 && ::chmod(ownPath, mode) == 0));
        QVERIFY(found != "fifo" || ::mkfifo(ownPath + "/velmora-sim.lock", 0600) == 0);
        if (found == "nobody" && ::chown(ownPath, 65534, 65534) != 0)
            QSKIP("giving a folder away needs root");

        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        const bool runtime = runtimeDir == "absolute";
        runtimeDir.isEmpty()
            ? qunsetenv("XDG_RUNTIME_DIR")
            : qputenv("XDG_RUNTIME_DIR",
                      runtime ? QFile::encodeName(sandbox.lock.path()) : runtimeDir.toUtf8());
        qputenv("TMPDIR", QFile::encodeName(sharedTemp.path()));
        qputenv("VELMORA_SIM_LOCAL_ROOT", QFile::encodeName(sandbox.root.filePath("C")));
        auto engine = CreateSimEngine();
        savedRuntime.isNull() ? qunsetenv("XDG_RUNTIME_DIR")
                              : qputenv("XDG_RUNTIME_DIR", savedRuntime);
        qunsetenv("TMPDIR");
        qunsetenv("VELMORA_SIM_LOCAL_ROOT");
        if (found != "" && found != "0700") {  // refused
            QVERIFY_THROWS_EXCEPTION(std::runtime_error, engine->Initialize());
            QVERIFY(!engine->AlreadyRunning());
            const QString lock = own + "/velmora-sim.lock";
            QCOMPARE(Q(engine->ErrorText()),
                     found == "fifo"
                         ? "Sperrdatei " + lock + " nicht verfügbar: Keine reguläre Datei."
                         : "Unsicherer Sperrordner " + own +
                               ": Er muss dem Benutzer gehören, darf kein Link sein "
                               "und muss die Rechte 0700 haben.");
            QCOMPARE(QFileInfo::exists(lock), found == "fifo");  // a FIFO stays, never waited on
            return;
        }
        engine->Initialize();
        QVERIFY(QFileInfo(sandbox.root.filePath("C")).isDir());  // created on Initialize
        const QString lockDir = runtime ? sandbox.lock.path() : own;
        QVERIFY(QFileInfo::exists(lockDir + "/velmora-sim.lock"));
        QCOMPARE(QFileInfo::exists(own), !runtime);
        QCOMPARE(int(QFileInfo(lockDir).permissions() & 0x7077), 0x7000);  // mode 0700
        SimConfig other = sandbox.Config();
        other.lockDir = QFile::encodeName(lockDir).toStdString();
        QVERIFY(CreateSimEngine(other)->AlreadyRunning());
    }
};

QTEST_GUILESS_MAIN(SimLockTest)
#include "tst_simlock.moc"
