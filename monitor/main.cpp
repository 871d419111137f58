#include "mainwindow.h"
#include "singleinstance.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(QStringLiteral("VARN"));
    // A window of labels needs no OpenGL. Without this the X11 platform picks the window's
    // visual through GLX, which maps the whole Mesa driver (with LLVM) into a program that
    // stays resident all session: about 50 MiB more. A user's own setting still wins.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    QApplication app(argc, argv);

    // A second copy leaves at once and quietly: no window, no tray icon, no message.
    SingleInstance instance;
    if (instance.isRunning())
        return 0;

    MainWindow window;
    window.show();
    return app.exec();
}
