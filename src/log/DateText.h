#pragma once

#include <QLocale>
#include <QString>

namespace velmora {

// Date/time values are OLE Automation dates: days since 30 December 1899, the
// fraction the time of day. For a negative value the fraction still counts as
// a positive time of day.

// The platform's text of a date/time value in the given locale: the short
// date with a four-digit year, a space and the time with seconds, no time
// zone; the date alone at exactly midnight, the time alone when the date part
// is zero. Rounded to the nearest second. A value that is no date (NaN,
// infinite, before the year 100 or after 9999) raises an error.
[[nodiscard]] QString DateTimeText(double value, const QLocale &locale = QLocale());

// A duration as hh:mm:ss with two-digit hours, whatever the locale. A negative
// value, the difference of two times of day across midnight, wraps into the
// day, so it never reads as a negative time.
[[nodiscard]] QString DurationText(double days);

// The current time of day as a date/time value without a date part.
[[nodiscard]] double CurrentTimeOfDay();

}  // namespace velmora
