// The operations over FTP: paths and attributes through commands sent before
// an empty request (CWD, PWD, MLST, SIZE, MDTM), the listing through MLSD or
// LIST, the download through SIZE and RETR.

#include "FtpSession.h"

#include "ExactSize.h"
#include "FtpListing.h"
#include "FtpState.h"
#include "SafeText.h"

#include <ctime>
#include <exception>
#include <mutex>

namespace velmora::ftp {

namespace {

std::string Parent(const std::string &path)
{
    const auto slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

bool Succeeded(const Reply *reply)
{
    return reply && reply->code / 100 == 2;
}

// The value of a one-line "213 VALUE" reply.
std::string Value213(const Reply *reply)
{
    if (!reply || reply->code != 213 || reply->lines.empty() || reply->lines.front().size() < 4)
        return {};
    return reply->lines.front().substr(4);
}

}  // namespace

FtpSession::FtpSession(std::unique_ptr<State> state) : m_state(std::move(state)) {}

FtpSession::~FtpSession() = default;

std::unique_ptr<FtpSession> FtpSession::Open(const engine::DialRequest &request, Control control)
{
    static std::once_flag initialized;
    std::call_once(initialized, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    auto state = std::make_unique<State>(request, std::move(control));
    State &s = *state;
    engine::WithRetries(
        request.retries, request.retryPause, request.onAttempt, s.control(), [&] { s.Connect(); },
        [&] { return s.displayHost; });
    return std::unique_ptr<FtpSession>(new FtpSession(std::move(state)));
}

// Paths go into commands as they are: a line break would start another.
static void CheckPath(const std::string &path)
{
    if (path.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw Error(Failure::Local, "Ungültiger Pfad (Zeilenumbruch): " + path);
}

std::string FtpSession::RealPath(const std::string &path)
{
    State &s = *m_state;
    s.RequireOpen();
    if (path == ".")
        return s.loginDir;
    const std::string absolute = !path.empty() && path.front() == '/'
                                     ? path
                                     : s.loginDir + (s.loginDir == "/" ? "" : "/") + path;
    CheckPath(absolute);
    const std::string unresolved = "Pfad " + path + " auf dem Server nicht auflösbar";
    const auto resolve = [&](const std::string &directory,
                             const char *check) -> std::optional<std::string> {
        std::vector<std::string> commands{"*CWD " + directory, "*PWD"};
        if (check)
            commands.push_back(std::string(check) + absolute);
        if (const CURLcode code = s.Run(Waits::RealPath, "", commands); code != CURLE_OK)
            s.Fail(code, unresolved);
        if (!Succeeded(s.ReplyTo("CWD")) || (check && !Succeeded(s.ReplyTo("MDTM"))))
            return std::nullopt;
        const Reply *pwd = s.ReplyTo("PWD");
        const auto real =
            pwd && !pwd->lines.empty() ? ParsePwdReply(pwd->lines.front()) : std::nullopt;
        if (!real)
            s.Abandon(unresolved + " (ungültige Antwort).");
        return real;
    };
    if (auto real = resolve(absolute, nullptr))
        return std::move(*real);
    // A file: where its folder really is, if it is there at all.
    if (auto folder = resolve(Parent(absolute), "*MDTM "))
        return *folder + (*folder == "/" ? "" : "/") + engine::LastPart(absolute);
    throw Error(Failure::Remote, unresolved + ": Nicht gefunden.");
}

RemoteEntry FtpSession::Stat(const std::string &path)
{
    State &s = *m_state;
    s.RequireOpen();
    CheckPath(path);
    const std::string name = engine::SafeText(engine::LastPart(path));
    if (s.mlst) {
        if (const CURLcode code = s.Run(Waits::Stat, "", {"*MLST " + path}); code != CURLE_OK)
            s.Fail(code, path);
        const Reply *reply = s.ReplyTo("MLST");
        if (!Succeeded(reply))
            throw Error(Failure::Remote, path + ": Nicht gefunden.");
        for (const std::string &line : reply->lines) {
            if (line.empty() || line.front() != ' ')
                continue;
            const ListingLine parsed = ParseMlsdLine(std::string_view(line).substr(1));
            if (parsed.kind == ListingLine::Malformed)
                break;
            return {name, parsed.entry.directory || parsed.kind == ListingLine::Skip,
                    parsed.entry.size, parsed.entry.modified};
        }
        s.Abandon("Attribute von " + path + " nicht lesbar: ungültige Antwort des Servers.");
    }
    if (const CURLcode code =
            s.Run(Waits::Stat, "", {"*TYPE I", "*CWD " + path, "*SIZE " + path, "*MDTM " + path});
        code != CURLE_OK)
        s.Fail(code, path);
    const auto modified = ParseFtpTime(Value213(s.ReplyTo("MDTM")));
    if (Succeeded(s.ReplyTo("CWD")))
        return {name, true, 0, modified.value_or(0)};
    const std::string size = Value213(s.ReplyTo("SIZE"));
    const auto bytes = ParseFtpSize(size);
    if (!bytes)
        throw Error(Failure::Remote, path + ": Nicht gefunden.");
    return {name, false, *bytes, modified.value_or(0)};
}

std::vector<RemoteEntry> FtpSession::List(const std::string &directory, const std::string &base)
{
    State &s = *m_state;
    s.RequireOpen();
    CheckPath(directory);
    ListingReader reader(s.mlst ? ListingReader::Form::Mlsd : ListingReader::Form::List,
                         static_cast<int64_t>(std::time(nullptr)));
    curl_easy_setopt(s.easy.get(), CURLOPT_CUSTOMREQUEST, s.mlst ? "MLSD" : "LIST");
    const CURLcode code = s.Run(Waits::List, directory + (directory.back() == '/' ? "" : "/"), {},
                                [&reader](const char *data, std::size_t size) {
                                    return reader.Feed({data, size});
                                });
    curl_easy_setopt(s.easy.get(), CURLOPT_CUSTOMREQUEST, static_cast<const char *>(nullptr));
    if (reader.Error())
        s.Abandon(reader.Error());  // an endless listing must not go on in the background
    if (code != CURLE_OK)
        s.Fail(code, "Verzeichnis " + directory + " nicht lesbar");
    if (!reader.Finish())
        s.Abandon(reader.Error());

    std::vector<RemoteEntry> entries;
    const std::string prefix = directory.back() == '/' ? directory : directory + "/";
    for (ListingEntry &entry : reader.Take()) {
        RemoteEntry shown{engine::SafeText(entry.name), entry.directory, entry.size,
                          entry.modified};
        if (entry.link) {
            // A link shows where it leads, when that is a folder inside base.
            CheckPath(prefix + entry.name);
            if (s.Run(Waits::RealPath, "", {"*CWD " + prefix + entry.name, "*PWD"}) == CURLE_OK &&
                Succeeded(s.ReplyTo("CWD"))) {
                const Reply *pwd = s.ReplyTo("PWD");
                const auto real =
                    pwd && !pwd->lines.empty() ? ParsePwdReply(pwd->lines.front()) : std::nullopt;
                if (real && engine::PathInside(*real, base))
                    shown = {shown.name, true, 0, shown.modified};
            }
        }
        entries.push_back(std::move(shown));
    }
    return entries;
}

uint64_t FtpSession::Download(const std::string &path, const Sink &sink, const std::string &name)
{
    State &s = *m_state;
    s.RequireOpen();
    CheckPath(path);
    const std::string shown = name.empty() ? engine::LastPart(path) : name;
    // The size the server names before the transfer is the contract.
    curl_easy_setopt(s.easy.get(), CURLOPT_FILETIME, 1L);
    CURLcode code = s.Run(Waits::Read, path, {});
    curl_easy_setopt(s.easy.get(), CURLOPT_FILETIME, 0L);
    if (code != CURLE_OK)
        s.Fail(code, "Datei " + path + " nicht lesbar");
    curl_off_t size = -1;
    curl_easy_getinfo(s.easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size);
    if (size < 0)
        throw Error(Failure::Remote,
                    "Datei " + shown + " nicht lesbar: der Server nennt ihre Größe nicht.");

    engine::ExactSize exact(shown, static_cast<uint64_t>(size));
    std::exception_ptr stopped;
    bool tooLong = false;
    code = s.Run(Waits::Read, path, {}, [&](const char *data, std::size_t bytes) {
        try {
            exact.Add(bytes);
            sink(data, bytes);
            return true;
        } catch (const Error &e) {
            tooLong = e.failure() == Failure::Remote;
            stopped = std::current_exception();
            return false;
        }
    });
    if (stopped) {
        if (tooLong) {  // the server broke its word: nothing more from it
            s.lost = true;
            s.watchdog.Cut();
        }
        std::rethrow_exception(stopped);
    }
    if (code != CURLE_OK && code != CURLE_PARTIAL_FILE)
        s.Fail(code, "Lesen von " + shown + " gescheitert");
    exact.Finish();
    return exact.Done();
}

void FtpSession::Close()
{
    m_state->Hangup(true);
}

bool FtpSession::Lost() const
{
    return m_state->IsLost();
}

const std::string &FtpSession::DisplayHost() const
{
    return m_state->displayHost;
}

engine::Protocol Protocol()
{
    return {{"ftp", "ftpes", "ftps"}, [](const engine::DialRequest &request, Control control) {
                return std::unique_ptr<engine::Connection>(
                    FtpSession::Open(request, std::move(control)));
            }};
}

}  // namespace velmora::ftp
