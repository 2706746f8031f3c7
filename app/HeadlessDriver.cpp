// Runs the demo run without a display: presses Start itself on Qt's offscreen
// platform, prints every log line as it is written and the elapsed time as it
// changes, and confirms message boxes. Ctrl+C and SIGTERM ask the run to stop,
// as Abbrechen does. The exit status tells how the run ended: 0 after
// "Fertig!", 1 after an error, 128 + the signal when a signal cancelled it.

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

std::atomic<int> interruptedBy{0};  // the first SIGINT or SIGTERM
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnInterrupt(int number)
{
    int none = 0;
    interruptedBy.compare_exchange_strong(none, number);
    // A second one ends the program at once.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

bool IsControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

// Controls in the log would act on the terminal: move the cursor, recolour,
// start a line of their own or turn the text around. Shown as escapes instead.
QString Visible(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (!IsControl(c.unicode()))
            out += c;
        else if (c.unicode() < 0x80)
            out += u"\\x%1"_s.arg(uint(c.unicode()), 2, 16, QChar(u'0'));
        else
            out += u"\\u%1"_s.arg(uint(c.unicode()), 4, 16, QChar(u'0'));
    }
    return out;
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
        std::printf("%s%6s | %s%s\n", on, qPrintable(gutter), qPrintable(Visible(text)), off);
        std::fflush(stdout);
    }

    // On a terminal the elapsed time updates one line in place.
    void Elapsed(const QString &time)
    {
        if (m_tty) {
            std::printf("\r\033[K%6s | %s", "Zeit", qPrintable(Visible(time)));
            m_statusShown = true;
        } else {
            std::printf("%6s | %s\n", "Zeit", qPrintable(Visible(time)));
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
    std::signal(SIGTERM, OnInterrupt);
    velmora::SetEngineFactory(velmora::engine::CreateChosenEngine);

    velmora::frmMain form;
    form.show();

    Printer printer;
    QString pending;
    // Each write to the log is one line ending in the log's line break; a
    // line break before that came with the text and is shown escaped.
    QObject::connect(form.redLog, &velmora::RichTextBox::TextInserted, &form,
                     [&](const QString &text, bool bold, const QString &) {
                         pending += text;
                         if (!pending.endsWith(velmora::frmMain::LineEnd))
                             return;
                         pending.chop(velmora::frmMain::LineEnd.size());
                         printer.Line(bold ? u"FEHLER"_s : QString(), pending, bold);
                         pending.clear();
                     });

    // Polled rather than hooked: the label has no change signal, and a poll a
    // few times a second is nothing next to the run.
    QString shownTime;
    int cancelledBy = 0;
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
        // Pressed again at every poll: the run forgets a press that came
        // before it began.
        if (const int number = interruptedBy.load(); number != 0 && form.cmdCancel->isEnabled()) {
            if (cancelledBy == 0) {
                if (number == SIGINT)
                    printer.Line(u"Strg+C"_s, u"Abbrechen gedrückt"_s, false);
                else
                    printer.Line(u"Signal"_s, u"Abbrechen gedrückt (SIGTERM)"_s, false);
            }
            cancelledBy = number;
            form.cmdCancel->click();
        }
    });
    poll.start(200);

    QTimer::singleShot(0, &form, [&] {
        form.cmdStart->click();
        app.exit(form.RunCompleted ? 0 : cancelledBy != 0 ? 128 + cancelledBy : 1);
    });
    const int status = app.exec();
    if (!pending.isEmpty())
        printer.Line(QString(), pending, false);
    return status;
}
