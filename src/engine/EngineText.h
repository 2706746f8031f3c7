#pragma once

// Texts cross the engine interface as UTF-16 and are taken over as they are,
// both ways. Not QString::fromStdU16String: it takes a leading U+FEFF or U+FFFE
// for a byte order mark and drops it or swaps every character.

#include <QString>
#include <QStringView>

#include <string>
#include <string_view>

namespace velmora {

[[nodiscard]] inline QString FromEngine(std::u16string_view text)
{
    return QStringView(text).toString();
}

[[nodiscard]] inline std::u16string ToEngine(QStringView text)
{
    return std::u16string(text.utf16(), size_t(text.size()));
}

}  // namespace velmora
