// Where the engine may go: the server's fixed tree and the real drive C:.

#include "SimTestSupport.h"

#include <QFile>

#include <climits>
#include <cmath>
#include <cstdio>
#include <fstream>

using namespace simtest;

namespace {

std::vector<DirEntry> ReadAll(TransferEngine &engine)
{
    std::vector<DirEntry> entries;
    DirEntry entry;
    while (engine.NextDirEntry(entry) != velmora::DirListingEnd && entries.size() < 1000)
        entries.push_back(entry);
    return entries;
}

const DirEntry *Find(const std::vector<DirEntry> &entries, const QString &name)
{
    for (const auto &entry : entries)
        if (Q(entry.Name) == name)
            return &entry;
    return nullptr;
}

void AddDirectoryRows(std::initializer_list<std::pair<const char *, const char *>> rows)
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<QString>("expected");  // null: refused, nothing changes
    for (const auto &[dir, expected] : rows)
        QTest::newRow(dir) << dir << QString(expected);
}

}  // namespace

class SimPathsTest : public QObject
{
    Q_OBJECT

    Sandbox m_sandbox;
    QTemporaryDir m_outside;
    std::unique_ptr<TransferEngine> m_engine;

    // Changes from the root to dir; the engine's answer, or the error and where it stayed.
    QString Change(bool remote, const QString &dir)
    {
        TransferEngine &e = *m_engine;
        const auto change = [&](const std::u16string &to) {
            remote ? e.ChangeRemoteDirectory(to) : e.ChangeLocalDirectory(to);
            return WaitIdle(e);
        };
        if (!change(u"C:\\") || e.ErrorOccurred() || !change(dir.toStdU16String()))
            return "reset failed or still busy";
        const QString now = Q(remote ? e.RemoteDirectory() : e.LocalDirectory());
        return e.ErrorOccurred() ? "refused, still at " + now : now;
    }

    void CheckChange(bool remote)
    {
        QFETCH(QString, dir);
        QFETCH(QString, expected);
        QCOMPARE(Change(remote, dir), expected.isNull() ? "refused, still at C:\\" : expected);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QDir root(m_sandbox.root.path());
        QVERIFY(root.mkpath("SUB/INNER"));
        QFile file(root.filePath("FILE.TXT"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(QFile::link(m_outside.path(), root.filePath("OUT")));
        QVERIFY(QFile::link(root.filePath("SUB"), root.filePath("IN")));
        m_engine = Connected(m_sandbox.Config(0.0));
        QVERIFY(m_engine);
    }

    void remoteDirectories_data()
    {
        AddDirectoryRows({{"TOOLS", "C:\\TOOLS"},
                          {"tools\\morvante", "C:\\TOOLS\\MORVANTE"},
                          {"C:\\TOOLS\\MORVANTE\\..", "C:\\TOOLS"},
                          {"\\BBS", "C:\\BBS"},
                          {"D:\\ARCHIV\\1996", "D:\\ARCHIV\\1996"},
                          {"..", nullptr},
                          {"TOOLS\\..\\..", nullptr},
                          {"TOOLS\\XYZ", nullptr},
                          {"E:\\", nullptr},
                          {"WILLKOMM.TXT", nullptr}});
    }

    void remoteDirectories() { CheckChange(true); }

    void missingDirectoryNamed()
    {
        Change(true, "TOOLS\\XYZ");
        QCOMPARE(Q(m_engine->ErrorText()),
                 QStringLiteral("Verzeichnis nicht gefunden: TOOLS\\XYZ"));
    }

    void remoteListings()
    {
        const double from = QDate(1899, 12, 30).daysTo(QDate(1990, 1, 1));
        const double to = QDate(1899, 12, 30).daysTo(QDate(2000, 1, 1));
        QCOMPARE(Change(true, "C:\\"), QStringLiteral("C:\\"));
        QVERIFY(Finish(*m_engine, "ReadRemoteDirectory"));
        const auto root = ReadAll(*m_engine);
        QVERIFY(root.size() >= 6);
        QVERIFY(Find(root, "TOOLS") && Find(root, "TOOLS")->Kind == 0);

        QCOMPARE(Change(true, "TOOLS\\MORVANTE"), QStringLiteral("C:\\TOOLS\\MORVANTE"));
        QVERIFY(Finish(*m_engine, "ReadRemoteDirectory"));
        const auto files = ReadAll(*m_engine);
        QVERIFY(files.size() >= 3);
        const DirEntry *tool = Find(files, "TRANVIK7.EXE");
        QVERIFY(tool && tool->Kind != 0);
        QVERIFY(tool->Size > 60 * 2400);  // more than a minute on the modem line
        for (const auto &entry : files) {
            QVERIFY2(entry.Modified >= from && entry.Modified < to, qPrintable(Q(entry.Name)));
            QVERIFY(entry.Modified != std::floor(entry.Modified));  // with a time of day
        }
        DirEntry untouched{9, u"x", 1, 2.0};
        QCOMPARE(m_engine->NextDirEntry(untouched), velmora::DirListingEnd);
        QCOMPARE(untouched.Kind, 9);
    }

    void localDirectories_data()
    {
        AddDirectoryRows({{"C:\\SUB", "C:\\SUB"},
                          {"SUB\\INNER", "C:\\SUB\\INNER"},
                          {"SUB/INNER/..", "C:\\SUB"},
                          {"\\SUB", "C:\\SUB"},
                          {"c:\\", "C:\\"},
                          {"IN\\INNER", "C:\\SUB\\INNER"},  // a link that stays inside
                          {"..", nullptr},
                          {"SUB\\..\\..\\", nullptr},
                          {"C:\\..\\tmp", nullptr},
                          {"/tmp", nullptr},
                          {"/", "C:\\"},
                          {"D:\\", nullptr},
                          {"OUT", nullptr},
                          {"C:\\OUT\\.", nullptr},
                          {"FILE.TXT", nullptr},
                          {"FEHLT", nullptr}});
    }

    void localDirectories() { CheckChange(false); }

    void localListing()
    {
        Sandbox sandbox;
        QDir root(sandbox.root.path());
        QVERIFY(root.mkdir("Zeta") && root.mkdir("alpha"));
        for (const auto &[name, data] :
             {std::pair{"b.txt", "12345"}, {"a.txt", ""}, {"ä.txt", "x"}, {"big.bin", ""}}) {
            QFile file(root.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == qint64(qstrlen(data)));
        }
        // Not UTF-8; QTemporaryDir cannot remove such a name, so this test does.
        struct RawFile
        {
            std::string path;
            ~RawFile() { std::remove(path.c_str()); }
        } raw{sandbox.root.path().toStdString() + "/\xff.bin"};
        QVERIFY(std::ofstream(raw.path).good());
        QVERIFY(QFile::resize(root.filePath("big.bin"), 3LL << 30));  // sparse
        const QDateTime stamp(QDate(2021, 6, 15), QTime(13, 45, 30));
        QFile stamped(root.filePath("a.txt"));
        QVERIFY(stamped.open(QIODevice::ReadWrite) &&
                stamped.setFileTime(stamp, QFileDevice::FileModificationTime));

        auto engine = CreateSimEngine(sandbox.Config(0.0));
        engine->Initialize();
        QVERIFY(Finish(*engine, "ReadLocalDirectory"));
        QVERIFY(!engine->ErrorOccurred());
        const auto entries = ReadAll(*engine);
        QStringList names;
        for (const auto &entry : entries)
            names << Q(entry.Name);
        QCOMPARE(names, (QStringList{"alpha", "Zeta", "a.txt", "b.txt", "big.bin", "ä.txt",
                                     QString(QChar(0xFFFD)) + ".bin"}));
        QCOMPARE(entries[0].Kind, 0);
        QVERIFY(entries[2].Kind != 0);
        QCOMPARE(entries[3].Size, 5);
        QCOMPARE(entries[4].Size, INT32_MAX);
        QVERIFY(qAbs(entries[2].Modified - OleDate(stamp)) < 1.0 / 86400);
    }
};

QTEST_GUILESS_MAIN(SimPathsTest)
#include "tst_simpaths.moc"
