// The login: with the password given, else as OpenSSH does with keys, the
// agent's first, then the identities, none that others may read or write.

#include "CheckedFile.h"
#include "SessionState.h"
#include "SshSetup.h"

#include <cstdlib>

namespace velmora::sftp {

namespace {

// Refuses to let OpenSSL ask for a passphrase on the terminal.
int NoPassphrase(const char *, char *, std::size_t, int, int, void *)
{
    return -1;
}

}  // namespace

void Session::State::Authenticate(const ConnectOptions &options, const Target &target,
                                  Clock::time_point deadline)
{
    const std::string refused =
        "Anmeldung als " + target.user + " bei " + displayHost + " abgelehnt";
    // Each libssh call returns "again" until its answer is in.
    const auto await = [&](const auto &call) {
        for (;;) {
            const int rc = call();
            if (rc != SSH_AUTH_AGAIN) {
                if (rc == SSH_AUTH_ERROR) {
                    ThrowIfStopped();
                    throw Error(Failure::Authentication, "Anmeldung als " + target.user + " bei " +
                                                             displayHost + " gescheitert (" +
                                                             ssh_get_error(ssh.get()) + ").");
                }
                return rc;
            }
            if (Clock::now() >= deadline)
                throw Error(Failure::TimedOut, "");
            WaitSocket(deadline);
        }
    };

    if (!options.password.empty()) {
        if (await([&] {
                return ssh_userauth_password(ssh.get(), nullptr, options.password.c_str());
            }) == SSH_AUTH_SUCCESS)
            return;
        throw Error(Failure::Authentication, refused + " (Passwort).");
    }

    // As ssh_userauth_publickey_auto does, the agent first, then the identities;
    // but, as OpenSSH, none that others may read or write.
    if (const char *agent = std::getenv("SSH_AUTH_SOCK");
        agent && *agent &&
        await([&] { return ssh_userauth_agent(ssh.get(), nullptr); }) == SSH_AUTH_SUCCESS)
        return;
    std::optional<Identity> exposed;
    for (const Identity &identity : Identities(options, target)) {
        if (!identity.usable) {
            if (!exposed)
                exposed = identity;
            continue;
        }
        ssh_key raw = nullptr;
        if (ssh_pki_import_privkey_base64(identity.key.c_str(), nullptr, NoPassphrase, nullptr,
                                          &raw) != SSH_OK)
            continue;  // unreadable, or it needs a passphrase
        const KeyPtr key(raw);
        if (await([&] { return ssh_userauth_publickey(ssh.get(), nullptr, key.get()); }) ==
            SSH_AUTH_SUCCESS)
            return;
    }
    if (exposed) {
        throw Error(Failure::Authentication,
                    refused + ": Schlüssel " + exposed->file +
                        " nicht benutzt, da Gruppe oder andere ihn lesen oder schreiben dürfen "
                        "(Rechte " +
                        engine::ModeText(exposed->mode) + ").");
    }
    throw Error(Failure::Authentication, refused + " (kein passender Schlüssel).");
}

}  // namespace velmora::sftp
