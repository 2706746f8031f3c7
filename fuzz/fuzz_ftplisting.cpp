// The FTP pieces with any bytes: a listing read whole or in pieces gives the
// same entries and the same error, every name kept is one the engine may take,
// never more entries than the limit; the reply, line and ~/.netrc parsers never
// crash, and a PWD path never holds what would end a command early.

#include "FtpListing.h"
#include "FuzzInput.h"
#include "Netrc.h"

#include <algorithm>
#include <string>
#include <string_view>

using namespace velmora::ftp;
using velmora::fuzz::FuzzInput;
using velmora::fuzz::Require;

namespace {

struct Read
{
    std::vector<ListingEntry> entries;
    std::string error;
};

Read ReadListing(ListingReader::Form form, int64_t now, std::string_view bytes, size_t piece)
{
    ListingReader reader(form, now);
    for (size_t at = 0; at < bytes.size() && reader.Feed(bytes.substr(at, piece)); at += piece) {
    }
    reader.Finish();
    return {reader.Take(), reader.Error() ? reader.Error() : ""};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const auto choice = input.Take<uint8_t>();
    // Within a few thousand years of 1970, as a clock may say.
    const int64_t now = input.Take<int64_t>() % (int64_t{1} << 37);
    const size_t used = std::min<size_t>(size, 9);
    const std::string_view text(reinterpret_cast<const char *>(data) + used, size - used);
    const auto form = choice & 1 ? ListingReader::Form::List : ListingReader::Form::Mlsd;

    const Read whole = ReadListing(form, now, text, text.size() + 1);
    const Read pieces = ReadListing(form, now, text, 1 + (choice >> 1));
    Require(whole.error == pieces.error, "the same error in pieces");
    Require(whole.entries.size() == pieces.entries.size(), "the same entries in pieces");
    Require(whole.entries.size() <= velmora::engine::ListingLimits::MaxEntries, "within the limit");
    for (size_t i = 0; i < whole.entries.size(); ++i) {
        const std::string &name = whole.entries[i].name;
        Require(name == pieces.entries[i].name, "the same names in pieces");
        Require(!name.empty() && name != "." && name != "..", "a dot or empty name kept");
        Require(name.find_first_of(std::string_view("/\\\0\n", 4)) == std::string::npos,
                "a separator, NUL or line end in a name");
        Require(name.size() <= ListingReader::MaxLineBytes, "a name longer than a line");
    }

    for (const ListingLine &line : {ParseMlsdLine(text), ParseListLine(text, now)})
        Require(line.kind != ListingLine::Entry || !line.entry.name.empty(), "an empty name");

    if (const std::optional<std::string> path = ParsePwdReply(text))
        Require(!path->empty() &&
                    path->find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos,
                "a PWD path that would end a command");

    std::vector<std::string> lines;
    for (size_t at = 0; at <= text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        lines.emplace_back(text.substr(at, end - at));
        at = end + 1;
    }
    const Features features = ParseFeatures(lines);
    Require(features.mlst || features.mlstFacts.empty(), "facts without MLST");

    const NetrcLogin login = Netrc::Parse(text).Find(lines.front(), "u");
    Require(!login.found || login.login.empty() || login.login == "u", "another user's entry");
    return 0;
}
