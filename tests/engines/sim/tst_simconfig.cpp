// Reading the simulated engine's settings from the environment.

#include "EngineChoice.h"
#include "SimTestSupport.h"

#include <QTemporaryFile>

#include <cstdio>
#include <stdexcept>
#include <unistd.h>

using namespace simtest;

class SimConfigTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        for (const char *name : {"VELMORA_SIM_TIMESCALE", "VELMORA_SIM_RUNNING", "VELMORA_SIM_FAIL",
                                 "VELMORA_SIM_THROW", "VELMORA_ENGINE"})
            qunsetenv(name);
    }

    void timeScale_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<double>("expected");  // < 0: must be refused
        const std::pair<const char *, double> rows[] = {
            {"1", 1},     {"0", 0},    {"0.25", 0.25}, {"2.5e-1", 0.25}, {" 3 ", 3},
            {"", 1},      {"-1", -1},  {"-0", -1},     {"0,5", -1},      {"schnell", -1},
            {"1.5x", -1}, {"nan", -1}, {"inf", -1},    {"1e400", -1},    {"5000", -1}};
        for (const auto &[value, expected] : rows)
            QTest::newRow(value) << QByteArray(value) << expected;
    }

    void timeScale()
    {
        QFETCH(QByteArray, value);
        QFETCH(double, expected);
        qputenv("VELMORA_SIM_TIMESCALE", value);
        if (expected < 0)
            QVERIFY_THROWS_EXCEPTION(std::invalid_argument, SimConfig::FromEnvironment());
        else
            QCOMPARE(SimConfig::FromEnvironment().timeScale, expected);
    }

    void faultLists()
    {
        qputenv("VELMORA_SIM_FAIL", "Dial:Besetzt, RemoteName:,HangUp,,ErrorText:Grüße: a:b");
        qputenv("VELMORA_SIM_THROW", "Create, Busy");
        qputenv("VELMORA_SIM_RUNNING", "1");
        const SimConfig config = SimConfig::FromEnvironment();
        QCOMPARE(config.fail.size(), std::size_t(4));
        QCOMPARE(Q(config.fail.at("Dial").value()), QStringLiteral("Besetzt"));
        QCOMPARE(Q(config.fail.at("RemoteName").value()), QString());
        QVERIFY(!config.fail.at("HangUp").has_value());
        QCOMPARE(Q(config.fail.at("ErrorText").value()), QStringLiteral("Grüße: a:b"));
        QCOMPARE(config.throwOn, (std::set<std::string>{"Busy", "Create"}));
        QVERIFY(config.forceRunning);
    }

    void badValuesRejected_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("mentioned");
        const char *rows[][3] = {{"VELMORA_SIM_FAIL", "Dail", "Dail"},
                                 {"VELMORA_SIM_FAIL", "dial:x", "dial"},
                                 {"VELMORA_SIM_FAIL", "Create", "Create"},
                                 {"VELMORA_SIM_THROW", "Dial,Hangup", "Hangup"},
                                 {"VELMORA_SIM_FAIL", ":Besetzt", "VELMORA_SIM_FAIL"},
                                 {"VELMORA_SIM_RUNNING", "ja", "VELMORA_SIM_RUNNING"},
                                 {"VELMORA_SIM_TIMESCALE", "-2", "VELMORA_SIM_TIMESCALE"},
                                 {"VELMORA_ENGINE", "ftp", "ftp"},
                                 {"VELMORA_ENGINE", "Sim", "Sim"}};
        for (const auto &row : rows)
            QTest::addRow("%s=%s", row[0], row[1])
                << QByteArray(row[0]) << QByteArray(row[1]) << QString(row[2]);
    }

    void badValuesRejected()
    {
        QFETCH(QByteArray, variable);
        QFETCH(QByteArray, value);
        QFETCH(QString, mentioned);
        qputenv(variable.constData(), value);
        try {
            // The simulated engine, unless chosen otherwise.
            (void)velmora::engine::CreateChosenEngine();
            QFAIL("bad setting accepted");
        } catch (const std::invalid_argument &e) {
            QVERIFY2(QString::fromUtf8(e.what()).contains(mentioned), e.what());
        }
        qunsetenv(variable.constData());
    }

    void creationErrorWrittenOnce_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::newRow("unknown fault name") << QByteArray("VELMORA_SIM_THROW");
        QTest::newRow("unknown engine") << QByteArray("VELMORA_ENGINE");
    }

    void creationErrorWrittenOnce()
    {
        // The program drops creation errors, so stderr is the only place they show.
        QFETCH(QByteArray, variable);
        QTemporaryFile capture;
        QVERIFY(capture.open());
        const int saved = ::dup(STDERR_FILENO);
        std::fflush(stderr);
        ::dup2(capture.handle(), STDERR_FILENO);
        qputenv(variable.constData(), "Verschwinden");
        int refused = 0;
        for (int i = 0; i < 3; ++i) {
            try {
                (void)velmora::engine::CreateChosenEngine();
            } catch (const std::invalid_argument &) {
                ++refused;
            }
        }
        std::fflush(stderr);
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        QCOMPARE(refused, 3);
        capture.seek(0);
        const QByteArray written = capture.readAll();
        QCOMPARE(written.count("Verschwinden"), 1);
        QCOMPARE(written.count('\n'), 1);  // one line
    }

    void chosenEngine_data()
    {
        QTest::addColumn<QByteArray>("value");  // null: not set
        QTest::newRow("not set") << QByteArray();
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("sim") << QByteArray("sim");
    }

    void chosenEngine()
    {
        QFETCH(QByteArray, value);
        if (!value.isNull())
            qputenv("VELMORA_ENGINE", value);
        Sandbox sandbox;
        qputenv("VELMORA_SIM_LOCAL_ROOT", QFile::encodeName(sandbox.root.path()));
        qputenv("VELMORA_SIM_TIMESCALE", "0");
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(sandbox.lock.path()));
        auto engine = velmora::engine::CreateChosenEngine();
        savedRuntime.isNull() ? qunsetenv("XDG_RUNTIME_DIR")
                              : qputenv("XDG_RUNTIME_DIR", savedRuntime);
        qunsetenv("VELMORA_SIM_LOCAL_ROOT");
        QVERIFY(engine);
        engine->Initialize();
        QVERIFY(Finish(*engine, "Dial"));
        QVERIFY2(!engine->ErrorOccurred(), qPrintable(Q(engine->ErrorText())));
        QCOMPARE(Q(engine->RemoteName()), QStringLiteral("Morvante Mailbox Kiel, Knoten 1"));
        // And it is the environment's simulated engine, faults included.
        qputenv("VELMORA_SIM_THROW", "Create");
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, velmora::engine::CreateChosenEngine());
    }

    void creation()
    {
        Sandbox sandbox;
        SimConfig config = sandbox.Config();
        QVERIFY(CreateSimEngine(config));
        config.throwOn = {"Create"};
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, CreateSimEngine(config));
        config.throwOn = {"Explode"};
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, CreateSimEngine(config));
        config = sandbox.Config(-0.5);
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, CreateSimEngine(config));
        qputenv("VELMORA_SIM_THROW", "Create");
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, CreateSimEngine());
    }
};

QTEST_GUILESS_MAIN(SimConfigTest)
#include "tst_simconfig.moc"
