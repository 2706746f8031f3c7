#pragma once

// The suite over SSH: the same calls, carried out against a real server. It
// keeps the contract of TransferEngine.h through engine::WorkerEngine, which
// also holds everything local; how it differs:
//
// - Dial(number, user, password, retries) looks the number up in the phone
//   book (see PhoneBook.h) and opens an SFTP session with the server it
//   names, as $HOME/.ssh/config has it for that host (see Session.h). User:
//   the argument, else the entry's, else the config's, else the local user.
//   With a password, password login; else public keys from ssh-agent and the
//   identities in $HOME/.ssh, none that group or others may read or write.
//   The host key must be in $HOME/.ssh/known_hosts and not marked @revoked;
//   an unknown, changed or revoked key refuses the connection, and the file is
//   never written. retries: further attempts after a refused or timed-out
//   connection (15 s each), a second apart; a refused login is final.
// - Drive C: of the server is the entry's base path (default: the login
//   directory), its only drive; not even a symbolic link leads out of it.
//   Names are the server's, case and all; LongFileNames is true. A directory
//   entered through a link is shown where the link leads.
// - Sizes above 2,147,483,647 are listed as 2,147,483,647.
// - DownloadFile keeps several reads in flight.
// - A server that dies or a connection that drops ends the operation with an
//   error saying so, and the connection with it; so does a server that leaves
//   a request unanswered for SftpConfig::requestTimeout, an answer longer than
//   asked for, or a listing past 100,000 entries or 64 MiB of names.
// - A download is exactly the size the server gave at open; a file that ends
//   before it is an error.
// - Names and texts from the server are made safe to show (SafeText.h).
// - HangUp closes the session.

#include "TransferEngine.h"

#include <chrono>
#include <filesystem>
#include <memory>

namespace velmora::sftp {

struct SftpConfig
{
    std::filesystem::path localRoot;  // empty: VELMORA_LOCAL_ROOT or its default
    std::filesystem::path lockDir;    // empty: the default lock folder
    std::chrono::milliseconds attemptTimeout{15'000};
    // Once logged in, a request without an answer this long ends the operation
    // and the connection.
    std::chrono::milliseconds requestTimeout{15'000};
    std::chrono::milliseconds retryPause{1'000};
};

std::unique_ptr<TransferEngine> CreateSftpEngine(const SftpConfig &config);
std::unique_ptr<TransferEngine> CreateSftpEngine();  // the defaults

}  // namespace velmora::sftp
