#include "DateText.h"

#include "../app/RaisedError.h"

#include <QDate>
#include <QTime>

#include <cmath>

using namespace Qt::StringLiterals;

namespace velmora {

namespace {

constexpr qint64 SecondsPerDay = 86400;
constexpr qint64 MsecsPerDay = SecondsPerDay * 1000;
constexpr double FirstDay = -657434.0;  // 1 January 100
constexpr double LastDay = 2958465.0;   // 31 December 9999

[[noreturn]] void RaiseOverflow()
{
    throw RaisedError(OverflowErrorNumber, u"Überlauf"_s);
}

// Calls f(run, quoted) for each run of equal characters of a date/time format,
// and for each quoted literal (quotes included).
template <typename F> void ForEachFormatRun(const QString &format, F f)
{
    qsizetype i = 0;
    while (i < format.size()) {
        qsizetype j = i + 1;
        if (format[i] == u'\'') {
            while (j < format.size() && format[j] != u'\'')
                ++j;
            j = std::min(j + 1, format.size());
            f(format.mid(i, j - i), true);
        } else {
            while (j < format.size() && format[j] == format[i])
                ++j;
            f(format.mid(i, j - i), false);
        }
        i = j;
    }
}

QString ShortDateFormat(const QLocale &locale)
{
    QString result;
    ForEachFormatRun(locale.dateFormat(QLocale::ShortFormat), [&](const QString &run, bool quoted) {
        result += (!quoted && run.startsWith(u'y')) ? u"yyyy"_s : run;
    });
    return result;
}

// The locale's long time form has the seconds; the time zone is dropped along
// with the blank that separates it.
QString TimeFormat(const QLocale &locale)
{
    QString result;
    ForEachFormatRun(locale.timeFormat(QLocale::LongFormat), [&](const QString &run, bool quoted) {
        if (!quoted && run.startsWith(u't'))
            return;
        result += run;
    });
    result = result.trimmed();
    while (result.contains(u"  "_s))
        result.replace(u"  "_s, u" "_s);
    return result.contains(u's') ? result : u"HH:mm:ss"_s;
}

struct Formats
{
    QLocale locale;
    QString date;
    QString time;
};

// Building the forms is dearer than using them; listings ask thousands of
// times in a row in the same locale.
const Formats &FormatsFor(const QLocale &locale)
{
    thread_local Formats cache{QLocale::c(), ShortDateFormat(QLocale::c()),
                               TimeFormat(QLocale::c())};
    if (!(cache.locale == locale))
        cache = Formats{locale, ShortDateFormat(locale), TimeFormat(locale)};
    return cache;
}

}  // namespace

QString DateTimeText(double value, const QLocale &locale)
{
    if (!std::isfinite(value))
        RaiseOverflow();
    const double dayPart = std::trunc(value);
    if (dayPart < FirstDay || dayPart > LastDay)
        RaiseOverflow();
    qint64 day = qint64(dayPart);
    qint64 seconds = std::llround(std::fabs(value - dayPart) * double(SecondsPerDay));
    if (seconds >= SecondsPerDay) {  // rounded up to the next midnight
        seconds -= SecondsPerDay;
        ++day;
        if (day > qint64(LastDay))
            RaiseOverflow();
    }

    const Formats &forms = FormatsFor(locale);
    const QTime time = QTime::fromMSecsSinceStartOfDay(int(seconds * 1000));
    if (day == 0)
        return locale.toString(time, forms.time);
    const QDate date = QDate(1899, 12, 30).addDays(day);
    if (seconds == 0)
        return locale.toString(date, forms.date);
    return locale.toString(date, forms.date) + u' ' + locale.toString(time, forms.time);
}

QString DurationText(double days)
{
    if (!std::isfinite(days))
        days = 0;
    qint64 msecs = std::llround(std::fmod(days, 1.0) * double(MsecsPerDay));
    msecs = (msecs % MsecsPerDay + MsecsPerDay) % MsecsPerDay;
    const qint64 seconds = msecs / 1000;  // a stopwatch shows completed seconds
    return u"%1:%2:%3"_s.arg(seconds / 3600, 2, 10, QChar(u'0'))
        .arg(seconds / 60 % 60, 2, 10, QChar(u'0'))
        .arg(seconds % 60, 2, 10, QChar(u'0'));
}

double CurrentTimeOfDay()
{
    return QTime::currentTime().msecsSinceStartOfDay() / double(MsecsPerDay);
}

}  // namespace velmora
