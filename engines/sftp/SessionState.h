#pragma once

// The inside of a Session, shared by the files that carry out its parts:
// Connect.cpp (socket, SSH and SFTP start), HostKey.cpp, Login.cpp,
// Session.cpp (paths and attributes), List.cpp and Download.cpp.

#include "Handles.h"
#include "LocalDrive.h"
#include "ReadPipeline.h"
#include "Session.h"
#include "Watchdog.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace velmora::sftp {

struct Target;

using Clock = std::chrono::steady_clock;
using Busy = engine::Watchdog::Busy;
using Waiting = engine::Watchdog::Waiting;

// How long a socket wait may last before the stop request is looked at again.
inline constexpr std::chrono::milliseconds PollSlice{40};

// What a request without an answer was waiting for, as the timeout names it.
namespace Waits {
inline constexpr const char *Init = "SFTP-Start";
inline constexpr const char *RealPath = "Pfad auflösen";
inline constexpr const char *Stat = "Attribute lesen";
inline constexpr const char *List = "Verzeichnis lesen";
inline constexpr const char *Open = "Datei öffnen";
inline constexpr const char *Read = "Datei lesen";
inline constexpr const char *Close = "Datei schließen";
}  // namespace Waits

RemoteEntry FromAttributes(sftp_attributes attributes, std::string name);

struct Session::State
{
    explicit State(Control control) : watchdog(std::move(control)) {}
    ~State() { CloseAll(); }

    [[nodiscard]] const Control &control() const { return watchdog.control(); }
    void ThrowIfStopped() const { control().ThrowIfStopped(); }

    // Connect.cpp
    void Connect(const ConnectOptions &options);
    void Attempt(const ConnectOptions &options);
    void ConnectSocket(const Target &target, Clock::time_point deadline);
    void StartSftp();
    // HostKey.cpp
    void CheckHostKey(const Target &target);
    // Login.cpp
    void Authenticate(const ConnectOptions &options, const Target &target,
                      Clock::time_point deadline);

    // Session.cpp
    // The socket of ours (closed with the session), or one of libssh's that
    // is only watched (a proxy command's).
    void SetSocket(engine::UniqueFd own, int watched);
    void CloseSocket();
    // Closes the connection to a server that broke the rules; the session is lost.
    void Drop();
    void CloseAll();
    // Waits until the socket has something for libssh, or a slice has passed.
    void WaitSocket(Clock::time_point until);
    // After a libssh call failed: throws when it was stopped, timed out, the
    // connection is gone or libssh could not parse the answer; returns when
    // the server refused the request.
    void ThrowIfBroken(const std::string &detail);
    // The error after a libssh call failed: the stop request, a lost
    // connection, or what the server said.
    [[noreturn]] void Fail(const std::string &what);
    // A server that broke the rules: the connection closes, the text says why.
    [[noreturn]] void Abandon(const std::string &text);
    bool Lost();
    void RequireOpen();
    // The server's absolute form of path; nullopt when it refuses.
    std::optional<std::string> Canonical(const std::string &path);
    // Before libssh reads the channel again: what a stopped download left on
    // its way is collected, and its file closed.
    void Settle();

    engine::Watchdog watchdog;
    std::string displayHost;
    SshPtr ssh;
    SftpPtr sftp;                              // freed before ssh
    std::unique_ptr<ReadPipeline> unfinished;  // a stopped download whose answers still come
    FilePtr unfinishedFile;                    // and its file, closed once they are in
    bool lost = false;
    engine::UniqueFd socket;
    int watched = -1;  // the socket the watchdog knows, ours or libssh's
};

}  // namespace velmora::sftp
