#include "RichTextBox.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace velmora {

namespace {

// Names the log may ask for that are fixed-pitch fonts. fontconfig rarely has
// them, so the style hint makes the substitute fixed-pitch too.
bool IsFixedPitchName(const QString &name)
{
    static const QStringList FixedPitchNames = {
        u"courier"_s,  u"courier new"_s, u"lucida console"_s, u"fixedsys"_s,
        u"terminal"_s, u"consolas"_s,    u"monospace"_s};
    return FixedPitchNames.contains(name.trimmed(), Qt::CaseInsensitive);
}

// Where the document keeps the format a line break was written with, when the
// break itself had to take the format of the empty line after it.
constexpr int WrittenBreakFormat = QTextFormat::UserProperty + 1;

bool StartsWithLineBreak(const QString &text)
{
    if (text.isEmpty())
        return false;
    const QChar c = text.front();
    return c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator;
}

// The block holding a plain-text position and the position's offset in it.
// Block b starts at plain-text position block.position() + b, because each
// of the b breaks before it reads as two characters.
QTextBlock BlockAt(const QTextDocument &doc, qsizetype position, qsizetype &offset)
{
    int low = 0;
    int high = doc.blockCount() - 1;
    while (low < high) {
        const int mid = low + (high - low + 1) / 2;
        if (doc.findBlockByNumber(mid).position() + mid <= position)
            low = mid;
        else
            high = mid - 1;
    }
    const QTextBlock block = doc.findBlockByNumber(low);
    offset = position - (block.position() + low);
    return block;
}

// Qt's wrapping at word boundaries takes time quadratic in the length of a run
// of characters without a break: a megabyte error text from an engine held the
// window for a minute and a half. Once such a run comes, the control breaks
// lines anywhere instead; no line of a normal log is near that long.
void KeepWrappingCheap(QPlainTextEdit &box, const QString &text)
{
    constexpr qsizetype LongestRun = 4096;
    if (text.size() <= LongestRun || box.wordWrapMode() == QTextOption::WrapAnywhere)
        return;
    qsizetype run = 0;
    for (const QChar c : text) {
        const bool breaks = c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' ||
                            c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
        run = breaks ? 0 : run + 1;
        if (run > LongestRun) {
            box.setWordWrapMode(QTextOption::WrapAnywhere);
            return;
        }
    }
}

}  // namespace

RichTextBox::RichTextBox(QWidget *parent)
    : QPlainTextEdit(parent), m_cursor(document()), m_end(document())
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setUndoRedoEnabled(false);  // the log only grows; an undo stack would double it
}

int RichTextBox::EndPosition() const
{
    // Asking the document for its length walks its tree, and that costs
    // cache misses in a long log; a cursor at the end is moved along with
    // every change.
    return m_end.position();
}

qsizetype RichTextBox::TextLength() const
{
    // Each paragraph break after the first block reads as two characters.
    // Held text breaks lines with "\r\n" only, two characters either way.
    return EndPosition() + document()->blockCount() - 1 + m_held.size();
}

int RichTextBox::DocumentPosition(qsizetype position) const
{
    if (position >= TextLength())
        return EndPosition();
    if (position <= 0)
        return 0;
    qsizetype offset = 0;
    const QTextBlock block = BlockAt(*document(), position, offset);
    // A position inside a line break lands at the end of its line.
    return block.position() + int(std::min<qsizetype>(offset, block.length() - 1));
}

void RichTextBox::SelectRange()
{
    const qsizetype end = std::clamp<qsizetype>(m_selStart + m_selLength, 0, TextLength());
    const int anchor = DocumentPosition(m_selStart);
    const int position = m_selLength == 0 ? anchor : DocumentPosition(end);
    // Moving the cursor lays out its line again; the log writer asks for the
    // end, where the cursor already is, before every line.
    if (m_cursor.anchor() == anchor && m_cursor.position() == position)
        return;
    m_cursor.setPosition(anchor);
    m_cursor.setPosition(position, QTextCursor::KeepAnchor);
}

void RichTextBox::SetSelStart(qsizetype position)
{
    const qsizetype length = TextLength();
    m_selStart = std::clamp<qsizetype>(position, 0, length);
    m_selLength = 0;
    if (!m_held.isEmpty() && m_selStart == length)
        return;  // the caret is after the held text already
    Flush();
    SelectRange();
}

void RichTextBox::SetSelLength(qsizetype length)
{
    const qsizetype textLength = TextLength();
    m_selLength = std::clamp<qsizetype>(length, 0, textLength - m_selStart);
    if (!m_held.isEmpty() && m_selLength == 0 && m_selStart == textLength)
        return;
    Flush();
    SelectRange();
}

void RichTextBox::CarryFormatIntoEmptyLine(const QString &text)
{
    // An empty line looks like, and reads to a screen reader as, the break
    // that ends the line before it: the document has no format of its own for
    // an empty block. So that break takes the empty line's format, and its own
    // is kept with its line for reading back.
    if (!StartsWithLineBreak(text) || m_cursor.hasSelection() || !m_cursor.atBlockStart())
        return;
    QTextBlock block = m_cursor.block();
    if (block.length() != 1 || block.charFormat() == m_format)
        return;
    if (const QTextBlock previous = block.previous();
        previous.isValid() && !previous.blockFormat().hasProperty(WrittenBreakFormat)) {
        QTextBlockFormat kept;
        kept.setProperty(WrittenBreakFormat, QTextFormat(block.charFormat()));
        QTextCursor(previous).mergeBlockFormat(kept);
    }
    m_cursor.setBlockCharFormat(m_format);
}

void RichTextBox::SetSelText(const QString &text)
{
    QScrollBar *bar = verticalScrollBar();
    const bool wasAtEnd = bar->value() >= bar->maximum();
    KeepWrappingCheap(*this, text);
    if (!m_held.isEmpty() && !(m_heldFormat == m_format))
        Flush();
    if (m_held.isEmpty())
        CarryFormatIntoEmptyLine(text);
    if (CanHold(text)) {
        if (m_held.isEmpty())
            m_heldFormat = m_format;
        m_held += text;
        m_selStart = TextLength();
    } else {
        Flush();
        m_cursor.insertText(text, m_format);
        m_selStart = m_cursor.position() == EndPosition()
                         ? TextLength()
                         : m_cursor.position() + m_cursor.blockNumber();
    }
    m_selLength = 0;
    FollowEnd(wasAtEnd);
    Q_EMIT TextInserted(text, SelBold(), SelFontName());
}

void RichTextBox::SetSelBold(bool bold)
{
    QTextCharFormat change;
    change.setFontWeight(bold ? QFont::Bold : QFont::Normal);
    m_format.merge(change);
    if (m_cursor.hasSelection())
        m_cursor.mergeCharFormat(change);
}

void RichTextBox::SetSelFontName(const QString &name)
{
    QTextCharFormat change;
    change.setFontFamilies(QStringList{name});
    const bool fixed = IsFixedPitchName(name);
    change.setFontStyleHint(fixed ? QFont::TypeWriter : QFont::AnyStyle);
    change.setFontFixedPitch(fixed);
    m_format.merge(change);
    if (m_cursor.hasSelection())
        m_cursor.mergeCharFormat(change);
}

bool RichTextBox::SelBold() const
{
    return m_format.fontWeight() >= QFont::Bold;
}

QString RichTextBox::SelFontName() const
{
    const QStringList families = m_format.fontFamilies().toStringList();
    return families.isEmpty() ? font().family() : families.constFirst();
}

QString RichTextBox::PlainText() const
{
    Flush();
    // The raw text, not toPlainText(): that one turns line separators into
    // line breaks and non-breaking spaces into spaces, and the log is read
    // back as it was written. Only paragraph breaks read as CR LF.
    QString text = document()->toRawText();
    text.replace(QChar::ParagraphSeparator, u"\r\n"_s);
    return text;
}

QTextCharFormat RichTextBox::FormatAt(qsizetype position) const
{
    Flush();
    const QTextDocument *doc = document();
    if (position < 0 || position >= TextLength())
        return {};
    qsizetype offset = 0;
    const QTextBlock block = BlockAt(*doc, position, offset);
    if (offset >= block.length() - 1) {  // the line break: its format opens the next block
        const QVariant written = block.blockFormat().property(WrittenBreakFormat);
        if (written.isValid())
            return written.value<QTextFormat>().toCharFormat();
        return block.next().charFormat();
    }
    const int target = block.position() + int(offset);
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        if (fragment.contains(target))
            return fragment.charFormat();
    }
    return {};
}

bool RichTextBox::BoldAt(qsizetype position) const
{
    return FormatAt(position).fontWeight() >= QFont::Bold;
}

QString RichTextBox::FontNameAt(qsizetype position) const
{
    const QStringList families = FormatAt(position).fontFamilies().toStringList();
    return families.isEmpty() ? font().family() : families.constFirst();
}

QFont RichTextBox::FontAt(qsizetype position) const
{
    return FormatAt(position).font().resolve(font());
}

bool RichTextBox::CanHold(const QString &text) const
{
    if (m_batchDepth == 0)
        return false;
    if (m_held.isEmpty() && (m_cursor.hasSelection() || m_cursor.position() != EndPosition()))
        return false;
    // Only "\r\n" may break a line: the document's other breaks count
    // differently in TextLength, and a lone "\r" would pair with a "\n" that
    // follows in the next text.
    const QChar *chars = text.constData();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = chars[i].unicode();
        if (c > u'\r' && c < QChar::ParagraphSeparator)
            continue;  // nearly every character
        if (c == u'\r' && i + 1 < text.size() && chars[i + 1] == u'\n') {
            ++i;
            continue;
        }
        if (c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator ||
            (c >= 0xFDD0 && c <= 0xFDEF))  // frame marks among the noncharacters
            return false;
    }
    return true;
}

void RichTextBox::Flush() const
{
    if (m_held.isEmpty())
        return;
    // The caret has stayed at the end of the document since the text was held.
    m_cursor.insertText(std::exchange(m_held, QString()), m_heldFormat);
}

void RichTextBox::FollowEnd(bool wasAtEnd)
{
    // The view follows the newest line unless the user has scrolled away.
    if (m_batchDepth > 0) {
        m_followPending = m_followPending || wasAtEnd;
        return;
    }
    QScrollBar *bar = verticalScrollBar();
    if (!wasAtEnd || bar->value() == bar->maximum())
        return;
    // A new line makes the document layout repaint the whole view anyway, so
    // the scroll skips moving the old pixels up first.
    QWidget *view = viewport();
    const bool updates = view->updatesEnabled();
    view->setUpdatesEnabled(false);
    bar->setValue(bar->maximum());
    view->setUpdatesEnabled(updates);
}

RichTextBox::Batch::Batch(RichTextBox &box) : m_box(box)
{
    if (m_box.m_batchDepth++ == 0) {
        QScrollBar *bar = m_box.verticalScrollBar();
        m_box.m_followPending = bar->value() >= bar->maximum();
        m_box.m_cursor.beginEditBlock();
    }
}

RichTextBox::Batch::~Batch()
{
    if (--m_box.m_batchDepth == 0) {
        m_box.Flush();
        m_box.m_cursor.endEditBlock();
        m_box.FollowEnd(std::exchange(m_box.m_followPending, false));
    }
}

}  // namespace velmora
