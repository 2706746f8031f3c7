// DateTimeText with any double in a few locales: a value that rounds to a
// second between 01.01.0100 and 31.12.9999 gives a text that reads back as
// that second; anything else raises error 6; never a crash, in any locale.

#include "DateText.h"
#include "FuzzInput.h"
#include "RaisedError.h"

#include <QDateTime>

#include <cmath>

using namespace Qt::StringLiterals;
using velmora::DateTimeText;
using velmora::RaisedError;
using velmora::fuzz::FuzzInput;
using velmora::fuzz::Require;

namespace {

constexpr long double SecondsPerDay = 86400;
const QDate Epoch(1899, 12, 30);

// The value's moment in whole seconds from the epoch, worked out on its own
// in long double: the date part counts towards zero, the fraction is always a
// time of day after it. nearHalf: the exact product is so close to half a
// second that double and long double may round it differently.
struct Moment
{
    long long seconds = 0;
    bool nearHalf = false;
};

Moment MomentOf(double value)
{
    const long double day = std::trunc(static_cast<long double>(value));
    const long double second = std::fabs(static_cast<long double>(value) - day) * SecondsPerDay;
    const long double fraction = second - std::floor(second);
    return {static_cast<long long>(day) * 86400 + std::llround(second),
            std::fabs(fraction - 0.5L) < 1e-6L};
}

// Back from the German text: "dd.MM.yyyy HH:mm:ss", the date or the time alone.
bool ReadGerman(const QString &text, long long &seconds)
{
    const QLocale german(u"de_DE"_s);
    QDate date = Epoch;
    QTime time(0, 0);
    const qsizetype blank = text.indexOf(u' ');
    if (blank >= 0) {
        date = german.toDate(text.left(blank), u"dd.MM.yyyy"_s);
        time = german.toTime(text.mid(blank + 1), u"HH:mm:ss"_s);
    } else if (text.contains(u':')) {
        time = german.toTime(text, u"HH:mm:ss"_s);
    } else {
        date = german.toDate(text, u"dd.MM.yyyy"_s);
    }
    if (!date.isValid() || !time.isValid())
        return false;
    seconds = Epoch.daysTo(date) * 86400 + time.msecsSinceStartOfDay() / 1000;
    return true;
}

const QLocale &Locale(int i)
{
    static const QLocale locales[] = {QLocale(u"de_DE"_s), QLocale(u"en_US"_s), QLocale(u"ar_EG"_s),
                                      QLocale::c()};
    return locales[i % 4];
}

struct Outcome
{
    bool raised = false;
    QString text;
    bool operator==(const Outcome &) const = default;
};

Outcome TextIn(double value, const QLocale &locale)
{
    Outcome outcome;
    try {
        outcome.text = DateTimeText(value, locale);
    } catch (const RaisedError &error) {
        Require(error.Number() == velmora::OverflowErrorNumber, "only error 6");
        outcome.raised = true;
    }
    if (!outcome.raised) {
        Require(!outcome.text.isEmpty() && outcome.text.size() <= 40, "a short, non-empty text");
        for (const QChar c : outcome.text)
            Require(c.isPrint() || c.isSpace() || c.category() == QChar::Other_Format,
                    "printable characters only");
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const auto value = input.Take<double>();
    const auto other = input.Take<uint8_t>();

    const long long first = Epoch.daysTo(QDate(100, 1, 1)) * 86400LL;
    const long long last = Epoch.daysTo(QDate(9999, 12, 31)) * 86400LL + 86399;
    const Moment moment =
        std::isfinite(value) && std::fabs(value) < 1e7 ? MomentOf(value) : Moment{last + 1, false};
    const bool inRange = moment.seconds >= first && moment.seconds <= last;

    // German, another locale, German again: a text must not depend on the
    // locale asked for before it.
    const Outcome german = TextIn(value, Locale(0));
    const Outcome elsewhere = TextIn(value, Locale(other));
    Require(TextIn(value, Locale(0)) == german, "the same text, whichever locale came before");
    if (!moment.nearHalf)
        Require(german.raised != inRange && elsewhere.raised != inRange,
                "error 6 exactly for what is no date");
    if (german.raised)
        return 0;
    long long seconds = 0;
    Require(ReadGerman(german.text, seconds), "the German text reads back");
    Require(seconds == moment.seconds ||
                (moment.nearHalf && std::llabs(seconds - moment.seconds) <= 1),
            "the German text is the value rounded to the second");
    return 0;
}
