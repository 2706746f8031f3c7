#pragma once

// The phone book: which server a number dials, and how. One entry a line,
//   NUMBER = SCHEME://[user@]host[:port][/base/path] [; Display Name [; pin=sha256//BASE64]]
// SCHEME is sftp (port 22), ftp (21, all in clear text), ftpes (21, FTP with
// AUTH TLS, TLS required) or ftps (990, TLS from the start). The pin, only
// for the TLS schemes, is the SHA-256 of the server's public key in DER form,
// base64, as curl's --pinnedpubkey takes it: that key alone is then trusted.
// '#' at the start of a line or after a blank begins a comment. Numbers match
// whatever spaces, '-' and '/' they are written with. A base path starting
// with "/~" is taken below the login directory; without a path the login
// directory is the base. User, host and path may be %-encoded; none of them
// may hold a control character once decoded. For sftp the host may be a Host
// alias of ~/.ssh/config. The file must be a regular file of at most 1 MiB.

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::engine {

// Its text is German, UTF-8, and says which file and line and what is wrong.
class PhoneBookError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct PhoneBookEntry
{
    std::string number;  // as written
    std::string scheme;  // "sftp", "ftp", "ftpes" or "ftps", in lower case
    std::string user;    // empty: the caller's choice
    std::string host;    // an IPv6 address without its brackets
    int port = 22;
    bool portGiven = false;   // false: the scheme's; for sftp ~/.ssh/config may name another
    std::string basePath;     // empty: the login directory; relative: below it
    std::string displayName;  // made safe to show
    std::string pin;          // "sha256//BASE64" or empty
    int line = 0;
};

// The number without the characters that only group it.
std::string NormalizeNumber(std::string_view number);

// The port a scheme of the phone book uses when the address names none.
int DefaultPort(std::string_view scheme);

class PhoneBook
{
public:
    // VELMORA_PHONEBOOK, else $XDG_CONFIG_HOME/velmora/phonebook, else
    // $HOME/.config/velmora/phonebook. Throws when none of them is set.
    static std::filesystem::path Location();

    // Throws PhoneBookError when the file cannot be read or a line is bad.
    static PhoneBook Load(const std::filesystem::path &file);
    // fileName only goes into error texts.
    static PhoneBook Parse(std::string_view text, const std::string &fileName);

    // nullptr when the number is not in the book.
    [[nodiscard]] const PhoneBookEntry *Find(std::string_view number) const;
    [[nodiscard]] const std::vector<PhoneBookEntry> &Entries() const { return m_entries; }

private:
    std::vector<PhoneBookEntry> m_entries;
};

}  // namespace velmora::engine
