#include "EngineChoice.h"
#include "EngineFactory.h"
#include "frmMain.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("velmora-demo"));
    QApplication::setApplicationDisplayName(velmora::frmMain::Caption);
    QApplication::setDesktopFileName(QStringLiteral("velmora-demo"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/velmora-demo.png")));

    velmora::SetEngineFactory(velmora::engine::CreateChosenEngine);

    velmora::frmMain form;
    form.show();
    return app.exec();
}
