#include "mainwindow.h"
#include "singleinstance.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // The monitor draws no OpenGL. Without this, Qt's X11 platform probes GLX at start-up,
    // which loads the system's GL driver (with Mesa: tens of MiB of LLVM) into a program
    // that idles in the tray all day. A value set by the user still wins.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");

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
