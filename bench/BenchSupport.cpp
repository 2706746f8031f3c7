#include "BenchSupport.h"

#include "RichTextBox.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QWidget>
#include <QWindow>

#include <cstdlib>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace velmora::bench {

void ShowExposed(QWidget &window)
{
    window.show();
    QElapsedTimer timer;
    timer.start();
    while (!(window.windowHandle() && window.windowHandle()->isExposed())) {
        if (timer.elapsed() > 10000)
            throw std::runtime_error("window not exposed");
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    QCoreApplication::processEvents();
}

void TrimLog(RichTextBox &log, int lines)
{
    QTextDocument *doc = log.document();
    if (doc->blockCount() <= lines + 1)
        return;
    QTextCursor cursor(doc);
    cursor.setPosition(doc->findBlockByNumber(lines).position());
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
}

void FillLog(RichTextBox &log, int lines)
{
    QString text;
    text.reserve(qsizetype(lines) * 48);
    for (int i = 0; i < lines; ++i)
        text += u">  Lese Verzeichnisinhalt, Zeile "_s + QString::number(i) + u"\r\n"_s;
    log.SetSelStart(log.TextLength());
    log.SetSelText(text);
}

ScratchDirectory::ScratchDirectory()
{
    std::string pattern = std::filesystem::temp_directory_path() / "velmora-bench-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

}  // namespace velmora::bench
