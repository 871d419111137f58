// Waits for the desktop's notification area without asking Qt. Qt 5 decides once, at the
// first tray query or the first QSystemTrayIcon, whether a StatusNotifierItem host exists and
// keeps that answer for the life of the process; a monitor started at login, before its
// panel, would never get a tray item. So nothing touches Qt's tray until this watch has seen
// a tray: a registered StatusNotifierItem host on the session bus, or (X11) an owner of the
// _NET_SYSTEM_TRAY_S<screen> selection, the old XEmbed tray.
#pragma once

#include <QDBusConnection>
#include <QObject>

class QDBusPendingCallWatcher;
class QTimer;

enum class TrayKind {
    None,           // no notification area (yet)
    StatusNotifier, // a StatusNotifierItem host: Qt's tray item and balloons go over D-Bus
    XEmbed,         // an XEmbed tray only: Qt draws the icon and its own balloons
};

// What the watch concludes from what it saw. A panel that offers both kinds may take the X
// selection before its StatusNotifierItem host registers: an XEmbed tray alone is taken only
// once it has been seen for graceMs, so that such a panel gets a StatusNotifierItem.
TrayKind trayKindOf(bool statusNotifierHost, bool xembedOwned, int xembedSeenForMs, int graceMs);

class TrayWatch : public QObject
{
    Q_OBJECT

  public:
    static constexpr int kPollMs = 250;
    static constexpr int kXembedGraceMs = 1000;

    // x11: also watch the XEmbed selection (the xcb platform only).
    TrayWatch(const QDBusConnection &bus, bool x11, QObject *parent = nullptr);
    ~TrayWatch() override;

    // Looks once, synchronously (short time-outs), and returns what it found; keeps
    // watching in the background when that is TrayKind::None, until trayFound.
    TrayKind start();

  signals:
    // Once, when a tray appears after start() found none.
    void trayFound(TrayKind kind);

  private slots:
    // Asks the watcher whether a host is registered (also on its signal).
    void askHost();

  private:
    void poll();
    void evaluate();
    bool xembedOwnedNow();

    QDBusConnection bus_;
    bool x11_;
    bool host_ = false;
    qint64 xembedSince_ = -1; // monotonic ms when the selection was first seen owned
    bool settled_ = false;
    QTimer *timer_ = nullptr;
    QDBusPendingCallWatcher *pendingAsk_ = nullptr;
    struct XConnection;
    XConnection *x_ = nullptr;
};
