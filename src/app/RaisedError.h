#pragma once

#include <QString>

#include <cstdint>
#include <stdexcept>

namespace velmora {

// An error the program raises itself: a number and a description. The run's
// handlers treat it like every other exception; nothing reads it back.
class RaisedError : public std::runtime_error
{
public:
    RaisedError(int32_t number, const QString &description)
        : std::runtime_error(description.toStdString()), m_number(number),
          m_description(description)
    {}

    [[nodiscard]] int32_t Number() const noexcept { return m_number; }
    [[nodiscard]] const QString &Description() const noexcept { return m_description; }

private:
    int32_t m_number;
    QString m_description;
};

// The error that ends a run early.
inline constexpr int32_t AbortErrorNumber = 2010;
// The runtime's numbers for an invalid argument and a value out of range.
inline constexpr int32_t InvalidArgumentErrorNumber = 5;
inline constexpr int32_t OverflowErrorNumber = 6;

}  // namespace velmora
