#include "SshServer.h"

#include <QFile>

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

}  // namespace

SshServer::SshServer(const QString &serveDir, const QString &kind, const QStringList &args)
    : ServerTool(u"sftp-server.sh"_s, kind, serveDir, args)
{
}

QString SshServer::KnownHostsFile() const
{
    return Path(u"home/.ssh/known_hosts"_s);
}

QString SshServer::IdentityFile() const
{
    return Path(u"home/.ssh/id_ed25519"_s);
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
