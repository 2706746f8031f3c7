// Who logs in: the dial's user and password, else the URL's user with the
// password of ~/.netrc, as ftp, curl and lftp read it; else anonymous.

#include "CheckedFile.h"
#include "FtpListing.h"
#include "FtpState.h"
#include "Netrc.h"

#include <cerrno>

namespace velmora::ftp {

namespace {

constexpr std::size_t MaxNetrc = 1 << 20;

}  // namespace

Credentials FindCredentials(const engine::DialRequest &request)
{
    Credentials found{request.user.empty() ? request.entry.user : request.user, request.password};
    if (found.password.empty()) {
        const std::filesystem::path file = request.home / ".netrc";
        engine::CheckedFile read;
        if (const int error = engine::ReadCheckedFile(file, MaxNetrc, read); error == 0) {
            const Netrc netrc = Netrc::Parse(read.text);
            if (const auto refusal = NetrcRefusal(file.string(), read.mode, netrc.HoldsPassword()))
                throw Error(Failure::Local, *refusal);
            if (const NetrcLogin login = netrc.Find(request.entry.host, found.user); login.found) {
                if (found.user.empty())
                    found.user = login.login;
                found.password = login.password;
            }
        } else if (error != ENOENT) {
            throw Error(Failure::Local, file.string() + " nicht benutzt: " +
                                            engine::CheckedFileProblem(error, MaxNetrc) + ".");
        }
    }
    if (found.user.empty()) {
        found.user = "anonymous";
        if (found.password.empty())
            found.password = "anonymous@";
    }
    return found;
}

}  // namespace velmora::ftp
