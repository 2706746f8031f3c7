#pragma once

// Takes typed values off the front of a fuzz input; whatever is left becomes
// UTF-16 text, two bytes a unit, so lone surrogates and NULs come through.

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmora::fuzz {

class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

    template <typename T> T Take()
    {
        T value{};
        const size_t n = m_size < sizeof(T) ? m_size : sizeof(T);
        if (n > 0)
            std::memcpy(&value, m_data, n);
        m_data += n;
        m_size -= n;
        return value;
    }

    QString RestAsUtf16()
    {
        QString text(qsizetype(m_size / 2), Qt::Uninitialized);
        if (m_size >= 2)
            std::memcpy(text.data(), m_data, (m_size / 2) * 2);
        m_data += m_size;
        m_size = 0;
        return text;
    }

private:
    const uint8_t *m_data;
    size_t m_size;
};

// Whether text is nothing but blanks, as padding fills a column.
inline bool AllBlanks(QStringView text)
{
    for (const QChar c : text)
        if (c != u' ')
            return false;
    return true;
}

// A broken property is a finding: report it and stop, so the fuzzer keeps the input.
inline void Require(bool condition, const char *what)
{
    if (condition)
        return;
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

}  // namespace velmora::fuzz
