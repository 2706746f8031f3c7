#pragma once

// What the FTP connection reads from a server without a network of its own:
// the directory listing (MLSD or LIST) and the replies to FEAT and PWD. Names
// stay the bytes the server sent; the connection makes them safe where they
// enter the engine. Nothing here throws: the reader is fed from libcurl's
// write callback, which must not.

#include "ListingLimits.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::ftp {

struct ListingEntry
{
    std::string name;  // as sent
    bool directory = false;
    bool link = false;  // a symbolic link, its target unknown: directory is false
    uint64_t size = 0;
    int64_t modified = 0;  // seconds since 1970, UTC; 0 when the server gave no time
};

// One line of a listing: an entry, a line that names none to be listed (MLSD's
// cdir and pdir, LIST's "total N", an empty line), or a line in no form known here.
struct ListingLine
{
    enum Kind { Entry, Skip, Malformed };
    Kind kind = Malformed;
    ListingEntry entry;
};

// An MLSD line (RFC 3659): "fact=value;...; name", the facts' names in any
// case. type=file, dir, cdir, pdir or OS.unix=slink:TARGET; any other type is
// listed as a file. size= and modify=YYYYMMDDHHMMSS[.fraction] (UTC, the
// fraction dropped) must be well-formed; other facts are not looked at.
ListingLine ParseMlsdLine(std::string_view line);

// A LIST line, in the form of Unix's "ls -l" (with or without the group) or
// in the DOS form "MM-DD-YY[YY] hh:mm[AM|PM] <DIR>|SIZE NAME". Its times are
// taken as UTC, as vsftpd and ProFTPD (TimesGMT) send them by default. A
// date without a year is the latest such date not after now (seconds since
// 1970, UTC); a date with a year is its midnight.
ListingLine ParseListLine(std::string_view line, int64_t now);

// A listing as its bytes arrive, lines ending in CRLF or LF. Leaves out ".",
// "..", and every name holding '/', '\\' or NUL; stops at the first line it
// cannot read, at a line longer than 8 KiB, or past the engines' listing limits.
class ListingReader
{
public:
    enum class Form { Mlsd, List };
    static constexpr std::size_t MaxLineBytes = 8 * 1024;  // without the line end
    static constexpr const char *LineTooLong =
        "Verzeichnisliste unlesbar: eine Zeile ist länger als 8 KiB.";
    static constexpr const char *LineUnknown =
        "Verzeichnisliste unlesbar: eine Zeile hat keine bekannte Form.";

    ListingReader(Form form, int64_t now) : m_form(form), m_now(now) {}

    // false once the listing is refused; Error() says why.
    bool Feed(std::string_view bytes);
    // The end of the listing: a last line without its line end counts too.
    bool Finish();
    // nullptr while the listing is fine.
    [[nodiscard]] const char *Error() const { return m_error; }
    // The entries so far, in the server's order.
    [[nodiscard]] std::vector<ListingEntry> Take() { return std::move(m_entries); }

private:
    void Line(std::string_view line);

    Form m_form;
    int64_t m_now;
    std::string m_pending;
    std::vector<ListingEntry> m_entries;
    engine::ListingLimits m_limits;
    const char *m_error = nullptr;
};

// The features a FEAT reply announces. lines are the server's reply lines as
// they come, other replies around it allowed; only a complete 211 reply counts.
struct MlstFact
{
    std::string name;      // in lower case
    bool enabled = false;  // marked '*': sent without OPTS MLST
};
struct Features
{
    bool mlst = false;  // MLST, and with it MLSD
    std::vector<MlstFact> mlstFacts;
};
Features ParseFeatures(const std::vector<std::string> &lines);

// The directory of a 257 reply, "257 \"/a \"\"b\"\"\" ..." → /a "b"; nullopt
// when the reply is no 257, the quotes are broken, or the path is empty or
// holds CR, LF or NUL, which would end a later command early.
std::optional<std::string> ParsePwdReply(std::string_view line);

// The values of MDTM and SIZE replies: YYYYMMDDHHMMSS[.fraction] in UTC as
// seconds since 1970, and a size in decimal digits; nullopt when malformed.
std::optional<int64_t> ParseFtpTime(std::string_view text);
std::optional<uint64_t> ParseFtpSize(std::string_view text);

}  // namespace velmora::ftp
