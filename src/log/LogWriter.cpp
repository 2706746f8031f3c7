// The log writer: blank, status and error lines at the end of the log.

#include "../app/frmMain.h"
#include "RichTextBox.h"

using namespace Qt::StringLiterals;

namespace velmora {

namespace {
const QString LineEnd = u"\r\n"_s;
const QString StatusPrefix = u">  "_s;
const QString ErrorPrefix = u"!! "_s;

// Qt's wrapping at word boundaries takes time quadratic in the length of a run
// of characters without a break: a megabyte error text from an engine held the
// window for a minute and a half. Once such a run comes, the log breaks lines
// anywhere instead; no line of a normal run is near that long.
void KeepWrappingCheap(RichTextBox &log, const QString &text)
{
    constexpr qsizetype LongestRun = 4096;
    if (text.size() <= LongestRun || log.wordWrapMode() == QTextOption::WrapAnywhere)
        return;
    qsizetype run = 0;
    for (const QChar c : text) {
        const bool breaks = c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' ||
                            c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
        run = breaks ? 0 : run + 1;
        if (run > LongestRun) {
            log.setWordWrapMode(QTextOption::WrapAnywhere);
            return;
        }
    }
}
}  // namespace

void frmMain::PrepareLog()
{
    const qsizetype n = redLog->TextLength();
    redLog->SetSelStart(n);
    redLog->SetSelLength(0);
}

void frmMain::LogScrollInView()
{
    // The log control follows the newest line by itself.
}

void frmMain::AddLogNewLine()
{
    PrepareLog();
    redLog->SetSelText(LineEnd);
    LogScrollInView();
}

void frmMain::AddLogStatus(const QString &text)
{
    PrepareLog();
    redLog->SetSelBold(false);
    KeepWrappingCheap(*redLog, text);
    redLog->SetSelText(StatusPrefix + text + LineEnd);
    LogScrollInView();
}

void frmMain::AddLogError(const QString &text)
{
    PrepareLog();
    redLog->SetSelBold(true);
    KeepWrappingCheap(*redLog, text);
    redLog->SetSelText(ErrorPrefix + text + LineEnd);
    LogScrollInView();
}

}  // namespace velmora
