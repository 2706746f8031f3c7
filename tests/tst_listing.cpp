// Directory listing blocks: the padding, the entry lines, the block's fonts
// and a listing cut short by a failing engine.

#include "FakeEngine.h"
#include "RaisedError.h"
#include "TestSupport.h"

#include <QFontInfo>
#include <QTest>

#include <climits>
#include <cmath>

using namespace Qt::StringLiterals;
using velmora::DirEntry;
using velmora::frmMain;
using velmora::test::FakeEngine;
using velmora::test::FakeScript;
using velmora::test::LineFonts;
using velmora::test::Log;
using velmora::test::LogLines;

namespace {

constexpr double At140307 = 46365.585497685184;  // 09.12.2026 14:03:07
const QString Rule = QString(60, u'-');

// Checks the record it is handed: always the same one, never cleared.
class RecordCheckingEngine : public FakeEngine
{
public:
    using FakeEngine::FakeEngine;
    int32_t NextDirEntry(DirEntry &entry) override
    {
        if (record && (record != &entry || entry.Name != lastName))
            misuse = true;
        record = &entry;
        const int32_t status = FakeEngine::NextDirEntry(entry);
        lastName = entry.Name;
        if (status == velmora::DirListingEnd)
            entry = DirEntry{0, u"NICHT ZEIGEN", 1, At140307};  // never written
        return status;
    }
    const DirEntry *record = nullptr;
    std::u16string lastName;
    bool misuse = false;
};

}  // namespace

class ListingTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void padding_data();
    void padding();
    void negativeWidthIsAnError();
    void workedExample();
    void emptyListing();
    void entryLines_data();
    void entryLines();
    void notADateEndsTheBlock();
    void failureOnThirdEntry();
    void listingFontIsFixedPitch();

private:
    std::unique_ptr<frmMain> Listing(const std::vector<DirEntry> &entries);
    std::shared_ptr<FakeScript> m_script;
};

void ListingTest::initTestCase()
{
    QLocale::setDefault(QLocale(u"de_DE"_s));
}

void ListingTest::cleanupTestCase()
{
    QLocale::setDefault(QLocale::system());
}

std::unique_ptr<frmMain> ListingTest::Listing(const std::vector<DirEntry> &entries)
{
    m_script = std::make_shared<FakeScript>();
    m_script->listings = {entries};
    auto form = std::make_unique<frmMain>();
    form->Engine = std::make_unique<FakeEngine>(m_script);
    form->Engine->ReadLocalDirectory();
    return form;
}

void ListingTest::padding_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("left");
    QTest::addColumn<QString>("right");
    QTest::newRow("shorter") << u"ab"_s << 5 << u"ab   "_s << u"   ab"_s;
    QTest::newRow("exact") << u"abcde"_s << 5 << u"abcde"_s << u"abcde"_s;
    QTest::newRow("longer: both keep the start") << u"abcdefg"_s << 5 << u"abcde"_s << u"abcde"_s;
    QTest::newRow("width 0") << u"abc"_s << 0 << QString() << QString();
    QTest::newRow("empty text") << QString() << 3 << u"   "_s << u"   "_s;
    QTest::newRow("<DIR> in 10") << u"<DIR>"_s << 10 << u"<DIR>     "_s << u"     <DIR>"_s;
    QTest::newRow("counts 16-bit units")
        << u"\U0001F600x"_s << 2 << u"\U0001F600"_s << u"\U0001F600"_s;
}

void ListingTest::padding()
{
    QFETCH(QString, text);
    QFETCH(int, width);
    QFETCH(QString, left);
    QFETCH(QString, right);
    QCOMPARE(frmMain::PadLeft(text, int16_t(width)), left);
    QCOMPARE(frmMain::PadRight(text, int16_t(width)), right);
}

void ListingTest::negativeWidthIsAnError()
{
    for (auto pad : {&frmMain::PadLeft, &frmMain::PadRight}) {
        try {
            (void)pad(u"abc"_s, -1);
            QFAIL("no error");
        } catch (const velmora::RaisedError &error) {
            QCOMPARE(error.Number(), velmora::InvalidArgumentErrorNumber);
        }
    }
}

void ListingTest::workedExample()
{
    auto form = Listing({{0, u"DOCS", 4096, At140307}, {1, u"README.TXT", 512, At140307}});
    form->AddLogStatus(u"vorher"_s);
    form->PrintDirectoryOutput();
    form->AddLogStatus(u"nachher"_s);

    QCOMPARE(LogLines(*Log(*form)),
             (QStringList{u">  vorher"_s, QString(), Rule,
                          u"DOCS                              <DIR> 09.12.2026 14:03:07 "_s,
                          u"README.TXT                          512 09.12.2026 14:03:07 "_s, Rule,
                          QString(), u">  nachher"_s}));
    QStringList fonts(6, u"courier"_s);
    fonts.prepend(u"MS Sans Serif"_s);
    fonts.append(u"MS Sans Serif"_s);
    QCOMPARE(LineFonts(*Log(*form)), fonts);
    QCOMPARE(velmora::test::LineBoldness(*Log(*form)), u"--------"_s);
    // A screen reader gets the opening blank line in the block's font too.
    QCOMPARE(velmora::test::AccessibleLineFormats(*Log(*form)), fonts);
}

void ListingTest::emptyListing()
{
    auto form = Listing({});
    form->PrintDirectoryOutput();
    QCOMPARE(LogLines(*Log(*form)), (QStringList{QString(), Rule, Rule, QString()}));
    QCOMPARE(LineFonts(*Log(*form)), QStringList(4, u"courier"_s));
    QCOMPARE(m_script->Count("NextDirEntry"), 1);
}

void ListingTest::entryLines_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("size");
    QTest::addColumn<double>("modified");
    QTest::addColumn<QString>("line");
    QTest::newRow("name cut at 28, size 0, midnight")
        << 1 << QString(40, u'A') << 0 << 46365.0
        << u"AAAAAAAAAAAAAAAAAAAAAAAAAAAA          0 09.12.2026          "_s;
    QTest::newRow("empty name, ten digits, time alone")
        << 1 << QString() << 1234567890 << 0.5
        << u"                             1234567890 12:00:00            "_s;
    QTest::newRow("smallest size loses its last digit, negative date")
        << 1 << u"X"_s << int(INT32_MIN) << -1.25
        << u"X                            -214748364 29.12.1899 06:00:00 "_s;
    QTest::newRow("directory ignores its size")
        << 0 << u"DOS"_s << 123 << At140307
        << u"DOS                               <DIR> 09.12.2026 14:03:07 "_s;
    QTest::newRow("any other kind is a file")
        << 7 << u"KIND7.DAT"_s << 42 << At140307
        << u"KIND7.DAT                            42 09.12.2026 14:03:07 "_s;
}

void ListingTest::entryLines()
{
    QFETCH(int, kind);
    QFETCH(QString, name);
    QFETCH(int, size);
    QFETCH(double, modified);
    QFETCH(QString, line);
    auto script = std::make_shared<FakeScript>();
    script->listings = {{{kind, name.toStdU16String(), size, modified}}};
    frmMain form;
    auto engine = std::make_unique<RecordCheckingEngine>(script);
    const RecordCheckingEngine *checking = engine.get();
    form.Engine = std::move(engine);
    form.Engine->ReadLocalDirectory();
    form.PrintDirectoryOutput();
    QCOMPARE(LogLines(*Log(form)), (QStringList{QString(), Rule, line, Rule, QString()}));
    QCOMPARE(line.size(), 60);
    QVERIFY(!checking->misuse);
}

void ListingTest::notADateEndsTheBlock()
{
    auto form = Listing({{1, u"OK.TXT", 1, At140307}, {1, u"BAD.TXT", 1, std::nan("")}});
    try {
        form->PrintDirectoryOutput();
        QFAIL("no error");
    } catch (const velmora::RaisedError &error) {
        QCOMPARE(error.Number(), velmora::OverflowErrorNumber);
    }
    QCOMPARE(LogLines(*Log(*form)).size(), 3);  // no line, not even part of one, for BAD.TXT
    QCOMPARE(Log(*form)->SelFontName(), u"courier"_s);
}

void ListingTest::failureOnThirdEntry()
{
    auto form = Listing({{1, u"EINS.TXT", 1, At140307},
                         {1, u"ZWEI.TXT", 2, At140307},
                         {1, u"DREI.TXT", 3, At140307}});
    m_script->nextDirEntryThrowsAt = 3;
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, form->PrintDirectoryOutput());
    form->AddLogStatus(u"danach"_s);
    form->AddLogError(u"Fehler"_s);

    const QStringList lines = LogLines(*Log(*form));
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.mid(0, 2), (QStringList{QString(), Rule}));
    QVERIFY(lines[2].startsWith(u"EINS.TXT"_s));
    QVERIFY(lines[3].startsWith(u"ZWEI.TXT"_s));
    QCOMPARE(lines.mid(4), (QStringList{u">  danach"_s, u"!! Fehler"_s}));
    QCOMPARE(LineFonts(*Log(*form)), QStringList(6, u"courier"_s));
}

void ListingTest::listingFontIsFixedPitch()
{
    auto form = Listing({{1, u"iiii", 1, At140307}, {1, u"WWWW", 1, At140307}});
    form->show();
    form->AddLogStatus(u"vorher"_s);
    form->PrintDirectoryOutput();
    const qsizetype entry = LogLines(*Log(*form))[0].size() + 2 + 2 + 62;
    QCOMPARE(Log(*form)->FontNameAt(entry), u"courier"_s);
    const QFont listing = Log(*form)->FontAt(entry);
    QVERIFY2(QFontInfo(listing).fixedPitch(), qPrintable(QFontInfo(listing).family()));
    const QFontMetricsF metrics(listing);
    QCOMPARE(metrics.horizontalAdvance(u"iiii"_s), metrics.horizontalAdvance(u"WWWW"_s));
    // The status line before it is in the proportional window font.
    QVERIFY(!QFontInfo(Log(*form)->FontAt(0)).fixedPitch());
}

QTEST_MAIN(ListingTest)
#include "tst_listing.moc"
