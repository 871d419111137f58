// A Wayland client buffer integration that offers no OpenGL at all, only so that Qt draws the
// title bar of our windows. Qt 5's Wayland client decorates a window itself (where the
// compositor leaves that to the client: weston, GNOME) only when a client buffer integration
// is loaded and says it supports decorations; the title bar is then painted with QPainter
// into the window's shared-memory buffer, which widgets use anyway. Qt's default integration
// (wayland-egl) would bring in EGL, Mesa and LLVM, some 50 MiB resident, for nothing the
// monitors draw. Where the compositor draws the title bars (xdg-decoration) Qt asks it to and
// this integration changes nothing.
//
// It builds on Qt's private Wayland client classes, whose layout may change with any Qt
// release: the package depends on the exact Qt Wayland client ABI it was built against. If
// Qt refuses to load it, the monitors still run, without a title bar on such compositors.
#include <QtWaylandClient/private/qwaylandclientbufferintegration_p.h>
#include <QtWaylandClient/private/qwaylandclientbufferintegrationplugin_p.h>
#include <QtWaylandClient/private/qwaylandshmwindow_p.h>

namespace QtWaylandClient
{

class ShmDecorationsIntegration : public QWaylandClientBufferIntegration
{
  public:
    void initialize(QWaylandDisplay *waylandDisplay) override { display = waylandDisplay; }
    bool supportsWindowDecoration() const override { return true; }

    // Asked for windows that want OpenGL (none of ours does): they get a plain shared-memory
    // window, and an OpenGL context cannot be made (below), so such a window shows what is
    // drawn into it with QPainter and nothing more.
    QWaylandWindow *createEglWindow(QWindow *window) override
    {
        return new QWaylandShmWindow(window, display);
    }
    QPlatformOpenGLContext *createPlatformOpenGLContext(const QSurfaceFormat &,
                                                        QPlatformOpenGLContext *) const override
    {
        return nullptr;
    }

  private:
    QWaylandDisplay *display = nullptr;
};

class ShmDecorationsPlugin : public QWaylandClientBufferIntegrationPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QWaylandClientBufferIntegrationFactoryInterface_iid FILE
                      "shmdecorations.json")
  public:
    QWaylandClientBufferIntegration *create(const QString &, const QStringList &) override
    {
        return new ShmDecorationsIntegration;
    }
};

} // namespace QtWaylandClient

#include "shmdecorations.moc"
