// The faster paths the benchmarks led to must not change what the log shows:
// writes held back in a batch, listing lines built in one buffer, and
// date/time forms taken apart once per locale.

#include "DateText.h"
#include "RichTextBox.h"
#include "TestSupport.h"
#include "frmMain.h"

#include <QCoreApplication>
#include <QImage>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

#include <climits>
#include <functional>
#include <stdexcept>

using namespace Qt::StringLiterals;
using velmora::DirEntry;
using velmora::frmMain;
using velmora::RichTextBox;
using velmora::test::LineBoldness;
using velmora::test::LineFonts;
using velmora::test::Log;

namespace {

using Step = std::function<void(frmMain &)>;

// Every kind of write the log takes, including texts whose line breaks the
// document counts differently and a replaced selection in the middle.
std::vector<Step> Steps()
{
    const auto status = [](QString text) { return [=](frmMain &f) { f.AddLogStatus(text); }; };
    return {
        status(u"eins"_s),
        [](frmMain &f) { f.AddLogError(u"zwei"_s); },
        [](frmMain &f) { f.AddLogNewLine(); },
        [](frmMain &f) { f.AddLogStartDirListing(); },
        status(u"lone\nfeed"_s),
        status(u"lone\rreturn"_s),
        status(u"pair\r\ninside"_s),
        status(u"para\u2029graph line\u2028sep"_s),
        status(u"frame\uFDD0marks\uFDD1"_s),
        status(QString()),
        [](frmMain &f) { Log(f)->SetSelText(u"ends in a return\r"_s); },
        [](frmMain &f) { Log(f)->SetSelText(u"\nstarts with a feed"_s); },
        [](frmMain &f) {
            Log(f)->SetSelStart(5);
            Log(f)->SetSelLength(3);
            Log(f)->SetSelBold(true);
            Log(f)->SetSelText(u"X"_s);
        },
        [](frmMain &f) { f.AddLogEndDirListing(); },
        status(u"danach"_s),
    };
}

void ExpectSameLog(const RichTextBox &batched, const RichTextBox &plain)
{
    QCOMPARE(batched.PlainText(), plain.PlainText());
    QCOMPARE(batched.TextLength(), plain.TextLength());
    QCOMPARE(LineBoldness(batched), LineBoldness(plain));
    QCOMPARE(LineFonts(batched), LineFonts(plain));
}

// The forms DateText documents: the short date with a four-digit year, the
// long time without its time zone. Used only for forms without quotes.
QString DateForm(const QLocale &locale)
{
    return locale.dateFormat(QLocale::ShortFormat).replace(QRegularExpression(u"y+"_s), u"yyyy"_s);
}

QString TimeForm(const QLocale &locale)
{
    QString form = locale.timeFormat(QLocale::LongFormat).remove(QRegularExpression(u"t+"_s));
    form = form.simplified();
    return form.contains(u's') ? form : u"HH:mm:ss"_s;
}

}  // namespace

class FastPathsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void batchedLogReadsLikeUnbatched();
    void batchReadsBackWhatItHolds();
    void batchCutShortKeepsItsLines();
    void followedViewMatchesAFreshPaint();
    void listingLineIsItsPaddedColumns();
    void dateTextAgreesWithQLocaleInEveryLocale();
};

void FastPathsTest::batchedLogReadsLikeUnbatched()
{
    const std::vector<Step> steps = Steps();
    for (size_t first = 0; first < steps.size(); ++first) {
        frmMain batched;
        frmMain plain;
        for (size_t i = 0; i < steps.size(); ++i) {
            if (i == first) {
                // The batch covers every step from here on.
                const RichTextBox::Batch batch(*Log(batched));
                for (size_t j = i; j < steps.size(); ++j) {
                    steps[j](batched);
                    steps[j](plain);
                    QCOMPARE(Log(batched)->SelStart(), Log(plain)->SelStart());
                    QCOMPARE(Log(batched)->TextLength(), Log(plain)->TextLength());
                }
                break;
            }
            steps[i](batched);
            steps[i](plain);
        }
        ExpectSameLog(*Log(batched), *Log(plain));
    }
}

void FastPathsTest::batchReadsBackWhatItHolds()
{
    frmMain form;
    const RichTextBox::Batch batch(*Log(form));
    form.AddLogStatus(u"eins"_s);
    form.AddLogError(u"zwei"_s);
    QCOMPARE(Log(form)->TextLength(), 18);
    QCOMPARE(Log(form)->SelStart(), 18);
    QVERIFY(Log(form)->BoldAt(9));
    QVERIFY(!Log(form)->BoldAt(0));
    form.AddLogStatus(u"drei"_s);
    QCOMPARE(Log(form)->PlainText(), u">  eins\r\n!! zwei\r\n>  drei\r\n"_s);
    QCOMPARE(LineBoldness(*Log(form)), u"-B-"_s);
}

void FastPathsTest::batchCutShortKeepsItsLines()
{
    frmMain form;
    try {
        const RichTextBox::Batch batch(*Log(form));
        form.AddLogStatus(u"eins"_s);
        form.AddLogStatus(u"zwei"_s);
        throw std::runtime_error("engine gone");
    } catch (const std::runtime_error &) {
    }
    QCOMPARE(Log(form)->document()->toPlainText(), u">  eins\n>  zwei\n"_s);
}

void FastPathsTest::followedViewMatchesAFreshPaint()
{
    // Following the newest line skips moving the old pixels up; what the
    // window shows must still be what painting it afresh shows.
    frmMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QScreen *screen = form.screen();
    for (int i = 0; i < 40; ++i) {
        form.AddLogStatus(u"Zeile "_s + QString::number(i));
        if (i % 3 == 0)
            form.AddLogError(u"Fehler"_s);
        if (i % 7 == 0)  // no new line, but wrapped onto more lines
            Log(form)->SetSelText(QString(i * 10, u'w') + u' ' + QString(80, u'x'));
        QCoreApplication::processEvents();
    }
    // What the window shows against the window painted afresh.
    const QImage shown = screen->grabWindow(form.winId()).toImage();
    const QImage fresh = form.grab().toImage().convertToFormat(shown.format());
    QCOMPARE(shown.size(), fresh.size());
    QVERIFY(shown == fresh);
    QCOMPARE(Log(form)->verticalScrollBar()->value(), Log(form)->verticalScrollBar()->maximum());
}

void FastPathsTest::listingLineIsItsPaddedColumns()
{
    const std::vector<DirEntry> entries = {
        {0, u"TOOLS", 0, 35538.967129629629},
        {1, u"EIN SEHR LANGER NAME, LÄNGER ALS DIE SPALTE.TXT", 123456, 46365.5},
        {1, u"\uFEFFBOM", INT32_MIN, 0.25},
        {2, std::u16string(40, u'\xD800'), INT32_MAX, -657434.0},
        {1, u"", -5, 2958465.99998},
        {7, u"x\u2028y", 1234567890, 1.0},
    };
    for (const DirEntry &entry : entries) {
        const QString size = entry.Kind == 0 ? u"<DIR>"_s : QString::number(entry.Size);
        const QString expected = frmMain::PadLeft(QStringView(entry.Name).toString(), 28) + u' ' +
                                 frmMain::PadRight(size, 10) + u' ' +
                                 frmMain::PadLeft(velmora::DateTimeText(entry.Modified), 20);
        QCOMPARE(frmMain::DirListingLine(entry), expected);
    }
}

void FastPathsTest::dateTextAgreesWithQLocaleInEveryLocale()
{
    const QDate origin(1899, 12, 30);
    QList<QLocale> locales =
        QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
    locales << QLocale::c() << QLocale::system();
    int checked = 0;
    for (const QLocale &locale : locales) {
        const QString dateForm = DateForm(locale);
        const QString timeForm = TimeForm(locale);
        if (dateForm.contains(u'\'') || timeForm.contains(u'\''))
            continue;  // left to QLocale as it is
        for (int k = 0; k < 60; ++k) {
            // Days across the whole range, times across the day, one second apart
            // from minute and hour edges.
            const qint64 day = -657434 + qint64(k) * 60979;
            const int second = (k * 4099 + k % 3) % 86400;
            const QDate date = origin.addDays(day);
            const QTime time = QTime(0, 0).addSecs(second);
            const QString expected = second == 0 ? locale.toString(date, dateForm)
                                                 : locale.toString(date, dateForm) + u' ' +
                                                       locale.toString(time, timeForm);
            // A negative value's fraction is a positive time of day too.
            const double fraction = second / 86400.0;
            const double value = day < 0 ? double(day) - fraction : double(day) + fraction;
            const QString shown = velmora::DateTimeText(value, locale);
            if (shown != expected)
                QFAIL(qPrintable(locale.name() + u": "_s + shown + u" != "_s + expected));
            ++checked;
        }
    }
    QVERIFY(checked > 60 * 500);
}

QTEST_MAIN(FastPathsTest)
#include "tst_fastpaths.moc"
