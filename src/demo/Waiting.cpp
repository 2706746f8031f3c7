// Waiting for the engine with cancel, and the error check after each step.

#include "DateText.h"
#include "EngineText.h"
#include "RaisedError.h"
#include "WaitMessage.h"
#include "frmMain.h"

#include <QLabel>

using namespace Qt::StringLiterals;

namespace velmora {

void frmMain::RaiseAbort()
{
    throw RaisedError(AbortErrorNumber, u"BenutzerAbbruch"_s);
}

void frmMain::WaitUntilReady()
{
    for (;;) {
        lblTime->setText(DurationText(CurrentTimeOfDay() - StartTime));
        WaitMessage();
        DoEvents();
        if (AbortRequested) {
            AddLogError(u"Abbruch"_s);
            Engine->AbortOperation();
            do {
                WaitMessage();
                DoEvents();
            } while (Engine->Busy());
            RaiseAbort();
        }
        if (!Engine->Busy())
            return;
    }
}

void frmMain::CheckForErrors()
{
    if (!Engine->ErrorOccurred())
        return;
    if (Engine->ErrorText().empty())
        AddLogError(u"Unbekannter Fehler aufgetreten."_s);
    else
        AddLogError(FromEngine(Engine->ErrorText()));
    RaiseAbort();
}

}  // namespace velmora
