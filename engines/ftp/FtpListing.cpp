#include "FtpListing.h"

#include "Text.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <iterator>
#include <type_traits>

namespace velmora::ftp {

namespace {

using engine::EqualsNoCase;
constexpr auto npos = std::string_view::npos;

// Digits only, no sign or blank, and no more than the type holds.
template <typename T = uint64_t> std::optional<T> Number(std::string_view text)
{
    static_assert(std::is_unsigned_v<T>);
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool AllDigits(std::string_view text, std::size_t minimum, std::size_t maximum)
{
    return text.size() >= minimum && text.size() <= maximum &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool StartsNoCase(std::string_view text, std::string_view start)
{
    return text.size() >= start.size() && EqualsNoCase(text.substr(0, start.size()), start);
}

// Seconds since 1970 of a UTC time; nullopt for a day the calendar lacks. A
// leap second (60) runs into the next minute.
std::optional<int64_t> Utc(int year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                           unsigned second)
{
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{year}, std::chrono::month{month},
                              std::chrono::day{day}};
    if (!date.ok() || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    return int64_t{sys_days(date).time_since_epoch().count()} * 86400 + hour * 3600 + minute * 60 +
           second;
}

int YearOf(int64_t time)
{
    using namespace std::chrono;
    const sys_seconds when{seconds{time}};
    return int(year_month_day(floor<days>(when)).year());
}

// YYYYMMDDHHMMSS with an optional fraction, which is dropped.
std::optional<int64_t> MlsdTime(std::string_view text)
{
    const std::string_view whole = text.substr(0, 14);
    if (!AllDigits(whole, 14, 14) ||
        (text.size() > 14 && (text[14] != '.' || !AllDigits(text.substr(15), 1, npos))))
        return std::nullopt;
    const auto at = [&](std::size_t from, std::size_t length) {
        return *Number<unsigned>(whole.substr(from, length));
    };
    return Utc(int(at(0, 4)), at(4, 2), at(6, 2), at(8, 2), at(10, 2), at(12, 2));
}

// The blank-separated words of a line, as views into it, so the name can be
// taken from where its word starts.
std::vector<std::string_view> Words(std::string_view line)
{
    std::vector<std::string_view> words;
    for (std::size_t at = line.find_first_not_of(' '); at != npos;
         at = line.find_first_not_of(' ', at)) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

// 1 to 12 for an English month name in any case, else 0.
unsigned Month(std::string_view word)
{
    static constexpr std::string_view names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                 "jul", "aug", "sep", "oct", "nov", "dec"};
    for (unsigned i = 0; i < 12; ++i)
        if (EqualsNoCase(word, names[i]))
            return i + 1;
    return 0;
}

// "drwxr-xr-x", with a mark for an ACL or security context allowed at the end.
bool UnixMode(std::string_view word)
{
    const bool marked = word.size() == 11 && std::string_view("+.@").find(word[10]) != npos;
    return (word.size() == 10 || marked) && std::string_view("-bcdDlnps").find(word[0]) != npos &&
           word.substr(1, 9).find_first_not_of("-rwxsStTlL") == npos;
}

// "HH:MM" or "H:MM" (then no year given), or a year "YYYY".
bool TimeOrYear(std::string_view word)
{
    const auto colon = word.find(':');
    if (colon == npos)
        return AllDigits(word, 4, 4);
    return AllDigits(word.substr(0, colon), 1, 2) && AllDigits(word.substr(colon + 1), 2, 2);
}

std::optional<int64_t> UnixTime(unsigned month, unsigned day, std::string_view timeOrYear,
                                int64_t now)
{
    const auto colon = timeOrYear.find(':');
    if (colon == npos)
        return Utc(int(*Number<unsigned>(timeOrYear)), month, day, 0, 0, 0);
    const unsigned hour = *Number<unsigned>(timeOrYear.substr(0, colon));
    const unsigned minute = *Number<unsigned>(timeOrYear.substr(colon + 1));
    // The latest such date not after now; 29 February goes back to a leap year.
    const int nowYear = YearOf(now);
    for (int year = nowYear; year >= nowYear - 8; --year) {
        const std::optional<int64_t> when = Utc(year, month, day, hour, minute, 0);
        if (when && *when <= now)
            return when;
    }
    return std::nullopt;
}

// perms [links] owner [group] size|major, minor month day time|year name[ -> target]
ListingLine ParseUnix(std::string_view line, int64_t now)
{
    const std::vector<std::string_view> words = Words(line);
    if (words.empty() || !UnixMode(words[0]))
        return {};
    const char kind = words[0][0];
    // The date is the first month, day and time or year after at least an
    // owner and a size; owner and group names never make all three.
    for (std::size_t i = 3; i + 2 < words.size(); ++i) {
        if (!Month(words[i]) || !AllDigits(words[i + 1], 1, 2) || !TimeOrYear(words[i + 2]))
            continue;
        ListingLine result;
        ListingEntry &entry = result.entry;
        const std::optional<int64_t> when =
            UnixTime(Month(words[i]), *Number<unsigned>(words[i + 1]), words[i + 2], now);
        // A device's "major, minor" is no size.
        const std::optional<uint64_t> size =
            kind == 'b' || kind == 'c' ? uint64_t{0} : Number(words[i - 1]);
        const std::size_t nameAt = words[i + 2].data() + words[i + 2].size() - line.data() + 1;
        if (!when || !size || nameAt >= line.size())
            return {};
        entry.name = line.substr(nameAt);  // after one blank: a name may begin with blanks
        if (kind == 'l')
            entry.name = entry.name.substr(0, entry.name.find(" -> "));
        if (entry.name.empty())
            return {};
        entry.directory = kind == 'd';
        entry.link = kind == 'l';
        entry.size = *size;
        entry.modified = *when;
        result.kind = ListingLine::Entry;
        return result;
    }
    return {};
}

// MM-DD-YY[YY] hh:mm[AM|PM] <DIR>|size name; two-digit years from 1970 to 2069.
ListingLine ParseDos(std::string_view line)
{
    const std::vector<std::string_view> words = Words(line);
    if (words.size() < 4)
        return {};
    const std::string_view date = words[0];
    std::string_view time = words[1];
    if ((date.size() != 8 && date.size() != 10) || date[2] != '-' || date[5] != '-' ||
        !AllDigits(date.substr(0, 2), 2, 2) || !AllDigits(date.substr(3, 2), 2, 2) ||
        !AllDigits(date.substr(6), 2, 4))
        return {};
    int year = int(*Number<unsigned>(date.substr(6)));
    if (date.size() == 8)
        year += year < 70 ? 2000 : 1900;
    const std::string_view suffix = time.size() > 5 ? time.substr(5) : std::string_view();
    const bool pm = EqualsNoCase(suffix, "PM");
    const bool twelveHour = pm || EqualsNoCase(suffix, "AM");
    if (twelveHour)
        time.remove_suffix(2);
    if (time.size() != 5 || time[2] != ':' || !AllDigits(time.substr(0, 2), 2, 2) ||
        !AllDigits(time.substr(3), 2, 2))
        return {};
    unsigned hour = *Number<unsigned>(time.substr(0, 2));
    if (twelveHour) {
        if (hour < 1 || hour > 12)
            return {};
        hour = hour % 12 + (pm ? 12 : 0);
    }
    ListingLine result;
    ListingEntry &entry = result.entry;
    entry.directory = words[2] == "<DIR>";
    const std::optional<uint64_t> size = entry.directory ? uint64_t{0} : Number(words[2]);
    const std::optional<int64_t> when =
        Utc(year, *Number<unsigned>(date.substr(0, 2)), *Number<unsigned>(date.substr(3, 2)), hour,
            *Number<unsigned>(time.substr(3)), 0);
    if (!size || !when)
        return {};
    entry.size = *size;
    entry.modified = *when;
    entry.name = line.substr(words[3].data() - line.data());
    result.kind = ListingLine::Entry;
    return result;
}

}  // namespace

ListingLine ParseMlsdLine(std::string_view line)
{
    ListingLine result;
    ListingEntry &entry = result.entry;
    bool listed = true;
    // Each fact ends in ';'; the first ';' followed by a blank ends them all,
    // so a value (a link's target) may hold blanks and the name ';'.
    std::size_t at = 0;
    while (at < line.size() && line[at] != ' ') {
        const std::size_t end = line.find(';', at);
        if (end == npos)
            return {};
        const std::string_view fact = line.substr(at, end - at);
        at = end + 1;
        const std::size_t equals = fact.find('=');
        const std::string_view name = fact.substr(0, equals);
        const std::string_view value =
            equals == npos ? std::string_view() : fact.substr(equals + 1);
        if (EqualsNoCase(name, "type")) {
            listed = !EqualsNoCase(value, "cdir") && !EqualsNoCase(value, "pdir");
            entry.directory = EqualsNoCase(value, "dir");
            entry.link =
                StartsNoCase(value, "OS.unix=slink") || StartsNoCase(value, "OS.unix=symlink");
        } else if (EqualsNoCase(name, "size")) {
            const std::optional<uint64_t> size = Number(value);
            if (!size)
                return {};
            entry.size = *size;
        } else if (EqualsNoCase(name, "modify")) {
            const std::optional<int64_t> when = MlsdTime(value);
            if (!when)
                return {};
            entry.modified = *when;
        }
    }
    if (at + 1 >= line.size())
        return {};
    entry.name = line.substr(at + 1);
    result.kind = listed ? ListingLine::Entry : ListingLine::Skip;
    return result;
}

ListingLine ParseListLine(std::string_view line, int64_t now)
{
    if (line == "total" || line.starts_with("total "))
        return {ListingLine::Skip, {}};
    if (!line.empty() && line[0] >= '0' && line[0] <= '9')
        return ParseDos(line);
    return ParseUnix(line, now);
}

bool ListingReader::Feed(std::string_view bytes)
{
    while (!m_error && !bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::string_view part = bytes.substr(0, end);
        bytes.remove_prefix(end == npos ? bytes.size() : end + 1);
        // One byte more for a CR that may yet turn out to end the line.
        if (m_pending.size() + part.size() > MaxLineBytes + 1) {
            m_error = LineTooLong;
        } else {
            m_pending.append(part);
            if (end != npos) {
                Line(m_pending);
                m_pending.clear();
            }
        }
    }
    return !m_error;
}

bool ListingReader::Finish()
{
    if (!m_error && !m_pending.empty()) {
        Line(m_pending);
        m_pending.clear();
    }
    return !m_error;
}

void ListingReader::Line(std::string_view line)
{
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    if (line.size() > MaxLineBytes) {
        m_error = LineTooLong;
        return;
    }
    ListingLine parsed = line.empty()           ? ListingLine{ListingLine::Skip, {}}
                         : m_form == Form::Mlsd ? ParseMlsdLine(line)
                                                : ParseListLine(line, m_now);
    if (parsed.kind == ListingLine::Malformed) {
        m_error = LineUnknown;
        return;
    }
    const std::string &name = parsed.entry.name;
    const bool kept = parsed.kind == ListingLine::Entry && name != "." && name != ".." &&
                      name.find_first_of(std::string_view("/\\\0", 3)) == npos;
    m_error = m_limits.Count(name.size(), kept);
    if (kept && !m_error)
        m_entries.push_back(std::move(parsed.entry));
}

Features ParseFeatures(const std::vector<std::string> &lines)
{
    auto line = std::find_if(lines.begin(), lines.end(),
                             [](const std::string &text) { return text.starts_with("211-"); });
    if (line == lines.end())
        return {};
    Features features;
    for (++line; line != lines.end(); ++line) {
        std::string_view text = *line;
        while (text.ends_with('\n') || text.ends_with('\r'))
            text.remove_suffix(1);
        if (text == "211" || text.starts_with("211 "))
            return features;
        text = engine::Trim(text);
        const std::string_view name = text.substr(0, text.find(' '));
        if (!EqualsNoCase(name, "MLST"))
            continue;
        features.mlst = true;
        std::string_view facts = engine::Trim(text.substr(name.size()));
        while (!facts.empty()) {
            std::string_view fact = facts.substr(0, facts.find(';'));
            facts.remove_prefix(std::min(facts.size(), fact.size() + 1));
            MlstFact parsed{{}, fact.ends_with('*')};
            if (parsed.enabled)
                fact.remove_suffix(1);
            std::transform(fact.begin(), fact.end(), std::back_inserter(parsed.name),
                           [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
            if (!parsed.name.empty())
                features.mlstFacts.push_back(std::move(parsed));
        }
    }
    return {};  // no closing line: the reply was cut short
}

std::optional<std::string> ParsePwdReply(std::string_view line)
{
    while (line.ends_with('\n') || line.ends_with('\r'))
        line.remove_suffix(1);
    if (!line.starts_with("257") || line.size() < 4 || (line[3] != ' ' && line[3] != '-'))
        return std::nullopt;
    std::size_t at = line.find('"', 4);
    if (at == npos)
        return std::nullopt;
    std::string path;
    for (++at; at < line.size(); ++at) {
        if (line[at] != '"') {
            path += line[at];
        } else if (at + 1 < line.size() && line[at + 1] == '"') {
            path += '"';  // a quote in the name, doubled
            ++at;
        } else if (path.empty() || path.find_first_of(std::string_view("\r\n\0", 3)) != npos) {
            return std::nullopt;
        } else {
            return path;
        }
    }
    return std::nullopt;
}

std::optional<int64_t> ParseFtpTime(std::string_view text)
{
    return MlsdTime(text);
}

std::optional<uint64_t> ParseFtpSize(std::string_view text)
{
    return Number(text);
}

}  // namespace velmora::ftp
