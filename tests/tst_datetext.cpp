// The text of a date/time value, and of the elapsed time.

#include "DateText.h"
#include "RaisedError.h"

#include <QTest>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;
using velmora::DateTimeText;
using velmora::DurationText;
using velmora::RaisedError;

namespace {
constexpr double Second = 1.0 / 86400.0;
constexpr double Dec9th2026 = 46365.0;
}  // namespace

class DateTextTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void dateTimeText_data();
    void dateTimeText();
    void notADate_data();
    void notADate();
    void otherLocales_data();
    void otherLocales();
    void durationText_data();
    void durationText();
};

void DateTextTest::dateTimeText_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("text");
    const double t140307 = (14 * 3600 + 3 * 60 + 7) * Second;
    QTest::newRow("date and time") << Dec9th2026 + t140307 << u"09.12.2026 14:03:07"_s;
    QTest::newRow("midnight: date alone") << Dec9th2026 << u"09.12.2026"_s;
    QTest::newRow("zero date: time alone") << 0.5 << u"12:00:00"_s;
    QTest::newRow("zero") << 0.0 << u"00:00:00"_s;
    QTest::newRow("elapsed 65 s") << 65 * Second << u"00:01:05"_s;
    QTest::newRow("negative: positive time of day") << -1.25 << u"29.12.1899 06:00:00"_s;
    QTest::newRow("negative, zero date part") << -0.25 << u"06:00:00"_s;
    QTest::newRow("rounds down") << Dec9th2026 + t140307 + 0.49 * Second
                                 << u"09.12.2026 14:03:07"_s;
    QTest::newRow("rounds up") << Dec9th2026 + t140307 + 0.51 * Second << u"09.12.2026 14:03:08"_s;
    QTest::newRow("rounds up to midnight") << Dec9th2026 - 0.2 * Second << u"09.12.2026"_s;
    QTest::newRow("first day") << -657434.0 << u"01.01.0100"_s;
    QTest::newRow("first day, late") << -657434.0 - 0.75 << u"01.01.0100 18:00:00"_s;
    QTest::newRow("rounds up into the first day")
        << -657435.0 - 86399.8 * Second << u"01.01.0100"_s;
    QTest::newRow("last second") << 2958465.0 + 86399 * Second << u"31.12.9999 23:59:59"_s;
}

void DateTextTest::dateTimeText()
{
    QFETCH(double, value);
    QFETCH(QString, text);
    QCOMPARE(DateTimeText(value, QLocale(u"de_DE"_s)), text);
}

void DateTextTest::notADate_data()
{
    QTest::addColumn<double>("value");
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity();
    QTest::newRow("minus infinite") << -std::numeric_limits<double>::infinity();
    QTest::newRow("year 99") << -657435.0;
    QTest::newRow("year 99, last second") << -657435.0 - 86399.4 * Second;
    QTest::newRow("year 10000") << 2958466.0;
    QTest::newRow("rounds into year 10000") << 2958466.0 - 0.2 * Second;
    QTest::newRow("huge") << 1e300;
    QTest::newRow("huge negative") << -1e300;
}

void DateTextTest::notADate()
{
    QFETCH(double, value);
    try {
        const QString text = DateTimeText(value, QLocale(u"de_DE"_s));
        QFAIL(qPrintable(u"no error, but: "_s + text));
    } catch (const RaisedError &error) {
        QCOMPARE(error.Number(), velmora::OverflowErrorNumber);
    }
}

void DateTextTest::otherLocales_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::newRow("en_US: 12-hour, four-digit year")
        << u"en_US"_s << u"12/9/2026 2:03:07\u202FPM"_s;
    QTest::newRow("en_GB") << u"en_GB"_s << u"09/12/2026 14:03:07"_s;
    QTest::newRow("fr_FR") << u"fr_FR"_s << u"09/12/2026 14:03:07"_s;
}

void DateTextTest::otherLocales()
{
    QFETCH(QString, locale);
    QFETCH(QString, text);
    const double value = Dec9th2026 + (14 * 3600 + 3 * 60 + 7) * Second;
    QString shown = DateTimeText(value, QLocale(locale));
    // CLDR versions differ in the space before AM/PM.
    shown.replace(u' ', u'\u202F');
    text.replace(u' ', u'\u202F');
    QCOMPARE(shown, text);
}

void DateTextTest::durationText_data()
{
    QTest::addColumn<double>("days");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing") << 0.0 << u"00:00:00"_s;
    QTest::newRow("65 s") << 65 * Second << u"00:01:05"_s;
    QTest::newRow("just under a second rounds up") << 0.999 * Second << u"00:00:01"_s;
    QTest::newRow("under half a second rounds down") << 0.499 * Second << u"00:00:00"_s;
    QTest::newRow("rounding up past midnight") << (86399.6 * Second) << u"00:00:00"_s;
    QTest::newRow("hours have two digits") << 3725 * Second << u"01:02:05"_s;
    QTest::newRow("across midnight") << (20 * Second) - (86400 - 10) * Second << u"00:00:30"_s;
    QTest::newRow("a day later reads as nothing") << 1.0 << u"00:00:00"_s;
    QTest::newRow("23:59:59") << 86399 * Second << u"23:59:59"_s;
    QTest::newRow("NaN") << std::nan("") << u"00:00:00"_s;
}

void DateTextTest::durationText()
{
    QFETCH(double, days);
    QFETCH(QString, text);
    // Whatever the locale's own time form.
    for (const char *name : {"de_DE", "en_US", "ar_EG"}) {
        QLocale::setDefault(QLocale(QString::fromLatin1(name)));
        QCOMPARE(DurationText(days), text);
    }
    QLocale::setDefault(QLocale::system());
}

QTEST_GUILESS_MAIN(DateTextTest)
#include "tst_datetext.moc"
