// Directory listing blocks: fixed-width entry lines between two rule lines,
// in a fixed-pitch font.

#include "../app/RaisedError.h"
#include "../app/frmMain.h"
#include "DateText.h"
#include "RichTextBox.h"

using namespace Qt::StringLiterals;

namespace velmora {

namespace {

const QString LineEnd = u"\r\n"_s;
const QString RuleLine = QString(60, u'-');
const QString ListingFont = u"courier"_s;
const QString TextFont = u"MS Sans Serif"_s;

constexpr int16_t NameWidth = 28;
constexpr int16_t SizeWidth = 10;
constexpr int16_t ModifiedWidth = 20;

// The first width characters of text, and how many spaces it lacks.
QString Cut(const QString &text, int16_t width, qsizetype &missing)
{
    if (width < 0)
        throw RaisedError(InvalidArgumentErrorNumber,
                          u"Ungültiger Prozeduraufruf oder ungültiges Argument"_s);
    QString cut = text.left(width);
    missing = width - cut.size();
    return cut;
}

// Appends text cut or filled with blanks to width, as PadLeft (blanks after)
// or PadRight (blanks before) would.
void AppendPadded(QString &line, QStringView text, qsizetype width, bool blanksBefore)
{
    text = text.left(width);
    const qsizetype blanks = width - text.size();
    if (blanksBefore)
        line.resize(line.size() + blanks, u' ');
    line += text;
    if (!blanksBefore)
        line.resize(line.size() + blanks, u' ');
}

}  // namespace

QString frmMain::PadLeft(const QString &text, int16_t width)
{
    qsizetype missing = 0;
    QString s = Cut(text, width, missing);
    return s.append(QString(missing, u' '));
}

QString frmMain::PadRight(const QString &text, int16_t width)
{
    qsizetype missing = 0;
    QString s = Cut(text, width, missing);
    return s.prepend(QString(missing, u' '));
}

void frmMain::AddLogStartDirListing()
{
    PrepareLog();
    redLog->SetSelFontName(ListingFont);
    AddLogNewLine();
    redLog->SetSelText(RuleLine + LineEnd);
    LogScrollInView();
}

void frmMain::AddLogEndDirListing()
{
    PrepareLog();
    redLog->SetSelText(RuleLine + LineEnd);
    AddLogNewLine();
    redLog->SetSelFontName(TextFont);
    LogScrollInView();
}

QString frmMain::DirListingLine(const DirEntry &entry)
{
    // The columns of PadLeft and PadRight, built in one buffer: a listing
    // makes thousands of lines in a row.
    QString line;
    line.reserve(NameWidth + 1 + SizeWidth + 1 + ModifiedWidth + LineEnd.size());
    // Copied as it is: fromStdU16String would take a leading U+FEFF or U+FFFE
    // for a byte order mark and drop it or swap every character.
    AppendPadded(line, QStringView(entry.Name), NameWidth, false);
    line += u' ';
    if (entry.Kind == 0)
        AppendPadded(line, u"<DIR>", SizeWidth, true);
    else
        AppendPadded(line, QString::number(entry.Size), SizeWidth, true);
    line += u' ';
    AppendPadded(line, DateTimeText(entry.Modified), ModifiedWidth, false);
    return line;
}

void frmMain::AddLogDirListingItem(const DirEntry &entry)
{
    PrepareLog();
    QString line = DirListingLine(entry);
    line += LineEnd;  // in the room DirListingLine left for it
    redLog->SetSelText(line);
    LogScrollInView();
}

void frmMain::PrintDirectoryOutput()
{
    // The block is written in one go without yielding, so its edits can share
    // one layout pass. The record is handed to every call and not cleared.
    RichTextBox::Batch batch(*redLog);
    DirEntry entry;
    int32_t status = 0;
    AddLogStartDirListing();
    for (;;) {
        status = Engine->NextDirEntry(entry);
        if (status == DirListingEnd)
            break;
        AddLogDirListingItem(entry);
    }
    AddLogEndDirListing();
}

}  // namespace velmora
