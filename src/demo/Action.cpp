// The demo run: one fixed script of engine operations, each announced in the
// log, waited for and checked.

#include "DateText.h"
#include "EngineFactory.h"
#include "EngineText.h"
#include "MsgBox.h"
#include "WaitMessage.h"
#include "frmMain.h"

using namespace Qt::StringLiterals;

namespace velmora {

namespace {

const QString LocalStartDirectory = u"C:\\"_s;
const QString ServerNumber = u"0421 7396 2058"_s;
const QString ServerDirectory = u"TOOLS\\MORVANTE"_s;
const QString DownloadName = u"TRANVIK7.EXE"_s;

}  // namespace

void frmMain::Action()
{
    // How the run ended, apart from what the log says (an engine's text can
    // look like any line): true only after "Fertig!" and Shutdown.
    RunCompleted = false;
    StartTime = CurrentTimeOfDay();
    Engine = CreateTransferEngine();
    Engine->SetWakeCallback(EngineWakeCallback());
    if (Engine->AlreadyRunning()) {
        MsgBox(this, u"Velmora läuft schon."_s);
        RaiseAbort();
    }
    // A close served before the run began still stops it, at its first wait:
    // a closed window must not go on dialling and downloading.
    AbortRequested = m_closed;
    try {
        Engine->Initialize();
    } catch (...) {
        MsgBox(
            this,
            u"Velmora ab Version 2.02 Revision 1.26 ist auf diesem PC nicht (korrekt) installiert."_s);
        RaiseAbort();
    }

    try {
        AddLogStatus(u"Ermittle lokal verfügbare Laufwerke..."_s);
        QString d = FromEngine(Engine->LocalDrives());
        CheckForErrors();
        AddLogStatus(u"Verfügbare Laufwerke: "_s + d);

        AddLogStatus(u"Wechsle lokal in Verzeichnis C:\\..."_s);
        Engine->ChangeLocalDirectory(ToEngine(LocalStartDirectory));
        WaitUntilReady();
        CheckForErrors();

        AddLogStatus(u"Ermittle aktuelles lokales Verzeichnis"_s);
        QString p = FromEngine(Engine->LocalDirectory());
        CheckForErrors();
        AddLogStatus(u"Aktuelles lokales Verzeichnis ist "_s + p);

        AddLogStatus(u"Lese Verzeichnisinhalt von "_s + p);
        Engine->ReadLocalDirectory();
        WaitUntilReady();
        CheckForErrors();
        PrintDirectoryOutput();

        AddLogStatus(u"Wähle Nr. "_s + ServerNumber);
        Engine->Dial(ToEngine(ServerNumber), u"", u"", 5);
        WaitUntilReady();
        CheckForErrors();

        const QString r = FromEngine(Engine->RemoteName());
        AddLogStatus(u"Verbunden mit "_s + r);

        AddLogStatus(u"Ermittle verfügbare Laufwerke auf Server..."_s);
        d = FromEngine(Engine->RemoteDrives());
        CheckForErrors();
        AddLogStatus(u"Verfügbare Laufwerke: "_s + d);

        AddLogStatus(u"Ermittle Verfügbarkeit von langen Dateinamen..."_s);
        const bool b = Engine->LongFileNames();
        CheckForErrors();
        AddLogStatus(b ? u"Lange Dateinamen werden unterstützt."_s
                       : u"Lange Dateinamen werden nicht unterstützt."_s);

        AddLogStatus(u"Ermittle aktuelles Verzeichnis auf Server"_s);
        p = FromEngine(Engine->RemoteDirectory());
        CheckForErrors();
        AddLogStatus(u"Aktuelles Verzeichnis auf Server ist "_s + p);

        AddLogStatus(u"Lese Verzeichnisinhalt auf Server..."_s);
        Engine->ReadRemoteDirectory();
        WaitUntilReady();
        CheckForErrors();
        PrintDirectoryOutput();

        AddLogStatus(u"Wechsle in Verzeichnis "_s + ServerDirectory);
        Engine->ChangeRemoteDirectory(ToEngine(ServerDirectory));
        WaitUntilReady();
        CheckForErrors();

        AddLogStatus(u"Ermittle aktuelles Verzeichnis auf Server"_s);
        p = FromEngine(Engine->RemoteDirectory());
        CheckForErrors();
        AddLogStatus(u"Aktuelles Verzeichnis auf Server ist "_s + p);

        AddLogStatus(u"Lese Verzeichnisinhalt von "_s + p);
        Engine->ReadRemoteDirectory();
        WaitUntilReady();
        CheckForErrors();
        PrintDirectoryOutput();

        AddLogStatus(u"Downloade Datei "_s + DownloadName + u" (Dauert > 1 Min)"_s);
        Engine->DownloadFile(ToEngine(DownloadName), 0);
        WaitUntilReady();
        CheckForErrors();

        AddLogStatus(u"Beende Verbindung..."_s);
        Engine->HangUp();
        WaitUntilReady();
        CheckForErrors();
        AddLogStatus(u"Fertig!"_s);
        AddLogNewLine();
        AddLogNewLine();
    } catch (...) {
        // Any failure after the engine is initialised ends here. A failing
        // Shutdown now passes to the caller.
        Engine->Shutdown();
        return;
    }
    try {
        Engine->Shutdown();
    } catch (...) {
        // The handler's shutdown, once more; its failure passes to the caller.
        Engine->Shutdown();
    }
    RunCompleted = true;
}

}  // namespace velmora
