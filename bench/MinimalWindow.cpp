// The start-up baseline: the least a Qt Widgets program of this kind does, a
// fixed-size window with a text edit and a button.

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setFixedSize(595, 320);
    auto *text = new QPlainTextEdit(&window);
    text->setGeometry(16, 16, 569, 241);
    auto *button = new QPushButton(QStringLiteral("Start"), &window);
    button->setGeometry(304, 272, 133, 33);
    window.show();
    return app.exec();
}
