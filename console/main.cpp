#include "console/window/LogoWidget.h"
#include "console/window/MainWindow.h"
#include "platform/Random.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    // The process-wide generator is seeded before anything draws from it.
    Randomize();

    QApplication app(argc, argv);
    QApplication::setDesktopFileName(QStringLiteral("tarnwick"));
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128})
        icon.addPixmap(TarnwickLogoPixmap(size));
    QApplication::setWindowIcon(icon);

    TMainWindow window;
    window.Start();
    window.show();
    const int status = app.exec();
    window.Shutdown();
    return status;
}
