// The simulated engine stays inside its drive C: and the server's tree, and a
// disk that fills up or is read-only during a download leaves no trace.

#include "SimTestSupport.h"

#include <QFileInfo>

#include <cerrno>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

using namespace simtest;

namespace {

// Mounts made here are seen by this process only and go with it, whatever
// happens to the test. Needs CAP_SYS_ADMIN (root, as in CI).
bool PrivateMounts()
{
    static const bool entered = ::unshare(CLONE_NEWNS) == 0 &&
                                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return entered;
}

// A small tmpfs over a directory, for as long as it lives.
class SmallDisk
{
public:
    SmallDisk(const QString &dir, const QByteArray &options) : m_dir(QFile::encodeName(dir))
    {
        m_mounted = PrivateMounts() && ::mount("velmora-test", m_dir.constData(), "tmpfs",
                                               MS_NOSUID | MS_NODEV, options.constData()) == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(m_dir.constData(), MNT_DETACH);
    }
    [[nodiscard]] bool Mounted() const { return m_mounted; }
    bool MakeReadOnly()
    {
        return ::mount(nullptr, m_dir.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    [[nodiscard]] unsigned long long FreeBlocks() const
    {
        struct statvfs info
        {};
        return ::statvfs(m_dir.constData(), &info) == 0 ? info.f_bfree : 0;
    }

private:
    QByteArray m_dir;
    bool m_mounted = false;
};

}  // namespace

class SimConfinementTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void diskFailsDuringDownload_data()
    {
        QTest::addColumn<QByteArray>("options");
        QTest::addColumn<bool>("readOnly");
        QTest::addColumn<QString>("reason");
        const QString full = "Nicht genügend Speicherplatz auf dem Datenträger: C:\\" + Tool;
        QTest::newRow("disk fills up midway") << QByteArray("size=64k") << false << full;
        QTest::newRow("no inode left for the file") << QByteArray("nr_inodes=2") << false << full;
        QTest::newRow("read-only")
            << QByteArray("size=1m") << true << "Datenträger ist schreibgeschützt: C:\\" + Tool;
    }

    void diskFailsDuringDownload()
    {
        QFETCH(QByteArray, options);
        QFETCH(bool, readOnly);
        QFETCH(QString, reason);
        Sandbox sandbox;
        SmallDisk disk(sandbox.root.path(), options);
        if (!disk.Mounted())
            QSKIP("no tmpfs to be had here (needs CAP_SYS_ADMIN); tst_simdownload covers a "
                  "file size limit and a write-protected folder instead");
        const QString target = sandbox.root.filePath(Tool);
        QVERIFY(WriteFile(target, OldContent));
        if (readOnly)
            QVERIFY(disk.MakeReadOnly());
        const unsigned long long freeBefore = disk.FreeBlocks();

        auto engine = Connected(sandbox.Config(), u"TOOLS\\MORVANTE");
        QVERIFY(engine);
        engine->DownloadFile(Tool.toStdU16String(), 0);
        QVERIFY(WaitIdle(*engine));
        QVERIFY(engine->ErrorOccurred());
        QCOMPARE(Q(engine->ErrorText()), reason);
        QCOMPARE(sandbox.Entries(), QStringList{Tool});
        QCOMPARE(ReadFile(target), OldContent);
        // No part of the download is left, not even an open but unlinked file.
        QCOMPARE(disk.FreeBlocks(), freeBefore);

        // A file that fits still comes down afterwards.
        if (options != "size=64k")
            return;
        engine->DownloadFile(u"FILE_ID.DIZ", 0);
        QVERIFY(WaitIdle(*engine));
        QVERIFY2(!engine->ErrorOccurred(), qPrintable(Q(engine->ErrorText())));
        QCOMPARE(QFileInfo(sandbox.root.filePath("FILE_ID.DIZ")).size(), 412);
    }

    void linksOutOfTheDrive_data()
    {
        QTest::addColumn<QString>("link");    // in drive C:
        QTest::addColumn<QString>("target");  // "OUTSIDE/..." is in a folder beside it
        QTest::newRow("to a file outside") << Tool << "OUTSIDE/opfer.txt";
        QTest::newRow("to a missing file outside") << Tool << "OUTSIDE/neu.txt";
        QTest::newRow("to a file outside, by ..") << Tool << "../OUTSIDE/opfer.txt";
        QTest::newRow("through a link chain") << Tool << "KETTE";
        QTest::newRow("to a file inside") << Tool << "alt.txt";
    }

    void linksOutOfTheDrive()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        Sandbox sandbox;
        QTemporaryDir outside;
        QVERIFY(WriteFile(outside.filePath("opfer.txt"), OldContent));
        const QDir root(sandbox.root.path());
        QVERIFY(WriteFile(root.filePath("alt.txt"), OldContent));
        const auto resolve = [&](const QString &path) {
            return path.startsWith("OUTSIDE/") ? outside.filePath(path.mid(8))
                   : path.startsWith("../OUTSIDE/")
                       ? root.relativeFilePath(outside.filePath(path.mid(11)))
                       : path;
        };
        QVERIFY(QFile::link(outside.filePath("opfer.txt"), root.filePath("KETTE")));
        QVERIFY(::symlink(QFile::encodeName(resolve(target)).constData(),
                          QFile::encodeName(root.filePath(link)).constData()) == 0);
        const QStringList before = sandbox.Entries();

        auto engine = Connected(sandbox.Config(), u"TOOLS\\MORVANTE");
        QVERIFY(engine);
        engine->DownloadFile(link.toStdU16String(), 0);
        QVERIFY(WaitIdle(*engine));
        if (target == "alt.txt") {  // no way out: the file takes the link's place
            QVERIFY2(!engine->ErrorOccurred(), qPrintable(Q(engine->ErrorText())));
            QVERIFY(!QFileInfo(root.filePath(link)).isSymLink());
            QCOMPARE(QFileInfo(root.filePath(link)).size(), 186'911);
            QCOMPARE(ReadFile(root.filePath("alt.txt")), OldContent);
            return;
        }
        QVERIFY(engine->ErrorOccurred());
        QCOMPARE(Q(engine->ErrorText()),
                 QStringLiteral("Zugriff außerhalb von Laufwerk C: verweigert: C:\\") + link);
        QCOMPARE(ReadFile(outside.filePath("opfer.txt")), OldContent);
        QCOMPARE(QDir(outside.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"opfer.txt"});
        QCOMPARE(sandbox.Entries(), before);
        QVERIFY(QFileInfo(root.filePath(link)).isSymLink());
    }

    void currentDirectorySwappedForALink()
    {
        // The engine is in C:\SUB; then SUB becomes a link to a folder outside.
        Sandbox sandbox;
        QTemporaryDir outside;
        const QDir root(sandbox.root.path());
        QVERIFY(root.mkdir("SUB"));
        auto engine = Connected(sandbox.Config(), u"TOOLS\\MORVANTE");
        QVERIFY(engine);
        engine->ChangeLocalDirectory(u"SUB");
        QVERIFY(WaitIdle(*engine) && !engine->ErrorOccurred());
        QVERIFY(root.rmdir("SUB"));
        QVERIFY(QFile::link(outside.path(), root.filePath("SUB")));

        engine->DownloadFile(Tool.toStdU16String(), 0);
        QVERIFY(WaitIdle(*engine));
        QVERIFY(engine->ErrorOccurred());
        QCOMPARE(Q(engine->ErrorText()), QStringLiteral("Verzeichnis nicht gefunden: C:\\SUB"));
        engine->ReadLocalDirectory();
        QVERIFY(WaitIdle(*engine));
        QVERIFY(engine->ErrorOccurred());
        QCOMPARE(
            QDir(outside.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{});
    }

    void localDirectoryStaysInside_data()
    {
        QTest::addColumn<QString>("dir");
        QTest::newRow("link to the parent") << "UP";
        QTest::newRow("link to /") << "WURZEL";
        QTest::newRow("link chain out") << "KETTE";
        QTest::newRow("into a link to the parent") << "UP\\.";
        QTest::newRow("drive D:") << "D:";
        QTest::newRow("drive z: relative") << "z:SUB";
        QTest::newRow("NUL inside") << "SUB" + QString(QChar(0)) + "\\..\\..";
        QTest::newRow("UNC path") << "\\\\server\\share";
        QTest::newRow("many ..") << "SUB\\..\\..\\..\\..\\..\\..\\..\\..";
    }

    void localDirectoryStaysInside()
    {
        QFETCH(QString, dir);
        Sandbox sandbox;
        const QDir root(sandbox.root.path());
        QVERIFY(root.mkdir("SUB"));
        QVERIFY(QFile::link("..", root.filePath("UP")));
        QVERIFY(QFile::link("/", root.filePath("WURZEL")));
        QVERIFY(QFile::link("UP", root.filePath("KETTE")));
        auto engine = CreateSimEngine(sandbox.Config());
        engine->Initialize();
        engine->ChangeLocalDirectory(u"SUB");
        QVERIFY(WaitIdle(*engine) && !engine->ErrorOccurred());
        engine->ChangeLocalDirectory(dir.toStdU16String());
        QVERIFY(WaitIdle(*engine));
        QVERIFY(engine->ErrorOccurred());
        QVERIFY(!engine->ErrorText().empty());
        QCOMPARE(Q(engine->LocalDirectory()), QStringLiteral("C:\\SUB"));
    }

    void remoteDirectoryStaysInTheTree_data()
    {
        QTest::addColumn<QString>("dir");
        QTest::newRow("posix path") << "/etc";
        QTest::newRow("UNC path") << "\\\\server\\share";
        QTest::newRow("above the root, absolute") << "C:\\..\\..\\etc";
        QTest::newRow("above the root, relative") << "..\\..\\..";
        QTest::newRow("drive relative above") << "D:..";
        QTest::newRow("no such drive") << "Q:\\";
        QTest::newRow("NUL inside") << "TOOLS" + QString(QChar(0));
        QTest::newRow("a file") << "TOOLS.LST";
    }

    void remoteDirectoryStaysInTheTree()
    {
        QFETCH(QString, dir);
        Sandbox sandbox;
        auto engine = Connected(sandbox.Config(), u"TOOLS");
        QVERIFY(engine);
        engine->ChangeRemoteDirectory(dir.toStdU16String());
        QVERIFY(WaitIdle(*engine));
        QVERIFY(engine->ErrorOccurred());
        QCOMPARE(Q(engine->RemoteDirectory()), QStringLiteral("C:\\TOOLS"));
    }
};

QTEST_GUILESS_MAIN(SimConfinementTest)
#include "tst_simconfinement.moc"
