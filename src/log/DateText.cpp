#include "DateText.h"

#include "RaisedError.h"

#include <QDate>
#include <QTime>

#include <cmath>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace velmora {

namespace {

constexpr qint64 SecondsPerDay = 86400;
constexpr qint64 MsecsPerDay = SecondsPerDay * 1000;
constexpr double FirstDay = -657434.0;  // 1 January 100
constexpr double LastDay = 2958465.0;   // 31 December 9999
constexpr qint64 JulianDay1899Dec30 = 2415019;

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

// A date or time form taken apart once, so that a value is put together from
// the locale's own digits, names and day periods instead of the form being
// parsed again for every value. Forms with quoted text or unusual fields, or
// whose result differs from QLocale's on any probe value, are left to QLocale.
class CompiledForm
{
public:
    CompiledForm(const QLocale &locale, const QString &form, bool isDate);

    [[nodiscard]] bool Usable() const { return m_usable; }
    void Append(QString &out, QDate date, QTime time) const;

private:
    enum class Field {
        Text,
        Year,
        Month,
        Day,
        MonthName,
        DayName,
        Hour,
        Hour12,
        Minute,
        Second,
        DayPeriod
    };
    struct Piece
    {
        Field field = Field::Text;
        int width = 1;
        // Text: the text; MonthName: 12, DayName: 7 from Monday; DayPeriod: am, pm
        QStringList texts;
    };

    bool Parse(const QLocale &locale, const QString &form, bool isDate);
    void AppendNumber(QString &out, int value, int width) const;

    std::vector<Piece> m_pieces;
    QString m_digits[10];
    QString m_pairs[100];  // 00 to 99
    bool m_usable = false;
};

CompiledForm::CompiledForm(const QLocale &locale, const QString &form, bool isDate)
{
    for (int d = 0; d < 10; ++d)
        m_digits[d] = locale.toString(QTime(0, d), u"m"_s);
    for (int n = 0; n < 100; ++n)
        m_pairs[n] = m_digits[n / 10] + m_digits[n % 10];
    if (!Parse(locale, form, isDate))
        return;
    QString out;
    if (isDate) {
        for (const int year : {100, 999, 1000, 2026, 9999}) {
            for (int month = 1; month <= 12; ++month) {
                const QDate date(year, month, month == 12 ? 31 : 1 + (year + month * 3) % 28);
                out.clear();
                Append(out, date, {});
                if (out != locale.toString(date, form))
                    return;
            }
        }
    } else {
        for (int hour = 0; hour < 24; ++hour) {  // every digit in every place
            const QTime time(hour, hour * 7 % 60, hour * 13 % 60);
            out.clear();
            Append(out, {}, time);
            if (out != locale.toString(time, form))
                return;
        }
    }
    m_usable = true;
}

// Read as QLocale reads it: runs of a letter are fields, anything else stands
// for itself.
bool CompiledForm::Parse(const QLocale &locale, const QString &form, bool isDate)
{
    if (form.contains(u'\''))
        return false;
    const bool twelveHour = !isDate && form.contains(u'a', Qt::CaseInsensitive);
    qsizetype i = 0;
    while (i < form.size()) {
        const QChar c = form[i];
        qsizetype run = 1;
        while (i + run < form.size() && form[i + run] == c)
            ++run;
        Piece piece;
        piece.width = int(run);
        if (isDate && (c == u'y' || c == u'M' || c == u'd')) {
            if (c == u'y' ? run != 4 : run > 4)
                return false;
            const QString token(run, c);
            if (c == u'y') {
                piece.field = Field::Year;
            } else if (run <= 2) {
                piece.field = c == u'M' ? Field::Month : Field::Day;
            } else if (c == u'M') {
                piece.field = Field::MonthName;
                for (int month = 1; month <= 12; ++month)
                    piece.texts << locale.toString(QDate(2001, month, 1), token);
            } else {
                piece.field = Field::DayName;
                for (int day = 1; day <= 7; ++day)  // 1 January 2001 was a Monday
                    piece.texts << locale.toString(QDate(2001, 1, day), token);
            }
        } else if (!isDate && (c == u'h' || c == u'H' || c == u'm' || c == u's')) {
            if (run > 2)
                return false;
            piece.field = c == u'm'   ? Field::Minute
                          : c == u's' ? Field::Second
                          : c == u'H' ? Field::Hour
                                      : (twelveHour ? Field::Hour12 : Field::Hour);
        } else if (!isDate && (c == u'a' || c == u'A')) {
            run = i + 1 < form.size() && form[i + 1].toLower() == u'p' ? 2 : 1;
            const QString token = form.mid(i, run);
            piece.field = Field::DayPeriod;
            piece.texts << locale.toString(QTime(1, 0), token)
                        << locale.toString(QTime(13, 0), token);
        } else if (!isDate && (c == u'z' || c == u't')) {
            return false;
        } else {
            if (m_pieces.empty() || m_pieces.back().field != Field::Text)
                m_pieces.push_back({Field::Text, 1, {QString()}});
            m_pieces.back().texts[0] += QString(run, c);
            i += run;
            continue;
        }
        m_pieces.push_back(std::move(piece));
        i += run;
    }
    return true;
}

// Zero-padded to width; two digits at a time.
void CompiledForm::AppendNumber(QString &out, int value, int width) const
{
    if (value >= 100) {
        AppendNumber(out, value / 100, width - 2);
        out += m_pairs[value % 100];
    } else if (value >= 10 || width >= 2) {
        for (int pad = 2; pad < width; ++pad)
            out += m_digits[0];
        out += m_pairs[value];
    } else {
        out += m_digits[value];
    }
}

void CompiledForm::Append(QString &out, QDate date, QTime time) const
{
    int year = 0, month = 0, day = 0;
    date.getDate(&year, &month, &day);
    const int hour = time.hour();
    for (const Piece &piece : m_pieces) {
        switch (piece.field) {
        case Field::Text:
            out += piece.texts[0];
            break;
        case Field::Year:
            AppendNumber(out, year, 4);
            break;
        case Field::Month:
            AppendNumber(out, month, piece.width);
            break;
        case Field::Day:
            AppendNumber(out, day, piece.width);
            break;
        case Field::MonthName:
            out += piece.texts[month - 1];
            break;
        case Field::DayName:
            out += piece.texts[date.dayOfWeek() - 1];
            break;
        case Field::Hour:
            AppendNumber(out, hour, piece.width);
            break;
        case Field::Hour12:
            AppendNumber(out, hour % 12 == 0 ? 12 : hour % 12, piece.width);
            break;
        case Field::Minute:
            AppendNumber(out, time.minute(), piece.width);
            break;
        case Field::Second:
            AppendNumber(out, time.second(), piece.width);
            break;
        case Field::DayPeriod:
            out += piece.texts[hour < 12 ? 0 : 1];
            break;
        }
    }
}

struct Formats
{
    QLocale locale;
    QString date;
    QString time;
    CompiledForm dateForm;
    CompiledForm timeForm;

    explicit Formats(const QLocale &l)
        : locale(l), date(ShortDateFormat(l)), time(TimeFormat(l)), dateForm(l, date, true),
          timeForm(l, time, false)
    {}

    void AppendDate(QString &out, QDate value) const
    {
        if (dateForm.Usable())
            dateForm.Append(out, value, {});
        else
            out += locale.toString(value, date);
    }

    void AppendTime(QString &out, QTime value) const
    {
        if (timeForm.Usable())
            timeForm.Append(out, {}, value);
        else
            out += locale.toString(value, time);
    }
};

// Building the forms is dearer than using them; listings ask thousands of
// times in a row in the same locale. A few are kept, for callers that take
// turns between locales.
const Formats &FormatsFor(const QLocale &locale)
{
    thread_local std::vector<std::unique_ptr<const Formats>> cache;
    for (const auto &forms : cache)
        if (forms->locale == locale)
            return *forms;
    if (cache.size() == 4)
        cache.erase(cache.begin());
    cache.push_back(std::make_unique<const Formats>(locale));
    return *cache.back();
}

}  // namespace

QString DateTimeText(double value, const QLocale &locale)
{
    if (!std::isfinite(value))
        RaiseOverflow();
    const double dayPart = std::trunc(value);
    // The last moments of the day before the first may round up into it.
    if (dayPart < FirstDay - 1 || dayPart > LastDay)
        RaiseOverflow();
    qint64 day = qint64(dayPart);
    qint64 seconds = std::llround(std::fabs(value - dayPart) * double(SecondsPerDay));
    if (seconds >= SecondsPerDay) {  // rounded up to the next midnight
        seconds -= SecondsPerDay;
        ++day;
    }
    if (day < qint64(FirstDay) || day > qint64(LastDay))
        RaiseOverflow();

    const Formats &forms = FormatsFor(locale);
    const QTime time = QTime::fromMSecsSinceStartOfDay(int(seconds * 1000));
    QString text;
    text.reserve(32);
    if (day == 0) {
        forms.AppendTime(text, time);
        return text;
    }
    forms.AppendDate(text, QDate::fromJulianDay(JulianDay1899Dec30 + day));
    if (seconds != 0) {
        text += u' ';
        forms.AppendTime(text, time);
    }
    return text;
}

QString DurationText(double days)
{
    if (!std::isfinite(days))
        days = 0;
    // Rounded to the nearest second, as the date/time text is.
    qint64 seconds = std::llround(std::fmod(days, 1.0) * double(SecondsPerDay));
    seconds = (seconds % SecondsPerDay + SecondsPerDay) % SecondsPerDay;
    return u"%1:%2:%3"_s.arg(seconds / 3600, 2, 10, QChar(u'0'))
        .arg(seconds / 60 % 60, 2, 10, QChar(u'0'))
        .arg(seconds % 60, 2, 10, QChar(u'0'));
}

double CurrentTimeOfDay()
{
    return QTime::currentTime().msecsSinceStartOfDay() / double(MsecsPerDay);
}

}  // namespace velmora
