#pragma once

#include "TransferEngine.h"

#include <QString>
#include <QWidget>

#include <cstdint>
#include <memory>

class QLabel;
class QPushButton;

namespace velmora {

class RichTextBox;

// The program's one window. Every procedure of the program is a method of it;
// they are defined in the source files of their subsystems (log, demo).
class frmMain : public QWidget
{
    Q_OBJECT

public:
    explicit frmMain(QWidget *parent = nullptr);
    ~frmMain() override;

    // Controls, owned by the window.
    RichTextBox *redLog = nullptr;
    QLabel *lblTime = nullptr;
    QPushButton *cmdStart = nullptr;
    QPushButton *cmdCancel = nullptr;

    // The state a demo run works with.
    std::unique_ptr<TransferEngine> Engine;  // the current or last run's engine
    bool AbortRequested = false;             // the user asked the running run to stop
    double StartTime = 0.0;                  // time of day at which the run began
    bool RunCompleted = false;               // the last run reached "Fertig!" and shut down

    // Listing output
    [[nodiscard]] static QString PadLeft(const QString &text, int16_t width);
    [[nodiscard]] static QString PadRight(const QString &text, int16_t width);
    // Log writer
    void PrepareLog();
    void LogScrollInView();
    void AddLogNewLine();
    void AddLogStatus(const QString &text);
    void AddLogError(const QString &text);
    // Listing output
    void AddLogStartDirListing();
    void AddLogEndDirListing();
    void AddLogDirListingItem(const DirEntry &entry);
    // Waiting and error checks
    [[noreturn]] void RaiseAbort();
    void WaitUntilReady();
    void PrintDirectoryOutput();
    void CheckForErrors();
    // The demo run
    void Action();
    // Handlers
    void cmdStart_Click();
    void cmdCancel_Click();
    void Form_QueryUnload(int16_t &cancel, int16_t &unloadMode);

    // The 60-character line of one listing entry, without its line break.
    [[nodiscard]] static QString DirListingLine(const DirEntry &entry);

    static inline const QString Caption = QStringLiteral("Velmora Demo");
    // The log's line break; the fonts of the window and of listing blocks.
    static inline const QString LineEnd = QStringLiteral("\r\n");
    static inline const QString WindowFontName = QStringLiteral("MS Sans Serif");
    static inline const QString ListingFontName = QStringLiteral("courier");

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void CentreOnScreen();

    bool m_closed = false;    // closed since it was last shown
    bool m_centred = false;   // placed once, when first shown
};

}  // namespace velmora
