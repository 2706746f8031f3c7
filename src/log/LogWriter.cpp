// The log writer: blank, status and error lines at the end of the log.

#include "RichTextBox.h"
#include "frmMain.h"

using namespace Qt::StringLiterals;

namespace velmora {

namespace {

const QString StatusPrefix = u">  "_s;
const QString ErrorPrefix = u"!! "_s;

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
    redLog->SetSelText(StatusPrefix + text + LineEnd);
    LogScrollInView();
}

void frmMain::AddLogError(const QString &text)
{
    PrepareLog();
    redLog->SetSelBold(true);
    redLog->SetSelText(ErrorPrefix + text + LineEnd);
    LogScrollInView();
}

}  // namespace velmora
