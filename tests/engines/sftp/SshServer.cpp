#include "SshServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

using namespace Qt::StringLiterals;

namespace sftptest {

namespace {

const QString kSshd = u"/usr/sbin/sshd"_s;
const QString kKeygen = u"ssh-keygen"_s;

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

// Every process below pid, found through /proc, deepest last.
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

}  // namespace

SshServer::SshServer(const QString &serveDir)
{
    if (serveDir.isEmpty()) {
        m_ownServeDir = std::make_unique<QTemporaryDir>();
        m_serveDir = m_ownServeDir->path();
    } else {
        m_serveDir = QDir(serveDir).absolutePath();
    }
    m_sshd.setProcessChannelMode(QProcess::SeparateChannels);
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
    m_log += QString::fromLocal8Bit(m_sshd.readAllStandardError());
    return m_log;
}

QString SshServer::HostKeyFingerprint()
{
    QProcess keygen;
    keygen.start(kKeygen, {u"-l"_s, u"-E"_s, u"sha256"_s, u"-f"_s, Path(u"host_ed25519.pub"_s)});
    if (!keygen.waitForFinished(30000) || keygen.exitCode() != 0)
        return {};
    // "256 SHA256:... comment (ED25519)"
    const QList<QByteArray> fields = keygen.readAllStandardOutput().split(' ');
    return fields.size() > 1 ? QString::fromLatin1(fields[1]) : QString();
}

bool SshServer::Keygen(const QString &file)
{
    QFile::remove(file);
    QFile::remove(file + u".pub"_s);
    QProcess keygen;
    keygen.start(kKeygen, {u"-q"_s, u"-t"_s, u"ed25519"_s, u"-N"_s, QString(), u"-C"_s,
                           u"velmora-test"_s, u"-f"_s, file});
    if (!keygen.waitForFinished(30000) || keygen.exitCode() != 0) {
        m_error = u"ssh-keygen: "_s + QString::fromLocal8Bit(keygen.readAllStandardError()) +
                  keygen.errorString();
        return false;
    }
    return true;
}

bool SshServer::Prepare()
{
    if (m_prepared)
        return true;
    if (!m_dir.isValid() || (m_ownServeDir && !m_ownServeDir->isValid())) {
        m_error = u"Kein temporärer Ordner."_s;
        return false;
    }
    if (::geteuid() == 0 && !QDir(u"/run/sshd"_s).exists()) {
        // sshd's privilege separation needs it when run as root.
        if (::mkdir("/run/sshd", 0755) != 0 && errno != EEXIST) {
            m_error = u"/run/sshd kann nicht angelegt werden."_s;
            return false;
        }
    }
    if (!QDir().mkpath(Path(u"home/.ssh"_s)) || !Keygen(Path(u"host_ed25519"_s)) ||
        !Keygen(IdentityFile()))
        return m_error.isEmpty() ? (m_error = u"Ordner nicht anlegbar."_s, false) : false;
    if (!WriteFile(Path(u"authorized_keys"_s), ReadFile(IdentityFile() + u".pub"_s))) {
        m_error = u"authorized_keys nicht schreibbar."_s;
        return false;
    }
    m_prepared = true;
    return true;
}

bool SshServer::WriteConfig()
{
    const QString config = QStringList{
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
    }.join(u'\n') + u'\n';
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

bool SshServer::WaitUntilListening()
{
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (m_sshd.state() == QProcess::NotRunning)
            return false;
        if (CanConnect(m_port))
            return true;
        m_sshd.waitForFinished(20);
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
        m_sshd.start(kSshd, {u"-D"_s, u"-e"_s, u"-f"_s, Path(u"sshd_config"_s)});
        if (m_sshd.waitForStarted(10000) && WaitUntilListening())
            return true;
        // Someone else took the port in between, most likely: try another.
        m_sshd.kill();
        m_sshd.waitForFinished(5000);
        m_log += QString::fromLocal8Bit(m_sshd.readAllStandardError());
        if (keepPort)
            QThread::msleep(100);
    }
    m_error = u"sshd startet nicht: "_s + m_log;
    return false;
}

void SshServer::KillSessions()
{
    if (m_sshd.state() == QProcess::NotRunning)
        return;
    const std::vector<pid_t> sessions = Descendants(static_cast<pid_t>(m_sshd.processId()));
    for (auto it = sessions.rbegin(); it != sessions.rend(); ++it)
        ::kill(*it, SIGKILL);
}

void SshServer::PauseSessions(bool pause)
{
    if (m_sshd.state() == QProcess::NotRunning)
        return;
    for (const pid_t pid : Descendants(static_cast<pid_t>(m_sshd.processId())))
        ::kill(pid, pause ? SIGSTOP : SIGCONT);
}

void SshServer::Kill()
{
    if (m_sshd.state() == QProcess::NotRunning)
        return;
    // The listener first, so no new session starts while the old ones go.
    const std::vector<pid_t> sessions = Descendants(static_cast<pid_t>(m_sshd.processId()));
    m_sshd.kill();
    for (auto it = sessions.rbegin(); it != sessions.rend(); ++it)
        ::kill(*it, SIGKILL);  // works on stopped ones too
    m_sshd.waitForFinished(5000);
    m_log += QString::fromLocal8Bit(m_sshd.readAllStandardError());
}

bool SshServer::Running() const
{
    return m_sshd.state() != QProcess::NotRunning;
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
    const QByteArray text = "# written by the test\n"
                            "[127.0.0.2]:22 " + ReadFile(IdentityFile() + u".pub"_s).trimmed() +
                            "\n" + host + ' ' + key.trimmed() + '\n';
    if (!WriteFile(KnownHostsFile(), text)) {
        m_error = u"known_hosts nicht schreibbar."_s;
        return false;
    }
    if (trust == Trust::Hashed) {
        QProcess keygen;
        keygen.start(kKeygen, {u"-H"_s, u"-f"_s, KnownHostsFile()});
        if (!keygen.waitForFinished(30000) || keygen.exitCode() != 0 ||
            ReadFile(KnownHostsFile()).contains(host)) {
            m_error = u"ssh-keygen -H: "_s + QString::fromLocal8Bit(keygen.readAllStandardError());
            return false;
        }
        QFile::remove(KnownHostsFile() + u".old"_s);  // ssh-keygen's backup, not the client's
    }
    return true;
}

bool SshServer::UseUnknownClientKey()
{
    return Prepare() && Keygen(IdentityFile());
}

}  // namespace sftptest
