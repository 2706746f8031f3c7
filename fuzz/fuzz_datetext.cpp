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
    return locales[i];
}
constexpr int LocaleCount = 4;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const auto value = input.Take<double>();
    const auto order = input.Take<uint8_t>();

    const long long first = Epoch.daysTo(QDate(100, 1, 1)) * 86400LL;
    const long long last = Epoch.daysTo(QDate(9999, 12, 31)) * 86400LL + 86399;
    const Moment moment =
        std::isfinite(value) && std::fabs(value) < 1e7 ? MomentOf(value) : Moment{last + 1, false};
    const bool inRange = moment.seconds >= first && moment.seconds <= last;

    // Each locale twice, in a changing order, so one locale's texts follow another's.
    QString texts[LocaleCount];
    for (int round = 0; round < 2; ++round) {
        for (int k = 0; k < LocaleCount; ++k) {
            const int i = (k + order + round * (1 + order % 3)) % LocaleCount;
            QString text;
            bool raised = false;
            try {
                text = DateTimeText(value, Locale(i));
            } catch (const RaisedError &error) {
                Require(error.Number() == velmora::OverflowErrorNumber, "only error 6");
                raised = true;
            }
            if (!moment.nearHalf)
                Require(raised != inRange, "error 6 exactly for what is no date");
            if (raised)
                continue;
            Require(!text.isEmpty() && text.size() <= 40, "a short, non-empty text");
            for (const QChar c : text)
                Require(c.isPrint() || c.isSpace() || c.category() == QChar::Other_Format,
                        "printable characters only");
            if (round == 0)
                texts[i] = text;
            else
                Require(texts[i] == text, "the same text, whichever locale came before");
        }
    }

    if (!texts[0].isEmpty()) {
        long long seconds = 0;
        Require(ReadGerman(texts[0], seconds), "the German text reads back");
        Require(seconds == moment.seconds ||
                    (moment.nearHalf && std::llabs(seconds - moment.seconds) <= 1),
                "the German text is the value rounded to the second");
    }
    return 0;
}
