#pragma once

#include <QPlainTextEdit>
#include <QTextCharFormat>
#include <QTextCursor>

namespace velmora {

// Stand-in for the platform's rich-text control, offering what the log writer
// needs: the plain text's length, caret and selection, replacing the selection
// and the format of the insertion point.
//
// Positions and lengths count 16-bit characters of the plain text, in which
// every paragraph break reads as carriage return + line feed. The insertion
// point is the control's own, apart from the user's selection: a user who
// selects text to copy it neither moves it nor changes its format.
class RichTextBox : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit RichTextBox(QWidget *parent = nullptr);

    // Constant time, whatever the size of the text.
    [[nodiscard]] qsizetype TextLength() const;

    void SetSelStart(qsizetype position);
    void SetSelLength(qsizetype length);
    // Replaces the selection with text in the insertion format; the caret
    // ends after the inserted text with an empty selection.
    void SetSelText(const QString &text);
    // Change the insertion format, and the selected text if there is any.
    void SetSelBold(bool bold);
    void SetSelFontName(const QString &name);

    [[nodiscard]] qsizetype SelStart() const { return m_selStart; }
    [[nodiscard]] qsizetype SelLength() const { return m_selLength; }
    [[nodiscard]] bool SelBold() const;
    [[nodiscard]] QString SelFontName() const;

    // Reading back, for whoever shows or checks the log.
    [[nodiscard]] QString PlainText() const;
    [[nodiscard]] bool BoldAt(qsizetype position) const;
    [[nodiscard]] QString FontNameAt(qsizetype position) const;
    [[nodiscard]] QFont FontAt(qsizetype position) const;

    // Holds back layout and repaint until the outermost guard ends, so a block
    // of writes costs one layout pass instead of one per write. Text appended
    // at the end meanwhile is collected and goes into the document as one
    // insert; reading back through this class sees it at once.
    class Batch
    {
    public:
        explicit Batch(RichTextBox &box);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;

    private:
        RichTextBox &m_box;
    };

Q_SIGNALS:
    // After every insert, with the format the text was inserted in.
    void TextInserted(const QString &text, bool bold, const QString &fontName);

private:
    [[nodiscard]] int EndPosition() const;
    [[nodiscard]] int DocumentPosition(qsizetype position) const;
    [[nodiscard]] QTextCharFormat FormatAt(qsizetype position) const;
    void SelectRange();
    void CarryFormatIntoEmptyLine(const QString &text);
    void FollowEnd(bool wasAtEnd);
    [[nodiscard]] bool CanHold(const QString &text) const;
    void Flush() const;

    mutable QTextCursor m_cursor;
    QTextCursor m_end;         // stays at the end of the document
    QTextCharFormat m_format;  // the insertion format, kept across caret moves
    mutable QString m_held;    // appended in a batch, not yet in the document
    QTextCharFormat m_heldFormat;
    qsizetype m_selStart = 0;
    qsizetype m_selLength = 0;
    int m_batchDepth = 0;
    bool m_followPending = false;
};

}  // namespace velmora
