#pragma once

#include "RichTextBox.h"
#include "frmMain.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class QLabel;
class QPushButton;

namespace velmora::test {

// The window's controls, found by their object names as an automation tool
// finds them; a control that is missing fails the test.
[[nodiscard]] RichTextBox *Log(const QWidget &window);
[[nodiscard]] QLabel *TimeLabel(const QWidget &window);
[[nodiscard]] QPushButton *StartButton(const QWidget &window);
[[nodiscard]] QPushButton *CancelButton(const QWidget &window);

// The log's lines without their line breaks; the text after the last break,
// empty for a log that ends in one, is dropped.
[[nodiscard]] QStringList LogLines(const RichTextBox &log);

// Per line: whether all its characters, its line break included, are bold
// ('B'), none are ('-'), or it is mixed ('?').
[[nodiscard]] QString LineBoldness(const RichTextBox &log);
// Per line: the font name of all its characters, or "mixed".
[[nodiscard]] QStringList LineFonts(const RichTextBox &log);
// Per line, as a screen reader gets it through the accessibility interface:
// the font family at the line's start, with ", bold" where it is bold.
[[nodiscard]] QStringList AccessibleLineFormats(const RichTextBox &log);
// The same from the control's own read-back, for lines of one format.
[[nodiscard]] QStringList LineFormats(const RichTextBox &log);

// Confirms every modal message box that opens while it lives and records what
// it showed.
class MessageBoxWatcher : public QObject
{
public:
    struct Seen
    {
        QString title;
        QString text;
        int buttons = 0;  // QMessageBox::StandardButtons
        int icon = -1;    // QMessageBox::Icon
        bool modal = false;
    };

    MessageBoxWatcher();
    std::vector<Seen> seen;

private:
    QTimer m_timer;
};

// Catches a wait that would hang. After 20 s it fires a timer, the one event
// nobody else sends: a wait that only ended through it was waiting for an event
// that was not coming (Fired()). Should not even that end the wait, the test
// stops with a fatal message 20 s later.
class Watchdog
{
public:
    Watchdog();
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;
    ~Watchdog();
    [[nodiscard]] bool Fired() const { return m_fired; }

private:
    QObject m_context;
    bool m_fired = false;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace velmora::test
