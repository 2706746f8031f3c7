#include "RemoteEngine.h"

#include "DosPath.h"
#include "LocalDrive.h"
#include "PhoneBook.h"
#include "SafeText.h"
#include "Text.h"
#include "WorkerEngine.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::engine {

namespace {

std::string Join(const std::string &base, const std::vector<std::string> &dirs)
{
    std::string path = base;
    for (const auto &dir : dirs) {
        if (path.empty() || path.back() != '/')
            path += '/';
        path += dir;
    }
    return path;
}

// The names of path below base; path is PathInside base.
std::vector<std::string> Below(const std::string &path, const std::string &base)
{
    std::vector<std::string> names;
    const std::string_view rest = std::string_view(path).substr(base.size());
    for (std::size_t pos = 0; pos < rest.size();) {
        const std::size_t end = std::min(rest.find('/', pos), rest.size());
        if (end > pos)
            names.emplace_back(rest.substr(pos, end - pos));
        pos = end + 1;
    }
    return names;
}

// The server's side of the connection; guarded by the engine's state lock.
// Jobs take a copy and use the session on the worker thread only.
struct Remote
{
    std::shared_ptr<Connection> session;
    std::string base;               // drive C:, the server's absolute path
    std::vector<std::string> dirs;  // the current directory below it
    std::u16string name;
};

class RemoteEngine : public WorkerEngine
{
public:
    RemoteEngine(LocalSettings local, RemoteConfig config, std::vector<Protocol> protocols)
        : WorkerEngine(std::move(local)), m_config(std::move(config)),
          m_protocols(std::move(protocols))
    {}

protected:
    Job DialJobLocked(std::u16string number, std::u16string user, std::u16string password,
                      int32_t retries) override
    {
        return [this, number = std::move(number), user = std::move(user),
                password = std::move(password), retries]() {
            return RunDial(number, Utf16ToUtf8(user), Utf16ToUtf8(password), retries);
        };
    }

    Job HangUpJobLocked() override
    {
        return [this, session = m_remote.session]() {
            if (session)
                session->Close();
            return Outcome::Done([this] { m_remote = {}; });
        };
    }

    Job ReadRemoteDirectoryJobLocked() override
    {
        return [this, remote = m_remote]() -> Outcome {
            std::vector<RemoteEntry> found;
            try {
                found = remote.session->List(Join(remote.base, remote.dirs), remote.base);
            } catch (const RemoteError &e) {
                return FromError(e, *remote.session);
            }
            std::vector<DirEntry> entries;
            entries.reserve(found.size());
            for (const auto &entry : found) {
                // The interface's size is 32 bits wide: a bigger file shows the most it can.
                const auto size = static_cast<int32_t>(
                    std::min<uint64_t>(entry.size, static_cast<uint64_t>(INT32_MAX)));
                entries.push_back({entry.directory ? 0 : 1, Utf8ToUtf16(entry.name),
                                   entry.directory ? 0 : size,
                                   OleDateFromTime(static_cast<std::time_t>(entry.modified), 0)});
            }
            SortListing(entries);
            return Outcome::Done([this, entries = std::move(entries)]() mutable {
                SetListingLocked(std::move(entries));
            });
        };
    }

    Job ChangeRemoteDirectoryJobLocked(std::u16string path) override
    {
        return [this, remote = m_remote, path = std::move(path)]() {
            return RunChangeDirectory(remote, path);
        };
    }

    Job DownloadFileJobLocked(std::u16string name, LocalPlace target) override
    {
        return [this, remote = m_remote, name = std::move(name), target = std::move(target)]() {
            return RunDownload(remote, name, target);
        };
    }

    std::u16string RemoteDirectoryLocked() override
    {
        std::u16string shown = u"C:\\";
        for (std::size_t i = 0; i < m_remote.dirs.size(); ++i) {
            if (i > 0)
                shown += u'\\';
            // The names come from the server's REALPATH answer: kept raw for
            // the paths, made safe only here, where they are shown.
            shown += Utf8ToUtf16(SafeText(m_remote.dirs[i]));
        }
        return shown;
    }

    std::u16string RemoteDrivesLocked() override { return u"C:"; }
    std::u16string RemoteNameLocked() override { return m_remote.name; }
    bool LongFileNamesLocked() override { return true; }

    void OnShutdown() override
    {
        Remote gone;
        {
            const auto lock = LockState();
            std::swap(gone, m_remote);
        }
        // The session closes here, outside the lock.
    }

private:
    Control SessionControl()
    {
        // Both run on the session's helper thread too: an atomic read, and the
        // wake, which may come from any thread.
        return {[this] { return AbortRequested(); }, [this] { Wake(); }};
    }

    // An error of the session as the job's end. A connection that is gone
    // ends the engine's connection too.
    Outcome FromError(const RemoteError &e, const Connection &session, std::u16string text = {})
    {
        std::function<void()> commit;
        if (session.Lost())
            commit = [this] {
                m_remote = {};
                SetConnectedLocked(false);
            };
        if (e.failure() == Failure::Stopped)
            return Outcome::Stopped(std::move(commit));
        if (text.empty() || e.failure() == Failure::ConnectionLost)
            text = Utf8ToUtf16(e.what());
        return Outcome::Failed(std::move(text), std::move(commit));
    }

    Outcome RunDial(const std::u16string &number, const std::string &user,
                    const std::string &password, int32_t retries)
    {
        PhoneBookEntry entry;
        const Protocol *protocol = nullptr;
        try {
            const auto file = PhoneBook::Location();
            const PhoneBook book = PhoneBook::Load(file);
            const PhoneBookEntry *found = book.Find(Utf16ToUtf8(number));
            if (!found)
                return Outcome::Failed(u"Rufnummer " + number + u" steht nicht im Telefonbuch " +
                                       Utf8ToUtf16(file.string()) + u".");
            entry = *found;
            for (const Protocol &candidate : m_protocols)
                if (std::find(candidate.schemes.begin(), candidate.schemes.end(), entry.scheme) !=
                    candidate.schemes.end())
                    protocol = &candidate;
            if (!protocol)
                return Outcome::Failed(u"Rufnummer " + number + u": " + Utf8ToUtf16(entry.scheme) +
                                       u":// wird von dieser Engine nicht unterstützt.");
        } catch (const PhoneBookError &e) {
            return Outcome::Failed(Utf8ToUtf16(e.what()));
        }
        const char *home = std::getenv("HOME");
        if (!home || !*home)
            return Outcome::Failed(
                u"HOME ist nicht gesetzt: keine Schlüssel und Anmeldedaten des Benutzers.");

        DialRequest request;
        request.entry = entry;
        request.user = user;
        request.password = password;
        request.home = home;
        request.retries = std::max<int32_t>(0, retries);
        request.attemptTimeout = m_config.attemptTimeout;
        request.requestTimeout = m_config.requestTimeout;
        request.retryPause = m_config.retryPause;

        std::shared_ptr<Connection> session;
        std::string base;
        try {
            session = protocol->open(request, SessionControl());
            base = session->RealPath(entry.basePath.empty() ? "." : entry.basePath);
            if (!session->Stat(base).directory)
                throw RemoteError(Failure::Remote, "");
        } catch (const RemoteError &e) {
            if (!session || e.failure() == Failure::Stopped ||
                e.failure() == Failure::ConnectionLost)
                return e.failure() == Failure::Stopped ? Outcome::Stopped()
                                                       : Outcome::Failed(Utf8ToUtf16(e.what()));
            return Outcome::Failed(
                u"Basisverzeichnis " + Utf8ToUtf16(entry.basePath.empty() ? "~" : entry.basePath) +
                u" auf " + Utf8ToUtf16(session->DisplayHost()) + u" nicht gefunden.");
        }
        if (AbortRequested())
            return Outcome::Stopped();
        const std::u16string name =
            Utf8ToUtf16(entry.displayName.empty() ? entry.host : entry.displayName);
        return Outcome::Done([this, session, base, name] { m_remote = {session, base, {}, name}; });
    }

    Outcome RunChangeDirectory(const Remote &remote, const std::u16string &request)
    {
        DosTarget target;
        if (auto error = ResolveDosPath(request, u'C', remote.dirs.size(), u"C", target);
            !error.empty())
            return Outcome::Failed(std::move(error));
        std::vector<std::string> dirs(remote.dirs.begin(), remote.dirs.begin() + target.kept);
        for (const auto &name : target.names)
            dirs.push_back(Utf16ToUtf8(name));
        const std::string path = Join(remote.base, dirs);
        const std::u16string notFound = DirectoryNotFound + request;
        std::string real;
        try {
            if (!remote.session->Stat(path).directory)
                return Outcome::Failed(notFound);
            // A symbolic link may point anywhere; where it leads is what counts.
            real = remote.session->RealPath(path);
            if (!PathInside(real, remote.base))
                return Outcome::Failed(OutsideDrive + request);
        } catch (const RemoteError &e) {
            return FromError(e, *remote.session, notFound);
        }
        // Kept as checked: a link changed afterwards cannot move the directory.
        return Outcome::Done([this, dirs = Below(real, remote.base)] { m_remote.dirs = dirs; });
    }

    Outcome RunDownload(const Remote &remote, const std::u16string &name, const LocalPlace &target)
    {
        std::vector<std::string> parts = remote.dirs;
        parts.push_back(Utf16ToUtf8(name));
        const std::string path = Join(remote.base, parts);  // no "//" when the base is "/"
        const std::u16string notFound = u"Datei nicht gefunden: " + name;
        RemoteEntry file;
        std::string real;
        try {
            file = remote.session->Stat(path);
            if (file.directory)
                return Outcome::Failed(notFound);
            real = remote.session->RealPath(path);
            if (!PathInside(real, remote.base))
                return Outcome::Failed(OutsideDrive + name);
        } catch (const RemoteError &e) {
            return FromError(e, *remote.session, notFound);
        }

        PartialFile partial;
        if (auto error = partial.Open(*target.drive, target.dir, Utf16ToUtf8(name));
            !error.empty() || !(error = partial.Reserve(file.size)).empty())
            return Outcome::Failed(std::move(error));
        std::u16string localError;
        try {
            remote.session->Download(
                real,
                [&](const char *data, std::size_t size) {
                    localError = partial.Write(data, size);
                    if (!localError.empty())
                        throw RemoteError(Failure::Local, Utf16ToUtf8(localError));
                },
                Utf16ToUtf8(name));
        } catch (const RemoteError &e) {
            return FromError(e, *remote.session, localError);
        }
        if (AbortRequested())
            return Outcome::Stopped();
        if (auto error =
                partial.Commit(OleDateFromTime(static_cast<std::time_t>(file.modified), 0));
            !error.empty())
            return Outcome::Failed(std::move(error));
        return Outcome::Done();
    }

    const RemoteConfig m_config;
    const std::vector<Protocol> m_protocols;
    Remote m_remote;  // guarded by the state lock
};

}  // namespace

std::unique_ptr<TransferEngine> CreateRemoteEngine(const RemoteConfig &config,
                                                   std::vector<Protocol> protocols)
{
    return MakeWorkerEngine<RemoteEngine>(LocalSettings::Make(config.localRoot, config.lockDir),
                                          config, std::move(protocols));
}

}  // namespace velmora::engine
