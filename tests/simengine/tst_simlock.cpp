// One suite at a time: the instance lock between engines and processes.

#include "SimTestSupport.h"

#include <QFileInfo>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

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
        // posix_spawn, not QProcess: ThreadSanitizer mistakes Qt's clone-based
        // start for a fork of a threaded process and stops the test.
        Sandbox sandbox;
        int out[2];
        QVERIFY(::pipe2(out, O_CLOEXEC) == 0);
        posix_spawn_file_actions_t actions;
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        QByteArray lockDir = QFile::encodeName(sandbox.lock.path());
        QByteArray root = QFile::encodeName(sandbox.root.path());
        char program[] = VELMORA_SIM_LOCKHOLDER;
        char *argv[] = {program, lockDir.data(), root.data(), nullptr};
        pid_t pid = -1;
        const int spawned = ::posix_spawn(&pid, program, &actions, nullptr, argv, environ);
        ::posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        const struct Reaper
        {
            pid_t pid;
            ~Reaper() { pid > 0 && ::kill(pid, SIGKILL) == 0 && ::waitpid(pid, nullptr, 0); }
        } reaper{spawned == 0 ? pid : -1};
        QCOMPARE(spawned, 0);
        QByteArray output;
        pollfd ready{out[0], POLLIN, 0};
        char buffer[64];
        while (!output.contains("ready") && ::poll(&ready, 1, 10'000) > 0) {
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            output.append(buffer, n);
        }
        ::close(out[0]);
        QVERIFY(output.contains("ready"));
        auto engine = CreateSimEngine(sandbox.Config());
        QVERIFY(engine->AlreadyRunning());

        QCOMPARE(::kill(pid, SIGKILL), 0);  // no chance to clean up
        int status = 0;
        QCOMPARE(::waitpid(pid, &status, 0), pid);
        QVERIFY(WIFSIGNALED(status));
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
