#include "SshServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace sftptest {

namespace {

const QString SshdProgram = u"/usr/sbin/sshd"_s;
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

// posix_spawn with stdin from /dev/null and stdout, stderr into files.
pid_t SpawnProcess(const QString &program, const QStringList &args, const QString &out,
                   const QString &err)
{
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const QByteArray outPath = QFile::encodeName(out.isEmpty() ? u"/dev/null"_s : out);
    const QByteArray errPath = QFile::encodeName(err.isEmpty() ? u"/dev/null"_s : err);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.constData(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0600);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.constData(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0600);
    QByteArrayList storage{QFile::encodeName(program)};
    for (const QString &arg : args)
        storage << QFile::encodeName(arg);
    std::vector<char *> argv;
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    ::posix_spawn_file_actions_destroy(&actions);
    return pid;
}

}  // namespace

SshServer::SshServer(const QString &serveDir)
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
    return QString::fromLocal8Bit(ReadFile(Path(u"sshd.log"_s)));
}

int SshServer::Run(const QString &program, const QStringList &args, const QString &output)
{
    const QString errors = Path(u"run-errors.txt"_s);
    QFile::remove(errors);
    const pid_t pid = SpawnProcess(program, args, output, errors);
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) {
        m_error = program + u" startet nicht."_s;
        return -1;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        m_error = program + u": "_s + QString::fromLocal8Bit(ReadFile(errors));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return 0;
}

QString SshServer::HostKeyFingerprint()
{
    const QString out = Path(u"fingerprint.txt"_s);
    QFile::remove(out);
    if (Run(KeygenProgram, {u"-l"_s, u"-E"_s, u"sha256"_s, u"-f"_s, Path(u"host_ed25519.pub"_s)},
            out) != 0)
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
                               u"velmora-test"_s, u"-f"_s, file}) == 0;
}

bool SshServer::Prepare()
{
    if (m_prepared)
        return true;
    if (!m_dir.isValid() || (m_ownServeDir && !m_ownServeDir->isValid())) {
        m_error = u"Kein temporärer Ordner."_s;
        return false;
    }
    if (::geteuid() == 0 && ::mkdir("/run/sshd", 0755) != 0 && errno != EEXIST) {
        // sshd's privilege separation needs it when run as root.
        m_error = u"/run/sshd kann nicht angelegt werden."_s;
        return false;
    }
    if (!QDir().mkpath(Path(u"home/.ssh"_s))) {
        m_error = u"Ordner nicht anlegbar."_s;
        return false;
    }
    if (!Keygen(Path(u"host_ed25519"_s)) || !Keygen(IdentityFile()))
        return false;
    if (!WriteFile(Path(u"authorized_keys"_s), ReadFile(IdentityFile() + u".pub"_s))) {
        m_error = u"authorized_keys nicht schreibbar."_s;
        return false;
    }
    m_prepared = true;
    return true;
}

bool SshServer::WriteConfig()
{
    const QString config =
        QStringList{
            u"ListenAddress 127.0.0.1:%1"_s.arg(m_port),
            u"HostKey "_s + Path(u"host_ed25519"_s),
            u"PidFile none"_s,
            u"AuthorizedKeysFile "_s + Path(u"authorized_keys"_s),
            u"StrictModes no"_s,
            u"UsePAM no"_s,
            u"PasswordAuthentication yes"_s,
            u"KbdInteractiveAuthentication no"_s,
            u"PermitRootLogin prohibit-password"_s,
            u"AllowTcpForwarding no"_s,
            u"X11Forwarding no"_s,
            u"PermitTTY no"_s,
            u"UseDNS no"_s,
            u"MaxStartups 64"_s,
            u"Subsystem sftp internal-sftp -d "_s + m_serveDir,
            u"ForceCommand internal-sftp -d "_s + m_serveDir,
            u"LogLevel ERROR"_s,
        }
            .join(u'\n') +
        u'\n';
    if (!WriteFile(Path(u"sshd_config"_s), config.toLocal8Bit())) {
        m_error = u"sshd_config nicht schreibbar."_s;
        return false;
    }
    return true;
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

bool SshServer::Spawn(const QStringList &args)
{
    m_sshd = SpawnProcess(SshdProgram, args, {}, Path(u"sshd.log"_s));
    return m_sshd > 0;
}

// True when sshd has ended (and is reaped); wait: until it has.
bool SshServer::Reap(bool wait)
{
    if (m_sshd <= 0)
        return true;
    const pid_t result = ::waitpid(m_sshd, nullptr, wait ? 0 : WNOHANG);
    if (result == m_sshd || (result < 0 && errno == ECHILD)) {
        m_sshd = -1;
        return true;
    }
    return false;
}

bool SshServer::WaitUntilListening()
{
    const QDeadlineTimer deadline(10000);
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
    if (!Prepare())
        return false;
    const bool keepPort = m_port != 0;  // a restart keeps the address known_hosts names
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!keepPort)
            m_port = FreePort();
        if (m_port == 0 || !WriteConfig())
            break;
        if (Spawn({u"-D"_s, u"-e"_s, u"-f"_s, Path(u"sshd_config"_s)}) && WaitUntilListening())
            return true;
        // Someone else took the port in between, most likely: try another.
        Kill();
        if (keepPort)
            QThread::msleep(100);
    }
    m_error = u"sshd startet nicht: "_s + ServerLog();
    return false;
}

void SshServer::KillSessions()
{
    if (!Running())
        return;
    const std::vector<pid_t> sessions = Descendants(m_sshd);
    for (auto it = sessions.rbegin(); it != sessions.rend(); ++it)
        ::kill(*it, SIGKILL);
}

void SshServer::PauseSessions(bool pause)
{
    if (!Running())
        return;
    for (const pid_t pid : Descendants(m_sshd))
        ::kill(pid, pause ? SIGSTOP : SIGCONT);
}

int SshServer::SessionProcesses()
{
    return Running() ? static_cast<int>(Descendants(m_sshd).size()) : 0;
}

int SshServer::RunProgram(const QString &program, const QStringList &args, const QString &output)
{
    const pid_t pid = SpawnProcess(program, args, output, output);
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

void SshServer::Kill()
{
    if (!Running())
        return;
    // The listener first, so no new session starts while the old ones go.
    const std::vector<pid_t> sessions = Descendants(m_sshd);
    ::kill(m_sshd, SIGKILL);
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
    if (!Prepare())
        return false;
    QFile::remove(KnownHostsFile());
    QFile::remove(KnownHostsFile() + u".old"_s);
    if (trust == Trust::None)
        return true;
    QByteArray key = ReadFile(Path(u"host_ed25519.pub"_s));
    if (trust == Trust::OtherKey) {
        if (!Keygen(Path(u"other_host_ed25519"_s)))
            return false;
        key = ReadFile(Path(u"other_host_ed25519.pub"_s));
    }
    const QByteArray host = "[127.0.0.1]:" + QByteArray::number(m_port);
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
        if (Run(KeygenProgram, {u"-H"_s, u"-f"_s, KnownHostsFile()}) != 0)
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
    return Prepare() && Keygen(IdentityFile());
}

}  // namespace sftptest
