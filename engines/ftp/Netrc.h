#pragma once

// ~/.netrc, as ftp, curl and lftp read it: "machine NAME" or "default", then
// "login NAME", "password TEXT" and "account TEXT"; "macdef NAME" starts a
// macro whose body runs to the next empty line. Tokens are separated by
// blanks and line ends. A token in double quotes may hold blanks; in it
// \" \\ \n \r \t are escapes, any other character after '\' stands for
// itself, and an unclosed quote runs to the end of the text (curl's quoting).
// Outside quotes a '\' is an ordinary character. A '#' where a keyword belongs starts a
// comment to the end of the line; a keyword not known here is passed over.
// Reading the file is the caller's business: text in.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::ftp {

struct NetrcLogin
{
    std::string login;     // empty: the entry names none
    std::string password;  // empty: the entry holds none
    bool found = false;
};

class Netrc
{
public:
    static Netrc Parse(std::string_view text);

    // The first machine entry for host (compared without regard to ASCII
    // case), else the first default entry. With a user given, only an entry
    // for that login or for none counts.
    [[nodiscard]] NetrcLogin Find(std::string_view host, std::string_view user = {}) const;
    // Whether the file holds a password at all (a macro's body is no password).
    [[nodiscard]] bool HoldsPassword() const { return m_holdsPassword; }

private:
    struct Entry
    {
        std::optional<std::string> machine;  // none for default
        std::string login;
        std::string password;
    };
    std::vector<Entry> m_entries;
    bool m_holdsPassword = false;
};

// Why a netrc file with a password that group or others may read is not used,
// naming the file and its permissions; nullopt when it may be used.
std::optional<std::string> NetrcRefusal(std::string_view file, unsigned mode, bool holdsPassword);

}  // namespace velmora::ftp
