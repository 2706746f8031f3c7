#include "SshSetup.h"

#include "CheckedFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <glob.h>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <sys/mman.h>
#include <unistd.h>

namespace velmora::sftp {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t MaxKnownHosts = 64 << 20;
constexpr std::size_t MaxConfig = 1 << 20;
constexpr std::size_t MaxKey = 1 << 20;
// As OpenSSH: Includes nest at most this deep, and a glob brings no more than this many files.
constexpr int MaxIncludeDepth = 16;
constexpr std::size_t MaxConfigFiles = 256;

// text in a file of memory, and the name by which libssh can open it.
engine::UniqueFd MemoryCopy(const std::string &text, std::string &path)
{
    engine::UniqueFd fd(::memfd_create("velmora-ssh", MFD_CLOEXEC));
    for (std::size_t written = 0; fd && written < text.size();) {
        const ssize_t n = ::write(fd.Get(), text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Error(Failure::Local, "Kein Speicher für eine Kopie der SSH-Einstellungen.");
        written += static_cast<std::size_t>(n);
    }
    if (!fd)
        throw Error(Failure::Local, "Kein Speicher für eine Kopie der SSH-Einstellungen.");
    path = "/proc/self/fd/" + std::to_string(fd.Get());
    return fd;
}

// "~" and "~/..." as $HOME has it.
std::string ExpandTilde(const std::string &path, const ConnectOptions &options)
{
    if (path == "~" || path.rfind("~/", 0) == 0)
        return options.sshHome.string() + path.substr(1);
    return path;
}

// The words of a config line after its keyword, as libssh splits them:
// blanks between, double quotes around a word with blanks.
std::vector<std::string> Words(std::string_view rest)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t'))
            ++i;
        if (i == rest.size() || rest[i] == '#')
            break;
        std::string word;
        if (rest[i] == '"') {
            const std::size_t close = rest.find('"', i + 1);
            word = rest.substr(i + 1, close == std::string_view::npos ? close : close - i - 1);
            i = close == std::string_view::npos ? rest.size() : close + 1;
        } else {
            const std::size_t end = std::min(rest.find_first_of(" \t", i), rest.size());
            word = rest.substr(i, end - i);
            i = end;
        }
        words.push_back(std::move(word));
    }
    return words;
}

// The Include line's paths, if line is one.
std::optional<std::vector<std::string>> IncludePaths(std::string_view line)
{
    std::size_t i = line.find_first_not_of(" \t");
    if (i == std::string_view::npos)
        return std::nullopt;
    constexpr std::string_view Keyword = "include";
    if (line.size() - i < Keyword.size() ||
        !std::equal(
            Keyword.begin(), Keyword.end(), line.begin() + static_cast<std::ptrdiff_t>(i),
            [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); }))
        return std::nullopt;
    i += Keyword.size();
    if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '=')
        return std::nullopt;
    std::string_view rest = line.substr(i);
    const std::size_t start = rest.find_first_not_of(" \t");
    if (start != std::string_view::npos && rest[start] == '=')
        rest.remove_prefix(start + 1);
    return Words(rest);
}

// Checked copies of the config and of every file it Includes, each Include
// pointing at the copy of what it names; alive until libssh has read them.
class ConfigCopies
{
public:
    explicit ConfigCopies(const ConnectOptions &options) : m_options(options) {}

    // The copy's name, or empty when file does not exist.
    std::string Copy(const fs::path &file, int depth)
    {
        engine::CheckedFile read;
        if (const int error = engine::ReadCheckedFile(file, MaxConfig, read); error == ENOENT)
            return {};
        else if (error != 0)
            throw Error(Failure::Local, "SSH-Einstellungen " + file.string() + " nicht benutzt: " +
                                            engine::CheckedFileProblem(error, MaxConfig) + ".");
        if (depth > MaxIncludeDepth || ++m_files > MaxConfigFiles)
            throw Error(Failure::Local, "SSH-Einstellungen " + file.string() +
                                            ": zu viele oder zu tief verschachtelte Include.");
        std::string out;
        std::istringstream lines(read.text);
        for (std::string line; std::getline(lines, line);) {
            const auto paths = IncludePaths(line);
            if (!paths) {
                out += line + '\n';
                continue;
            }
            for (const std::string &pattern : *paths)
                for (const std::string &match : Glob(pattern))
                    if (const std::string copy = Copy(match, depth + 1); !copy.empty())
                        out += "Include " + copy + '\n';
        }
        std::string path;
        m_copies.push_back(MemoryCopy(out, path));
        return path;
    }

private:
    // As OpenSSH: a relative name is taken in ~/.ssh.
    std::vector<std::string> Glob(const std::string &pattern) const
    {
        std::string full = ExpandTilde(pattern, m_options);
        if (!full.empty() && full.front() != '/')
            full = (m_options.sshHome / ".ssh" / full).string();
        glob_t found{};
        std::vector<std::string> matches;
        if (::glob(full.c_str(), 0, nullptr, &found) == 0)
            matches.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
        ::globfree(&found);
        return matches;
    }

    const ConnectOptions &m_options;
    std::vector<engine::UniqueFd> m_copies;
    std::size_t m_files = 0;
};

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
    const std::string expanded = ExpandTilde(pattern, options);
    std::string out;
    for (std::size_t i = 0; i < expanded.size(); ++i) {
        if (expanded[i] != '%' || i + 1 == expanded.size()) {
            out += expanded[i];
            continue;
        }
        switch (expanded[++i]) {
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
            out += expanded[i];
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

    const fs::path config = dir / "config";
    {
        ConfigCopies copies(options);
        if (const std::string copy = copies.Copy(config, 0);
            !copy.empty() && ssh_options_parse_config(ssh, copy.c_str()) != 0)
            throw Error(Failure::Local, "SSH-Einstellungen " + config.string() + " nicht lesbar (" +
                                            ssh_get_error(ssh) + ").");
    }

    // Whatever the file says: host keys only from here, never written, checked strictly.
    Target target;
    target.knownHosts.file = dir / "known_hosts";
    engine::CheckedFile known;
    if (const int error = engine::ReadCheckedFile(target.knownHosts.file, MaxKnownHosts, known);
        error != 0 && error != ENOENT)
        throw Error(Failure::HostKey,
                    "Bekannte Rechner " + target.knownHosts.file.string() +
                        " nicht benutzt: " + engine::CheckedFileProblem(error, MaxKnownHosts) +
                        ". Verbindung abgelehnt.");
    target.knownHosts.text = std::move(known.text);
    std::string knownHosts;
    target.knownHosts.copy = MemoryCopy(target.knownHosts.text, knownHosts);
    set(SSH_OPTIONS_KNOWNHOSTS, knownHosts.c_str());
    set(SSH_OPTIONS_GLOBAL_KNOWNHOSTS, "/dev/null");
    set(SSH_OPTIONS_STRICTHOSTKEYCHECK, &yes);
    set(SSH_OPTIONS_LOG_VERBOSITY, &verbosity);
    set(SSH_OPTIONS_TIMEOUT, &timeoutSeconds);
    if (options.port > 0)
        set(SSH_OPTIONS_PORT, &options.port);
    if (!options.user.empty())
        set(SSH_OPTIONS_USER, options.user.c_str());

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
    // Before libssh expands it with the home of the password database.
    if (const std::string identity = Get(ssh, SSH_OPTIONS_IDENTITY); !identity.empty())
        target.identity = Expand(identity, options, target);
    return target;
}

bool IsRevoked(std::string_view knownHosts, ssh_key key)
{
    std::istringstream lines{std::string(knownHosts)};
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

std::vector<Identity> Identities(const ConnectOptions &options, const Target &target)
{
    std::vector<std::string> files;
    if (!target.identity.empty())
        files.push_back(target.identity);
    for (const char *name : {"id_ed25519", "id_ecdsa", "id_rsa"})
        files.push_back((options.sshHome / ".ssh" / name).string());

    std::vector<Identity> found;
    for (const std::string &file : files) {
        engine::CheckedFile key;
        if (std::any_of(found.begin(), found.end(),
                        [&](const Identity &seen) { return seen.file == file; }) ||
            engine::ReadCheckedFile(file, MaxKey, key) != 0)
            continue;
        // As OpenSSH: a key of one's own that others may read or write is not used.
        const bool exposed = key.owner == ::getuid() && (key.mode & 077) != 0;
        found.push_back({file, key.mode, !exposed, exposed ? std::string() : std::move(key.text)});
    }
    return found;
}

}  // namespace velmora::sftp
