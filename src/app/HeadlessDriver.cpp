// Runs the demo run without a display: presses Start itself on Qt's offscreen
// platform, prints every log line as it is written and the elapsed time as it
// changes, confirms message boxes, and exits 0 only when the run reached
// "Fertig!". Ctrl+C asks the run to stop, as Abbrechen does.

#include "EngineChoice.h"
#include "EngineFactory.h"
#include "RichTextBox.h"
#include "frmMain.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string_view>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

std::atomic<bool> interrupted{false};

extern "C" void OnInterrupt(int)
{
    interrupted.store(true);
    std::signal(SIGINT, SIG_DFL);  // a second Ctrl+C ends the program at once
}

class Printer
{
public:
    Printer() : m_tty(isatty(STDOUT_FILENO) == 1) {}

    void Line(const QString &gutter, const QString &text, bool error)
    {
        EndStatus();
        const char *on = error && m_tty ? "\033[1;31m" : "";
        const char *off = error && m_tty ? "\033[0m" : "";
        std::printf("%s%6s | %s%s\n", on, qPrintable(gutter), qPrintable(text), off);
        std::fflush(stdout);
    }

    // On a terminal the elapsed time updates one line in place.
    void Elapsed(const QString &time)
    {
        if (m_tty) {
            std::printf("\r\033[K%6s | %s", "Zeit", qPrintable(time));
            m_statusShown = true;
        } else {
            std::printf("%6s | %s\n", "Zeit", qPrintable(time));
        }
        std::fflush(stdout);
    }

private:
    void EndStatus()
    {
        if (m_statusShown)
            std::printf("\r\033[K");
        m_statusShown = false;
    }

    bool m_tty;
    bool m_statusShown = false;
};

// Exit status 0 when the platform's display can be opened. Qt ends a failed
// connection with a fatal message and an abort; a check wants a quiet answer.
int CanOpenDisplay(int argc, char *argv[])
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &) {
        if (type == QtFatalMsg)
            _exit(1);
    });
    QGuiApplication app(argc, argv);
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    // Asked by `make run` before it opens the window; the demo itself takes
    // no arguments.
    if (argc == 2 && std::string_view(argv[1]) == "--can-open-display")
        return CanOpenDisplay(1, argv);

    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(velmora::frmMain::Caption);
    std::signal(SIGINT, OnInterrupt);
    velmora::SetEngineFactory(velmora::engine::CreateChosenEngine);

    velmora::frmMain form;
    form.show();

    Printer printer;
    QString pending;
    bool finished = false;
    QObject::connect(form.redLog, &velmora::RichTextBox::TextInserted, &form,
                     [&](const QString &text, bool bold, const QString &) {
                         pending += text;
                         qsizetype end;
                         while ((end = pending.indexOf(velmora::frmMain::LineEnd)) >= 0) {
                             const QString line = pending.left(end);
                             pending.remove(0, end + velmora::frmMain::LineEnd.size());
                             finished = finished || line == u">  Fertig!"_s;
                             printer.Line(bold ? u"FEHLER"_s : QString(), line, bold);
                         }
                     });

    // Polled rather than hooked: the label has no change signal, and a poll a
    // few times a second is nothing next to the run.
    QString shownTime;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &form, [&] {
        if (form.lblTime->text() != shownTime) {
            shownTime = form.lblTime->text();
            printer.Elapsed(shownTime);
        }
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            printer.Line(u"MELDUNG"_s, box->text(), true);
            box->accept();
        }
        if (interrupted.exchange(false) && form.cmdCancel->isEnabled()) {
            printer.Line(u"Strg+C"_s, u"Abbrechen gedrückt"_s, false);
            form.cmdCancel->click();
        }
    });
    poll.start(200);

    QTimer::singleShot(0, &form, [&] {
        form.cmdStart->click();
        app.exit(finished ? 0 : 1);
    });
    const int status = app.exec();
    if (!pending.isEmpty())
        printer.Line(QString(), pending, false);
    return status;
}
