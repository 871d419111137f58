#include "notifier.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDebug>
#include <algorithm>

namespace
{

const char kService[] = "org.freedesktop.Notifications";
const char kPath[] = "/org/freedesktop/Notifications";
const char kInterface[] = "org.freedesktop.Notifications";
// A server that is being started by the bus may take a moment; the call is asynchronous.
constexpr int kNotifyCallMs = 10000;
// Notices whose action may still be chosen.
constexpr int kRememberedIds = 32;
// The bus daemon itself answers at once.
constexpr int kBusQuestionMs = 1000;

bool meansNoServer(const QDBusError &error)
{
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::NoServer:
    case QDBusError::Disconnected:
    case QDBusError::UnknownObject:
        return true;
    default:
        // Activation failures (org.freedesktop.DBus.Error.Spawn.*) and a name that lost its
        // owner on the way.
        return error.name().startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn")) ||
               error.name() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
    }
}

} // namespace

NotifyCall notifyCall(const Notice &notice)
{
    NotifyCall call;
    switch (notice.icon) {
    case QSystemTrayIcon::Information:
        call.appIcon = QStringLiteral("dialog-information");
        break;
    case QSystemTrayIcon::Warning:
        call.appIcon = QStringLiteral("dialog-warning");
        break;
    case QSystemTrayIcon::Critical:
        call.appIcon = QStringLiteral("dialog-error");
        break;
    default:
        break;
    }
    // Urgency 0 low, 1 normal, 2 critical; no icon is low, as Qt sends it.
    call.hints.insert(QStringLiteral("urgency"), std::max(0, int(notice.icon) - 1));
    if (notice.showAction)
        call.actions << QString::fromLatin1(kShowWindowAction) << QStringLiteral("显示窗体");
    call.expireTimeout = notice.msecs;
    return call;
}

Notifier::Notifier(const QDBusConnection &bus, QObject *parent) : QObject(parent), bus_(bus)
{
    if (!bus_.isConnected())
        return;
    auto *watcher = new QDBusServiceWatcher(QString::fromLatin1(kService), bus_,
                                            QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &Notifier::flush);
    bus_.connect(QString(), QString::fromLatin1(kPath), QString::fromLatin1(kInterface),
                 QStringLiteral("ActionInvoked"), this, SLOT(actionInvoked(uint, QString)));
}

void Notifier::setTrayBalloons(std::function<void(const Notice &)> balloons)
{
    trayBalloons_ = std::move(balloons);
}

bool Notifier::serverReachable() const
{
    const QString name = QString::fromLatin1(kService);
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
    ask << name;
    QDBusMessage reply = bus_.call(ask, QDBus::Block, kBusQuestionMs);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
        reply.arguments().constFirst().toBool())
        return true;
    // Not running, but the bus may start it on the first call.
    ask = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListActivatableNames"));
    reply = bus_.call(ask, QDBus::Block, kBusQuestionMs);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().constFirst().toStringList().contains(name);
}

void Notifier::send(const Notice &notice)
{
    if (!bus_.isConnected()) {
        // No session bus: only the tray can still say something.
        if (trayBalloons_)
            trayBalloons_(notice);
        return;
    }
    if (!serverReachable()) {
        keep(notice);
        return;
    }
    if (trayBalloons_)
        trayBalloons_(notice);
    else
        notifyDirectly(notice);
}

void Notifier::keep(const Notice &notice)
{
    qDebug() << "no notification server; notice kept:" << notice.title;
    pending_ = notice;
}

void Notifier::flush()
{
    if (!pending_)
        return;
    const Notice notice = *pending_;
    pending_.reset();
    send(notice);
}

void Notifier::notifyDirectly(const Notice &notice)
{
    const NotifyCall call = notifyCall(notice);
    QDBusMessage m =
        QDBusMessage::createMethodCall(QString::fromLatin1(kService), QString::fromLatin1(kPath),
                                       QString::fromLatin1(kInterface), QStringLiteral("Notify"));
    m << QCoreApplication::applicationName() << uint(0) << call.appIcon << notice.title
      << notice.text << call.actions << call.hints << call.expireTimeout;
    auto *watch = new QDBusPendingCallWatcher(bus_.asyncCall(m, kNotifyCallMs), this);
    connect(watch, &QDBusPendingCallWatcher::finished, this,
            [this, notice](QDBusPendingCallWatcher *w) {
                QDBusPendingReply<uint> reply = *w;
                w->deleteLater();
                if (reply.isError()) {
                    qDebug() << "notice not delivered:" << reply.error().name()
                             << reply.error().message();
                    // Gone between the question and the call: wait for the next server,
                    // unless a newer notice is waiting already.
                    if (meansNoServer(reply.error()) && !pending_)
                        keep(notice);
                    return;
                }
                if (notice.showAction) {
                    ids_.append(reply.value());
                    // A server keeps only so many; a monitor runs for weeks.
                    while (ids_.size() > kRememberedIds)
                        ids_.removeFirst();
                }
            });
}

void Notifier::actionInvoked(uint id, const QString &key)
{
    if (!ids_.contains(id) || key != QLatin1String(kShowWindowAction))
        return;
    emit showWindowRequested();
}
