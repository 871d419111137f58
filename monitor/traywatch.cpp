#include "traywatch.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDebug>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace
{

const char kWatcherService[] = "org.kde.StatusNotifierWatcher";
const char kWatcherPath[] = "/StatusNotifierWatcher";
const char kWatcherInterface[] = "org.kde.StatusNotifierWatcher";
// The first look happens before the window is up: never hold it back long.
constexpr int kFirstAskMs = 1000;
constexpr int kAskMs = 2000;

QDBusMessage hostQuestion()
{
    QDBusMessage m = QDBusMessage::createMethodCall(
        QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    m << QString::fromLatin1(kWatcherInterface) << QStringLiteral("IsStatusNotifierHostRegistered");
    // A watcher is started by the panel, never by us.
    m.setAutoStartService(false);
    return m;
}

bool hostAnswer(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

} // namespace

TrayKind trayKindOf(bool statusNotifierHost, bool xembedOwned, int xembedSeenForMs, int graceMs)
{
    if (statusNotifierHost)
        return TrayKind::StatusNotifier;
    if (xembedOwned && xembedSeenForMs >= graceMs)
        return TrayKind::XEmbed;
    return TrayKind::None;
}

// A connection of our own to the X server: Qt's is not reachable without private headers,
// and one selection query every poll costs nothing.
struct TrayWatch::XConnection {
    xcb_connection_t *c = nullptr;
    xcb_atom_t selection = XCB_ATOM_NONE;
    QElapsedTimer clock;

    XConnection()
    {
        int screen = 0;
        c = xcb_connect(nullptr, &screen);
        if (xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            c = nullptr;
            return;
        }
        char name[40];
        std::snprintf(name, sizeof name, "_NET_SYSTEM_TRAY_S%d", screen);
        xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
            c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
        if (atom) {
            selection = atom->atom;
            std::free(atom);
        }
        clock.start();
    }
    ~XConnection()
    {
        if (c)
            xcb_disconnect(c);
    }

    bool owned() const
    {
        if (!c || selection == XCB_ATOM_NONE)
            return false;
        xcb_get_selection_owner_reply_t *r =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
        const bool result = r && r->owner != XCB_WINDOW_NONE;
        std::free(r);
        return result;
    }
};

TrayWatch::TrayWatch(const QDBusConnection &bus, bool x11, QObject *parent)
    : QObject(parent), bus_(bus), x11_(x11)
{
}

TrayWatch::~TrayWatch()
{
    delete x_;
}

TrayKind TrayWatch::start()
{
    if (bus_.isConnected())
        host_ = hostAnswer(bus_.call(hostQuestion(), QDBus::Block, kFirstAskMs));
    if (x11_) {
        x_ = new XConnection;
        // An XEmbed tray seen now still gets its grace: at login the panel may be a moment
        // away from registering its StatusNotifierItem host.
        xembedOwnedNow();
    }
    const TrayKind found = trayKindOf(host_, false, 0, kXembedGraceMs);
    if (found != TrayKind::None) {
        settled_ = true;
        delete x_;
        x_ = nullptr;
        return found;
    }

    if (bus_.isConnected()) {
        // A host registers with a watcher that may itself come later: both are signals.
        bus_.connect(QString(), QString::fromLatin1(kWatcherPath),
                     QString::fromLatin1(kWatcherInterface),
                     QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(askHost()));
        auto *services = new QDBusServiceWatcher(QString::fromLatin1(kWatcherService), bus_,
                                                 QDBusServiceWatcher::WatchForRegistration, this);
        connect(services, &QDBusServiceWatcher::serviceRegistered, this, &TrayWatch::askHost);
    }
    // Signals can be missed (a watcher that registers its host before we subscribed, an X
    // tray that announces itself to nobody); asking again on a short timer cannot.
    timer_ = new QTimer(this);
    timer_->setInterval(kPollMs);
    connect(timer_, &QTimer::timeout, this, &TrayWatch::poll);
    timer_->start();
    return TrayKind::None;
}

bool TrayWatch::xembedOwnedNow()
{
    if (!x_)
        return false;
    if (!x_->owned()) {
        xembedSince_ = -1;
        return false;
    }
    if (xembedSince_ < 0)
        xembedSince_ = x_->clock.elapsed();
    return true;
}

void TrayWatch::poll()
{
    askHost();
    xembedOwnedNow();
    evaluate();
}

void TrayWatch::askHost()
{
    if (settled_ || pendingAsk_ || !bus_.isConnected())
        return;
    pendingAsk_ = new QDBusPendingCallWatcher(bus_.asyncCall(hostQuestion(), kAskMs), this);
    connect(pendingAsk_, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher *call) {
                host_ = hostAnswer(call->reply());
                call->deleteLater();
                pendingAsk_ = nullptr;
                evaluate();
            });
}

void TrayWatch::evaluate()
{
    if (settled_)
        return;
    const int seenFor = xembedSince_ >= 0 ? int(x_->clock.elapsed() - xembedSince_) : 0;
    const TrayKind kind = trayKindOf(host_, xembedSince_ >= 0, seenFor, kXembedGraceMs);
    if (kind == TrayKind::None)
        return;
    settled_ = true;
    timer_->stop();
    delete x_;
    x_ = nullptr;
    qDebug() << "tray found:"
             << (kind == TrayKind::StatusNotifier ? "StatusNotifierItem host" : "XEmbed tray");
    emit trayFound(kind);
}
