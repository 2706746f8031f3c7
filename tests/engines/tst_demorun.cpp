// The whole demo run over every protocol: the headless driver with the real
// engine against each kind of server serving the simulated mailbox's drive C:,
// compared with the same run against the simulated engine. A new server or
// protocol is a row here.

#include "EngineTest.h"
#include "SshServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using sftptest::SshServer;
using velmora::test::ReadFile;
using velmora::test::ServerTool;
using velmora::test::WriteFile;

namespace {

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

// The lines with the times of day left out, for a server whose listing has
// the day only (LIST with dates older than half a year).
QStringList DaysOnly(QStringList lines)
{
    static const QRegularExpression time(u" \\d\\d:\\d\\d:\\d\\d *$"_s);
    for (QString &line : lines)
        line = line.remove(time).trimmed();
    return lines;
}

}  // namespace

class DemoRunTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void demoRun_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("kind");   // as tools/sftp-server.sh or ftp-server.sh names it
        QTest::addColumn<bool>("daysOnly");  // LIST only: old files have their day, not their time
        QTest::addColumn<int>("roundTrip");  // ms, through the link proxy; 0: none
        const std::tuple<const char *, QString, QString, bool, int> rows[] = {
            {"sshd internal-sftp", u"sftp"_s, u"sshd-internal"_s, false, 0},
            {"sshd internal-sftp, 50 ms away", u"sftp"_s, u"sshd-internal"_s, false, 50},
            {"sshd sftp-server", u"sftp"_s, u"sshd-sftp-server"_s, false, 0},
            {"proftpd mod_sftp", u"sftp"_s, u"proftpd"_s, false, 0},
            {"asyncssh", u"sftp"_s, u"asyncssh"_s, false, 0},
            {"proftpd ftp", u"ftp"_s, u"proftpd-ftp"_s, false, 0},
            {"proftpd explicit TLS", u"ftpes"_s, u"proftpd-ftpes"_s, false, 0},
            {"proftpd implicit TLS", u"ftps"_s, u"proftpd-ftps"_s, false, 0},
            {"vsftpd explicit TLS", u"ftpes"_s, u"vsftpd-ftpes"_s, true, 0},
            {"pure-ftpd explicit TLS", u"ftpes"_s, u"pure-ftpd"_s, false, 0},
            {"pyftpdlib", u"ftp"_s, u"pyftpdlib"_s, false, 0},
        };
        for (const auto &[row, scheme, kind, daysOnly, roundTrip] : rows)
            QTest::newRow(row) << scheme << kind << daysOnly << roundTrip;
    }

    void demoRun()
    {
        QFETCH(QString, scheme);
        QFETCH(QString, kind);
        QFETCH(bool, daysOnly);
        QFETCH(int, roundTrip);
        QTemporaryDir work;
        const QString mailbox = work.filePath(u"mailbox"_s);
        const QString mailboxLog = work.filePath(u"mailbox.txt"_s);
        QCOMPARE(ServerTool::RunProgram(VELMORA_SIM_MAILBOX, {mailbox}, mailboxLog), 0);
        std::unique_ptr<ServerTool> server;
        if (scheme == u"sftp"_s)
            server = std::make_unique<SshServer>(mailbox, kind);
        else
            server = std::make_unique<ServerTool>(u"ftp-server.sh"_s, kind, mailbox);
        QVERIFY2(server->Start() && (!roundTrip || server->AddLink(roundTrip)),
                 qPrintable(server->Error()));
        if (scheme == u"sftp"_s)
            QVERIFY(static_cast<SshServer &>(*server).SetTrust(SshServer::Trust::Hashed));
        const QString pin = server->Value(u"pin"_s);
        const QString phoneBook = work.filePath(u"phonebook"_s);
        QVERIFY(
            WriteFile(phoneBook,
                      u"0421 7396 2058 = %1://127.0.0.1:%2 ; Velmora Testserver%3\n"_s.arg(scheme)
                          .arg(server->Port())
                          .arg(pin.isEmpty() || scheme == u"ftp"_s ? QString() : u" ; pin="_s + pin)
                          .toUtf8()));

        QVERIFY(QDir(work.path()).mkpath(u"C-real"_s) && QDir(work.path()).mkpath(u"C-sim"_s) &&
                QDir(work.path()).mkpath(u"run"_s));
        qunsetenv("SSH_AUTH_SOCK");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(work.filePath(u"run"_s)));
        qputenv("VELMORA_PHONEBOOK", QFile::encodeName(phoneBook));
        qputenv("HOME", QFile::encodeName(server->ClientHome()));
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("VELMORA_SIM_TIMESCALE", "0");

        // The engine's older name too, as the SFTP rows use it.
        qputenv("VELMORA_ENGINE", scheme == u"sftp"_s ? "sftp" : "remote");
        qputenv("VELMORA_SIM_LOCAL_ROOT", QFile::encodeName(work.filePath(u"C-real"_s)));
        const QString realOutput = work.filePath(u"real.txt"_s);
        const int realStatus = ServerTool::RunProgram(VELMORA_HEADLESS_BINARY, {}, realOutput);
        const QStringList realLines = LogLines(realOutput);
        QVERIFY2(realStatus == 0, qPrintable(realLines.join(u'\n')));
        QVERIFY(realLines.contains(u">  Verbunden mit Velmora Testserver"_s));
        QVERIFY(realLines.contains(u">  Lange Dateinamen werden unterstützt."_s));
        QVERIFY(realLines.contains(u">  Fertig!"_s));

        // Byte for byte the mailbox's file, with its date.
        const QString fetched = work.filePath(u"C-real/TRANVIK7.EXE"_s);
        const QString original = mailbox + u"/TOOLS/MORVANTE/TRANVIK7.EXE"_s;
        QCOMPARE(QFileInfo(fetched).size(), 186'911);
        QVERIFY(ReadFile(fetched) == ReadFile(original));
        QCOMPARE(QFileInfo(fetched).lastModified(), QFileInfo(original).lastModified());

        // The simulated engine tells the same story of the server, dates
        // included; only its name, drives and 8.3 names differ.
        qputenv("VELMORA_ENGINE", "sim");
        qputenv("VELMORA_SIM_LOCAL_ROOT", QFile::encodeName(work.filePath(u"C-sim"_s)));
        const QString simOutput = work.filePath(u"sim.txt"_s);
        QCOMPARE(ServerTool::RunProgram(VELMORA_HEADLESS_BINARY, {}, simOutput), 0);
        const QStringList realServer = ServerPart(realLines);
        QVERIFY(realServer.size() > 20);
        const QStringList simServer = ServerPart(LogLines(simOutput));
        QCOMPARE(daysOnly ? DaysOnly(realServer) : realServer,
                 daysOnly ? DaysOnly(simServer) : simServer);
        QVERIFY(ReadFile(work.filePath(u"C-sim/TRANVIK7.EXE"_s)) == ReadFile(fetched));
    }
};

QTEST_GUILESS_MAIN(DemoRunTest)
#include "tst_demorun.moc"
