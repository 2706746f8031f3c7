#include "frmMain.h"

#include "RichTextBox.h"
#include "WaitMessage.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QWindow>

using namespace Qt::StringLiterals;

namespace velmora {

namespace {

// The platform's reasons for a close request.
constexpr int16_t CloseFromControlMenu = 0;
constexpr int16_t CloseFromCode = 1;

QFont WindowFont()
{
    QFont font(frmMain::WindowFontName);
    font.setPointSizeF(8.25);
    font.setWeight(QFont::Normal);
    return font;
}

// The time label keeps a fixed accessible name, so a screen reader finds it,
// and offers the time it shows as its description.
class ElapsedTimeAccessible : public QAccessibleWidget
{
public:
    explicit ElapsedTimeAccessible(QLabel *label)
        : QAccessibleWidget(label, QAccessible::StaticText)
    {}

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Description)
            return static_cast<QLabel *>(widget())->text();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface *AccessibleFactory(const QString &key, QObject *object)
{
    if (key == u"QLabel"_s && object->objectName() == u"lblTime"_s)
        return new ElapsedTimeAccessible(static_cast<QLabel *>(object));
    return nullptr;
}

}  // namespace

frmMain::frmMain(QWidget *parent) : QWidget(parent)
{
    // Before any control exists: interfaces are created once and cached.
    static const bool factoryInstalled = (QAccessible::installFactory(AccessibleFactory), true);
    Q_UNUSED(factoryInstalled);

    setObjectName(u"frmMain"_s);
    setWindowTitle(Caption);
    setWindowIcon(QIcon(u":/icons/velmora-demo.png"_s));
    setFont(WindowFont());
    setFixedSize(595, 320);

    redLog = new RichTextBox(this);
    redLog->setObjectName(u"redLog"_s);
    redLog->setAccessibleName(u"Protokoll"_s);
    redLog->setGeometry(16, 16, 569, 241);

    cmdStart = new QPushButton(u"Start"_s, this);
    cmdStart->setObjectName(u"cmdStart"_s);
    cmdStart->setAccessibleName(u"Start"_s);
    cmdStart->setGeometry(304, 272, 133, 33);
    QFont bold = WindowFont();
    bold.setWeight(QFont::Bold);
    cmdStart->setFont(bold);
    cmdStart->setDefault(true);
    cmdStart->setAutoDefault(true);

    cmdCancel = new QPushButton(u"Abbrechen"_s, this);
    cmdCancel->setObjectName(u"cmdCancel"_s);
    cmdCancel->setAccessibleName(u"Abbrechen"_s);
    cmdCancel->setGeometry(456, 272, 133, 33);
    cmdCancel->setAutoDefault(true);
    cmdCancel->setEnabled(false);

    lblTime = new QLabel(this);
    lblTime->setObjectName(u"lblTime"_s);
    lblTime->setAccessibleName(u"Verstrichene Zeit"_s);
    lblTime->setGeometry(16, 264, 169, 33);
    lblTime->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblTime->setFocusPolicy(Qt::NoFocus);

    setTabOrder(redLog, cmdStart);
    setTabOrder(cmdStart, cmdCancel);
    redLog->setFocus();

    CentreOnScreen();

    connect(cmdStart, &QPushButton::clicked, this, &frmMain::cmdStart_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmMain::cmdCancel_Click);
}

frmMain::~frmMain() = default;

void frmMain::CentreOnScreen()
{
    // A window's position is that of its frame, so the frame is what gets
    // centred; before the window is shown its frame is not known yet.
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect frame = frameGeometry();
    const QRect centred =
        QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, frame.size(), screen->availableGeometry());
    move(centred.topLeft());
}

void frmMain::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (event->spontaneous())
        return;
    m_closed = false;
    if (!m_centred) {
        m_centred = true;
        CentreOnScreen();
        // A window manager adds its frame only as it maps the window: centre
        // again once the window is first on screen, with its frame known.
        if (QWindow *window = windowHandle())
            window->installEventFilter(this);
    }
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    QWindow *window = windowHandle();
    if (watched == window && event->type() == QEvent::Expose && window->isExposed()) {
        window->removeEventFilter(this);
        if (frameGeometry().size() != size())
            CentreOnScreen();
    }
    return QWidget::eventFilter(watched, event);
}

void frmMain::cmdStart_Click()
{
    cmdStart->setEnabled(false);
    cmdCancel->setEnabled(true);
    DoEvents();
    try {
        Action();
    } catch (...) {
        // Whatever ends a run early has been shown already, if at all.
    }
    cmdStart->setEnabled(true);
    cmdCancel->setEnabled(false);
    // A close served during the run ends the program now. Qt's own quit on
    // the last window is lost when a message box opened after the close.
    if (m_closed && QGuiApplication::quitOnLastWindowClosed())
        QCoreApplication::quit();
}

void frmMain::cmdCancel_Click()
{
    AbortRequested = true;
}

void frmMain::Form_QueryUnload(int16_t & /*cancel*/, int16_t & /*unloadMode*/)
{
    if (cmdCancel->isEnabled())
        cmdCancel_Click();
}

void frmMain::closeEvent(QCloseEvent *event)
{
    int16_t cancel = 0;
    int16_t unloadMode = event->spontaneous() ? CloseFromControlMenu : CloseFromCode;
    Form_QueryUnload(cancel, unloadMode);
    if (cancel != 0) {
        event->ignore();
        return;
    }
    m_closed = true;
    event->accept();
}

void frmMain::keyPressEvent(QKeyEvent *event)
{
    // Default and cancel buttons: their keys work only while they are enabled.
    // A top-level widget has no dialog to do this for it, and Escape must
    // never close the window.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (event->modifiers() & ~Qt::KeypadModifier)
            break;
        if (cmdStart->isEnabled())
            cmdStart->click();
        return;
    case Qt::Key_Escape:
        if (event->modifiers() != Qt::NoModifier)
            break;
        if (cmdCancel->isEnabled())
            cmdCancel->click();
        return;
    default:
        break;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace velmora
