// The server's host key, checked against ~/.ssh/known_hosts only, strictly,
// and never written there.

#include "SessionState.h"
#include "SshSetup.h"

namespace velmora::sftp {

void Session::State::CheckHostKey(const Target &target)
{
    ssh_key raw = nullptr;
    if (ssh_get_server_publickey(ssh.get(), &raw) != SSH_OK)
        throw Error(Failure::HostKey, "Schlüssel von " + displayHost + " nicht erhalten.");
    const KeyPtr key(raw);
    unsigned char *hash = nullptr;
    std::size_t hashLength = 0;
    if (ssh_get_publickey_hash(key.get(), SSH_PUBLICKEY_HASH_SHA256, &hash, &hashLength) != 0)
        throw Error(Failure::HostKey, "Schlüssel von " + displayHost + " nicht lesbar.");
    const TextPtr text(ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, hashLength));
    ssh_clean_pubkey_hash(&hash);
    const std::string fingerprint = text ? text.get() : "?";
    const char *typeName = ssh_key_type_to_char(ssh_key_type(key.get()));
    const std::string shownKey = std::string(typeName ? typeName : "?") + " " + fingerprint;
    const std::filesystem::path &file = target.knownHosts.file;

    // libssh 0.10 does not know the marker; a revoked key never counts, whatever else is listed.
    if (IsRevoked(target.knownHosts.text, key.get()))
        throw Error(Failure::HostKey, "Der Schlüssel von " + displayHost + " (" + shownKey +
                                          ") ist in " + file.string() +
                                          " als widerrufen markiert. Verbindung abgelehnt.");
    switch (ssh_session_is_known_server(ssh.get())) {
    case SSH_KNOWN_HOSTS_OK:
        return;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER:
        throw Error(Failure::HostKey, "WARNUNG: Der Schlüssel von " + displayHost +
                                          " passt nicht zu dem Eintrag in " + file.string() +
                                          " (angeboten: " + shownKey + "). Verbindung abgelehnt.");
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND:
        throw Error(Failure::HostKey, "Unbekannter Rechner " + displayHost + ": sein Schlüssel " +
                                          shownKey + " steht nicht in " + file.string() +
                                          ". Verbindung abgelehnt.");
    case SSH_KNOWN_HOSTS_ERROR:
    default:
        throw Error(Failure::HostKey, "Schlüssel von " + displayHost + " (" + shownKey +
                                          ") nicht prüfbar: " + ssh_get_error(ssh.get()) +
                                          ". Verbindung abgelehnt.");
    }
}

}  // namespace velmora::sftp
