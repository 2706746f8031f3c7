// The window at open, its two phases, Abbrechen, the close request and the
// keys of the default and cancel buttons.

#include "FakeEngine.h"
#include "TestSupport.h"

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QTest>

using namespace Qt::StringLiterals;
using velmora::frmMain;
using velmora::test::CancelButton;
using velmora::test::FakeEngineFactory;
using velmora::test::FakeScript;
using velmora::test::Log;
using velmora::test::LogLines;
using velmora::test::MessageBoxWatcher;
using velmora::test::StartButton;
using velmora::test::TimeLabel;

class WindowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void layoutAtOpen();
    void iconIsOurDrawing();
    void screenReaderReadsTheTime();
    void buttonsAcrossRun_data();
    void buttonsAcrossRun();
    void cancel_data();
    void cancel();
    void cancelBetweenWaitsActsAtNextWait();
    void closeWhileIdle_data();
    void closeWhileIdle();
    void closeDuringRunEndsAfterHandler();
    void closeEndsTheProgram_data();
    void closeEndsTheProgram();
    void keys_data();
    void keys();
    void keysDuringRun();
};

void WindowTest::layoutAtOpen()
{
    frmMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));

    QCOMPARE(form.windowTitle(), u"Velmora Demo"_s);
    QCOMPARE(form.size(), QSize(595, 320));
    QCOMPARE(form.minimumSize(), QSize(595, 320));
    QCOMPARE(form.maximumSize(), QSize(595, 320));
    QCOMPARE(Log(form)->geometry(), QRect(16, 16, 569, 241));
    QCOMPARE(TimeLabel(form)->geometry(), QRect(16, 264, 169, 33));
    QCOMPARE(StartButton(form)->geometry(), QRect(304, 272, 133, 33));
    QCOMPARE(CancelButton(form)->geometry(), QRect(456, 272, 133, 33));

    const QRect screen = form.screen()->availableGeometry();
    // Centred on the screen with the frame the platform adds.
    const QRect frame = form.frameGeometry();
    QVERIFY2(frame.size() != form.size(), "the platform adds no frame: centring is not tested");
    const QPoint off = frame.center() - screen.center();
    QVERIFY2(qAbs(off.x()) <= 1 && qAbs(off.y()) <= 1,
             qPrintable(u"frame centre off by %1, %2"_s.arg(off.x()).arg(off.y())));

    QCOMPARE(form.font().family(), u"MS Sans Serif"_s);
    QCOMPARE(form.font().pointSizeF(), 8.25);
    QCOMPARE(Log(form)->font().family(), u"MS Sans Serif"_s);
    QCOMPARE(TimeLabel(form)->font().pointSizeF(), 8.25);
    QCOMPARE(CancelButton(form)->font().weight(), QFont::Normal);
    QCOMPARE(StartButton(form)->font().weight(), QFont::Bold);
    QCOMPARE(StartButton(form)->font().pointSizeF(), 8.25);

    QCOMPARE(StartButton(form)->text(), u"Start"_s);
    QCOMPARE(CancelButton(form)->text(), u"Abbrechen"_s);
    QVERIFY(StartButton(form)->isDefault());
    QVERIFY(StartButton(form)->isEnabled());
    QVERIFY(!CancelButton(form)->isEnabled());
    QVERIFY(Log(form)->PlainText().isEmpty());
    QVERIFY(TimeLabel(form)->text().isEmpty());
    QCOMPARE(TimeLabel(form)->alignment(), Qt::AlignLeft | Qt::AlignTop);
    QCOMPARE(TimeLabel(form)->frameShape(), QFrame::NoFrame);
    QVERIFY(Log(form)->isReadOnly());

    QCOMPARE(QApplication::focusWidget(), Log(form));
    // Tab order log, Start, Abbrechen (enabled here to take part).
    CancelButton(form)->setEnabled(true);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), StartButton(form));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), CancelButton(form));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), Log(form));
    QCOMPARE(TimeLabel(form)->focusPolicy(), Qt::NoFocus);
    for (QWidget *control :
         {static_cast<QWidget *>(Log(form)), static_cast<QWidget *>(TimeLabel(form)),
          static_cast<QWidget *>(StartButton(form)), static_cast<QWidget *>(CancelButton(form))})
        QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));

    QVERIFY(!form.Engine);
    QCOMPARE(form.AbortRequested, false);
    QCOMPARE(form.StartTime, 0.0);
}

void WindowTest::iconIsOurDrawing()
{
    frmMain form;
    const QImage shown = form.windowIcon().pixmap(32, 32).toImage();
    QCOMPARE(shown.size(), QSize(32, 32));
    const QImage drawing(QStringLiteral(VELMORA_ICON_SOURCE));
    QVERIFY(!drawing.isNull());
    QCOMPARE(drawing.size(), QSize(32, 32));
    QSet<QRgb> colours;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            QCOMPARE(shown.pixel(x, y), drawing.pixel(x, y));
            if (qAlpha(drawing.pixel(x, y)) != 0)
                colours.insert(drawing.pixel(x, y));
        }
    }
    QVERIFY(colours.size() <= 16);
}

void WindowTest::screenReaderReadsTheTime()
{
    frmMain form;
    QAccessibleInterface *label = QAccessible::queryAccessibleInterface(TimeLabel(form));
    QVERIFY(label);
    QCOMPARE(label->text(QAccessible::Name), u"Verstrichene Zeit"_s);
    TimeLabel(form)->setText(u"00:01:05"_s);
    QCOMPARE(label->text(QAccessible::Description), u"00:01:05"_s);
    QCOMPARE(label->text(QAccessible::Name), u"Verstrichene Zeit"_s);
}

void WindowTest::buttonsAcrossRun_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QString>("lastLine");
    QTest::newRow("complete run") << QString() << QString();
    QTest::newRow("engine cannot be created") << u"Create"_s << QString();
    QTest::newRow("step after initialising throws")
        << u"LocalDrives"_s << u">  Ermittle lokal verfügbare Laufwerke..."_s;
}

void WindowTest::buttonsAcrossRun()
{
    QFETCH(QString, failing);
    QFETCH(QString, lastLine);
    auto script = std::make_shared<FakeScript>();
    FakeEngineFactory factory(script);
    frmMain form;
    form.show();

    bool startDuring = true;
    bool cancelDuring = false;
    script->hooks["Create"] = [&] {
        startDuring = StartButton(form)->isEnabled();
        cancelDuring = CancelButton(form)->isEnabled();
        if (failing == u"Create"_s)
            throw std::runtime_error("no engine");
    };
    if (failing == u"LocalDrives"_s)
        script->hooks["LocalDrives"] = [] { throw 42; };  // not even a std::exception

    StartButton(form)->click();
    QVERIFY(!startDuring);
    QVERIFY(cancelDuring);
    QVERIFY(StartButton(form)->isEnabled());
    QVERIFY(!CancelButton(form)->isEnabled());
    QVERIFY(form.isVisible());
    const QStringList lines = LogLines(*Log(form));
    if (failing.isEmpty())
        QVERIFY(lines.contains(u">  Fertig!"_s));
    else
        QCOMPARE(lines.isEmpty() ? QString() : lines.last(), lastLine);
}

void WindowTest::cancel_data()
{
    QTest::addColumn<int>("clicks");
    QTest::newRow("once") << 1;
    QTest::newRow("twice") << 2;
}

void WindowTest::cancel()
{
    QFETCH(int, clicks);
    auto script = std::make_shared<FakeScript>();
    FakeEngineFactory factory(script);
    frmMain form;
    form.show();
    script->hooks["ReadLocalDirectory"] = [&] {
        for (int i = 0; i < clicks; ++i)
            QTest::mouseClick(CancelButton(form), Qt::LeftButton);
    };
    StartButton(form)->click();

    const QStringList lines = LogLines(*Log(form));
    QCOMPARE(lines.count(u"!! Abbruch"_s), 1);
    QCOMPARE(lines.last(), u"!! Abbruch"_s);
    QCOMPARE(script->Count("AbortOperation"), 1);
    QCOMPARE(script->Count("Shutdown"), 1);
    QCOMPARE(script->Count("NextDirEntry"), 0);  // no listing block
    QVERIFY(form.AbortRequested);                // stays set until the next run clears it
}

void WindowTest::cancelBetweenWaitsActsAtNextWait()
{
    auto script = std::make_shared<FakeScript>();
    FakeEngineFactory factory(script);
    frmMain form;
    form.show();
    // LocalDirectory is a value read: no wait follows it, so the click is
    // acted on at the reading's wait.
    script->hooks["LocalDirectory"] = [&] { CancelButton(form)->click(); };
    StartButton(form)->click();

    const QStringList lines = LogLines(*Log(form));
    QCOMPARE(lines.mid(lines.size() - 3),
             (QStringList{u">  Aktuelles lokales Verzeichnis ist C:\\"_s,
                          u">  Lese Verzeichnisinhalt von C:\\"_s, u"!! Abbruch"_s}));
    QCOMPARE(script->Count("AbortOperation"), 1);
}

void WindowTest::closeWhileIdle_data()
{
    QTest::addColumn<bool>("abortRequested");
    QTest::newRow("after opening") << false;
    QTest::newRow("after a cancelled run") << true;
}

void WindowTest::closeWhileIdle()
{
    QFETCH(bool, abortRequested);
    frmMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.AbortRequested = abortRequested;
    QVERIFY(form.close());
    QVERIFY(!form.isVisible());
    QCOMPARE(form.AbortRequested, abortRequested);
}

void WindowTest::closeDuringRunEndsAfterHandler()
{
    auto script = std::make_shared<FakeScript>();
    FakeEngineFactory factory(script);
    QStringList order;
    {
        frmMain form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        script->hooks["Dial"] = [&] {
            QVERIFY(form.close());
            order << u"closed"_s;
            QVERIFY(!form.isVisible());
        };
        QTimer::singleShot(0, &form, [&] {
            StartButton(form)->click();
            order << u"handler returned"_s;
        });
        // The last window has closed: the program's loop ends, but only once
        // the Start handler has returned.
        QCOMPARE(QApplication::exec(), 0);
        order << u"loop ended"_s;
        QCOMPARE(LogLines(*Log(form)).last(), u"!! Abbruch"_s);
        QCOMPARE(script->Count("Shutdown"), 1);
    }
    QCOMPARE(order, (QStringList{u"closed"_s, u"handler returned"_s, u"loop ended"_s}));
    QCOMPARE(script->destroyed, script->created);
}

void WindowTest::closeEndsTheProgram_data()
{
    QTest::addColumn<QString>("engine");
    QTest::addColumn<QString>("closeAt");
    QTest::addColumn<QStringList>("tail");
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("aborts");
    QTest::addColumn<int>("shutdowns");
    const QString notInstalled =
        u"Velmora ab Version 2.02 Revision 1.26 ist auf diesem PC nicht (korrekt) installiert."_s;
    // "start": served while the Start handler lets pending events run, before
    // the run has begun. It stops the run at its first wait.
    QTest::newRow("closed before the run: stops at the first wait")
        << QString() << u"start"_s
        << QStringList{u">  Wechsle lokal in Verzeichnis C:\\..."_s, u"!! Abbruch"_s} << QString()
        << 1 << 1;
    QTest::newRow("closed before the run: engine error at the first check")
        << u"error"_s << u"start"_s
        << QStringList{u">  Ermittle lokal verfügbare Laufwerke..."_s, u"!! Laufwerke unlesbar"_s}
        << QString() << 0 << 1;
    QTest::newRow("closed before the run: suite already running")
        << u"running"_s << u"start"_s << QStringList{} << u"Velmora läuft schon."_s << 0 << 0;
    QTest::newRow("closed before the run: not installed")
        << u"not installed"_s << u"start"_s << QStringList{} << notInstalled << 0 << 0;
    QTest::newRow("closed before the run: engine cannot be created")
        << u"no engine"_s << u"start"_s << QStringList{} << QString() << 0 << 0;
    QTest::newRow("closed at the end of a complete run")
        << QString() << u"Shutdown"_s << QStringList{u">  Fertig!"_s, QString(), QString()}
        << QString() << 0 << 1;
}

void WindowTest::closeEndsTheProgram()
{
    QFETCH(QString, engine);
    QFETCH(QString, closeAt);
    QFETCH(QStringList, tail);
    QFETCH(QString, box);
    QFETCH(int, aborts);
    QFETCH(int, shutdowns);
    auto script = std::make_shared<FakeScript>();
    FakeEngineFactory factory(script);
    MessageBoxWatcher boxes;
    frmMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));

    if (engine == u"error"_s)
        script->errorAfter["LocalDrives"] = u"Laufwerke unlesbar";
    script->alreadyRunning = engine == u"running"_s;
    if (engine == u"not installed"_s)
        script->hooks["Initialize"] = [] { throw std::runtime_error("not installed"); };
    if (engine == u"no engine"_s)
        script->hooks["Create"] = [] { throw std::runtime_error("no engine"); };
    if (closeAt == u"Shutdown"_s)
        script->hooks["Shutdown"] = [&] { form.close(); };

    bool handlerReturned = false;
    QTimer::singleShot(0, &form, [&] {
        if (closeAt == u"start"_s)
            QMetaObject::invokeMethod(&form, &QWidget::close, Qt::QueuedConnection);
        StartButton(form)->click();
        handlerReturned = true;
    });
    // Ends the loop should the program not end by itself.
    bool stuck = false;
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, this, [&] {
        stuck = true;
        QApplication::exit(1);
    });
    guard.start(20000);
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(!stuck);
    QVERIFY(handlerReturned);
    QVERIFY(!form.isVisible());

    const QStringList lines = LogLines(*Log(form));
    QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
    if (tail.isEmpty())
        QVERIFY(lines.isEmpty());
    QCOMPARE(int(boxes.seen.size()), box.isEmpty() ? 0 : 1);
    if (!box.isEmpty())
        QCOMPARE(boxes.seen.front().text, box);
    QCOMPARE(script->Count("AbortOperation"), aborts);
    QCOMPARE(script->Count("Shutdown"), shutdowns);
}

void WindowTest::keys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("runs");
    QTest::newRow("Return starts a run") << int(Qt::Key_Return) << 1;
    QTest::newRow("keypad Enter starts a run") << int(Qt::Key_Enter) << 1;
    QTest::newRow("Escape while idle does nothing") << int(Qt::Key_Escape) << 0;
}

void WindowTest::keys()
{
    QFETCH(int, key);
    QFETCH(int, runs);
    auto script = std::make_shared<FakeScript>();
    FakeEngineFactory factory(script);
    frmMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTest::keyClick(Log(form), Qt::Key(key),
                    key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
    QCOMPARE(script->created, runs);
    QVERIFY(form.isVisible());
    QCOMPARE(form.AbortRequested, false);
    QVERIFY(StartButton(form)->isEnabled());
}

void WindowTest::keysDuringRun()
{
    auto script = std::make_shared<FakeScript>();
    FakeEngineFactory factory(script);
    frmMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    script->hooks["ReadLocalDirectory"] = [&] {
        QTest::keyClick(Log(form), Qt::Key_Return);  // Start is disabled: nothing
        QCOMPARE(form.AbortRequested, false);
        QTest::keyClick(Log(form), Qt::Key_Escape);  // Abbrechen is enabled
        QCOMPARE(form.AbortRequested, true);
    };
    StartButton(form)->click();
    QCOMPARE(script->created, 1);
    QCOMPARE(LogLines(*Log(form)).last(), u"!! Abbruch"_s);
    QVERIFY(form.isVisible());
}

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
