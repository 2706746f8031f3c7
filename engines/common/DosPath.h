#pragma once

// Directory arguments as the suite takes them, DOS style, worked out once for
// every engine. "\" and "/" both separate, and both start at the root of the
// drive when they come first; doubled and trailing ones count once; "C:" alone
// is the current directory on C:. ".." takes away the last name, lexically as
// DOS does, so a link followed by ".." cannot climb out of a drive; one above
// the root leads outside it and is refused.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::engine {

// The longest name a directory may have, in bytes of UTF-8, as on Linux.
inline constexpr std::size_t MaxNameBytes = 255;

// Error texts, each followed by what was asked for.
inline const std::u16string DirectoryNotFound = u"Verzeichnis nicht gefunden: ";
// "Zugriff außerhalb von Laufwerk X: verweigert: "
std::u16string OutsideDriveText(char16_t drive);
inline const std::u16string OutsideDrive = OutsideDriveText(u'C');

// Where a directory argument leads, from its text alone.
struct DosTarget
{
    char16_t drive = u'C';
    std::size_t kept = 0;               // leading names of the current directory that stay
    std::vector<std::u16string> names;  // then these below them; never "", "." or ".."
};

// Resolves request against the current directory (drive, and depth: its
// number of names below the root) on an engine with the given drive letters
// ("C", "CD"). Whether the directory exists is for the engine to find out.
// Returns the German error text, empty on success.
std::u16string ResolveDosPath(std::u16string_view request, char16_t drive, std::size_t depth,
                              std::u16string_view drives, DosTarget &out);

}  // namespace velmora::engine
