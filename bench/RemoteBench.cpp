// A download of 256 MiB on loopback, over SFTP from OpenSSH's sshd and from
// ProFTPD's mod_sftp, and from sshd through the link proxy
// (tools/linkproxy.cpp): 50 ms round trip, and 100 ms on a link of 50 MiB/s
// each way; over FTP and FTP with AUTH TLS from ProFTPD. The real engine
// driven by the window's wait, against the command-line client people use
// for the protocol (OpenSSH's sftp, curl) fetching the same file from the same
// server in the same run, in turns. Both connect, log in, fetch and
// disconnect; on the 50 MiB/s link the engine's figure is its download alone
// (DownloadFile and its wait, no dial or hang-up), against the link's rate.
// Meanwhile, the CPU the program's thread spends waiting for the engine's
// download.

#include "BenchEngines.h"
#include "BenchSupport.h"
#include "FtpSession.h"
#include "RemoteEngine.h"
#include "Session.h"
#include "SshServer.h"
#include "Summary.h"
#include "WaitMessage.h"
#include "frmMain.h"

#include "DateText.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>

using namespace Qt::StringLiterals;

namespace velmora::bench {

namespace {

constexpr qint64 FileSize = 256LL << 20;
const std::u16string Number = u"0421 7396 2058";

double Seconds(std::chrono::nanoseconds d)
{
    return std::chrono::duration<double>(d).count();
}

// The file, written once for every server.
class Content
{
public:
    Content()
    {
        if (!WriteContent(m_dir.filePath(u"BIG.BIN"_s)))
            m_error = "cannot write the 256 MiB file";
    }
    [[nodiscard]] const std::string &Error() const { return m_error; }
    [[nodiscard]] QString Dir() const { return m_dir.path(); }

private:
    // Not compressible and not all alike, as a real file.
    static bool WriteContent(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        std::vector<uint64_t> block(1 << 17);  // 1 MiB
        uint64_t state = 0x9E3779B97F4A7C15ULL;
        for (qint64 written = 0; written < FileSize;) {
            for (uint64_t &word : block) {  // splitmix64
                uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
                z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
                z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
                word = z ^ (z >> 31);
            }
            const qint64 n = file.write(reinterpret_cast<const char *>(block.data()),
                                        qint64(block.size() * sizeof(uint64_t)));
            if (n <= 0)
                return false;
            written += n;
        }
        return file.flush();
    }

    QTemporaryDir m_dir;
    std::string m_error;
};

// Between the engine and the server: none at a round trip of 0.
struct Link
{
    int roundTripMs = 0;
    double rate = 0.0;  // MiB/s each way; 0: no cap
};

// A server of the kind tools/sftp-server.sh or ftp-server.sh names (by the
// scheme), serving the file, started once for all repetitions.
class Server
{
public:
    Server(const Content &content, const QString &scheme, const QString &kind, Link link)
        : m_scheme(scheme)
    {
        if (scheme == u"sftp"_s)
            m_server = std::make_unique<sftptest::SshServer>(content.Dir(), kind);
        else
            m_server = std::make_unique<test::ServerTool>(u"ftp-server.sh"_s, kind, content.Dir());
        m_error = content.Error();
        if (!m_error.empty())
            return;
        if (!m_server->Start() ||
            (link.roundTripMs && !m_server->AddLink(link.roundTripMs, link.rate)) ||
            (Ssh() && !Ssh()->SetTrust(sftptest::SshServer::Trust::Plain))) {
            m_error = kind.toStdString() + ": " + m_server->Error().toStdString();
            return;
        }
        const QString pin = m_server->Value(u"pin"_s);
        QFile book(m_work.filePath(u"phonebook"_s));
        if (!book.open(QIODevice::WriteOnly) ||
            book.write(u"%1 = %2://127.0.0.1:%3 ; Bench%4\n"_s.arg(QStringView(Number), scheme)
                           .arg(m_server->Port())
                           .arg(scheme == u"ftpes"_s ? u" ; pin="_s + pin : QString())
                           .toUtf8()) < 0)
            m_error = "cannot write the phone book";
    }

    [[nodiscard]] const std::string &Error() const { return m_error; }
    [[nodiscard]] QString PhoneBook() const { return m_work.filePath(u"phonebook"_s); }
    [[nodiscard]] QString ClientCopy() const { return m_work.filePath(u"BIG.BIN"_s); }
    [[nodiscard]] const QString &Scheme() const { return m_scheme; }
    test::ServerTool &Tool() { return *m_server; }
    sftptest::SshServer *Ssh() { return dynamic_cast<sftptest::SshServer *>(m_server.get()); }

private:
    QTemporaryDir m_work;
    QString m_scheme;
    std::unique_ptr<test::ServerTool> m_server;
    std::string m_error;
};

struct EngineRun
{
    std::string error;
    double wall = 0.0;      // dial, download and hang-up
    double waitWall = 0.0;  // the download's wait alone
    double waitCpu = 0.0;   // this thread's CPU in that wait
};

frmMain &Window()
{
    // Never destroyed: widgets must not outlive the application object.
    static frmMain *form = [] {
        auto *f = new frmMain;
        ShowExposed(*f);
        return f;
    }();
    return *form;
}

// One operation, waited for as the demo run waits; the error text if it failed.
std::optional<std::string> Step(frmMain &form, const std::function<void()> &start)
{
    start();
    form.WaitUntilReady();
    if (form.Engine->ErrorOccurred()) {
        const std::u16string text = form.Engine->ErrorText();
        return QStringView(text).toString().toStdString();
    }
    return std::nullopt;
}

EngineRun RunEngine()
{
    EngineRun run;
    frmMain &form = Window();
    form.Engine = engine::CreateRemoteEngine({}, {sftp::Protocol(), ftp::Protocol()});
    form.Engine->SetWakeCallback(EngineWakeCallback());
    form.StartTime = CurrentTimeOfDay();
    form.AbortRequested = false;
    TransferEngine &engine = *form.Engine;
    engine.Initialize();
    const auto start = Clock::now();
    auto error = Step(form, [&] { engine.ChangeLocalDirectory(u"C:\\"); });
    if (!error)
        error = Step(form, [&] { engine.Dial(Number, u"", u"", 0); });
    if (!error) {
        const auto cpu = ThreadCpuTime();
        const auto waitStart = Clock::now();
        error = Step(form, [&] { engine.DownloadFile(u"BIG.BIN", 0); });
        run.waitWall = Seconds(Clock::now() - waitStart);
        run.waitCpu = Seconds(ThreadCpuTime() - cpu);
    }
    if (!error)
        error = Step(form, [&] { engine.HangUp(); });
    run.wall = Seconds(Clock::now() - start);
    engine.Shutdown();
    form.Engine.reset();
    if (error)
        run.error = "engine: " + *error;
    return run;
}

// OpenSSH's client with the sandbox's key and known_hosts, nothing of the
// user's; or curl with the sandbox's .netrc and the server's pinned key.
std::optional<double> RunClient(Server &server, std::string &error)
{
    test::ServerTool &tool = server.Tool();
    const QString port = QString::number(tool.Port());
    QString program = u"curl"_s;
    QStringList args;
    if (sftptest::SshServer *ssh = server.Ssh()) {
        program = u"sftp"_s;
        args = QStringList{u"-q"_s,
                           u"-F"_s,
                           u"/dev/null"_s,
                           u"-P"_s,
                           port,
                           u"-o"_s,
                           u"BatchMode=yes"_s,
                           u"-o"_s,
                           u"UserKnownHostsFile="_s + ssh->KnownHostsFile(),
                           u"-o"_s,
                           u"IdentitiesOnly=yes"_s,
                           u"-i"_s,
                           ssh->IdentityFile(),
                           u"127.0.0.1:BIG.BIN"_s,
                           server.ClientCopy()};
    } else {
        args = QStringList{u"-sS"_s, u"--netrc-file"_s, tool.ClientHome() + u"/.netrc"_s, u"-o"_s,
                           server.ClientCopy()};
        if (server.Scheme() == u"ftpes"_s)
            args << u"--ssl-reqd"_s << u"--cacert"_s << tool.Value(u"cert"_s) << u"--pinnedpubkey"_s
                 << tool.Value(u"pin"_s);
        args << u"ftp://127.0.0.1:%1/BIG.BIN"_s.arg(port);
    }
    const QString log = server.ClientCopy() + u".log"_s;
    const auto start = Clock::now();
    const int status = test::ServerTool::RunProgram(program, args, log);
    const double wall = Seconds(Clock::now() - start);
    if (status != 0 || QFileInfo(server.ClientCopy()).size() != FileSize) {
        QFile file(log);
        error = program.toStdString() + " client failed (status " + std::to_string(status) + ")";
        if (file.open(QIODevice::ReadOnly))
            error += ": " + file.readAll().trimmed().toStdString();
        return std::nullopt;
    }
    return wall;
}

// A benchmark: its name, the protocol, the kind of server and the link to it.
struct Case
{
    const char *name;
    const char *scheme;
    const char *kind;
    Link link;
};

Server &ServerFor(const Case &c)
{
    static Content content;
    static std::map<std::string, std::unique_ptr<Server>> servers;
    auto &server = servers[c.name];
    if (!server)
        server = std::make_unique<Server>(content, QString::fromLatin1(c.scheme),
                                          QString::fromLatin1(c.kind), c.link);
    return *server;
}

void RemoteDownload(benchmark::State &state, const Case &c)
{
    Server &server = ServerFor(c);
    if (!server.Error().empty()) {
        state.SkipWithError(server.Error().c_str());
        return;
    }
    // The engine's ~/.ssh and ~/.netrc: the sandbox's, for this benchmark only.
    const QByteArray home = qgetenv("HOME");
    const QByteArray agent = qgetenv("SSH_AUTH_SOCK");
    qputenv("HOME", QFile::encodeName(server.Tool().ClientHome()));
    qputenv("VELMORA_PHONEBOOK", QFile::encodeName(server.PhoneBook()));
    qunsetenv("SSH_AUTH_SOCK");
    const QString engineCopy =
        QDir(qEnvironmentVariable("VELMORA_SIM_LOCAL_ROOT")).filePath(u"BIG.BIN"_s);

    std::string error;
    static int pairs = 0;  // who goes first alternates from pair to pair
    for (auto _ : state) {
        const bool engineFirst = pairs++ % 2 == 0;
        EngineRun engine;
        std::optional<double> client;
        for (int turn = 0; turn < 2 && error.empty(); ++turn) {
            // ProFTPD's master does not accept for 400 ms after a session
            // ends: no client's time to count.
            QThread::msleep(500);
            if ((turn == 0) == engineFirst) {
                engine = RunEngine();
                error = engine.error;
                if (error.empty() && QFileInfo(engineCopy).size() != FileSize)
                    error = "engine: the downloaded file has the wrong size";
                QFile::remove(engineCopy);
            } else {
                client = RunClient(server, error);
                // Gone before the other turn: its pages, never flushed, must
                // not be written back during it.
                QFile::remove(server.ClientCopy());
            }
        }
        if (!error.empty())
            break;
        const double mib = double(FileSize) / double(1 << 20);
        state.SetIterationTime(engine.wall);
        state.counters["engine_mibs"] = mib / engine.wall;
        state.counters["client_mibs"] = mib / *client;
        state.counters["ratio"] = *client / engine.wall;
        state.counters["wait_cpu_s"] = engine.waitCpu;
        state.counters["wait_wall_s"] = engine.waitWall;
        state.counters["engine_wait_mibs"] = mib / engine.waitWall;
        if (c.link.rate > 0)
            state.counters["link_mibs"] = c.link.rate;
    }
    if (home.isNull())
        qunsetenv("HOME");
    else
        qputenv("HOME", home);
    if (!agent.isNull())
        qputenv("SSH_AUTH_SOCK", agent);
    qunsetenv("VELMORA_PHONEBOOK");
    if (!error.empty())
        state.SkipWithError(error.c_str());
}
// Figure 7 from OpenSSH's sshd, 9 from ProFTPD, 10 and 11 from sshd further
// away, 12 and 13 from ProFTPD over FTP.
const bool Registered = [] {
    for (const Case &c : {Case{"SftpDownload", "sftp", "sshd-internal", {}},
                          Case{"SftpDownload/proftpd", "sftp", "proftpd", {}},
                          Case{"SftpDownload/50ms", "sftp", "sshd-internal", {50, 0.0}},
                          Case{"SftpDownload/100ms-50MiBs", "sftp", "sshd-internal", {100, 50.0}},
                          Case{"FtpDownload/proftpd", "ftp", "proftpd-ftp", {}},
                          Case{"FtpDownload/proftpd-tls", "ftpes", "proftpd-ftpes", {}}})
        benchmark::RegisterBenchmark(c.name, RemoteDownload, c)
            ->Iterations(1)
            // A server's greeting alone varies by a third of a second on loopback.
            ->Repetitions(c.scheme[0] == 'f' ? 5 : 3)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    return true;
}();

}  // namespace

}  // namespace velmora::bench
