#pragma once

// The suite against a real server: the same calls, carried out over the
// protocol the dialled number's phone-book entry names, each protocol a row
// of the table the engine is made with (Connection.h). It keeps the contract
// of TransferEngine.h through WorkerEngine, which also holds everything
// local; how it differs from the simulated engine:
//
// - Dial(number, user, password, retries) looks the number up in the phone
//   book (PhoneBook.h) and connects with the protocol of its scheme. User:
//   the argument, else the entry's, else the protocol's default; the password
//   likewise. retries: further attempts after a refused or timed-out
//   connection (15 s each), a second apart; a refused login is final.
// - Drive C: of the server is the entry's base path (default: the login
//   directory), its only drive; not even a symbolic link leads out of it.
//   Names are the server's, case and all; LongFileNames is true. A directory
//   entered through a link is shown where the link leads.
// - Sizes above 2,147,483,647 are listed as 2,147,483,647.
// - A server that dies or a connection that drops ends the operation with an
//   error saying so, and the connection with it; so does a server silent for
//   RemoteConfig::requestTimeout while a request waits, a server that breaks
//   the protocol, or a listing past ListingLimits.
// - A download is exactly the size the server gave before the transfer; a
//   file that ends before it is an error, and nothing is kept.
// - Names and texts from the server are made safe to show (SafeText.h).
// - HangUp closes the connection.

#include "Connection.h"
#include "TransferEngine.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

namespace velmora::engine {

struct RemoteConfig
{
    std::filesystem::path localRoot;  // empty: VELMORA_LOCAL_ROOT or its default
    std::filesystem::path lockDir;    // empty: the default lock folder
    std::chrono::milliseconds attemptTimeout{15'000};
    // Once logged in, a request the server leaves this long without a byte
    // ends the operation and the connection.
    std::chrono::milliseconds requestTimeout{15'000};
    std::chrono::milliseconds retryPause{1'000};
};

std::unique_ptr<TransferEngine> CreateRemoteEngine(const RemoteConfig &config,
                                                   std::vector<Protocol> protocols);

}  // namespace velmora::engine
