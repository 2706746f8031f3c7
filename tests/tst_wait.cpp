// Waiting for the engine, cancel, the error check and the wake-up of the UI
// thread from an engine's own thread.

#include "DateText.h"
#include "FakeEngine.h"
#include "RaisedError.h"
#include "TestSupport.h"
#include "WaitMessage.h"

#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using velmora::frmMain;
using velmora::RaisedError;
using velmora::test::CancelButton;
using velmora::test::FakeEngine;
using velmora::test::FakeScript;
using velmora::test::Log;
using velmora::test::LogLines;
using velmora::test::TimeLabel;
using velmora::test::Watchdog;

namespace {

// An engine whose operation ends on another thread, which then wakes the UI
// thread, as a real engine does.
class ThreadedEngine : public FakeEngine
{
public:
    using FakeEngine::FakeEngine;
    ~ThreadedEngine() override
    {
        if (worker.joinable())
            worker.join();
    }

    bool Busy() override { return busy.load(); }
    void SetWakeCallback(velmora::WakeCallback callback) override { wake = std::move(callback); }

    void FinishLater(std::chrono::milliseconds delay)
    {
        busy = true;
        worker = std::thread([this, delay] {
            std::this_thread::sleep_for(delay);
            busy = false;
            wake();
        });
    }

    std::atomic<bool> busy{false};
    velmora::WakeCallback wake;
    std::thread worker;
};

int AbortNumber(const std::function<void()> &f)
{
    try {
        f();
    } catch (const RaisedError &error) {
        return error.Number();
    }
    return 0;
}

}  // namespace

class WaitTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void idleEngineCostsOnePass();
    void waitsUntilIdle();
    void abortRequestedOnEntry();
    void cancelWaitsForEngineToStop();
    void labelShowsElapsedTime();
    void wakeFromEngineThreadEndsWait();
    void waitMessageBlocksUntilWake();
    void checkForErrors_data();
    void checkForErrors();
    void raiseAbort();

private:
    std::shared_ptr<FakeScript> m_script;
    std::unique_ptr<frmMain> m_form;
    FakeEngine *m_engine = nullptr;
};

void WaitTest::init()
{
    m_script = std::make_shared<FakeScript>();
    m_form = std::make_unique<frmMain>();
    m_form->Engine = std::make_unique<FakeEngine>(m_script);
    m_engine = static_cast<FakeEngine *>(m_form->Engine.get());
    m_form->Engine->SetWakeCallback(velmora::EngineWakeCallback());
    m_form->StartTime = velmora::CurrentTimeOfDay();
    CancelButton(*m_form)->setEnabled(true);
}

void WaitTest::cleanup()
{
    m_form.reset();
}

void WaitTest::idleEngineCostsOnePass()
{
    m_form->WaitUntilReady();
    QCOMPARE(m_script->busyCalls, 1);
    QVERIFY(!TimeLabel(*m_form)->text().isEmpty());
    QVERIFY(Log(*m_form)->PlainText().isEmpty());
}

void WaitTest::waitsUntilIdle()
{
    m_script->busyPolls = 3;
    m_engine->Dial(u"1", u"", u"", 5);
    m_form->WaitUntilReady();
    QCOMPARE(m_script->busyCalls, 4);  // three times busy, then idle
    QCOMPARE(m_script->Count("AbortOperation"), 0);
}

void WaitTest::abortRequestedOnEntry()
{
    m_form->AbortRequested = true;
    QCOMPARE(AbortNumber([&] { m_form->WaitUntilReady(); }), velmora::AbortErrorNumber);
    QCOMPARE(LogLines(*Log(*m_form)), QStringList{u"!! Abbruch"_s});
    QCOMPARE(m_script->Count("AbortOperation"), 1);  // although the engine is idle
}

void WaitTest::cancelWaitsForEngineToStop()
{
    m_script->busyPolls = 100;
    m_script->busyPollsAfterAbort = 3;
    int seenAfterAbort = 0;
    m_script->hooks["Busy"] = [&] {
        if (m_script->busyCalls == 2) {
            // Twice, as a user who clicks again because nothing seems to happen.
            CancelButton(*m_form)->click();
            CancelButton(*m_form)->click();
        }
        if (m_script->Count("AbortOperation") == 1)
            ++seenAfterAbort;
    };
    m_engine->ReadLocalDirectory();
    QCOMPARE(AbortNumber([&] { m_form->WaitUntilReady(); }), velmora::AbortErrorNumber);
    QCOMPARE(LogLines(*Log(*m_form)), QStringList{u"!! Abbruch"_s});
    QCOMPARE(m_script->Count("AbortOperation"), 1);
    // Busy answered true three more times after the abort; the error came
    // only once it answered false.
    QCOMPARE(seenAfterAbort, 4);
}

void WaitTest::labelShowsElapsedTime()
{
    m_form->StartTime = velmora::CurrentTimeOfDay() - 65.0 / 86400.0;
    m_form->WaitUntilReady();
    QVERIFY2(QRegularExpression(u"^00:01:0[5-7]$"_s).match(TimeLabel(*m_form)->text()).hasMatch(),
             qPrintable(TimeLabel(*m_form)->text()));
}

void WaitTest::wakeFromEngineThreadEndsWait()
{
    Watchdog watchdog;
    auto engine = std::make_unique<ThreadedEngine>(m_script);
    ThreadedEngine *threaded = engine.get();
    m_form->Engine = std::move(engine);
    m_form->Engine->SetWakeCallback(velmora::EngineWakeCallback());
    velmora::DoEvents();
    // Nothing but the engine's wake can end this wait: no window is shown and
    // no timer runs but the watchdog's.
    threaded->FinishLater(100ms);
    m_form->WaitUntilReady();
    QVERIFY(!threaded->busy);
    QVERIFY(!watchdog.Fired());
}

void WaitTest::waitMessageBlocksUntilWake()
{
    Watchdog watchdog;
    const velmora::WakeCallback wake = velmora::EngineWakeCallback();
    velmora::DoEvents();
    std::atomic<bool> woken{false};
    std::thread engine([&] {
        std::this_thread::sleep_for(50ms);
        woken = true;
        wake();
    });
    velmora::WaitMessage();
    QVERIFY(woken);  // it did not return before the wake
    QVERIFY(!watchdog.Fired());
    engine.join();

    // Ten thousand wakes from four threads while the UI thread is busy are
    // merged: they make one pending event, not ten thousand.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2500; ++i)
                wake();
        });
    for (auto &thread : threads)
        thread.join();
    int delivered = 0;
    QObject counter;
    QTimer::singleShot(0, &counter, [&] { ++delivered; });
    velmora::DoEvents();
    QCOMPARE(delivered, 1);
}

void WaitTest::checkForErrors_data()
{
    QTest::addColumn<bool>("error");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("textAsked");
    QTest::newRow("no error") << false << QStringList{} << QString() << 0;
    QTest::newRow("empty text") << true << QStringList{QString()}
                                << u"!! Unbekannter Fehler aufgetreten."_s << 1;
    QTest::newRow("text: the second answer is shown")
        << true << QStringList{u"erste Antwort"_s, u"zweite Antwort"_s} << u"!! zweite Antwort"_s
        << 2;
}

void WaitTest::checkForErrors()
{
    QFETCH(bool, error);
    QFETCH(QStringList, answers);
    QFETCH(QString, line);
    QFETCH(int, textAsked);
    if (error)
        m_script->errorAfter["LocalDrives"] = u"gesetzt";
    for (const QString &answer : answers)
        m_script->errorTextAnswers.push_back(answer.toStdU16String());
    (void)m_engine->LocalDrives();

    const int number = AbortNumber([&] { m_form->CheckForErrors(); });
    QCOMPARE(number, error ? velmora::AbortErrorNumber : 0);
    QCOMPARE(m_script->Count("ErrorText"), textAsked);
    QCOMPARE(LogLines(*Log(*m_form)), line.isEmpty() ? QStringList{} : QStringList{line});
    QCOMPARE(velmora::test::LineBoldness(*Log(*m_form)), line.isEmpty() ? u""_s : u"B"_s);
}

void WaitTest::raiseAbort()
{
    try {
        m_form->RaiseAbort();
    } catch (const RaisedError &error) {
        QCOMPARE(error.Number(), 2010);
        QCOMPARE(error.Description(), u"BenutzerAbbruch"_s);
        return;
    }
    QFAIL("no error raised");
}

QTEST_MAIN(WaitTest)
#include "tst_wait.moc"
