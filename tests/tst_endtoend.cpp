// Whole demo runs in the real window against the simulated engine, at a
// small time scale, with a temporary folder as drive C:.

#include "EngineChoice.h"
#include "EngineFactory.h"
#include "TestSupport.h"

#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace Qt::StringLiterals;
using velmora::frmMain;
using velmora::test::CancelButton;
using velmora::test::LineBoldness;
using velmora::test::Log;
using velmora::test::LogLines;
using velmora::test::MessageBoxWatcher;
using velmora::test::StartButton;

namespace {

// Runs f once the log has received a line that starts with prefix.
void WhenLogged(frmMain &form, const QString &prefix, std::function<void()> f)
{
    auto fired = std::make_shared<bool>(false);
    QObject::connect(Log(form), &velmora::RichTextBox::TextInserted, &form,
                     [prefix, f = std::move(f), fired](const QString &text) {
                         if (!*fired && text.startsWith(prefix)) {
                             *fired = true;
                             f();
                         }
                     });
}

}  // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void completeRunDownloadsFile();
    void cancelDuringDownloadLeavesNoFile();
    void closeDuringRunEndsProgram();
    void twoRunsInARow();
    void injectedFaults_data();
    void injectedFaults();
    void headlessDriver_data();
    void headlessDriver();

private:
    [[nodiscard]] QStringList LocalFiles() const;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<QTemporaryDir> m_runtime;
};

void EndToEndTest::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    m_runtime = std::make_unique<QTemporaryDir>();
    qputenv("VELMORA_SIM_LOCAL_ROOT", m_root->path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", m_runtime->path().toLocal8Bit());
    qputenv("VELMORA_SIM_TIMESCALE", "0.002");
    for (const char *name :
         {"VELMORA_SIM_FAIL", "VELMORA_SIM_THROW", "VELMORA_SIM_RUNNING", "VELMORA_ENGINE"})
        qunsetenv(name);
    // The engine the executables choose, as they do at start-up.
    velmora::SetEngineFactory(velmora::engine::CreateChosenEngine);
    QLocale::setDefault(QLocale(u"de_DE"_s));
}

void EndToEndTest::cleanup()
{
    velmora::SetEngineFactory({});
    m_root.reset();
    m_runtime.reset();
}

QStringList EndToEndTest::LocalFiles() const
{
    return QDir(m_root->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

void EndToEndTest::completeRunDownloadsFile()
{
    QFile existing(m_root->filePath(u"AUTOEXEC.BAT"_s));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write("@ECHO OFF\r\n");
    existing.close();

    frmMain form;
    form.show();
    StartButton(form)->click();

    const QStringList lines = LogLines(*Log(form));
    QCOMPARE(lines.mid(lines.size() - 3), (QStringList{u">  Fertig!"_s, QString(), QString()}));
    QVERIFY(!LineBoldness(*Log(form)).contains(u'B'));
    // The local listing shows the real file; the server's shows the size
    // that the download then delivers.
    const auto local = std::find_if(lines.begin(), lines.end(), [](const QString &l) {
        return l.startsWith(u"AUTOEXEC.BAT "_s);
    });
    QVERIFY(local != lines.end());
    QCOMPARE(local->mid(29, 10), u"        11"_s);
    const auto listed = std::find_if(lines.begin(), lines.end(), [](const QString &l) {
        return l.startsWith(u"TRANVIK7.EXE "_s);
    });
    QVERIFY(listed != lines.end());
    const qint64 size = listed->mid(29, 10).trimmed().toLongLong();
    QCOMPARE(QFileInfo(m_root->filePath(u"TRANVIK7.EXE"_s)).size(), size);
    QCOMPARE(LocalFiles(), (QStringList{u"AUTOEXEC.BAT"_s, u"TRANVIK7.EXE"_s}));
    QVERIFY(form.RunCompleted);
    QVERIFY(StartButton(form)->isEnabled());
}

void EndToEndTest::cancelDuringDownloadLeavesNoFile()
{
    qputenv("VELMORA_SIM_TIMESCALE", "0.05");  // the download takes a few seconds
    QFile existing(m_root->filePath(u"TRANVIK7.EXE"_s));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write("altes Programm");
    existing.close();

    frmMain form;
    form.show();
    WhenLogged(form, u">  Downloade Datei"_s,
               [&] { QTimer::singleShot(300, CancelButton(form), &QPushButton::click); });
    StartButton(form)->click();

    QCOMPARE(LogLines(*Log(form)).last(), u"!! Abbruch"_s);
    QCOMPARE(LocalFiles(), QStringList{u"TRANVIK7.EXE"_s});
    QVERIFY(existing.open(QIODevice::ReadOnly));
    QCOMPARE(existing.readAll(), QByteArray("altes Programm"));
    QVERIFY(!form.Engine->Busy());
    QVERIFY(!form.RunCompleted);
}

void EndToEndTest::closeDuringRunEndsProgram()
{
    qputenv("VELMORA_SIM_TIMESCALE", "0.05");
    bool handlerReturned = false;
    {
        frmMain form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        WhenLogged(form, u">  Wähle Nr."_s,
                   [&] { QTimer::singleShot(100, &form, [&] { QVERIFY(form.close()); }); });
        QTimer::singleShot(0, &form, [&] {
            StartButton(form)->click();
            handlerReturned = true;
        });
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(handlerReturned);
        QVERIFY(!form.isVisible());
        QCOMPARE(LogLines(*Log(form)).last(), u"!! Abbruch"_s);
    }
    QVERIFY(!LocalFiles().contains(u"TRANVIK7.EXE"_s));
}

void EndToEndTest::twoRunsInARow()
{
    frmMain form;
    form.show();
    StartButton(form)->click();
    const QStringList first = LogLines(*Log(form));
    QVERIFY(QFile::remove(m_root->filePath(u"TRANVIK7.EXE"_s)));
    StartButton(form)->click();
    const QStringList both = LogLines(*Log(form));
    QCOMPARE(both.mid(0, first.size()), first);
    QCOMPARE(both.count(u">  Fertig!"_s), 2);
    QCOMPARE(both.size(), 2 * first.size());
    QVERIFY(QFile::exists(m_root->filePath(u"TRANVIK7.EXE"_s)));
}

void EndToEndTest::injectedFaults_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QStringList>("logEnd");
    QTest::addColumn<QString>("message");

    QTest::newRow("dial reports an error")
        << QByteArray("VELMORA_SIM_FAIL") << QByteArray("Dial:Besetzt")
        << QStringList{u">  Wähle Nr. 0421 7396 2058"_s, u"!! Besetzt"_s} << QString();
    QTest::newRow("remote reading, empty text")
        << QByteArray("VELMORA_SIM_FAIL") << QByteArray("ReadRemoteDirectory:")
        << QStringList{u">  Lese Verzeichnisinhalt auf Server..."_s,
                       u"!! Unbekannter Fehler aufgetreten."_s}
        << QString();
    QTest::newRow("remote name query fails, seen one check later")
        << QByteArray("VELMORA_SIM_FAIL") << QByteArray("RemoteName:Name gestört")
        << QStringList{u">  Ermittle verfügbare Laufwerke auf Server..."_s, u"!! Name gestört"_s}
        << QString();
    QTest::newRow("remote name throws")
        << QByteArray("VELMORA_SIM_THROW") << QByteArray("RemoteName")
        << QStringList{u">  Wähle Nr. 0421 7396 2058"_s} << QString();
    QTest::newRow("listing fails midway")
        << QByteArray("VELMORA_SIM_THROW") << QByteArray("NextDirEntry")
        << QStringList{u">  Lese Verzeichnisinhalt von C:\\"_s, QString(), QString(60, u'-')}
        << QString();
    QTest::newRow("engine cannot be created")
        << QByteArray("VELMORA_SIM_THROW") << QByteArray("Create") << QStringList{} << QString();
    QTest::newRow("unknown name") << QByteArray("VELMORA_SIM_FAIL") << QByteArray("Wählen")
                                  << QStringList{} << QString();
    QTest::newRow("already running") << QByteArray("VELMORA_SIM_RUNNING") << QByteArray("1")
                                     << QStringList{} << u"Velmora läuft schon."_s;
    QTest::newRow("not installed")
        << QByteArray("VELMORA_SIM_THROW") << QByteArray("Initialize") << QStringList{}
        << u"Velmora ab Version 2.02 Revision 1.26 ist auf diesem PC nicht (korrekt) installiert."_s;
}

void EndToEndTest::injectedFaults()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, value);
    QFETCH(QStringList, logEnd);
    QFETCH(QString, message);
    qputenv(variable.constData(), value);
    MessageBoxWatcher boxes;
    frmMain form;
    form.show();
    StartButton(form)->click();

    const QStringList lines = LogLines(*Log(form));
    if (logEnd.isEmpty())
        QCOMPARE(lines, QStringList{});
    else
        QCOMPARE(lines.mid(lines.size() - logEnd.size()), logEnd);
    QCOMPARE(boxes.seen.size(), message.isEmpty() ? size_t(0) : size_t(1));
    if (!message.isEmpty())
        QCOMPARE(boxes.seen.front().text, message);
    QVERIFY(StartButton(form)->isEnabled());
    QVERIFY(!CancelButton(form)->isEnabled());
    QVERIFY(!LocalFiles().contains(u"TRANVIK7.EXE"_s));
}

void EndToEndTest::headlessDriver_data()
{
    QTest::addColumn<QByteArray>("fail");
    QTest::addColumn<int>("signal");  // sent once the download has begun
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("shown");
    QTest::newRow("complete run") << QByteArray() << 0 << 0 << u"       | >  Fertig!"_s;
    QTest::newRow("error marked") << QByteArray("HangUp:Leitung tot") << 0 << 1
                                  << u"FEHLER | !! Leitung tot"_s;
    QTest::newRow("text forging the last line")
        << QByteArray("DownloadFile:A\r\n>  Fertig!\r\n") << 0 << 1
        << u"FEHLER | !! A\\x0d\\x0a>  Fertig!\\x0d\\x0a"_s;
    QTest::newRow("controls escaped")
        << u"HangUp:\x1b[2J\u202etot\u0085\x7f\u2028\t\u2066\u2069\u2065\u206a\u00a0~"_s.toUtf8()
        << 0 << 1
        << u"FEHLER | !! \\x1b[2J\\u202etot\\u0085\\x7f\\u2028\\x09\\u2066\\u2069\u2065\u206a\u00a0~"_s;
    QTest::newRow("Ctrl+C") << QByteArray() << int(SIGINT) << 130 << u"FEHLER | !! Abbruch"_s;
    QTest::newRow("SIGTERM") << QByteArray() << int(SIGTERM) << 143 << u"FEHLER | !! Abbruch"_s;
}

void EndToEndTest::headlessDriver()
{
    QFETCH(QByteArray, fail);
    QFETCH(int, signal);
    QFETCH(int, exitCode);
    QFETCH(QString, shown);
    QProcess driver;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"VELMORA_SIM_FAIL"_s, QString::fromUtf8(fail));
    if (signal != 0)
        env.insert(u"VELMORA_SIM_TIMESCALE"_s, u"0.05"_s);  // the download takes seconds
    env.remove(u"DISPLAY"_s);
    driver.setProcessEnvironment(env);
    driver.start(QStringLiteral(VELMORA_HEADLESS_BINARY), {});
    QByteArray out;
    if (signal != 0) {
        QTRY_VERIFY_WITH_TIMEOUT((out += driver.readAllStandardOutput()).contains("Downloade"),
                                 20000);
        ::kill(pid_t(driver.processId()), signal);
    }
    QVERIFY(driver.waitForFinished(60000));
    QCOMPARE(driver.exitStatus(), QProcess::NormalExit);
    QCOMPARE(driver.exitCode(), exitCode);
    const QStringList lines = QString::fromUtf8(out + driver.readAllStandardOutput()).split(u'\n');
    QVERIFY2(lines.contains(shown), qPrintable(lines.join(u'\n')));
    QVERIFY(lines.contains(u"       | >  Ermittle lokal verfügbare Laufwerke..."_s));
    // Nothing half-written stays; a cancelled download leaves nothing at all.
    const QStringList files = LocalFiles();
    QVERIFY2(files.isEmpty() || (signal == 0 && files == QStringList{u"TRANVIK7.EXE"_s}),
             qPrintable(files.join(u' ')));
}

QTEST_MAIN(EndToEndTest)
#include "tst_endtoend.moc"
