#include "mainwindow.h"
#include "singleinstance.h"
#include "waylandprobe.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(QStringLiteral("VARN"));
    // A window of labels needs no OpenGL. Without this the X11 platform picks the window's
    // visual through GLX, which maps the whole Mesa driver (with LLVM) into a program that
    // stays resident all session: about 50 MiB more. A user's own setting still wins.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    // The same on Wayland where the compositor draws the title bars: without a client
    // buffer integration (Qt's default is the EGL one) the windows are drawn into shared
    // memory and Mesa stays out. Where the client must draw its own title bar (weston,
    // GNOME) Qt 5 does so only with an integration, so it keeps its default there.
    if (qgetenv("QT_QPA_PLATFORM").startsWith("wayland") &&
        !qEnvironmentVariableIsSet("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION") &&
        compositorDecorates(waylandGlobals()))
        qputenv("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION", "none");
    QApplication app(argc, argv);

    // A second copy leaves at once and quietly: no window, no tray icon, no message.
    SingleInstance instance;
    if (instance.isRunning())
        return 0;

    MainWindow window;
    window.show();
    return app.exec();
}
