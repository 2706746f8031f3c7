#include "SafeText.h"

namespace velmora::engine {

namespace {

bool Unsafe(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// The length of a well-formed sequence starting with lead, and the range its
// second byte must lie in (Unicode's table of well-formed UTF-8); 0 for a byte
// that cannot start one.
struct Lead
{
    int length;
    unsigned char low;
    unsigned char high;
};

Lead LeadOf(unsigned char b)
{
    if (b >= 0xC2 && b <= 0xDF)
        return {2, 0x80, 0xBF};
    if (b == 0xE0)
        return {3, 0xA0, 0xBF};
    if (b == 0xED)
        return {3, 0x80, 0x9F};  // no surrogates
    if (b >= 0xE1 && b <= 0xEF)
        return {3, 0x80, 0xBF};
    if (b == 0xF0)
        return {4, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3)
        return {4, 0x80, 0xBF};
    if (b == 0xF4)
        return {4, 0x80, 0x8F};  // nothing above U+10FFFF
    return {0, 0, 0};
}

}  // namespace

std::string SafeText(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b < 0x80) {
            out += Unsafe(b) ? '?' : static_cast<char>(b);
            ++i;
            continue;
        }
        const Lead lead = LeadOf(b);
        if (lead.length == 0) {
            out += '?';
            ++i;
            continue;
        }
        char32_t c = b & (0xFF >> (lead.length + 1));
        int taken = 1;
        for (; taken < lead.length && i + taken < utf8.size(); ++taken) {
            const auto next = static_cast<unsigned char>(utf8[i + taken]);
            const unsigned char low = taken == 1 ? lead.low : 0x80;
            const unsigned char high = taken == 1 ? lead.high : 0xBF;
            if (next < low || next > high)
                break;
            c = (c << 6) | (next & 0x3F);
        }
        if (taken < lead.length || Unsafe(c))
            out += '?';  // a cut-off sequence counts once, as far as it went right
        else
            out.append(utf8.substr(i, taken));
        i += taken;
    }
    return out;
}

}  // namespace velmora::engine
