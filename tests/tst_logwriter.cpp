// The log writer's lines and formats, and the log control beneath it.

#include "TestSupport.h"

#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>

using namespace Qt::StringLiterals;
using velmora::frmMain;
using velmora::RichTextBox;
using velmora::test::LineBoldness;
using velmora::test::LineFonts;
using velmora::test::Log;
using velmora::test::LogLines;

namespace {

// What RichTextBox::TextInserted announced, one row per insert: the text, its
// bold and its font name. The headless driver marks error lines by the bold.
using Inserts = QList<QList<QVariant>>;

QList<QVariant> Insert(const QString &text, bool bold, const QString &fontName)
{
    return {text, bold, fontName};
}

}  // namespace

class LogWriterTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void linesAndBoldness();
    void emptyTexts();
    void textWrittenUnchanged();
    void formatSurvivesUserSelection();
    void fontStaysInForce();
    void lengthCountsLineBreaksAsTwo_data();
    void lengthCountsLineBreaksAsTwo();
    void readBackAsWritten();
    void selectionInsideTheText();
    void userCannotType();
    void viewFollowsNewestLine();
};

void LogWriterTest::linesAndBoldness()
{
    frmMain form;
    QSignalSpy inserted(Log(form), &RichTextBox::TextInserted);
    form.AddLogStatus(u"eins"_s);
    form.AddLogError(u"zwei"_s);
    form.AddLogNewLine();  // takes the bold of the error line before it
    form.AddLogStatus(u"drei"_s);
    form.AddLogNewLine();
    form.AddLogError(u"vier"_s);

    QCOMPARE(Log(form)->PlainText(), u">  eins\r\n!! zwei\r\n\r\n>  drei\r\n\r\n!! vier\r\n"_s);
    QCOMPARE(LineBoldness(*Log(form)), u"-BB--B"_s);
    QCOMPARE(LineFonts(*Log(form)), QStringList(6, u"MS Sans Serif"_s));
    const QString font = u"MS Sans Serif"_s;
    QCOMPARE(static_cast<const Inserts &>(inserted),
             (Inserts{Insert(u">  eins\r\n"_s, false, font), Insert(u"!! zwei\r\n"_s, true, font),
                      Insert(u"\r\n"_s, true, font), Insert(u">  drei\r\n"_s, false, font),
                      Insert(u"\r\n"_s, false, font), Insert(u"!! vier\r\n"_s, true, font)}));
    QCOMPARE(velmora::test::AccessibleLineFormats(*Log(form)),
             velmora::test::LineFormats(*Log(form)));
}

void LogWriterTest::emptyTexts()
{
    frmMain form;
    form.AddLogStatus(QString());
    form.AddLogError(QString());
    QCOMPARE(Log(form)->PlainText(), u">  \r\n!! \r\n"_s);
    QCOMPARE(LineBoldness(*Log(form)), u"-B"_s);
}

void LogWriterTest::textWrittenUnchanged()
{
    frmMain form;
    const QString text = u"  Tab\there, ümlaut, \u200Frtl, trailing  "_s;
    form.AddLogStatus(text);
    QCOMPARE(Log(form)->PlainText(), u">  "_s + text + u"\r\n"_s);
    // A line break inside an engine's text is not escaped: it breaks the line.
    form.AddLogError(u"a\nb"_s);
    QCOMPARE(LogLines(*Log(form)).mid(1), (QStringList{u"!! a"_s, u"b"_s}));
    QCOMPARE(LineBoldness(*Log(form)), u"-BB"_s);
}

void LogWriterTest::formatSurvivesUserSelection()
{
    frmMain form;
    form.AddLogStatus(u"eins"_s);
    form.AddLogError(u"zwei"_s);
    // The user selects the first line to copy it, which puts the widget's
    // cursor into non-bold text.
    QTextCursor user(Log(form)->document());
    user.setPosition(0);
    user.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    Log(form)->setTextCursor(user);

    form.AddLogNewLine();
    QCOMPARE(Log(form)->PlainText(), u">  eins\r\n!! zwei\r\n\r\n"_s);
    QCOMPARE(LineBoldness(*Log(form)), u"-BB"_s);
    QCOMPARE(Log(form)->textCursor().selectedText(), u">  eins"_s);
}

void LogWriterTest::fontStaysInForce()
{
    frmMain form;
    QSignalSpy inserted(Log(form), &RichTextBox::TextInserted);
    form.AddLogStatus(u"vorher"_s);
    Log(form)->SetSelFontName(u"courier"_s);
    form.AddLogError(u"fehler"_s);
    form.AddLogNewLine();
    form.AddLogStatus(u"nachher"_s);
    QCOMPARE(LineFonts(*Log(form)),
             (QStringList{u"MS Sans Serif"_s, u"courier"_s, u"courier"_s, u"courier"_s}));
    QCOMPARE(LineBoldness(*Log(form)), u"-BB-"_s);
    QCOMPARE(static_cast<const Inserts &>(inserted),
             (Inserts{Insert(u">  vorher\r\n"_s, false, u"MS Sans Serif"_s),
                      Insert(u"!! fehler\r\n"_s, true, u"courier"_s),
                      Insert(u"\r\n"_s, true, u"courier"_s),
                      Insert(u">  nachher\r\n"_s, false, u"courier"_s)}));

    // A blank line in another format than the line before it: it reads back
    // in its own, and the line before keeps its own, to a screen reader too.
    Log(form)->SetSelFontName(u"MS Sans Serif"_s);
    Log(form)->SetSelBold(true);
    form.AddLogNewLine();
    QCOMPARE(velmora::test::LineFormats(*Log(form)).mid(3),
             (QStringList{u"courier"_s, u"MS Sans Serif, bold"_s}));
    QCOMPARE(velmora::test::AccessibleLineFormats(*Log(form)),
             velmora::test::LineFormats(*Log(form)));
}

void LogWriterTest::lengthCountsLineBreaksAsTwo_data()
{
    QTest::addColumn<QStringList>("inserts");
    QTest::addColumn<qsizetype>("length");
    QTest::newRow("empty") << QStringList{} << qsizetype(0);
    QTest::newRow("one line") << QStringList{u"abc\r\n"_s} << qsizetype(5);
    QTest::newRow("no break at end") << QStringList{u"abc\r\n"_s, u"de"_s} << qsizetype(7);
    QTest::newRow("lone line feed reads as a break") << QStringList{u"a\nb"_s} << qsizetype(4);
    QTest::newRow("lone carriage return too") << QStringList{u"a\rb"_s} << qsizetype(4);
    QTest::newRow("paragraph separator too") << QStringList{u"a\u2029b"_s} << qsizetype(4);
    QTest::newRow("blank lines") << QStringList{u"\r\n"_s, u"\r\n"_s, u"\r\n"_s} << qsizetype(6);
    QTest::newRow("surrogate pair counts two") << QStringList{u"\U0001F600\r\n"_s} << qsizetype(4);
}

void LogWriterTest::lengthCountsLineBreaksAsTwo()
{
    QFETCH(QStringList, inserts);
    QFETCH(qsizetype, length);
    RichTextBox box;
    for (const QString &text : inserts) {
        box.SetSelStart(box.TextLength());
        box.SetSelText(text);
        QCOMPARE(box.SelStart(), box.TextLength());  // the caret follows the insert
    }
    QCOMPARE(box.TextLength(), length);
    QCOMPARE(box.PlainText().size(), length);
}

void LogWriterTest::readBackAsWritten()
{
    RichTextBox box;
    // A line separator, a non-breaking space, NUL and a tab are characters of
    // the line, not breaks or blanks of another kind.
    const QString text = u"a\u2028b\u00A0c"_s + QChar(0) + u"\td\r\n"_s;
    box.SetSelText(text);
    QCOMPARE(box.PlainText(), text);
    QCOMPARE(box.TextLength(), text.size());
}

void LogWriterTest::selectionInsideTheText()
{
    RichTextBox box;
    box.SetSelText(u"eins\r\nzwei\r\ndrei\r\n"_s);
    // Select "zwei" by plain-text position, make it bold, then replace "drei".
    box.SetSelStart(6);
    box.SetSelLength(4);
    box.SetSelBold(true);
    QVERIFY(box.BoldAt(6) && box.BoldAt(9));
    QVERIFY(!box.BoldAt(5) && !box.BoldAt(10));
    box.SetSelStart(12);
    box.SetSelLength(4);
    box.SetSelText(u"DREI"_s);
    QCOMPARE(box.PlainText(), u"eins\r\nzwei\r\nDREI\r\n"_s);
    QCOMPARE(box.SelStart(), 16);
    QCOMPARE(box.SelLength(), 0);
    // Positions past the end land at the end.
    box.SetSelStart(1000);
    QCOMPARE(box.SelStart(), box.TextLength());
}

void LogWriterTest::userCannotType()
{
    frmMain form;
    form.show();
    form.AddLogStatus(u"eins"_s);
    Log(form)->setFocus();
    QTest::keyClicks(Log(form), u"xyz"_s);
    QTest::keyClick(Log(form), Qt::Key_Backspace);
    QTest::keyClick(Log(form), Qt::Key_Delete);
    QCOMPARE(Log(form)->PlainText(), u">  eins\r\n"_s);
}

void LogWriterTest::viewFollowsNewestLine()
{
    frmMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QScrollBar *bar = Log(form)->verticalScrollBar();
    for (int i = 0; i < 200; ++i)
        form.AddLogStatus(u"Zeile %1"_s.arg(i));
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    // Scrolled back by the user, the view stays where the user put it.
    bar->setValue(0);
    form.AddLogStatus(u"noch eine"_s);
    QCOMPARE(bar->value(), 0);
    bar->setValue(bar->maximum());
    form.AddLogStatus(u"und wieder unten"_s);
    QCOMPARE(bar->value(), bar->maximum());
}

QTEST_MAIN(LogWriterTest)
#include "tst_logwriter.moc"
