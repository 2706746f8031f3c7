// The whole demo run over SFTP: the headless driver with VELMORA_ENGINE=sftp
// against each kind of server serving the simulated mailbox's drive C:,
// compared with the same run against the simulated engine.

#include "SshServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using sftptest::SshServer;

namespace {

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<fehlt>");
}

// The log lines the headless driver printed, without its gutter and the time.
QStringList LogLines(const QString &output)
{
    QStringList lines;
    for (const QString &line : QString::fromUtf8(ReadFile(output)).split(u'\n')) {
        const qsizetype bar = line.indexOf(u" | "_s);
        if (bar < 0 || line.left(bar).trimmed() == u"Zeit"_s)
            continue;
        lines << line.mid(bar + 3);
    }
    return lines;
}

// What the log shows of the server once connected, minus the lines that
// name the engine's own traits.
QStringList ServerPart(const QStringList &lines)
{
    QStringList out;
    bool connected = false;
    for (const QString &line : lines) {
        connected = connected || line.startsWith(u">  Verbunden mit "_s);
        if (!connected || line.startsWith(u">  Verbunden mit "_s) ||
            line.startsWith(u">  Verfügbare Laufwerke: "_s) ||
            line.startsWith(u">  Lange Dateinamen werden"_s))
            continue;
        out << line;
    }
    return out;
}

}  // namespace

class SftpDemoTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void demoRunOverSftp_data()
    {
        QTest::addColumn<QString>("kind");   // as tools/sftp-server.sh names it
        QTest::addColumn<int>("roundTrip");  // ms, through the link proxy; 0: none
        QTest::newRow("sshd internal-sftp") << u"sshd-internal"_s << 0;
        QTest::newRow("sshd sftp-server") << u"sshd-sftp-server"_s << 0;
        QTest::newRow("proftpd mod_sftp") << u"proftpd"_s << 0;
        QTest::newRow("asyncssh") << u"asyncssh"_s << 0;
        QTest::newRow("sshd internal-sftp, 50 ms away") << u"sshd-internal"_s << 50;
    }

    void demoRunOverSftp()
    {
        QFETCH(QString, kind);
        QFETCH(int, roundTrip);
        QTemporaryDir work;
        const QString mailbox = work.filePath(u"mailbox"_s);
        const QString mailboxLog = work.filePath(u"mailbox.txt"_s);
        QCOMPARE(SshServer::RunProgram(VELMORA_SIM_MAILBOX, {mailbox}, mailboxLog), 0);
        SshServer server(mailbox, kind);
        QVERIFY2(server.Start() && (!roundTrip || server.AddLink(roundTrip)),
                 qPrintable(server.Error()));
        QVERIFY(server.SetTrust(SshServer::Trust::Hashed));
        const QString phoneBook = work.filePath(u"phonebook"_s);
        QFile book(phoneBook);
        QVERIFY(book.open(QIODevice::WriteOnly));
        book.write(
            u"0421 7396 2058 = sftp://127.0.0.1:%1 ; Velmora Testserver\n"_s.arg(server.Port())
                .toUtf8());
        book.close();

        QVERIFY(QDir(work.path()).mkpath(u"C-sftp"_s) && QDir(work.path()).mkpath(u"C-sim"_s) &&
                QDir(work.path()).mkpath(u"run"_s));
        qunsetenv("SSH_AUTH_SOCK");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(work.filePath(u"run"_s)));
        qputenv("VELMORA_PHONEBOOK", QFile::encodeName(phoneBook));
        qputenv("HOME", QFile::encodeName(server.ClientHome()));
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("VELMORA_SIM_TIMESCALE", "0");

        qputenv("VELMORA_ENGINE", "sftp");
        qputenv("VELMORA_SIM_LOCAL_ROOT", QFile::encodeName(work.filePath(u"C-sftp"_s)));
        const QString sftpOutput = work.filePath(u"sftp.txt"_s);
        const int sftpStatus = SshServer::RunProgram(VELMORA_HEADLESS_BINARY, {}, sftpOutput);
        const QStringList sftpLines = LogLines(sftpOutput);
        QVERIFY2(sftpStatus == 0, qPrintable(sftpLines.join(u'\n')));
        QVERIFY(sftpLines.contains(u">  Verbunden mit Velmora Testserver"_s));
        QVERIFY(sftpLines.contains(u">  Lange Dateinamen werden unterstützt."_s));
        QVERIFY(sftpLines.contains(u">  Fertig!"_s));

        // Byte for byte the mailbox's file, with its date.
        const QString fetched = work.filePath(u"C-sftp/TRANVIK7.EXE"_s);
        const QString original = mailbox + u"/TOOLS/MORVANTE/TRANVIK7.EXE"_s;
        QCOMPARE(QFileInfo(fetched).size(), 186'911);
        QVERIFY(ReadFile(fetched) == ReadFile(original));
        QCOMPARE(QFileInfo(fetched).lastModified(), QFileInfo(original).lastModified());

        // The simulated engine tells the same story of the server, dates
        // included; only its name, drives and 8.3 names differ.
        qputenv("VELMORA_ENGINE", "sim");
        qputenv("VELMORA_SIM_LOCAL_ROOT", QFile::encodeName(work.filePath(u"C-sim"_s)));
        const QString simOutput = work.filePath(u"sim.txt"_s);
        QCOMPARE(SshServer::RunProgram(VELMORA_HEADLESS_BINARY, {}, simOutput), 0);
        const QStringList sftpServer = ServerPart(sftpLines);
        QVERIFY(sftpServer.size() > 20);
        QCOMPARE(sftpServer, ServerPart(LogLines(simOutput)));
        QVERIFY(ReadFile(work.filePath(u"C-sim/TRANVIK7.EXE"_s)) == ReadFile(fetched));
    }
};

QTEST_GUILESS_MAIN(SftpDemoTest)
#include "tst_sftpdemo.moc"
