#include "SshSetup.h"

#include "LocalDrive.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::sftp {

namespace fs = std::filesystem;

namespace {

constexpr off_t MaxKnownHosts = 64 << 20;
constexpr off_t MaxConfig = 1 << 20;

// The whole file, if it is a regular one of at most limit bytes; opened
// without blocking, so a FIFO in its place holds nothing up.
bool ReadRegular(const fs::path &file, off_t limit, std::string &out)
{
    const engine::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat info
    {};
    if (!fd || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > limit)
        return false;
    out.assign(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t n = ::read(fd.Get(), out.data() + filled, out.size() - filled);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    out.resize(filled);
    return true;
}

std::string Get(ssh_session ssh, ssh_options_e option)
{
    char *value = nullptr;
    if (ssh_options_get(ssh, option, &value) != SSH_OK || !value)
        return {};
    const TextPtr owned(value);
    return value;
}

// IdentityFile's ~ and the %-tokens a key's name is likely to use.
std::string Expand(const std::string &pattern, const ConnectOptions &options, const Target &target)
{
    std::string out;
    std::size_t i = 0;
    if (pattern == "~" || pattern.rfind("~/", 0) == 0) {
        out = options.sshHome.string();
        i = 1;
    }
    for (; i < pattern.size(); ++i) {
        if (pattern[i] != '%' || i + 1 == pattern.size()) {
            out += pattern[i];
            continue;
        }
        switch (pattern[++i]) {
        case 'd':
            out += (options.sshHome / ".ssh").string();
            break;
        case 'h':
            out += target.host;
            break;
        case 'r':
            out += target.user;
            break;
        case 'u':
            out += LocalUser();
            break;
        default:
            out += pattern[i];
        }
    }
    return out;
}

}  // namespace

std::string LocalUser()
{
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name && *found->pw_name)
        return found->pw_name;
    for (const char *name : {"USER", "LOGNAME"})
        if (const char *value = std::getenv(name); value && *value)
            return value;
    return {};
}

Target Configure(ssh_session ssh, const ConnectOptions &options, long timeoutSeconds)
{
    const auto set = [ssh](ssh_options_e option, const void *value) {
        if (ssh_options_set(ssh, option, value) != 0)
            throw Error(Failure::Local,
                        std::string("libssh: Einstellung abgelehnt (") + ssh_get_error(ssh) + ").");
    };
    const fs::path dir = options.sshHome / ".ssh";
    const int verbosity = SSH_LOG_NOLOG;
    const bool no = false;
    const int yes = 1;
    set(SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
    set(SSH_OPTIONS_HOST, options.host.c_str());
    // Never the home from the password database: the caller says where.
    set(SSH_OPTIONS_SSH_DIR, dir.c_str());
    set(SSH_OPTIONS_PROCESS_CONFIG, &no);  // only the user's file, read here

    // libssh opens the file by its name and would wait on a FIFO.
    const fs::path config = dir / "config";
    struct stat info
    {};
    if (::stat(config.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= MaxConfig &&
        ssh_options_parse_config(ssh, config.c_str()) != 0)
        throw Error(Failure::Local, "SSH-Einstellungen " + config.string() + " nicht lesbar (" +
                                        ssh_get_error(ssh) + ").");

    // Whatever the file says: host keys only from here, never written, checked strictly.
    const std::string knownHosts = (dir / "known_hosts").string();
    set(SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str());
    set(SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null");
    set(SSH_OPTIONS_STRICTHOSTKEYCHECK, &yes);
    set(SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
    set(SSH_OPTIONS_TIMEOUT, &timeoutSeconds);
    if (options.port > 0)
        set(SSH_OPTIONS_PORT, &options.port);
    if (!options.user.empty())
        set(SSH_OPTIONS_USER, options.user.c_str());

    Target target;
    target.host = Get(ssh, SSH_OPTIONS_HOST);
    if (target.host.empty())
        target.host = options.host;
    unsigned int port = 22;
    if (ssh_options_get_port(ssh, &port) == SSH_OK && port > 0 && port <= 65535)
        target.port = static_cast<int>(port);
    target.user = Get(ssh, SSH_OPTIONS_USER);
    if (target.user.empty()) {
        target.user = LocalUser();
        if (target.user.empty())
            throw Error(Failure::Local, "Kein Benutzername: lokaler Benutzer unbekannt.");
        set(SSH_OPTIONS_USER, target.user.c_str());
    }
    target.proxy = !Get(ssh, SSH_OPTIONS_PROXYCOMMAND).empty();
    return target;
}

bool IsRevoked(const fs::path &knownHosts, ssh_key key)
{
    std::string text;
    if (!ReadRegular(knownHosts, MaxKnownHosts, text))
        return false;  // libssh's own check then says what is wrong with it
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string marker, hosts, type, blob;
        if (!(fields >> marker >> hosts >> type >> blob) || marker != "@revoked")
            continue;
        ssh_key raw = nullptr;
        if (ssh_pki_import_pubkey_base64(blob.c_str(), ssh_key_type_from_name(type.c_str()),
                                         &raw) != SSH_OK)
            continue;
        const KeyPtr revoked(raw);
        if (ssh_key_cmp(revoked.get(), key, SSH_KEY_CMP_PUBLIC) == 0)
            return true;
    }
    return false;
}

std::vector<Identity> Identities(ssh_session ssh, const ConnectOptions &options,
                                 const Target &target)
{
    std::vector<std::string> files;
    if (const std::string configured = Get(ssh, SSH_OPTIONS_IDENTITY); !configured.empty())
        files.push_back(Expand(configured, options, target));
    for (const char *name : {"id_ed25519", "id_ecdsa", "id_rsa"})
        files.push_back((options.sshHome / ".ssh" / name).string());

    std::vector<Identity> found;
    for (const std::string &file : files) {
        struct stat info
        {};
        if (std::any_of(found.begin(), found.end(),
                        [&](const Identity &seen) { return seen.file == file; }) ||
            ::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
            continue;
        // As OpenSSH: a key of one's own that others may read or write is not used.
        const bool exposed = info.st_uid == ::getuid() && (info.st_mode & 077) != 0;
        found.push_back({file, info.st_mode & 07777, !exposed});
    }
    return found;
}

}  // namespace velmora::sftp
