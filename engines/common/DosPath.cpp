#include "DosPath.h"

#include "Text.h"

#include <algorithm>

namespace velmora::engine {

std::u16string OutsideDriveText(char16_t drive)
{
    return u"Zugriff außerhalb von Laufwerk " + std::u16string{drive, u':'} + u" verweigert: ";
}

std::u16string ResolveDosPath(std::u16string_view request, char16_t drive, std::size_t depth,
                              std::u16string_view drives, DosTarget &out)
{
    if (request.empty())
        return u"Kein Verzeichnis angegeben.";
    const std::u16string shown(request);
    DosTarget target{drive, depth, {}};
    std::u16string_view rest = request;
    if (rest.size() >= 2 && rest[1] == u':') {
        const char16_t c = rest[0];
        const char16_t letter = c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c;
        if (letter >= u'A' && letter <= u'Z') {
            if (drives.find(letter) == std::u16string_view::npos)
                return u"Laufwerk nicht vorhanden: " + std::u16string{letter, u':'};
            if (letter != drive)
                target = {letter, 0, {}};  // no directory is remembered per drive: its root
            rest.remove_prefix(2);
        }
    }
    constexpr std::u16string_view separators = u"\\/";
    if (!rest.empty() && separators.find(rest.front()) != std::u16string_view::npos)
        target.kept = 0;
    for (std::size_t pos = 0; pos < rest.size();) {
        const std::size_t end = std::min(rest.find_first_of(separators, pos), rest.size());
        const std::u16string_view name = rest.substr(pos, end - pos);
        pos = end + 1;
        if (name.empty() || name == u".")
            continue;
        if (name == u"..") {
            if (!target.names.empty())
                target.names.pop_back();
            else if (target.kept > 0)
                --target.kept;
            else
                return OutsideDriveText(target.drive) + shown;
            continue;
        }
        // No folder anywhere can have such a name.
        if (name.find(u'\0') != std::u16string_view::npos)
            return DirectoryNotFound + shown;
        if (Utf16ToUtf8(name).size() > MaxNameBytes)
            return u"Verzeichnisname zu lang: " + shown;
        target.names.emplace_back(name);
    }
    out = std::move(target);
    return {};
}

}  // namespace velmora::engine
