// The one reading of a directory argument that every engine shares.

#include "DosPath.h"

#include <QTest>

class DosPathTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resolve_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<int>("depth");         // of the current directory, on C:
        QTest::addColumn<QString>("expected");  // "drive:kept|names", or the error text
        const QString outside = "Zugriff außerhalb von Laufwerk C: verweigert: ";
        const QString name255 = QString(127, u'ä') + 'x', name256 = QString(128, u'ä');
        const QString nul = QString::fromUtf8("A\0B", 3);
        const std::tuple<const char *, QString, int, QString> rows[] = {
            {"empty", "", 2, "Kein Verzeichnis angegeben."},
            {"mixed and trailing separators", "A/B\\C\\/", 1, "C:1|A\\B\\C"},
            {"backslash first", "\\X", 2, "C:0|X"},
            {"slash first", "/X", 2, "C:0|X"},
            {"root alone", "/", 2, "C:0|"},
            {"drive alone", "c:", 2, "C:2|"},
            {"drive, relative", "c:X\\.", 1, "C:1|X"},
            {"up, then down", "X\\..\\..\\Y", 2, "C:1|Y"},
            {"above the root", "..\\..", 1, outside + "..\\.."},
            {"C:\\..", "C:\\..", 2, outside + "C:\\.."},
            {"no such drive", "E:\\X", 2, "Laufwerk nicht vorhanden: E:"},
            {"other drive", "d:X", 2, "D:0|X"},
            {"above D:", "D:\\..", 0, "Zugriff außerhalb von Laufwerk D: verweigert: D:\\.."},
            {"NUL", nul, 0, "Verzeichnis nicht gefunden: " + nul},
            {"255 bytes", name255, 0, "C:0|" + name255},
            {"256 bytes", "A\\" + name256, 0, "Verzeichnisname zu lang: A\\" + name256},
        };
        for (const auto &[name, request, depth, expected] : rows)
            QTest::newRow(name) << request << depth << expected;
    }

    void resolve()
    {
        QFETCH(QString, request);
        QFETCH(int, depth);
        velmora::engine::DosTarget to;
        const auto error = velmora::engine::ResolveDosPath(request.toStdU16String(), u'C',
                                                           std::size_t(depth), u"CD", to);
        QString place = QString("%1:%2|").arg(QChar(to.drive)).arg(to.kept);
        for (const auto &name : to.names)
            place += (place.endsWith('|') ? "" : "\\") + QStringView(name).toString();
        QTEST(error.empty() ? place : QStringView(error).toString(), "expected");
    }
};

QTEST_GUILESS_MAIN(DosPathTest)
#include "tst_dospath.moc"
