#pragma once

// The bytes of a file in the mailbox, made up from its name, so every download
// of a file is identical and the mailbox can be written out to a real server.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora::sim {

class Content
{
public:
    explicit Content(std::u16string_view name)
    {
        for (const char16_t c : name) {  // FNV-1a
            m_seed ^= c;
            m_seed *= 0x100000001b3ULL;
        }
    }

    // The next count bytes of the file.
    void Fill(char *out, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            if (m_left == 0) {
                m_word = Next();
                m_left = 8;
            }
            out[i] = static_cast<char>(m_word & 0xFF);
            m_word >>= 8;
            --m_left;
        }
    }

private:
    uint64_t Next()  // splitmix64
    {
        uint64_t z = (m_seed += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    uint64_t m_seed = 0xCBF29CE484222325ULL;
    uint64_t m_word = 0;
    int m_left = 0;
};

}  // namespace velmora::sim
