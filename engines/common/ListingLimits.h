#pragma once

// How much of a server's directory listing an engine takes, whatever the
// protocol: an endless or huge listing ends in an error, not in all memory.

#include <cstddef>

namespace velmora::engine {

class ListingLimits
{
public:
    static constexpr std::size_t MaxEntries = 100'000;
    static constexpr std::size_t MaxNameBytes = std::size_t{64} << 20;
    // Records beyond the entries a listing may hold without an entry's name:
    // ".", ".." and a heading such as LIST's "total".
    static constexpr std::size_t MaxLeftOut = 3;
    static constexpr const char *TooManyEntries = "Verzeichnis zu groß: mehr als 100000 Einträge.";
    static constexpr const char *TooManyNameBytes =
        "Verzeichnis zu groß: mehr als 64 MiB an Namen.";

    // Counts one record of the listing, kept as an entry or left out, with the
    // length of its name: the text of the limit it passes, or nullptr. Left-out
    // records count too, so an endless stream of them ends as well.
    [[nodiscard]] const char *Count(std::size_t nameBytes, bool kept)
    {
        m_kept += kept ? 1 : 0;
        if (m_kept > MaxEntries || ++m_records > MaxEntries + MaxLeftOut)
            return TooManyEntries;
        m_nameBytes += nameBytes;
        return m_nameBytes > MaxNameBytes ? TooManyNameBytes : nullptr;
    }

private:
    std::size_t m_kept = 0;
    std::size_t m_records = 0;
    std::size_t m_nameBytes = 0;
};

}  // namespace velmora::engine
