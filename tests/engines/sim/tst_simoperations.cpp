// How the simulated engine's operations abort, and its injected faults. What
// its base guarantees every engine is tested in tests/engines/common.

#include "SimTestSupport.h"

#include <stdexcept>

using namespace simtest;

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

    void abortStopsOperation_data()
    {
        QTest::addColumn<QString>("call");
        for (const QString &call : Operations)
            if (call != "Dial")  // a dial is aborted in the base's own test
                QTest::newRow(qPrintable(call)) << call;
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
        auto engine = CreateSimEngine(config);
        QVERIFY(ReadyFor(call, *engine));
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
