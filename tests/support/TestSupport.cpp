#include "TestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>

#include <stdexcept>

#include <chrono>

using namespace Qt::StringLiterals;

namespace velmora::test {

namespace {

template <typename T> T *Control(const QWidget &window, const QString &name)
{
    T *control = window.findChild<T *>(name, Qt::FindDirectChildrenOnly);
    if (!control)
        throw std::logic_error("the window has no control " + name.toStdString());
    return control;
}

}  // namespace

RichTextBox *Log(const QWidget &window)
{
    return Control<RichTextBox>(window, u"redLog"_s);
}

QLabel *TimeLabel(const QWidget &window)
{
    return Control<QLabel>(window, u"lblTime"_s);
}

QPushButton *StartButton(const QWidget &window)
{
    return Control<QPushButton>(window, u"cmdStart"_s);
}

QPushButton *CancelButton(const QWidget &window)
{
    return Control<QPushButton>(window, u"cmdCancel"_s);
}

QStringList LogLines(const RichTextBox &log)
{
    QStringList lines = log.PlainText().split(u"\r\n"_s);
    lines.removeLast();
    return lines;
}

namespace {

// Calls f(start, length) for each line, the length including the line break.
template <typename F> void ForEachLine(const RichTextBox &log, F f)
{
    qsizetype start = 0;
    for (const QString &line : LogLines(log)) {
        f(start, line.size() + 2);
        start += line.size() + 2;
    }
}

}  // namespace

QString LineBoldness(const RichTextBox &log)
{
    QString result;
    ForEachLine(log, [&](qsizetype start, qsizetype length) {
        int bold = 0;
        for (qsizetype i = start; i < start + length; ++i)
            bold += log.BoldAt(i) ? 1 : 0;
        result += bold == length ? u'B' : bold == 0 ? u'-' : u'?';
    });
    return result;
}

QStringList LineFonts(const RichTextBox &log)
{
    QStringList result;
    ForEachLine(log, [&](qsizetype start, qsizetype length) {
        QString font = log.FontNameAt(start);
        for (qsizetype i = start + 1; i < start + length; ++i)
            if (log.FontNameAt(i) != font)
                font = u"mixed"_s;
        result << font;
    });
    return result;
}

QStringList AccessibleLineFormats(const RichTextBox &log)
{
    QStringList result;
    QAccessibleInterface *accessible =
        QAccessible::queryAccessibleInterface(const_cast<RichTextBox *>(&log));
    QAccessibleTextInterface *text = accessible ? accessible->textInterface() : nullptr;
    if (!text)
        return {u"no accessible text"_s};
    const QStringList lines = text->text(0, text->characterCount()).split(u'\n');
    int offset = 0;
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {  // the last piece follows the last break
        int start = 0;
        int end = 0;
        const QString attributes = text->attributes(offset, &start, &end);
        static const QRegularExpression family(uR"re(font-family:"([^"]*)")re"_s);
        QString format = family.match(attributes).captured(1);
        if (attributes.contains(u"font-weight:bold"_s))
            format += u", bold"_s;
        result << format;
        offset += int(lines[i].size()) + 1;
    }
    return result;
}

QStringList LineFormats(const RichTextBox &log)
{
    QStringList result = LineFonts(log);
    const QString boldness = LineBoldness(log);
    for (qsizetype i = 0; i < result.size(); ++i)
        result[i] += boldness[i] == u'B'   ? u", bold"_s
                     : boldness[i] == u'-' ? QString()
                                           : u", mixed"_s;
    return result;
}

MessageBoxWatcher::MessageBoxWatcher()
{
    connect(&m_timer, &QTimer::timeout, this, [this] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        seen.push_back({box->windowTitle(), box->text(), int(box->standardButtons()),
                        int(box->icon()), box->isModal()});
        box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
    });
    m_timer.start(20);
}

Watchdog::Watchdog()
    : m_thread([this] {
          std::unique_lock lock(m_mutex);
          if (!m_done.wait_for(lock, std::chrono::seconds(40), [this] { return m_stop; }))
              qFatal("a wait stalled");
      })
{
    QTimer::singleShot(20'000, &m_context, [this] { m_fired = true; });
}

Watchdog::~Watchdog()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_done.notify_one();
    m_thread.join();
}

}  // namespace velmora::test
