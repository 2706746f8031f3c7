#include "ServerTool.h"

#include "Spawn.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace velmora::test {

namespace {

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

sockaddr_in Loopback(int port = 0)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Binds fd to a free loopback port, listening if asked: the port, 0 on failure.
int BindLoopback(int fd, bool listen)
{
    sockaddr_in address = Loopback();
    socklen_t length = sizeof address;
    auto *any = reinterpret_cast<sockaddr *>(&address);
    if (fd < 0 || ::bind(fd, any, sizeof address) != 0 || (listen && ::listen(fd, 16) != 0) ||
        ::getsockname(fd, any, &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

bool CanConnect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address = Loopback(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// Every process below pid, found through /proc, parents before children.
std::vector<pid_t> Descendants(pid_t pid)
{
    std::vector<std::pair<pid_t, pid_t>> parents;  // (child, parent)
    const QStringList entries = QDir(u"/proc"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const pid_t child = entry.toInt(&numeric);
        if (!numeric)
            continue;
        const QByteArray stat = ReadFile(u"/proc/"_s + entry + u"/stat"_s);
        // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() > 1)
            parents.emplace_back(child, fields[1].toInt());
    }
    std::vector<pid_t> found{pid};
    for (std::size_t i = 0; i < found.size(); ++i)
        for (const auto &[child, parent] : parents)
            if (parent == found[i])
                found.push_back(child);
    found.erase(found.begin());
    return found;
}

pid_t SpawnProcess(const QString &program, const QStringList &args, const QString &out,
                   const QString &err)
{
    std::vector<std::string> argv{QFile::encodeName(program).toStdString()};
    for (const QString &arg : args)
        argv.push_back(QFile::encodeName(arg).toStdString());
    SpawnOptions options;
    options.out = QFile::encodeName(out.isEmpty() ? u"/dev/null"_s : out).toStdString();
    options.err = QFile::encodeName(err.isEmpty() ? u"/dev/null"_s : err).toStdString();
    return Spawn(argv, options);
}

}  // namespace

ServerTool::ServerTool(const QString &tool, const QString &kind, const QString &serveDir,
                       const QStringList &args)
    : m_tool(QFile::decodeName(VELMORA_TOOLS_DIR) + u'/' + tool), m_kind(kind), m_args(args)
{
    if (serveDir.isEmpty()) {
        m_ownServeDir = std::make_unique<QTemporaryDir>();
        m_serveDir = m_ownServeDir->path();
    } else {
        m_serveDir = QDir(serveDir).absolutePath();
    }
}

ServerTool::~ServerTool()
{
    Kill();
    if (m_linkPid > 0 && ::kill(m_linkPid, SIGKILL) == 0)
        WaitForExit(m_linkPid);
}

bool ServerTool::AddLink(int roundTripMs, double rate)
{
    int out = -1;
    SpawnOptions options;
    options.pipeTo = STDOUT_FILENO;
    options.pipeFrom = &out;
    m_linkPid = Spawn({VELMORA_LINK_PROXY, "--delay", std::to_string(roundTripMs / 2.0), "--rate",
                       std::to_string(rate), std::to_string(m_port)},
                      options);
    // It names its port once it listens.
    FILE *said = m_linkPid > 0 ? ::fdopen(out, "r") : nullptr;
    if (!said || std::fscanf(said, "%d", &m_linkPort) != 1)
        m_error = u"Linkproxy startet nicht."_s;
    if (said)
        std::fclose(said);
    return m_linkPort > 0;
}

QString ServerTool::Path(const QString &name) const
{
    return m_dir.filePath(name);
}

QString ServerTool::ClientHome() const
{
    return Path(u"home"_s);
}

QString ServerTool::Value(const QString &key) const
{
    const QByteArray prefix = key.toUtf8() + '=';
    for (const QByteArray &line : ReadFile(Path(u"server.txt"_s)).split('\n'))
        if (line.startsWith(prefix))
            return QString::fromUtf8(line.mid(prefix.size()));
    return {};
}

QString ServerTool::ServerLog()
{
    return QString::fromLocal8Bit(ReadFile(Path(u"server.log"_s)));
}

bool ServerTool::Run(const QString &program, const QStringList &args, const QString &output)
{
    const QString errors = Path(u"run-errors.txt"_s);
    QFile::remove(errors);
    const pid_t pid = SpawnProcess(program, args, output, errors);
    const int status = pid > 0 ? WaitForExit(pid) : -1;
    if (status != 0)
        m_error = program + u": "_s + QString::fromLocal8Bit(ReadFile(errors));
    return status == 0;
}

int ServerTool::FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int port = BindLoopback(fd, false);
    if (fd >= 0)
        ::close(fd);
    return port;
}

// True when the server has ended (and is reaped); wait: until it has.
bool ServerTool::Reap(bool wait)
{
    if (m_pid <= 0)
        return true;
    const pid_t result = ::waitpid(m_pid, nullptr, wait ? 0 : WNOHANG);
    if (result == m_pid || (result < 0 && errno == ECHILD)) {
        m_pid = -1;
        return true;
    }
    return false;
}

bool ServerTool::WaitUntilListening()
{
    const QDeadlineTimer deadline(20'000);
    while (!deadline.hasExpired()) {
        if (Reap(false))
            return false;
        if (CanConnect(m_port))
            return true;
        QThread::msleep(20);
    }
    return false;
}

bool ServerTool::Start()
{
    if (Running())
        return true;
    if (!m_dir.isValid() || (m_ownServeDir && !m_ownServeDir->isValid())) {
        m_error = u"Kein temporärer Ordner."_s;
        return false;
    }
    const bool keepPort = m_port != 0;  // a restart keeps the address the client knows
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!keepPort)
            m_port = FreePort();
        if (m_port == 0)
            break;
        m_pid = SpawnProcess(
            m_tool,
            QStringList{u"exec"_s, m_kind, m_dir.path(), m_serveDir, QString::number(m_port)} +
                m_args,
            Path(u"server.log"_s), Path(u"server.log"_s));
        if (m_pid > 0 && WaitUntilListening())
            return true;
        // Someone else took the port in between, most likely: try another.
        Kill();
        if (keepPort)
            QThread::msleep(100);
    }
    m_error = m_kind + u" startet nicht: "_s + ServerLog();
    return false;
}

void ServerTool::KillSessions()
{
    if (!Running())
        return;
    const std::vector<pid_t> sessions = Descendants(m_pid);
    for (auto it = sessions.rbegin(); it != sessions.rend(); ++it)
        ::kill(*it, SIGKILL);
}

void ServerTool::PauseSessions(bool pause)
{
    if (!Running())
        return;
    for (const pid_t pid : Descendants(m_pid))
        ::kill(pid, pause ? SIGSTOP : SIGCONT);
}

int ServerTool::Sessions()
{
    if (!Running())
        return 0;
    if (m_kind.startsWith(u"asyncssh"_s) || m_kind.startsWith(u"pyftpdlib"_s)) {
        // One process for all connections; it logs each one.
        const QList<QByteArray> lines = ReadFile(Path(u"server.log"_s)).split('\n');
        return int(lines.count("open") - lines.count("closed"));
    }
    return static_cast<int>(Descendants(m_pid).size());
}

int ServerTool::RunProgram(const QString &program, const QStringList &args, const QString &output)
{
    const pid_t pid = SpawnProcess(program, args, output, output);
    return pid > 0 ? WaitForExit(pid) : -1;
}

void ServerTool::Kill()
{
    if (!Running())
        return;
    // The listener first, so no new session starts while the old ones go.
    const std::vector<pid_t> sessions = Descendants(m_pid);
    ::kill(-m_pid, SIGKILL);  // with a child just forked, still holding the listening socket
    ::kill(m_pid, SIGKILL);
    for (auto it = sessions.rbegin(); it != sessions.rend(); ++it)
        ::kill(*it, SIGKILL);  // works on stopped ones too
    Reap(true);
}

bool ServerTool::Running()
{
    return !Reap(false);
}

SilentListener::SilentListener()
    : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), m_port(BindLoopback(m_fd, true))
{}

SilentListener::~SilentListener()
{
    ::close(m_fd);
}

}  // namespace velmora::test
