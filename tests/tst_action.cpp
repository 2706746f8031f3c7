// The demo run's script against a scripted engine: the complete run line by
// line, and every way a run ends.

#include "FakeEngine.h"
#include "RaisedError.h"
#include "TestSupport.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <cmath>
#include <new>

using namespace Qt::StringLiterals;
using velmora::DirEntry;
using velmora::frmMain;
using velmora::test::CancelButton;
using velmora::test::FakeEngineFactory;
using velmora::test::FakeScript;
using velmora::test::LineBoldness;
using velmora::test::LineFonts;
using velmora::test::Log;
using velmora::test::LogLines;
using velmora::test::MessageBoxWatcher;
using velmora::test::StartButton;
using velmora::test::TimeLabel;

namespace {

constexpr double Modified = 34851.354166666664;  // 01.06.1995 08:30:00
const QString Rule = QString(60, u'-');

enum class Leaves { Nothing, Abort, OtherError };

Leaves RunAction(frmMain &form)
{
    try {
        form.Action();
    } catch (const velmora::RaisedError &error) {
        return error.Number() == velmora::AbortErrorNumber ? Leaves::Abort : Leaves::OtherError;
    } catch (...) {
        return Leaves::OtherError;
    }
    return Leaves::Nothing;
}

QStringList Block(const QStringList &entries)
{
    return QStringList{QString(), Rule} + entries + QStringList{Rule, QString()};
}

}  // namespace

Q_DECLARE_METATYPE(Leaves)

class ActionTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void initTestCase() { QLocale::setDefault(QLocale(u"de_DE"_s)); }

    void completeRun();
    void waysARunEnds_data();
    void waysARunEnds();
    void messageBoxes_data();
    void messageBoxes();
    void shutdownTwice_data();
    void shutdownTwice();
    void cancelDuringLocalReading();
    void engineErrorAtDial();
    void connectedLineDespiteErrorState();
    void longFileNamesNotSupported();
    void secondRunAppendsWithNewEngine();

private:
    std::shared_ptr<FakeScript> m_script;
};

void ActionTest::init()
{
    m_script = std::make_shared<FakeScript>();
    m_script->listings = {
        {{0, u"WINDOWS", 0, Modified}, {1, u"AUTOEXEC.BAT", 412, Modified}},
        {{0, u"TOOLS", 0, Modified}},
        {{1, u"TRANVIK7.EXE", 201728, Modified}, {1, u"LIESMICH.TXT", 2250, Modified}},
    };
}

void ActionTest::completeRun()
{
    FakeEngineFactory factory(m_script);
    frmMain form;
    QCOMPARE(RunAction(form), Leaves::Nothing);

    const QStringList expected =
        QStringList{
            u">  Ermittle lokal verfügbare Laufwerke..."_s,
            u">  Verfügbare Laufwerke: C:"_s,
            u">  Wechsle lokal in Verzeichnis C:\\..."_s,
            u">  Ermittle aktuelles lokales Verzeichnis"_s,
            u">  Aktuelles lokales Verzeichnis ist C:\\"_s,
            u">  Lese Verzeichnisinhalt von C:\\"_s,
        } +
        Block({u"WINDOWS                           <DIR> 01.06.1995 08:30:00 "_s,
               u"AUTOEXEC.BAT                        412 01.06.1995 08:30:00 "_s}) +
        QStringList{
            u">  Wähle Nr. 0421 7396 2058"_s,
            u">  Verbunden mit Testserver"_s,
            u">  Ermittle verfügbare Laufwerke auf Server..."_s,
            u">  Verfügbare Laufwerke: C: D:"_s,
            u">  Ermittle Verfügbarkeit von langen Dateinamen..."_s,
            u">  Lange Dateinamen werden unterstützt."_s,
            u">  Ermittle aktuelles Verzeichnis auf Server"_s,
            u">  Aktuelles Verzeichnis auf Server ist C:\\"_s,
            u">  Lese Verzeichnisinhalt auf Server..."_s,
        } +
        Block({u"TOOLS                             <DIR> 01.06.1995 08:30:00 "_s}) +
        QStringList{
            u">  Wechsle in Verzeichnis TOOLS\\MORVANTE"_s,
            u">  Ermittle aktuelles Verzeichnis auf Server"_s,
            u">  Aktuelles Verzeichnis auf Server ist C:\\TOOLS\\MORVANTE"_s,
            u">  Lese Verzeichnisinhalt von C:\\TOOLS\\MORVANTE"_s,
        } +
        Block({u"TRANVIK7.EXE                     201728 01.06.1995 08:30:00 "_s,
               u"LIESMICH.TXT                       2250 01.06.1995 08:30:00 "_s}) +
        QStringList{
            u">  Downloade Datei TRANVIK7.EXE (Dauert > 1 Min)"_s,
            u">  Beende Verbindung..."_s,
            u">  Fertig!"_s,
            QString(),
            QString(),
        };
    QCOMPARE(LogLines(*Log(form)), expected);
    QCOMPARE(LineBoldness(*Log(form)), QString(expected.size(), u'-'));

    QStringList fonts(expected.size(), u"MS Sans Serif"_s);
    // The three blocks, from their opening to their closing blank line.
    for (const QString &first :
         {u">  Lese Verzeichnisinhalt von C:\\"_s, u">  Lese Verzeichnisinhalt auf Server..."_s,
          u">  Lese Verzeichnisinhalt von C:\\TOOLS\\MORVANTE"_s}) {
        qsizetype i = expected.indexOf(first) + 1;
        do
            fonts[i] = u"courier"_s;
        while (expected[i++] != Rule || expected[i] != QString());
        fonts[i] = u"courier"_s;
    }
    QCOMPARE(LineFonts(*Log(form)), fonts);

    const std::vector<std::string> calls = {
        "AlreadyRunning",       "Initialize",    "LocalDrives",           "ErrorOccurred",
        "ChangeLocalDirectory", "ErrorOccurred", "LocalDirectory",        "ErrorOccurred",
        "ReadLocalDirectory",   "ErrorOccurred", "NextDirEntry",          "NextDirEntry",
        "NextDirEntry",         "Dial",          "ErrorOccurred",         "RemoteName",
        "RemoteDrives",         "ErrorOccurred", "LongFileNames",         "ErrorOccurred",
        "RemoteDirectory",      "ErrorOccurred", "ReadRemoteDirectory",   "ErrorOccurred",
        "NextDirEntry",         "NextDirEntry",  "ChangeRemoteDirectory", "ErrorOccurred",
        "RemoteDirectory",      "ErrorOccurred", "ReadRemoteDirectory",   "ErrorOccurred",
        "NextDirEntry",         "NextDirEntry",  "NextDirEntry",          "DownloadFile",
        "ErrorOccurred",        "HangUp",        "ErrorOccurred",         "Shutdown"};
    QCOMPARE(m_script->calls, calls);
    auto *engine = static_cast<velmora::test::FakeEngine *>(form.Engine.get());
    const std::vector<std::u16string> arguments = {
        u"C:\\", u"0421 7396 2058", u"", u"", u"5", u"TOOLS\\MORVANTE", u"TRANVIK7.EXE", u"0"};
    QCOMPARE(engine->arguments, arguments);
    // Each of the eight waits asks Busy once per pass: its busy answers, then idle.
    QCOMPARE(m_script->busyCalls, 8 * (m_script->busyPolls + 1));
    QVERIFY(!TimeLabel(form)->text().isEmpty());
    QVERIFY(form.Engine);  // kept after the run
}

void ActionTest::waysARunEnds_data()
{
    QTest::addColumn<std::function<void(FakeScript &, frmMain &)>>("cause");
    QTest::addColumn<QStringList>("logEnd");
    QTest::addColumn<int>("shutdowns");
    QTest::addColumn<Leaves>("leaves");

    using Cause = std::function<void(FakeScript &, frmMain &)>;
    QTest::newRow("all steps done")
        << Cause([](FakeScript &, frmMain &) {})
        << QStringList{u">  Fertig!"_s, QString(), QString()} << 1 << Leaves::Nothing;
    QTest::newRow("engine cannot be created") << Cause([](FakeScript &s, frmMain &) {
        s.hooks["Create"] = [] { throw std::runtime_error("nicht registriert"); };
    }) << QStringList{} << 0 << Leaves::OtherError;
    QTest::newRow("asking AlreadyRunning fails") << Cause([](FakeScript &s, frmMain &) {
        s.hooks["AlreadyRunning"] = [] { throw std::bad_alloc(); };
    }) << QStringList{} << 0 << Leaves::OtherError;
    QTest::newRow("suite already running")
        << Cause([](FakeScript &s, frmMain &) { s.alreadyRunning = true; }) << QStringList{} << 0
        << Leaves::Abort;
    QTest::newRow("Initialize fails")
        << Cause([](FakeScript &s, frmMain &) { s.hooks["Initialize"] = [] { throw 1; }; })
        << QStringList{} << 0 << Leaves::Abort;
    QTest::newRow("user cancels during a wait") << Cause([](FakeScript &s, frmMain &f) {
        s.hooks["HangUp"] = [&f] { f.cmdCancel_Click(); };
    }) << QStringList{u">  Beende Verbindung..."_s, u"!! Abbruch"_s}
                                                << 1 << Leaves::Nothing;
    QTest::newRow("engine reports an error") << Cause([](FakeScript &s, frmMain &) {
        s.errorAfter["DownloadFile"] = u"Datei gesperrt";
    }) << QStringList{u">  Downloade Datei TRANVIK7.EXE (Dauert > 1 Min)"_s, u"!! Datei gesperrt"_s}
                                             << 1 << Leaves::Nothing;
    QTest::newRow("engine reports an error without text")
        << Cause([](FakeScript &s, frmMain &) { s.errorAfter["LocalDrives"] = u""; })
        << QStringList{u">  Ermittle lokal verfügbare Laufwerke..."_s,
                       u"!! Unbekannter Fehler aufgetreten."_s}
        << 1 << Leaves::Nothing;
    QTest::newRow("engine call fails")
        << Cause([](FakeScript &s, frmMain &) {
               s.hooks["RemoteDrives"] = [] { throw std::logic_error("kaputt"); };
           })
        << QStringList{u">  Verbunden mit Testserver"_s,
                       u">  Ermittle verfügbare Laufwerke auf Server..."_s}
        << 1 << Leaves::Nothing;
    QTest::newRow("log write fails")
        << Cause([](FakeScript &s, frmMain &) { s.listings[1][0].Modified = std::nan(""); })
        << QStringList{u">  Lese Verzeichnisinhalt auf Server..."_s, QString(), Rule} << 1
        << Leaves::Nothing;
}

void ActionTest::waysARunEnds()
{
    QFETCH(std::function<void(FakeScript &, frmMain &)>, cause);
    QFETCH(QStringList, logEnd);
    QFETCH(int, shutdowns);
    QFETCH(Leaves, leaves);
    MessageBoxWatcher boxes;
    FakeEngineFactory factory(m_script);

    {
        frmMain form;
        cause(*m_script, form);
        // The handler disables Start and enables Abbrechen around the call.
        StartButton(form)->setEnabled(false);
        CancelButton(form)->setEnabled(true);
        QCOMPARE(RunAction(form), leaves);
        const QStringList lines = LogLines(*Log(form));
        QCOMPARE(lines.mid(lines.size() - logEnd.size()), logEnd);
        if (logEnd.isEmpty())
            QVERIFY(lines.isEmpty());
        QCOMPARE(m_script->Count("Shutdown"), shutdowns);
    }
    {
        // Through the Start button: no message of its own, the buttons idle.
        const size_t boxesBefore = boxes.seen.size();
        init();
        FakeEngineFactory again(m_script);
        frmMain form;
        cause(*m_script, form);
        form.show();
        StartButton(form)->click();
        QVERIFY(StartButton(form)->isEnabled());
        QVERIFY(!CancelButton(form)->isEnabled());
        QCOMPARE(boxes.seen.size() - boxesBefore, boxesBefore);  // the same boxes as above
        QCOMPARE(QApplication::topLevelWidgets().size(), 1);
    }
}

void ActionTest::messageBoxes_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<QString>("text");
    QTest::newRow("already running") << true << u"Velmora läuft schon."_s;
    QTest::newRow("not installed")
        << false
        << u"Velmora ab Version 2.02 Revision 1.26 ist auf diesem PC nicht (korrekt) installiert."_s;
}

void ActionTest::messageBoxes()
{
    QFETCH(bool, running);
    QFETCH(QString, text);
    m_script->alreadyRunning = running;
    m_script->hooks["Initialize"] = [] { throw std::runtime_error("fehlt"); };
    FakeEngineFactory factory(m_script);
    MessageBoxWatcher boxes;
    frmMain form;
    form.show();
    form.AbortRequested = true;
    StartButton(form)->click();

    QCOMPARE(boxes.seen.size(), size_t(1));
    const MessageBoxWatcher::Seen &box = boxes.seen.front();
    QCOMPARE(box.text, text);
    QCOMPARE(box.title, u"Velmora Demo"_s);
    QCOMPARE(box.buttons, int(QMessageBox::Ok));
    QCOMPARE(box.icon, int(QMessageBox::NoIcon));
    QVERIFY(box.modal);
    QVERIFY(Log(form)->PlainText().isEmpty());
    QCOMPARE(m_script->Count("Shutdown"), 0);
    QCOMPARE(m_script->Count("Initialize"), running ? 0 : 1);
    // The flag is cleared only after the running-already check.
    QCOMPARE(form.AbortRequested, running);
}

void ActionTest::shutdownTwice_data()
{
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<int>("failures");
    QTest::addColumn<int>("shutdowns");
    QTest::addColumn<Leaves>("leaves");
    QTest::newRow("complete run, fails once: called again") << false << 1 << 2 << Leaves::Nothing;
    QTest::newRow("complete run, fails twice: passes on") << false << 2 << 2 << Leaves::OtherError;
    QTest::newRow("after an error: not called again") << true << 1 << 1 << Leaves::OtherError;
}

void ActionTest::shutdownTwice()
{
    QFETCH(bool, cancelled);
    QFETCH(int, failures);
    QFETCH(int, shutdowns);
    QFETCH(Leaves, leaves);
    FakeEngineFactory factory(m_script);
    frmMain form;
    int failed = 0;
    m_script->hooks["Shutdown"] = [&] {
        if (failed++ < failures)
            throw std::runtime_error("Shutdown fehlgeschlagen");
    };
    if (cancelled)
        m_script->hooks["Dial"] = [&] { form.AbortRequested = true; };
    QCOMPARE(RunAction(form), leaves);
    QCOMPARE(m_script->Count("Shutdown"), shutdowns);
}

void ActionTest::cancelDuringLocalReading()
{
    FakeEngineFactory factory(m_script);
    frmMain form;
    form.show();
    m_script->busyPolls = 50;
    int readingPolls = -1;
    m_script->hooks["ReadLocalDirectory"] = [&] { readingPolls = 0; };
    m_script->hooks["Busy"] = [&] {
        if (readingPolls >= 0 && ++readingPolls == 3)
            QTest::mouseClick(CancelButton(form), Qt::LeftButton);
    };
    StartButton(form)->click();
    const QStringList lines = LogLines(*Log(form));
    QCOMPARE(lines.mid(lines.size() - 2),
             (QStringList{u">  Lese Verzeichnisinhalt von C:\\"_s, u"!! Abbruch"_s}));
    QCOMPARE(m_script->Count("NextDirEntry"), 0);
    QCOMPARE(m_script->calls.back(), std::string("Shutdown"));
    QCOMPARE(LineBoldness(*Log(form)).back(), u'B');
}

void ActionTest::engineErrorAtDial()
{
    m_script->errorAfter["Dial"] = u"Keine Antwort von 0421 7396 2058";
    FakeEngineFactory factory(m_script);
    frmMain form;
    QCOMPARE(RunAction(form), Leaves::Nothing);
    const QStringList lines = LogLines(*Log(form));
    QCOMPARE(lines.mid(lines.size() - 2), (QStringList{u">  Wähle Nr. 0421 7396 2058"_s,
                                                       u"!! Keine Antwort von 0421 7396 2058"_s}));
    QCOMPARE(m_script->Count("RemoteName"), 0);
    QCOMPARE(m_script->Count("Shutdown"), 1);
}

void ActionTest::connectedLineDespiteErrorState()
{
    m_script->errorAfter["RemoteName"] = u"Name nicht lesbar";
    FakeEngineFactory factory(m_script);
    frmMain form;
    QCOMPARE(RunAction(form), Leaves::Nothing);
    const QStringList lines = LogLines(*Log(form));
    QCOMPARE(lines.mid(lines.size() - 3),
             (QStringList{u">  Verbunden mit Testserver"_s,
                          u">  Ermittle verfügbare Laufwerke auf Server..."_s,
                          u"!! Name nicht lesbar"_s}));
}

void ActionTest::longFileNamesNotSupported()
{
    m_script->longFileNames = false;
    FakeEngineFactory factory(m_script);
    frmMain form;
    QCOMPARE(RunAction(form), Leaves::Nothing);
    QVERIFY(LogLines(*Log(form)).contains(u">  Lange Dateinamen werden nicht unterstützt."_s));
}

void ActionTest::secondRunAppendsWithNewEngine()
{
    FakeEngineFactory factory(m_script);
    frmMain form;
    form.show();
    m_script->hooks["DownloadFile"] = [&] { form.cmdCancel_Click(); };
    StartButton(form)->click();
    const QStringList first = LogLines(*Log(form));
    QCOMPARE(first.last(), u"!! Abbruch"_s);
    QVERIFY(form.AbortRequested);
    const velmora::TransferEngine *firstEngine = form.Engine.get();

    m_script->hooks.erase("DownloadFile");
    StartButton(form)->click();
    const QStringList both = LogLines(*Log(form));
    QCOMPARE(both.mid(0, first.size()), first);
    QCOMPARE(both.mid(both.size() - 3), (QStringList{u">  Fertig!"_s, QString(), QString()}));
    QCOMPARE(both.count(u">  Ermittle lokal verfügbare Laufwerke..."_s), 2);
    QCOMPARE(m_script->created, 2);
    QCOMPARE(m_script->destroyed, 1);
    QVERIFY(form.Engine.get() != firstEngine || m_script->created == 2);
}

QTEST_MAIN(ActionTest)
#include "tst_action.moc"
