#include "mainwindow.h"
#include "singleinstance.h"

#include <QApplication>
#include <QFileInfo>

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(QStringLiteral("VARN"));
    // A window of labels needs no OpenGL. Without this the X11 platform picks the window's
    // visual through GLX, which maps the whole Mesa driver (with LLVM) into a program that
    // stays resident all session: about 50 MiB more. A user's own setting still wins.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    // The same on Wayland. Qt 5 draws a window's title bar there (where the compositor
    // leaves it to the client: weston, GNOME) only through a client buffer integration, and
    // its default one is EGL with Mesa. Ours (shmdecorations/) offers no OpenGL and lets Qt
    // paint the title bar into the shared-memory buffer. It lives in <prefix>/plugins; the
    // programs are in <prefix>/bin/usb and <prefix>/bin/net.
    if (!qEnvironmentVariableIsSet("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION"))
        qputenv("QT_WAYLAND_CLIENT_BUFFER_INTEGRATION", "zlp-shm-decorations");
    const QFileInfo program(QStringLiteral("/proc/self/exe"));
    QCoreApplication::addLibraryPath(QFileInfo(program.canonicalFilePath()).path() +
                                     QStringLiteral("/../../plugins"));
    QApplication app(argc, argv);

    // A second copy leaves at once and quietly: no window, no tray icon, no message.
    SingleInstance instance;
    if (instance.isRunning())
        return 0;

    MainWindow window;
    window.show();
    return app.exec();
}
