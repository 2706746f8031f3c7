// Directory listing blocks: fixed-width entry lines between two rule lines,
// in a fixed-pitch font.

#include "DateText.h"
#include "RaisedError.h"
#include "RichTextBox.h"
#include "frmMain.h"

using namespace Qt::StringLiterals;

namespace velmora {

namespace {

const QString RuleLine = QString(60, u'-');

constexpr qsizetype NameWidth = 28;
constexpr qsizetype SizeWidth = 10;
constexpr qsizetype ModifiedWidth = 20;

// Appends text cut or filled with blanks to width: blanks after it for
// PadLeft, before it for PadRight. The listing builds its lines with it in one
// buffer, column by column.
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

QString Padded(QStringView text, int16_t width, bool blanksBefore)
{
    if (width < 0)
        throw RaisedError(InvalidArgumentErrorNumber,
                          u"Ungültiger Prozeduraufruf oder ungültiges Argument"_s);
    QString padded;
    padded.reserve(width);
    AppendPadded(padded, text, width, blanksBefore);
    return padded;
}

}  // namespace

QString frmMain::PadLeft(const QString &text, int16_t width)
{
    return Padded(text, width, false);
}

QString frmMain::PadRight(const QString &text, int16_t width)
{
    return Padded(text, width, true);
}

void frmMain::AddLogStartDirListing()
{
    PrepareLog();
    redLog->SetSelFontName(ListingFontName);
    AddLogNewLine();
    redLog->SetSelText(RuleLine + LineEnd);
    LogScrollInView();
}

void frmMain::AddLogEndDirListing()
{
    PrepareLog();
    redLog->SetSelText(RuleLine + LineEnd);
    AddLogNewLine();
    redLog->SetSelFontName(WindowFontName);
    LogScrollInView();
}

QString frmMain::DirListingLine(const DirEntry &entry)
{
    // The columns of PadLeft and PadRight, built in one buffer: a listing
    // makes thousands of lines in a row.
    QString line;
    line.reserve(NameWidth + 1 + SizeWidth + 1 + ModifiedWidth + LineEnd.size());
    // The name is read in place, as FromEngine takes it over: no copy per entry.
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
