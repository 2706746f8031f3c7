#include "Text.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <set>

namespace velmora::engine {

namespace {

constexpr char16_t Replacement = 0xFFFD;

void AppendCodePoint(std::u16string &out, char32_t cp)
{
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
        return;
    }
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
}

void AppendUtf8(std::string &out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

template <typename Char> Char FoldAscii(Char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<Char>(c - 'a' + 'A') : c;
}

constexpr std::chrono::sys_days OleEpoch =
    std::chrono::year{1899} / std::chrono::December / std::chrono::day{30};

}  // namespace

std::u16string Utf8ToUtf16(std::string_view in)
{
    std::u16string out;
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        const auto b0 = static_cast<unsigned char>(in[i]);
        if (b0 < 0x80) {
            out.push_back(b0);
            ++i;
            continue;
        }
        std::size_t len = 0;
        char32_t cp = 0;
        // Bounds of the second byte rule out overlong forms, surrogates and > U+10FFFF.
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3;
            cp = b0 & 0x0F;
            lo = b0 == 0xE0 ? 0xA0 : 0x80;
            hi = b0 == 0xED ? 0x9F : 0xBF;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4;
            cp = b0 & 0x07;
            lo = b0 == 0xF0 ? 0x90 : 0x80;
            hi = b0 == 0xF4 ? 0x8F : 0xBF;
        } else {
            out.push_back(Replacement);
            ++i;
            continue;
        }
        std::size_t n = 1;
        for (; n < len && i + n < in.size(); ++n) {
            const auto b = static_cast<unsigned char>(in[i + n]);
            if (b < (n == 1 ? lo : 0x80) || b > (n == 1 ? hi : 0xBF))
                break;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (n < len) {
            // One replacement for the broken sequence, then resync on the next byte.
            out.push_back(Replacement);
            i += n;
            continue;
        }
        AppendCodePoint(out, cp);
        i += len;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view in)
{
    std::string out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char16_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            AppendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (in[i + 1] - 0xDC00));
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            AppendUtf8(out, Replacement);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

std::u16string DecimalText(long long n)
{
    return Utf8ToUtf16(std::to_string(n));
}

std::string_view Trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto x, auto y) {
               return FoldAscii(x) == FoldAscii(y);
           });
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](auto x, auto y) {
               return FoldAscii(x) == FoldAscii(y);
           });
}

bool IsPlainFileName(std::u16string_view name)
{
    return !name.empty() && name != u"." && name != u".." &&
           name.find_first_of(std::u16string_view(u"\\/:\0", 4)) == std::u16string_view::npos;
}

void SortListing(std::vector<DirEntry> &entries)
{
    std::sort(entries.begin(), entries.end(), [](const DirEntry &a, const DirEntry &b) {
        const bool aDir = a.Kind == 0;
        const bool bDir = b.Kind == 0;
        if (aDir != bDir)
            return aDir;
        const auto folded = std::lexicographical_compare(
            a.Name.begin(), a.Name.end(), b.Name.begin(), b.Name.end(),
            [](auto x, auto y) { return FoldAscii(x) < FoldAscii(y); });
        if (folded || !EqualsNoCase(a.Name, b.Name))
            return folded;
        return a.Name < b.Name;
    });
}

double OleDate(int year, int month, int day, int hour, int minute, int second)
{
    using namespace std::chrono;
    const sys_days date = std::chrono::year{year} / std::chrono::month{unsigned(month)} /
                          std::chrono::day{unsigned(day)};
    const double days = static_cast<double>((date - OleEpoch).count());
    return days + (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

double OleDateFromTime(std::time_t seconds, long nanoseconds)
{
    std::tm local{};
    if (!localtime_r(&seconds, &local))
        return 0.0;
    return OleDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min, local.tm_sec) +
           static_cast<double>(nanoseconds) / 1e9 / 86400.0;
}

std::time_t TimeFromOleDate(double oleDate)
{
    using namespace std::chrono;
    auto whole = static_cast<long long>(std::floor(oleDate));
    auto secondOfDay = std::llround((oleDate - static_cast<double>(whole)) * 86400.0);
    if (secondOfDay >= 86400) {
        ++whole;
        secondOfDay -= 86400;
    }
    const year_month_day ymd{OleEpoch + days{whole}};
    std::tm local{};
    local.tm_year = static_cast<int>(ymd.year()) - 1900;
    local.tm_mon = static_cast<int>(static_cast<unsigned>(ymd.month())) - 1;
    local.tm_mday = static_cast<int>(static_cast<unsigned>(ymd.day()));
    local.tm_hour = static_cast<int>(secondOfDay / 3600);
    local.tm_min = static_cast<int>(secondOfDay / 60 % 60);
    local.tm_sec = static_cast<int>(secondOfDay % 60);
    local.tm_isdst = -1;
    return std::mktime(&local);
}

void ReportOnce(std::string_view source, std::string_view message)
{
    static std::mutex mutex;
    static std::set<std::string, std::less<>> reported;
    std::string line(source);
    line.append(": ").append(message);
    const std::lock_guard lock(mutex);
    if (reported.insert(line).second)
        std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace velmora::engine
