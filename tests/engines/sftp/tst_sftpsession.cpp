// The connection layer against a real OpenSSH server on loopback: host keys,
// logins, retries, listing, the pipelined download, and stopping all of it.

#include "Session.h"
#include "SshServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using sftptest::SshServer;
using velmora::sftp::ConnectOptions;
using velmora::sftp::Control;
using velmora::sftp::Error;
using velmora::sftp::Failure;
using velmora::sftp::RemoteEntry;
using velmora::sftp::Session;
using velmora::test::SilentListener;

Q_DECLARE_METATYPE(SshServer::Trust)
Q_DECLARE_METATYPE(Failure)

namespace {

// The stop flag and the alive count a caller keeps.
struct Flags
{
    std::atomic<bool> stop{false};
    std::atomic<int> alive{0};
    Control MakeControl()
    {
        return {[this] { return stop.load(); }, [this] { ++alive; }};
    }
};

ConnectOptions OptionsFor(SshServer &server)
{
    ConnectOptions options;
    options.host = "127.0.0.1";
    options.port = server.Port();
    options.sshHome = server.ClientHome().toStdString();
    options.retryPause = 10ms;
    return options;
}

QByteArray RandomBytes(qsizetype size)
{
    QByteArray data(size, Qt::Uninitialized);
    auto *generator = QRandomGenerator::global();
    for (qsizetype i = 0; i < size; ++i)
        data[i] = static_cast<char>(generator->bounded(256));
    return data;
}

bool WriteFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

bool MakeSparse(const QString &path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

}  // namespace

class SftpSessionTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // An agent of the person running the tests must not log us in.
        qunsetenv("SSH_AUTH_SOCK");
    }

    void connectsAndLists_data()
    {
        QTest::addColumn<SshServer::Trust>("trust");
        QTest::newRow("known_hosts plain") << SshServer::Trust::Plain;
        QTest::newRow("known_hosts hashed") << SshServer::Trust::Hashed;
    }

    void connectsAndLists()
    {
        QFETCH(SshServer::Trust, trust);
        SshServer server;
        QVERIFY2(server.Start(), qPrintable(server.Error()));
        QVERIFY2(server.SetTrust(trust), qPrintable(server.Error()));
        const QDir serve(server.ServeDir());
        QVERIFY(serve.mkpath(u"TOOLS/MORVANTE"_s));
        QVERIFY(WriteFile(serve.filePath(u"NEWS.TXT"_s), "Neuigkeiten\n"));
        QVERIFY(MakeSparse(serve.filePath(u"RIESIG.BIN"_s), 3'000'000'000LL));
        QVERIFY(QFile::link(u"TOOLS"_s, serve.filePath(u"WERKZEUG"_s)));
        QVERIFY(QFile::link(u"fehlt"_s, serve.filePath(u"KAPUTT"_s)));
        const QDateTime stamp(QDate(1997, 4, 18), QTime(23, 12, 40), Qt::UTC);
        {
            QFile news(serve.filePath(u"NEWS.TXT"_s));
            QVERIFY(news.open(QIODevice::ReadWrite));
            QVERIFY(news.setFileTime(stamp, QFileDevice::FileModificationTime));
        }

        Flags flags;
        auto session = Session::Open(OptionsFor(server), flags.MakeControl());
        QCOMPARE(QString::fromStdString(session->RealPath(".")),
                 QDir(server.ServeDir()).canonicalPath());
        const std::string login = session->RealPath(".");
        std::vector<RemoteEntry> entries = session->List(login, login);
        std::sort(entries.begin(), entries.end(),
                  [](const RemoteEntry &a, const RemoteEntry &b) { return a.name < b.name; });
        QStringList seen;
        for (const auto &entry : entries)
            seen << u"%1 %2 %3"_s.arg(QString::fromStdString(entry.name))
                        .arg(entry.directory ? u"dir"_s : u"file"_s)
                        .arg(entry.directory ? 0 : entry.size);
        QCOMPARE(seen, (QStringList{u"KAPUTT file 0"_s, u"NEWS.TXT file 12"_s,
                                    u"RIESIG.BIN file 3000000000"_s, u"TOOLS dir 0"_s,
                                    u"WERKZEUG dir 0"_s}));
        const RemoteEntry news = session->Stat(session->RealPath("NEWS.TXT"));
        QCOMPARE(news.modified, stamp.toSecsSinceEpoch());
        QVERIFY(session->Stat(session->RealPath("WERKZEUG/MORVANTE")).directory);
        QCOMPARE(QString::fromStdString(session->DisplayHost()),
                 u"127.0.0.1:%1"_s.arg(server.Port()));
        session->Close();
        QVERIFY(session->Lost());
    }

    // None of these is worth a second attempt, whatever retries says.
    void refusedWithoutRetry_data()
    {
        QTest::addColumn<SshServer::Trust>("trust");
        QTest::addColumn<QString>("twist");  // what else is amiss on the client's side
        QTest::addColumn<QString>("password");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QString>("mentioned");
        const QString notRegular = u"nicht benutzt: Keine reguläre Datei."_s;
        QTest::newRow("unknown host") << SshServer::Trust::None << QString() << QString()
                                      << Failure::HostKey << u"Unbekannter Rechner"_s;
        QTest::newRow("changed host key") << SshServer::Trust::OtherKey << QString() << QString()
                                          << Failure::HostKey << u"WARNUNG"_s;
        QTest::newRow("revoked host key") << SshServer::Trust::Revoked << QString() << QString()
                                          << Failure::HostKey << u"als widerrufen markiert"_s;
        QTest::newRow("global known_hosts never trusted")
            << SshServer::Trust::None << u"global known_hosts"_s << QString() << Failure::HostKey
            << u"Unbekannter Rechner"_s;
        QTest::newRow("key not authorized")
            << SshServer::Trust::Plain << u"unknown key"_s << QString() << Failure::Authentication
            << u"kein passender Schlüssel"_s;
        for (const auto &[mode, text] : {std::pair{0644, "0644"}, std::pair{0640, "0640"}})
            QTest::addRow("key mode %s", text)
                << SshServer::Trust::Plain << u"key mode %1"_s.arg(mode, 0, 8) << QString()
                << Failure::Authentication
                << u"id_ed25519 nicht benutzt, da Gruppe oder andere ihn lesen oder schreiben "
                   u"dürfen (Rechte %1)."_s.arg(QLatin1StringView(text));
        QTest::newRow("wrong password") << SshServer::Trust::Hashed << QString() << u"falsch"_s
                                        << Failure::Authentication << u"(Passwort)"_s;
        // libssh would wait on a FIFO for ever.
        QTest::newRow("known_hosts a FIFO") << SshServer::Trust::Plain << u"known_hosts"_s
                                            << QString() << Failure::HostKey << notRegular;
        QTest::newRow("config includes a FIFO")
            << SshServer::Trust::Plain << u"include"_s << QString() << Failure::Local << notRegular;
    }

    void refusedWithoutRetry()
    {
        QFETCH(SshServer::Trust, trust);
        QFETCH(QString, twist);
        QFETCH(QString, password);
        QFETCH(Failure, failure);
        QFETCH(QString, mentioned);
        SshServer server;
        QVERIFY2(server.Start(), qPrintable(server.Error()));
        const QString ssh = server.ClientHome() + u"/.ssh/"_s;
        if (twist == u"global known_hosts"_s) {
            // A file that trusts the server, named where only the user's may count.
            QVERIFY(server.SetTrust(SshServer::Trust::Plain));
            QVERIFY(QFile::copy(server.KnownHostsFile(), ssh + u"global"_s));
            QVERIFY(
                WriteFile(ssh + u"config"_s, "GlobalKnownHostsFile " + ssh.toUtf8() + "global\n"));
        }
        QVERIFY2(server.SetTrust(trust), qPrintable(server.Error()));
        QString fifo;
        if (twist == u"unknown key"_s)
            QVERIFY(server.UseUnknownClientKey());
        if (twist.startsWith(u"key mode "_s))
            QVERIFY(::chmod(QFile::encodeName(server.IdentityFile()).constData(),
                            twist.mid(9).toUInt(nullptr, 8)) == 0);
        if (twist == u"known_hosts"_s) {
            QVERIFY(QFile::remove(server.KnownHostsFile()));
            fifo = server.KnownHostsFile();
        }
        if (twist == u"include"_s) {
            QVERIFY(WriteFile(ssh + u"config"_s, "Include ~/.ssh/mehr\n"));
            fifo = ssh + u"mehr"_s;
        }
        QFile knownHosts(server.KnownHostsFile());
        const QByteArray before = knownHosts.open(QIODevice::ReadOnly) ? knownHosts.readAll() : "";
        knownHosts.close();
        // A FIFO where libssh would wait for a writer for ever: the test would hang.
        QVERIFY(fifo.isEmpty() || ::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);

        ConnectOptions options = OptionsFor(server);
        options.retries = 3;
        options.password = password.toStdString();
        int attempts = 0;
        options.onAttempt = [&](int) { ++attempts; };
        Flags flags;
        try {
            Session::Open(options, flags.MakeControl());
            QFAIL("connected");
        } catch (const Error &e) {
            const QString text = QString::fromUtf8(e.what());
            QCOMPARE(e.failure(), failure);
            QVERIFY2(text.contains(mentioned), qPrintable(text));
            if (fifo.isEmpty())
                QVERIFY2(text.contains(u"127.0.0.1:%1"_s.arg(server.Port())), qPrintable(text));
            if (failure == Failure::HostKey && fifo.isEmpty())
                QVERIFY2(text.contains(server.HostKeyFingerprint()), qPrintable(text));
        }
        QCOMPARE(attempts, 1);
        if (!fifo.isEmpty())
            return;
        // known_hosts is only ever read.
        QCOMPARE(QFileInfo::exists(server.KnownHostsFile()), trust != SshServer::Trust::None);
        if (knownHosts.open(QIODevice::ReadOnly))
            QCOMPARE(knownHosts.readAll(), before);
        QVERIFY(!QFileInfo::exists(server.KnownHostsFile() + u".old"_s));
    }

    void unanswered_data()
    {
        QTest::addColumn<bool>("listening");  // false: refused, true: no greeting
        QTest::addColumn<int>("retries");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QString>("text");  // %1: the port
        QTest::newRow("refused once") << false << 0 << Failure::Refused
                                      << u"Verbindung zu 127.0.0.1:%1 abgelehnt (1 Versuch)."_s;
        QTest::newRow("refused, three retries")
            << false << 3 << Failure::Refused
            << u"Verbindung zu 127.0.0.1:%1 abgelehnt (4 Versuche)."_s;
        QTest::newRow("silent, one retry")
            << true << 1 << Failure::TimedOut
            << u"Zeitüberschreitung beim Verbinden mit 127.0.0.1:%1 (2 Versuche)."_s;
    }

    void unanswered()
    {
        QFETCH(bool, listening);
        QFETCH(int, retries);
        QFETCH(Failure, failure);
        QFETCH(QString, text);
        SilentListener silent;
        ConnectOptions options;
        options.host = "127.0.0.1";
        options.port = listening ? silent.Port() : SshServer::FreePort();
        options.retries = retries;
        options.retryPause = 10ms;
        options.attemptTimeout = 300ms;
        QTemporaryDir home;
        options.sshHome = home.path().toStdString();
        int attempts = 0;
        options.onAttempt = [&](int attempt) { QCOMPARE(attempt, ++attempts); };
        Flags flags;
        try {
            Session::Open(options, flags.MakeControl());
            QFAIL("connected");
        } catch (const Error &e) {
            QCOMPARE(e.failure(), failure);
            QCOMPARE(QString::fromUtf8(e.what()), text.arg(options.port));
        }
        QCOMPARE(attempts, retries + 1);
    }

    void serverComingUpDuringRetries()
    {
        SshServer server;
        QVERIFY2(server.Start(), qPrintable(server.Error()));
        QVERIFY(server.SetTrust(SshServer::Trust::Plain));
        server.Kill();
        ConnectOptions options = OptionsFor(server);
        options.retries = 5;
        int attempts = 0;
        options.onAttempt = [&](int attempt) {
            attempts = attempt;
            if (attempt == 3)
                QVERIFY(server.Start());  // same port, same key
        };
        Flags flags;
        auto session = Session::Open(options, flags.MakeControl());
        QCOMPARE(attempts, 3);
        QVERIFY(session->List(".", "/").empty());  // "." and ".." are left out
        QCOMPARE(QString::fromStdString(session->RealPath(".")),
                 QDir(server.ServeDir()).canonicalPath());
    }

    void stopWhileConnecting_data()
    {
        QTest::addColumn<bool>("listening");
        QTest::newRow("waiting for the greeting") << true;
        QTest::newRow("pausing between attempts") << false;
    }

    void stopWhileConnecting()
    {
        QFETCH(bool, listening);
        SilentListener silent;
        ConnectOptions options;
        options.host = "127.0.0.1";
        options.port = listening ? silent.Port() : SshServer::FreePort();
        options.retries = 100;
        options.retryPause = 60s;
        options.attemptTimeout = 60s;
        QTemporaryDir home;
        options.sshHome = home.path().toStdString();
        Flags flags;
        std::thread stopper([&] {
            std::this_thread::sleep_for(300ms);
            flags.stop = true;
        });
        const auto start = std::chrono::steady_clock::now();
        try {
            Session::Open(options, flags.MakeControl());
            stopper.join();
            QFAIL("connected");
        } catch (const Error &e) {
            stopper.join();
            QCOMPARE(e.failure(), Failure::Stopped);
        }
        // Far below the minute a wait for the timeout or the pause would take.
        QVERIFY(std::chrono::steady_clock::now() - start < 20s);
        QVERIFY(flags.alive > 0);
    }

    void downloadIsExact_data()
    {
        QTest::addColumn<qsizetype>("size");
        const qsizetype block = Session::ReadSize;
        QTest::newRow("empty") << qsizetype(0);
        QTest::newRow("one byte") << qsizetype(1);
        QTest::newRow("one block") << block;
        QTest::newRow("block and a byte") << block + 1;
        QTest::newRow("more than in flight")
            << qsizetype(block * (Session::ReadsInFlight + 3) + 17);
    }

    void downloadIsExact()
    {
        QFETCH(qsizetype, size);
        SshServer server;
        QVERIFY2(server.Start(), qPrintable(server.Error()));
        QVERIFY(server.SetTrust(SshServer::Trust::Plain));
        const QByteArray content = RandomBytes(size);
        QVERIFY(WriteFile(QDir(server.ServeDir()).filePath(u"DATEI.BIN"_s), content));
        Flags flags;
        auto session = Session::Open(OptionsFor(server), flags.MakeControl());
        QByteArray received;
        uint64_t lastDone = 0;
        uint64_t lastExpected = 0;
        const uint64_t count = session->Download(
            "DATEI.BIN", [&](const char *data, std::size_t n) { received.append(data, n); },
            [&](uint64_t done, uint64_t expected) {
                QVERIFY(done > lastDone);
                lastDone = done;
                lastExpected = expected;
            });
        QCOMPARE(count, uint64_t(size));
        QCOMPARE(received.size(), size);
        QVERIFY(received == content);
        QCOMPARE(lastDone, uint64_t(size));
        if (size > 0)
            QCOMPARE(lastExpected, uint64_t(size));
        // The session goes on after a download.
        QCOMPARE(session->Stat("DATEI.BIN").size, uint64_t(size));
    }

    void downloadRefusals_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("mentioned");
        QTest::newRow("missing") << u"FEHLT.TXT"_s << u"Nicht gefunden"_s;
        QTest::newRow("directory") << u"ORDNER"_s << u"ist ein Verzeichnis"_s;
    }

    void downloadRefusals()
    {
        QFETCH(QString, path);
        QFETCH(QString, mentioned);
        SshServer server;
        QVERIFY2(server.Start(), qPrintable(server.Error()));
        QVERIFY(server.SetTrust(SshServer::Trust::Plain));
        QVERIFY(QDir(server.ServeDir()).mkdir(u"ORDNER"_s));
        Flags flags;
        auto session = Session::Open(OptionsFor(server), flags.MakeControl());
        bool wrote = false;
        try {
            session->Download(path.toStdString(), [&](const char *, std::size_t) { wrote = true; });
            QFAIL("downloaded");
        } catch (const Error &e) {
            QCOMPARE(e.failure(), Failure::Remote);
            QVERIFY2(QString::fromUtf8(e.what()).contains(mentioned), e.what());
        }
        QVERIFY(!wrote);
        QVERIFY(!session->Lost());
    }

    // Stopped, the server killed or frozen: the download ends. Only a dead or
    // silent server takes the connection; after a stop it goes on.
    void downloadInterrupted_data()
    {
        QTest::addColumn<int>("how");  // 0: stop, 1: server killed, 2: frozen, then stop, 3: frozen
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<bool>("lost");
        QTest::newRow("stopped") << 0 << Failure::Stopped << false;
        QTest::newRow("server killed") << 1 << Failure::ConnectionLost << true;
        QTest::newRow("server frozen, then stopped") << 2 << Failure::Stopped << false;
        QTest::newRow("server frozen, no answer in time") << 3 << Failure::ConnectionLost << true;
    }

    void downloadInterrupted()
    {
        QFETCH(int, how);
        QFETCH(Failure, failure);
        QFETCH(bool, lost);
        SshServer server;
        QVERIFY2(server.Start(), qPrintable(server.Error()));
        QVERIFY(server.SetTrust(SshServer::Trust::Plain));
        QVERIFY(MakeSparse(QDir(server.ServeDir()).filePath(u"GROSS.BIN"_s), 4LL << 30));
        Flags flags;
        ConnectOptions options = OptionsFor(server);
        options.requestTimeout = 1s;
        auto session = Session::Open(options, flags.MakeControl());
        uint64_t received = 0;
        bool acted = false;
        std::thread stopper;
        try {
            session->Download(
                "GROSS.BIN", [&](const char *, std::size_t n) { received += n; },
                [&](uint64_t done, uint64_t) {
                    if (acted || done < (1u << 20))
                        return;
                    acted = true;
                    if (how == 0)
                        flags.stop = true;
                    if (how == 1)
                        server.Kill();
                    if (how == 3)
                        server.PauseSessions(true);
                    if (how == 2) {
                        server.PauseSessions(true);
                        stopper = std::thread([&] {
                            std::this_thread::sleep_for(300ms);
                            flags.stop = true;
                        });
                    }
                });
            QFAIL("finished");
        } catch (const Error &e) {
            QCOMPARE(e.failure(), failure);
            if (failure == Failure::ConnectionLost)
                QVERIFY2(QString::fromUtf8(e.what()).startsWith(
                             how == 1
                                 ? u"Verbindung zu 127.0.0.1:%1 unterbrochen"_s.arg(server.Port())
                                 : u"Zeitüberschreitung: 127.0.0.1:%1 antwortet nicht (Datei "
                                   u"lesen, 1 s). Verbindung getrennt."_s.arg(server.Port())),
                         e.what());
        }
        if (stopper.joinable())
            stopper.join();
        server.PauseSessions(false);
        QVERIFY(acted);
        QVERIFY(received < (4ULL << 30));
        QCOMPARE(session->Lost(), lost);
        flags.stop = false;
        if (lost) {
            QVERIFY_THROWS_EXCEPTION(Error, session->Stat("GROSS.BIN"));
        } else {
            QCOMPARE(session->Stat("GROSS.BIN").size, uint64_t(4ULL << 30));
        }
    }

    // A call libssh only offers blocking, on a server that no longer answers:
    // the stop request takes the connection away from under it.
    void stopDuringBlockingCall()
    {
        SshServer server;
        QVERIFY2(server.Start(), qPrintable(server.Error()));
        QVERIFY(server.SetTrust(SshServer::Trust::Plain));
        Flags flags;
        auto session = Session::Open(OptionsFor(server), flags.MakeControl());
        server.PauseSessions(true);
        const int aliveBefore = flags.alive;
        std::thread stopper([&] {
            std::this_thread::sleep_for(400ms);
            flags.stop = true;
        });
        try {
            session->List(".", "/");
            stopper.join();
            QFAIL("listed");
        } catch (const Error &e) {
            stopper.join();
            QCOMPARE(e.failure(), Failure::Stopped);
        }
        server.PauseSessions(false);
        QVERIFY(session->Lost());            // cut, not ended by libssh's own timeout
        QVERIFY(flags.alive > aliveBefore);  // the caller heard from the call while it hung
        flags.stop = false;
        QVERIFY_THROWS_EXCEPTION(Error, session->List(".", "/"));
    }
};

QTEST_GUILESS_MAIN(SftpSessionTest)
#include "tst_sftpsession.moc"
