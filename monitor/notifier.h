// Where the monitor's notices go. On a StatusNotifierItem tray Qt sends the balloons to the
// desktop's notification server itself (and marks the tray item meanwhile). Everywhere else
// (an XEmbed tray, whose balloons Qt draws itself, or no tray at all) they go straight to
// org.freedesktop.Notifications; without a tray they carry the action "显示窗体", the only
// way back to a hidden window. A notice that finds no notification server (none running,
// none to start) is kept, the newest only, and sent when the server's name appears.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QVariantMap>
#include <functional>
#include <optional>

struct Notice {
    QString title;
    QString text;
    QSystemTrayIcon::MessageIcon icon = QSystemTrayIcon::NoIcon;
    int msecs = 0;
    bool showAction = false; // offer "显示窗体"
};

// The arguments of org.freedesktop.Notifications.Notify for a notice, as Qt's own tray
// sends them, so that a notice looks the same whichever way it went.
struct NotifyCall {
    QString appIcon;
    QStringList actions;
    QVariantMap hints;
    int expireTimeout = 0;
};
NotifyCall notifyCall(const Notice &notice);

// The action key of "显示窗体": "default" is what servers invoke on a click on the notice
// (or on the entry in their list once it has gone).
inline const char kShowWindowAction[] = "default";

class Notifier : public QObject
{
    Q_OBJECT

  public:
    explicit Notifier(const QDBusConnection &bus, QObject *parent = nullptr);

    // The tray's own balloons, used when set (a StatusNotifierItem tray); nullptr: send
    // straight to the notification server.
    void setTrayBalloons(std::function<void(const Notice &)> balloons);
    void send(const Notice &notice);

    bool hasPending() const { return pending_.has_value(); }

  signals:
    // "显示窗体" chosen on one of our notices.
    void showWindowRequested();

  private slots:
    void actionInvoked(uint id, const QString &key);

  private:
    bool serverReachable() const;
    void notifyDirectly(const Notice &notice);
    void keep(const Notice &notice);
    void flush();

    QDBusConnection bus_;
    std::function<void(const Notice &)> trayBalloons_;
    std::optional<Notice> pending_;
    QList<uint> ids_; // our latest notices that offer an action (the newest few)
};
