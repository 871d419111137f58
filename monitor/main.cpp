#include "mainwindow.h"
#include "singleinstance.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(QStringLiteral("VARN"));
    QApplication app(argc, argv);

    // A second copy leaves at once and quietly: no window, no tray icon, no message.
    SingleInstance instance;
    if (instance.isRunning())
        return 0;

    MainWindow window;
    window.show();
    return app.exec();
}
