// The network monitor's window against a printer played by this test over real UDP on
// loopback: the printer on 127.0.0.2, a stranger on 127.0.0.3. Runs inside the sandbox (a
// private network namespace and /opt), where port 9102 and the address file are its own.
#include "mainwindow.h"

#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QTextStream>
#include <QTimer>
#include <QUdpSocket>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <memory>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

Q_DECLARE_METATYPE(QSystemTrayIcon::MessageIcon)

namespace
{

const QString kConfigDir = QStringLiteral("/opt/varn/ZLP5520NW/bin/net/config");
const QString kNetIpInfo = kConfigDir + QStringLiteral("/netIpInfo");
const QString kWarningTitle = QStringLiteral("警告");
const QString kWarningText = QStringLiteral("网络连接错误！\n请检查打印机和电脑的网线连接状态");
const QString kReadyTitle = QStringLiteral("打印机准备就绪");
const QString kPrintingTitle = QStringLiteral("正在打印");

// As the setup tool writes it: truncated, text mode, through a text stream, no line end.
void writeNetIpInfo(const QString &content)
{
    QFile file(kNetIpInfo);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text));
    QTextStream(&file) << content;
}

// The loopback network of the test's namespace. Without its address there is no route to
// 127.0.0.2 and every send fails, as with an unplugged cable; bound sockets stay bound.
void loopbackNetwork(bool present)
{
    QProcess ip;
    ip.start(QStringLiteral("ip"),
             {QStringLiteral("addr"), present ? QStringLiteral("replace") : QStringLiteral("del"),
              QStringLiteral("127.0.0.1/8"), QStringLiteral("dev"), QStringLiteral("lo")});
    QVERIFY(ip.waitForFinished(5000));
    QCOMPARE(ip.exitCode(), 0);
}

// The monitor's debug lines, kept while a test wants them.
QStringList gDebugLines;
QtMessageHandler gDefaultHandler = nullptr;
void keepDebugLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg)
        gDebugLines << message;
    else if (gDefaultHandler)
        gDefaultHandler(type, context, message);
}

struct Balloon {
    QString title;
    QString message;
    int icon;
    int msecs;
};

// A UDP endpoint on a loopback address of its own: the printer at 127.0.0.2:9101, or a
// stranger who knows the monitor's port.
class Peer
{
  public:
    explicit Peer(const char *address, quint16 port = 9101)
    {
        QVERIFY2(socket.bind(QHostAddress(QString::fromLatin1(address)), port),
                 qPrintable(socket.errorString()));
    }
    // The next request, within ms; empty when none came.
    QByteArray request(int ms = 2000)
    {
        if (!socket.hasPendingDatagrams())
            socket.waitForReadyRead(ms);
        if (!socket.hasPendingDatagrams())
            return QByteArray();
        QByteArray data(int(socket.pendingDatagramSize()), '\0');
        socket.readDatagram(data.data(), data.size(), &asker);
        return data;
    }
    void reply(const QByteArray &bytes)
    {
        const QHostAddress to = asker.isNull() ? QHostAddress::LocalHost : asker;
        QCOMPARE(socket.writeDatagram(bytes, to, 9102), qint64(bytes.size()));
    }
    QUdpSocket socket;
    QHostAddress asker;
};

// Another local user's program on UDP port 9102, bound to every address, with or without
// SO_REUSEADDR: a child process under the uid of "nobody". It reports whether the bind
// succeeded and then holds the port until it is stopped, or for `holdMs` only.
class PortSquatter
{
  public:
    explicit PortSquatter(bool reuseAddress, int holdMs = 0)
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        const passwd *nobody = ::getpwnam("nobody");
        const uid_t uid = nobody ? nobody->pw_uid : 65534;
        const gid_t gid = nobody ? nobody->pw_gid : 65534;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            char bound = 0;
            if (::setgid(gid) == 0 && ::setuid(uid) == 0) {
                const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
                const int on = 1;
                if (reuseAddress)
                    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_port = htons(9102);
                address.sin_addr.s_addr = htonl(INADDR_ANY);
                bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
            }
            (void)!::write(ready[1], &bound, 1);
            if (holdMs > 0) {
                ::usleep(static_cast<useconds_t>(holdMs) * 1000);
                ::_exit(0);
            }
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char bound = 0;
        while (::read(ready[0], &bound, 1) < 0 && errno == EINTR) {
        }
        ::close(ready[0]);
        bound_ = bound == 1;
    }
    ~PortSquatter() { stop(); }
    bool bound() const { return bound_; }
    void stop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    pid_t pid_ = -1;
    bool bound_ = false;
};

} // namespace

class NetMonitorTest : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void cleanup();
    void addressFileForms_data();
    void addressFileForms();
    void warningOncePerOutageAndNewAddressAtNextTick();
    void sameCodeShownAgainAfterOutage();
    void emptyDatagrams();
    void burstShownInOrder();
    void strangerIsDroppedAndLargeDatagramRead();
    void everyNoticeIsALongBalloonEvenRepeated();
    void windowDifferences();
    void tickAsksTheJobWatchAndRefreshesThePanel();
    void aProgramHoldingTheReplyPortIsToldAndOutlived();
    void noProgramCanBindTheReplyPortBesideTheMonitor();
    void aPortHeldForAMomentIsWaitedFor();

  private:
    void startMonitor();
    // Balloons shown since the last call.
    // Waits (up to 3 s) for at least `expected` of them, then a little for any more.
    QList<Balloon> newBalloons(int expected = 0);
    QLabel *label(const char *name) { return window->findChild<QLabel *>(QLatin1String(name)); }

    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QSignalSpy> balloons;
    int balloonsSeen = 0;
};

void NetMonitorTest::initTestCase()
{
    QVERIFY2(qEnvironmentVariableIsSet("ZLP_IN_SANDBOX"),
             "runs in tests/sandbox/sandbox.sh: it binds port 9102 and writes under /opt");
    QVERIFY(QDir().mkpath(kConfigDir));
    qRegisterMetaType<QSystemTrayIcon::MessageIcon>();
}

void NetMonitorTest::init()
{
    QFile::remove(kNetIpInfo);
    balloonsSeen = 0;
}

void NetMonitorTest::cleanup()
{
    loopbackNetwork(true);
    balloons.reset();
    window.reset();
}

void NetMonitorTest::startMonitor()
{
    window = std::make_unique<MainWindow>(nullptr, false);
    window->trayFound(TrayKind::StatusNotifier);
    // The test ticks the poll itself.
    window->findChild<QTimer *>(QStringLiteral("statusPollTimer"))->stop();
    balloons = std::make_unique<QSignalSpy>(window.get(), &MainWindow::balloonShown);
}

QList<Balloon> NetMonitorTest::newBalloons(int expected)
{
    (void)QTest::qWaitFor([&] { return balloons->count() - balloonsSeen >= expected; }, 3000);
    QTest::qWait(150); // anything still on its way is in
    QList<Balloon> out;
    for (; balloonsSeen < balloons->count(); ++balloonsSeen) {
        const QList<QVariant> &b = balloons->at(balloonsSeen);
        out.append({b[0].toString(), b[1].toString(), b[2].toInt(), b[3].toInt()});
    }
    return out;
}

void NetMonitorTest::addressFileForms_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("sent");
    QTest::newRow("as the setup tool writes it") << "127.0.0.2" << true;
    QTest::newRow("with a line end") << "127.0.0.2\n" << true;
    QTest::newRow("with CR LF") << "127.0.0.2\r\n" << true;
    QTest::newRow("a line without dots first") << "printer\n127.0.0.2\n" << true;
    QTest::newRow("missing") << QString() << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("no four-part line, last line taken") << "127.0.0.2 printer\nlocalhost" << false;
    QTest::newRow("four parts, not an address") << "127.0.0.256" << false;
    QTest::newRow("unspecified address") << "0.0.0.0" << false;
    QTest::newRow("no route to it") << "10.9.9.9" << false;
    // Not what the setup tool writes: refused without reading, and without waiting.
    QTest::newRow("a FIFO") << "<fifo>" << false;
    QTest::newRow("over 64 KiB") << "<big>" << false;
}

void NetMonitorTest::addressFileForms()
{
    QFETCH(QString, content);
    QFETCH(bool, sent);
    if (content == QLatin1String("<fifo>"))
        QCOMPARE(mkfifo(QFile::encodeName(kNetIpInfo).constData(), 0644), 0);
    else if (content == QLatin1String("<big>"))
        writeNetIpInfo(QStringLiteral("127.0.0.2\n") + QString(70000, QLatin1Char('x')));
    else if (!content.isNull())
        writeNetIpInfo(content);
    Peer printer("127.0.0.2");
    startMonitor();
    window->printerStateCheck();
    const QByteArray request = printer.request(sent ? 2000 : 300);
    const QList<Balloon> shown = newBalloons(sent ? 0 : 1);
    if (sent) {
        QCOMPARE(request, QByteArray("GetStatus;"));
        QVERIFY(shown.isEmpty());
    } else {
        // Never a datagram to this host in place of the printer, and the user is told.
        QVERIFY(request.isEmpty());
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].title, kWarningTitle);
        QCOMPARE(shown[0].message, kWarningText);
        QCOMPARE(label("printer_state")->text(), kWarningTitle);
    }
}

void NetMonitorTest::warningOncePerOutageAndNewAddressAtNextTick()
{
    Peer printer("127.0.0.2");
    startMonitor(); // no address file yet
    for (int tick = 0; tick < 3; ++tick)
        window->printerStateCheck();
    QList<Balloon> shown = newBalloons(1);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].message, kWarningText);

    // The setup tool writes the address while the monitor runs: the next tick uses it.
    writeNetIpInfo(QStringLiteral("127.0.0.2"));
    window->printerStateCheck();
    QCOMPARE(printer.request(), QByteArray("GetStatus;"));
    QVERIFY(newBalloons().isEmpty());

    // Once a send succeeded the file is not read again: a later change waits for an outage.
    writeNetIpInfo(QStringLiteral("127.0.0.9"));
    window->printerStateCheck();
    QCOMPARE(printer.request(), QByteArray("GetStatus;"));
}

void NetMonitorTest::sameCodeShownAgainAfterOutage()
{
    writeNetIpInfo(QStringLiteral("127.0.0.2"));
    startMonitor();
    Peer printer("127.0.0.2");
    window->printerStateCheck();
    QVERIFY(!printer.request().isEmpty());
    printer.reply("CODE=10001");
    QCOMPARE(newBalloons(1).size(), 1);
    printer.reply("CODE=10001"); // the catalogue shows a code once
    QVERIFY(newBalloons().isEmpty());

    for (int outage = 0; outage < 2; ++outage) {
        // The link goes down: the send fails, one warning for the whole outage.
        loopbackNetwork(false);
        for (int tick = 0; tick < 3; ++tick)
            window->printerStateCheck();
        QList<Balloon> shown = newBalloons(1);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].message, kWarningText);
        QCOMPARE(shown[0].msecs, 120000);

        // Back: the same code as before the outage is shown again.
        loopbackNetwork(true);
        window->printerStateCheck();
        QVERIFY(!printer.request().isEmpty());
        printer.reply("CODE=10001");
        shown = newBalloons(1);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].title, kReadyTitle);
    }
}

void NetMonitorTest::emptyDatagrams()
{
    writeNetIpInfo(QStringLiteral("127.0.0.2"));
    startMonitor();
    Peer printer("127.0.0.2");
    window->printerStateCheck();
    QVERIFY(!printer.request().isEmpty());

    // Right after start (the "connecting" notice): an empty datagram means ready at once.
    // Its count goes into the debug log twice: as read, and again before it is judged.
    gDebugLines.clear();
    gDefaultHandler = qInstallMessageHandler(keepDebugLine);
    printer.reply(QByteArray());
    QList<Balloon> shown = newBalloons(1);
    qInstallMessageHandler(gDefaultHandler);
    QCOMPARE(gDebugLines.count(QStringLiteral("byte_read = 0")), 2);
    QCOMPARE(gDebugLines.filter(QStringLiteral("byte_read")).size(), 2);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].title, kReadyTitle);

    // While printing: nothing, however many.
    printer.reply("CODE=10023");
    QCOMPARE(newBalloons(1).size(), 1);
    for (int i = 0; i < 5; ++i)
        printer.reply(QByteArray());
    QVERIFY(newBalloons().isEmpty());
    QCOMPARE(label("printer_state")->text(), kPrintingTitle);

    // After a cancel: the fourth empty datagram in a row brings the ready notice.
    printer.reply("CODE=10007");
    QCOMPARE(newBalloons(1).size(), 1);
    for (int i = 0; i < 3; ++i)
        printer.reply(QByteArray());
    QVERIFY(newBalloons().isEmpty());
    printer.reply(QByteArray());
    shown = newBalloons(1);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].title, kReadyTitle);
}

void NetMonitorTest::burstShownInOrder()
{
    writeNetIpInfo(QStringLiteral("127.0.0.2"));
    startMonitor();
    Peer printer("127.0.0.2");
    window->printerStateCheck();
    QVERIFY(!printer.request().isEmpty());
    // Both are queued before the event loop looks at the socket.
    printer.reply("CODE=10023");
    printer.reply("CODE=10001");
    const QList<Balloon> shown = newBalloons(2);
    QCOMPARE(shown.size(), 2);
    QCOMPARE(shown[0].title, kPrintingTitle);
    QCOMPARE(shown[1].title, kReadyTitle);
    // One datagram with two lines: the same, in order.
    printer.reply("CODE=10023\rCODE=10001");
    const QList<Balloon> again = newBalloons(2);
    QCOMPARE(again.size(), 2);
    QCOMPARE(again[0].title, kPrintingTitle);
    QCOMPARE(again[1].title, kReadyTitle);
}

void NetMonitorTest::strangerIsDroppedAndLargeDatagramRead()
{
    writeNetIpInfo(QStringLiteral("127.0.0.2"));
    startMonitor();
    Peer printer("127.0.0.2");
    Peer stranger("127.0.0.3", 0);
    window->printerStateCheck();
    QVERIFY(!printer.request().isEmpty());

    stranger.reply("CODE=88888"); // "打印机违规外联！"
    stranger.reply(QByteArray()); // would otherwise mean "ready"
    QVERIFY(newBalloons().isEmpty());
    QVERIFY(label("printer_state")->text() != QStringLiteral("打印机违规外联！"));

    // 65,000 bytes with the status line at its very end: the whole datagram is read.
    printer.reply(QByteArray(64989, 'x') + "\rCODE=10023");
    const QList<Balloon> shown = newBalloons(1);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].title, kPrintingTitle);
}

void NetMonitorTest::everyNoticeIsALongBalloonEvenRepeated()
{
    startMonitor();
    for (int kind = 1; kind <= 3; ++kind) {
        for (int repeat = 0; repeat < 2; ++repeat) {
            window->showMessageOnWindow(kind, QStringLiteral("t%1").arg(kind),
                                        QStringLiteral("m%1").arg(kind));
            const QList<Balloon> shown = newBalloons(1);
            QCOMPARE(shown.size(), 1);
            QCOMPARE(shown[0].title, QStringLiteral("t%1").arg(kind));
            QCOMPARE(shown[0].msecs, 120000);
        }
    }
    // There is no kind 4 here: only the texts change, with no picture, no balloon, and the
    // window stays as it is.
    window->show();
    window->showMessageOnWindow(4, QStringLiteral("a"), QStringLiteral("b"));
    QVERIFY(newBalloons().isEmpty());
    QVERIFY(window->isVisible());
    QCOMPARE(label("printer_state")->text(), QStringLiteral("a"));
    QCOMPARE(label("printer_help")->text(), QStringLiteral("b"));
    QVERIFY(label("printer_img")->pixmap(Qt::ReturnByValue).isNull());
}

void NetMonitorTest::windowDifferences()
{
    startMonitor();
    QCOMPARE(window->windowTitle(), QStringLiteral("ZLP5520NW 网络状态监控"));
    QCOMPARE(window->findChild<QTimer *>(QStringLiteral("statusPollTimer"))->interval(), 3000);
    // The start-up display is the network one, and it came as a balloon of its own.
    QCOMPARE(label("printer_state")->text(), QStringLiteral("网络状态监视器启动"));
    window->windowClose();
    QVERIFY(!window->isVisible());
    // Hidden by the window timer, the window closes as by its button: the notice comes again.
    QList<Balloon> shown = newBalloons(1);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].title, QStringLiteral("网络状态监视器启动"));

    // Closed with its close button: the last notice comes again, the window hides, the
    // program goes on in the tray. The window timer closes it the same way, so the notice
    // comes again then too.
    window->showMessageOnWindow(2, QStringLiteral("w"), QStringLiteral("warning text"));
    QCOMPARE(newBalloons(1).size(), 1);
    QVERIFY(window->isVisible());
    QVERIFY(!window->close());
    QVERIFY(!window->isVisible());
    shown = newBalloons(1);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].title, QStringLiteral("w"));
    QCOMPARE(shown[0].message, QStringLiteral("warning text"));
    QCOMPARE(shown[0].msecs, 120000);
    window->show();
    window->showMessageOnWindow(1, kReadyTitle, QStringLiteral("x"));
    QCOMPARE(newBalloons(1).size(), 1);
    window->windowClose();
    QVERIFY(!window->isVisible());
    shown = newBalloons(1);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].title, kReadyTitle);
    // Once hidden, later timeouts do nothing.
    window->windowClose();
    QVERIFY(newBalloons().isEmpty());

    // A double-click opens the window only until the next window timer timeout.
    window->iconActivated(QSystemTrayIcon::DoubleClick);
    QVERIFY(window->isVisible());
    window->showMessageOnWindow(1, kReadyTitle, QStringLiteral("x"));
    window->windowClose();
    QVERIFY(!window->isVisible());

    // Quitting releases nothing: the link keeps working after closeTrigger.
    window->closeTrigger();
    Peer printer("127.0.0.2");
    writeNetIpInfo(QStringLiteral("127.0.0.2"));
    window->printerStateCheck(); // no address at start: this tick fails and re-reads
    window->printerStateCheck();
    QCOMPARE(printer.request(), QByteArray("GetStatus;"));
}

void NetMonitorTest::tickAsksTheJobWatchAndRefreshesThePanel()
{
    // A listing program in place of lpstat that notes how it was asked.
    const QString bin = QStringLiteral("/var/tmp/netmonitor-test-bin");
    QVERIFY(QDir().mkpath(bin));
    {
        QFile lpstat(bin + QStringLiteral("/lpstat"));
        QVERIFY(lpstat.open(QIODevice::WriteOnly | QIODevice::Truncate));
        lpstat.write("#!/bin/sh\necho \"$@\" >>" + QFile::encodeName(bin) +
                     "/asked\necho 'ZLP5520NW-net-7 root 1024 Tue 08 Dec 2026'\n");
        QVERIFY(lpstat.setPermissions(lpstat.permissions() | QFileDevice::ExeOwner));
    }
    QFile::remove(bin + QStringLiteral("/asked"));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin) + ':' + path);

    writeNetIpInfo(QStringLiteral("127.0.0.2"));
    const QString printerInfo = QStringLiteral("/opt/varn/ZLP5520NW/bin/net/config/printerInfo");
    const auto writeSettings = [&](const char *size) {
        QFile file(printerInfo);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray("resolution:600dpi;\npapersize:") + size +
                   ";\ninputslot:AUTO;\nmediatype:PLAIN;\nduplex:None;\n");
    };
    writeSettings("A4");
    startMonitor();
    Peer printer("127.0.0.2");
    QCOMPARE(label("printer_pagesize")->text(), QStringLiteral("A4"));
    // The network filter's settings file: a successful tick shows the new one.
    writeSettings("Letter");
    window->printerStateCheck();
    QVERIFY(!printer.request().isEmpty());
    QCOMPARE(label("printer_pagesize")->text(), QStringLiteral("Letter"));
    qputenv("PATH", path);

    QFile asked(bin + QStringLiteral("/asked"));
    QVERIFY(asked.open(QIODevice::ReadOnly));
    QCOMPARE(asked.readAll(), QByteArray("-R ZLP5520NW ZLP5520NW-net\n"));
    QFile::remove(printerInfo);
}

// Another user's program bound UDP 9102 before the monitor started: the printer's replies
// go to it. The user is told instead of left with the start-up text, no request is sent
// that only that program would hear, and once it lets the port go the monitor takes it.
void NetMonitorTest::aProgramHoldingTheReplyPortIsToldAndOutlived()
{
    writeNetIpInfo(QStringLiteral("127.0.0.2"));
    Peer printer("127.0.0.2");
    PortSquatter squatter(false);
    QVERIFY(squatter.bound());
    startMonitor();
    // Said at once, in place of the start-up text (the balloon went out before the test
    // could listen; the window holds the same texts).
    QCOMPARE(label("printer_state")->text(), QStringLiteral("无法接收打印机状态"));
    QCOMPARE(label("printer_help")->text(),
             QStringLiteral("本机UDP 9102端口已被其他程序占用\n请关闭占用该端口的程序"));
    QVERIFY(window->isVisible());

    // Once per occupation, however many ticks.
    for (int tick = 0; tick < 3; ++tick)
        window->printerStateCheck();
    QVERIFY(printer.request(300).isEmpty());
    QVERIFY(newBalloons().isEmpty());

    squatter.stop();
    window->printerStateCheck();
    QCOMPARE(printer.request(), QByteArray("GetStatus;"));
    printer.reply("CODE=10001");
    const QList<Balloon> shown = newBalloons(1);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].title, kReadyTitle);
}

// A program started after the monitor cannot share its port (Linux would give such a
// program, bound last, every reply of the printer).
void NetMonitorTest::noProgramCanBindTheReplyPortBesideTheMonitor()
{
    writeNetIpInfo(QStringLiteral("127.0.0.2"));
    startMonitor();
    QCOMPARE(label("printer_state")->text(), QStringLiteral("网络状态监视器启动"));
    Peer printer("127.0.0.2");
    for (bool reuse : {true, false}) {
        PortSquatter squatter(reuse);
        QVERIFY2(!squatter.bound(), reuse ? "bound with SO_REUSEADDR" : "bound");
    }
    window->printerStateCheck();
    QCOMPARE(printer.request(), QByteArray("GetStatus;"));
    printer.reply("CODE=10023");
    const QList<Balloon> shown = newBalloons(1);
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown[0].title, kPrintingTitle);
}

// The Printer Application of this machine binds the port for up to 200 ms while it asks a
// printer: a monitor starting then waits for the port instead of telling the user it is
// taken, and hears the printer as usual.
void NetMonitorTest::aPortHeldForAMomentIsWaitedFor()
{
    writeNetIpInfo(QStringLiteral("127.0.0.2"));
    Peer printer("127.0.0.2");
    PortSquatter squatter(false, 250);
    QVERIFY(squatter.bound());
    startMonitor();
    QCOMPARE(label("printer_state")->text(), QStringLiteral("网络状态监视器启动"));
    window->printerStateCheck();
    QCOMPARE(printer.request(), QByteArray("GetStatus;"));
    printer.reply("CODE=41913");
    const QList<Balloon> shown = newBalloons(1);
    QCOMPARE(shown.size(), 1);
    QVERIFY(shown[0].title != QStringLiteral("无法接收打印机状态"));
    // Once bound, nobody binds beside it, as before.
    PortSquatter late(false);
    QVERIFY(!late.bound());
}

QTEST_MAIN(NetMonitorTest)
#include "netmonitor_test.moc"
