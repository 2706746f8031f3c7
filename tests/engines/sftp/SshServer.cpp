#include "SshServer.h"

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

namespace sftptest {

namespace {

const QString KeygenProgram = u"ssh-keygen"_s;

bool WriteFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool CanConnect(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
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
    velmora::test::SpawnOptions options;
    options.out = QFile::encodeName(out.isEmpty() ? u"/dev/null"_s : out).toStdString();
    options.err = QFile::encodeName(err.isEmpty() ? u"/dev/null"_s : err).toStdString();
    return velmora::test::Spawn(argv, options);
}

}  // namespace

SshServer::SshServer(const QString &serveDir, const QString &kind, const QStringList &args)
    : m_kind(kind), m_args(args)
{
    if (serveDir.isEmpty()) {
        m_ownServeDir = std::make_unique<QTemporaryDir>();
        m_serveDir = m_ownServeDir->path();
    } else {
        m_serveDir = QDir(serveDir).absolutePath();
    }
}

SshServer::~SshServer()
{
    Kill();
    if (m_linkPid > 0 && ::kill(m_linkPid, SIGKILL) == 0)
        velmora::test::WaitForExit(m_linkPid);
}

bool SshServer::AddLink(int roundTripMs, double rate)
{
    int out = -1;
    velmora::test::SpawnOptions options;
    options.pipeTo = STDOUT_FILENO;
    options.pipeFrom = &out;
    m_linkPid =
        velmora::test::Spawn({VELMORA_LINK_PROXY, "--delay", std::to_string(roundTripMs / 2.0),
                              "--rate", std::to_string(rate), std::to_string(m_port)},
                             options);
    // It names its port once it listens.
    FILE *said = m_linkPid > 0 ? ::fdopen(out, "r") : nullptr;
    if (!said || std::fscanf(said, "%d", &m_linkPort) != 1)
        m_error = u"Linkproxy startet nicht."_s;
    if (said)
        std::fclose(said);
    return m_linkPort > 0;
}

QString SshServer::Path(const QString &name) const
{
    return m_dir.filePath(name);
}

QString SshServer::ClientHome() const
{
    return Path(u"home"_s);
}

QString SshServer::KnownHostsFile() const
{
    return Path(u"home/.ssh/known_hosts"_s);
}

QString SshServer::IdentityFile() const
{
    return Path(u"home/.ssh/id_ed25519"_s);
}

QString SshServer::ServerLog()
{
    return QString::fromLocal8Bit(ReadFile(Path(u"server.log"_s)));
}

bool SshServer::Run(const QString &program, const QStringList &args, const QString &output)
{
    const QString errors = Path(u"run-errors.txt"_s);
    QFile::remove(errors);
    const pid_t pid = SpawnProcess(program, args, output, errors);
    const int status = pid > 0 ? velmora::test::WaitForExit(pid) : -1;
    if (status != 0)
        m_error = program + u": "_s + QString::fromLocal8Bit(ReadFile(errors));
    return status == 0;
}

QString SshServer::HostKeyFingerprint()
{
    const QString out = Path(u"fingerprint.txt"_s);
    QFile::remove(out);
    if (!Run(KeygenProgram, {u"-l"_s, u"-E"_s, u"sha256"_s, u"-f"_s, Path(u"host_key.pub"_s)}, out))
        return {};
    // "256 SHA256:... comment (ED25519)"
    const QList<QByteArray> fields = ReadFile(out).split(' ');
    return fields.size() > 1 ? QString::fromLatin1(fields[1]) : QString();
}

bool SshServer::Keygen(const QString &file)
{
    QFile::remove(file);
    QFile::remove(file + u".pub"_s);
    return Run(KeygenProgram, {u"-q"_s, u"-t"_s, u"ed25519"_s, u"-N"_s, QString(), u"-C"_s,
                               u"velmora-test"_s, u"-f"_s, file});
}

int SshServer::FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// True when the server has ended (and is reaped); wait: until it has.
bool SshServer::Reap(bool wait)
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

bool SshServer::WaitUntilListening()
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

bool SshServer::Start()
{
    if (Running())
        return true;
    if (!m_dir.isValid() || (m_ownServeDir && !m_ownServeDir->isValid())) {
        m_error = u"Kein temporärer Ordner."_s;
        return false;
    }
    const bool keepPort = m_port != 0;  // a restart keeps the address known_hosts names
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!keepPort)
            m_port = FreePort();
        if (m_port == 0)
            break;
        m_pid = SpawnProcess(
            QFile::decodeName(VELMORA_SFTP_SERVER_TOOL),
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

void SshServer::KillSessions()
{
    if (!Running())
        return;
    const std::vector<pid_t> sessions = Descendants(m_pid);
    for (auto it = sessions.rbegin(); it != sessions.rend(); ++it)
        ::kill(*it, SIGKILL);
}

void SshServer::PauseSessions(bool pause)
{
    if (!Running())
        return;
    for (const pid_t pid : Descendants(m_pid))
        ::kill(pid, pause ? SIGSTOP : SIGCONT);
}

int SshServer::Sessions()
{
    if (!Running())
        return 0;
    if (m_kind == u"asyncssh"_s) {  // one process; it logs each connection
        const QList<QByteArray> lines = ReadFile(Path(u"server.log"_s)).split('\n');
        return int(lines.count("open") - lines.count("closed"));
    }
    return static_cast<int>(Descendants(m_pid).size());
}

int SshServer::RunProgram(const QString &program, const QStringList &args, const QString &output)
{
    const pid_t pid = SpawnProcess(program, args, output, output);
    return pid > 0 ? velmora::test::WaitForExit(pid) : -1;
}

void SshServer::Kill()
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

bool SshServer::Running()
{
    return !Reap(false);
}

bool SshServer::SetTrust(Trust trust)
{
    QFile::remove(KnownHostsFile());
    QFile::remove(KnownHostsFile() + u".old"_s);
    if (trust == Trust::None)
        return true;
    QByteArray key = ReadFile(Path(u"host_key.pub"_s));
    if (trust == Trust::OtherKey) {
        if (!Keygen(Path(u"other_host_key"_s)))
            return false;
        key = ReadFile(Path(u"other_host_key.pub"_s));
    }
    const QByteArray host = "[127.0.0.1]:" + QByteArray::number(Port());
    // An unrelated entry before ours, as in a real file.
    QByteArray text = "# written by the test\n"
                      "[127.0.0.2]:22 " +
                      ReadFile(IdentityFile() + u".pub"_s).trimmed() + "\n" + host + ' ' +
                      key.trimmed() + '\n';
    if (trust == Trust::Revoked)  // for another host: the key alone counts
        text += "@revoked other.example " + key.trimmed() + '\n';
    if (!WriteFile(KnownHostsFile(), text)) {
        m_error = u"known_hosts nicht schreibbar."_s;
        return false;
    }
    if (trust == Trust::Hashed) {
        if (!Run(KeygenProgram, {u"-H"_s, u"-f"_s, KnownHostsFile()}))
            return false;
        QFile::remove(KnownHostsFile() + u".old"_s);  // ssh-keygen's backup, not the client's
        if (ReadFile(KnownHostsFile()).contains(host)) {
            m_error = u"ssh-keygen -H hat nichts gehasht."_s;
            return false;
        }
    }
    return true;
}

bool SshServer::UseUnknownClientKey()
{
    return Keygen(IdentityFile());
}

}  // namespace sftptest
