// Downloads: complete files only, never a trace of a failed or aborted one.

#include "SimTestSupport.h"

#include <QFile>
#include <QFileInfo>

#include <ctime>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace simtest;

namespace {

bool CanCreateIn(const QString &dir)
{
    QFile probe(dir + "/probe");
    const bool created = probe.open(QIODevice::WriteOnly);
    probe.remove();
    return created;
}

// Permission bits do not stop root; the immutable flag does.
void SetImmutable(const QString &dir, bool on)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0)
        ::close(fd);
}

struct Undo
{
    std::function<void()> action;
    ~Undo() { action(); }
};

// A time zone away from UTC for as long as it lives, so local time shows.
class CentralEuropeanTime
{
public:
    CentralEuropeanTime() : m_saved(qgetenv("TZ"))
    {
        qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
        ::tzset();
    }
    ~CentralEuropeanTime()
    {
        m_saved.isNull() ? qunsetenv("TZ") : qputenv("TZ", m_saved);
        ::tzset();
    }

private:
    QByteArray m_saved;
};

}  // namespace

class SimDownloadTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void completeFileWithListedSize()
    {
        Sandbox sandbox;
        QVERIFY(QDir(sandbox.root.path()).mkdir("SUB"));
        auto engine = Connected(sandbox.Config(0.0), u"TOOLS\\MORVANTE");
        QVERIFY(engine);
        QVERIFY(Finish(*engine, "ReadRemoteDirectory"));
        DirEntry tool;
        while (engine->NextDirEntry(tool) != velmora::DirListingEnd && Q(tool.Name) != Tool) {
        }
        QCOMPARE(Q(tool.Name), Tool);

        engine->DownloadFile(u"tranvik7.exe", 0);  // DOS names: any case
        QVERIFY(WaitIdle(*engine));
        QVERIFY2(!engine->ErrorOccurred(), qPrintable(Q(engine->ErrorText())));
        QCOMPARE(sandbox.Entries(), (QStringList{"SUB", Tool}));
        const QByteArray first = ReadFile(sandbox.root.filePath(Tool));
        QCOMPARE(first.size(), tool.Size);
        const QDateTime stamp = QFileInfo(sandbox.root.filePath(Tool)).lastModified();
        QVERIFY(qAbs(OleDate(stamp) - tool.Modified) < 2.0 / 86400);  // the server's date

        engine->ChangeLocalDirectory(u"SUB");
        QVERIFY(WaitIdle(*engine));
        for (const char16_t *name : {u"TRANVIK7.EXE", u"LIESMICH.TXT"}) {
            engine->DownloadFile(name, 0);
            QVERIFY(WaitIdle(*engine));
        }
        QVERIFY(!engine->ErrorOccurred());
        QCOMPARE(ReadFile(sandbox.root.filePath("SUB/" + Tool)), first);  // same bytes each time
        const QByteArray other = ReadFile(sandbox.root.filePath("SUB/LIESMICH.TXT"));
        QVERIFY(!first.startsWith(other.left(64)));         // each file its own content
        QVERIFY(first.count(char(0)) < first.size() / 16);  // not a block of zeros
    }

    void abortedOrDestroyedMidway()
    {
        Sandbox sandbox;
        const QString target = sandbox.root.filePath(Tool);
        QVERIFY(WriteFile(target, OldContent));
        auto engine = Connected(sandbox.Config(0.05), u"TOOLS\\MORVANTE");
        QVERIFY(engine);
        engine->DownloadFile(Tool.toStdU16String(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(DownloadUnderWay(sandbox.root.path()), 3000);
        QCOMPARE(sandbox.Entries(), QStringList{Tool});  // nothing of it shows
        QVERIFY(engine->Busy());
        engine->AbortOperation();
        QTRY_VERIFY_WITH_TIMEOUT(!engine->Busy(), 1000);
        QCOMPARE(Q(engine->ErrorText()), QStringLiteral("Vorgang abgebrochen."));
        QCOMPARE(sandbox.Entries(), QStringList{Tool});
        QCOMPARE(ReadFile(target), OldContent);

        engine->DownloadFile(Tool.toStdU16String(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(DownloadUnderWay(sandbox.root.path()), 3000);
        engine.reset();
        QCOMPARE(sandbox.Entries(), QStringList{Tool});
        QCOMPARE(ReadFile(target), OldContent);
    }

    void readOnlyDirectory()
    {
        Sandbox sandbox;
        const QString root = sandbox.root.path();
        const QString target = sandbox.root.filePath(Tool);
        QVERIFY(WriteFile(target, OldContent));
        auto engine = Connected(sandbox.Config(0.0), u"TOOLS\\MORVANTE");
        QVERIFY(engine);
        const Undo restore{[&] {
            SetImmutable(root, false);
            QFile::setPermissions(root, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }};
        QFile::setPermissions(root, QFile::ReadOwner | QFile::ExeOwner);
        if (CanCreateIn(root))
            SetImmutable(root, true);
        if (CanCreateIn(root))
            QSKIP("cannot make a directory read-only here");
        engine->DownloadFile(Tool.toStdU16String(), 0);
        QVERIFY(WaitIdle(*engine));
        QVERIFY(engine->ErrorOccurred());
        QVERIFY2(Q(engine->ErrorText()).startsWith("Zugriff verweigert"),
                 qPrintable(Q(engine->ErrorText())));
        QCOMPARE(sandbox.Entries(), QStringList{Tool});
        QCOMPARE(ReadFile(target), OldContent);
    }

    // The mailbox written out for a real server is the one the engine serves.
    void mailboxExport_data()
    {
        QTest::addColumn<QString>("dir");  // on the server
        QTest::addColumn<QString>("file");
        QTest::newRow("the demo's file") << "TOOLS\\MORVANTE" << Tool;
        QTest::newRow("the root") << ""
                                  << "WILLKOMM.TXT";
        QTest::newRow("the largest") << "DOWNLOAD\\SPIELE"
                                     << "STERNFLG.ZIP";
    }

    void mailboxExport()
    {
        QFETCH(QString, dir);
        QFETCH(QString, file);
        const CentralEuropeanTime zone;
        QTemporaryDir exported;
        Spawned tool(VELMORA_SIM_MAILBOX, {QFile::encodeName(exported.path())});
        QVERIFY(tool.Started());
        QVERIFY(tool.Finish());
        const QString there = exported.filePath(QString(dir).replace('\\', '/'));

        Sandbox sandbox;
        auto engine = Connected(sandbox.Config(0.0), dir.toStdU16String());
        QVERIFY(engine);
        QVERIFY(Finish(*engine, "ReadRemoteDirectory"));
        QStringList listed;
        DirEntry entry;
        while (engine->NextDirEntry(entry) != velmora::DirListingEnd) {
            const QString name = Q(entry.Name);
            const QFileInfo info(there + '/' + name);
            listed << name;
            QVERIFY2(info.exists() && !info.isSymLink(), qPrintable(name));
            QCOMPARE(info.isDir(), entry.Kind == 0);
            if (entry.Kind != 0)
                QCOMPARE(info.size(), entry.Size);
            // Local time, as the engines read dates back.
            QVERIFY2(qAbs(OleDate(info.lastModified()) - entry.Modified) < 0.5 / 86400,
                     qPrintable(name));
        }
        listed.sort();
        QCOMPARE(QDir(there).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                       QDir::Name),
                 listed);  // nothing more, nothing less

        engine->DownloadFile(file.toStdU16String(), 0);
        QVERIFY(WaitIdle(*engine));
        QVERIFY2(!engine->ErrorOccurred(), qPrintable(Q(engine->ErrorText())));
        QCOMPARE(ReadFile(there + '/' + file), ReadFile(sandbox.root.filePath(file)));
        QCOMPARE(QFileInfo(there + '/' + file).lastModified(),
                 QFileInfo(sandbox.root.filePath(file)).lastModified());
    }

    void refusedDownloads_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("injectFailure");
        QTest::addColumn<QString>("reason");
        const QString bad = "Ungültiger Dateiname";
        for (const char *name : {"..\\TRANVIK7.EXE", "C:\\TRANVIK7.EXE", "D:TRANVIK7.EXE",
                                 "/etc/passwd", "SUB\\TRANVIK7.EXE", "..", ""})
            QTest::newRow(name) << name << false << bad;
        const std::pair<const char *, QString> odd[] = {{"NUL inside", Tool + QChar(0) + "x"},
                                                        {"drive relative C:", "C:" + Tool},
                                                        {"trailing separator", Tool + "\\"},
                                                        {"dot slash", "./" + Tool},
                                                        {"UNC path", "\\\\server\\share\\" + Tool}};
        for (const auto &[row, name] : odd)
            QTest::newRow(row) << name << false << bad;
        QTest::newRow("lone surrogate") << Tool + QChar(0xD800) << false << "";
        QTest::newRow("missing") << "FEHLT.EXE" << false << "Datei nicht gefunden: FEHLT.EXE";
        QTest::newRow("line trouble") << Tool << true << "";
    }

    void refusedDownloads()
    {
        QFETCH(QString, name);
        QFETCH(bool, injectFailure);
        QFETCH(QString, reason);
        Sandbox sandbox;
        SimConfig config = sandbox.Config(0.0);
        if (injectFailure)
            config.fail["DownloadFile"] = std::nullopt;
        auto engine = Connected(config, u"TOOLS\\MORVANTE");
        QVERIFY(engine);
        engine->DownloadFile(name.toStdU16String(), 0);
        QVERIFY(WaitIdle(*engine));
        QVERIFY(engine->ErrorOccurred());
        QVERIFY(!engine->ErrorText().empty());
        QVERIFY2(Q(engine->ErrorText()).startsWith(reason), qPrintable(Q(engine->ErrorText())));
        QCOMPARE(sandbox.Entries(), QStringList{});
    }
};

QTEST_GUILESS_MAIN(SimDownloadTest)
#include "tst_simdownload.moc"
