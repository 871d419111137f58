// The USB monitor's status poll, one tick at a time, against the simulated USB printer, a
// real /proc (a process named like the filter), a stand-in lpstat and the printer state file
// at its installed path. Runs inside tests/sandbox/sandbox.sh (the state file lives under
// /opt) and under umockdev's preload (the simulated bus); ticks are driven directly.
#include "mainwindow.h"
#include "namedprocess.h"
#include "simulatedusbprinter.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>

namespace
{

const char *const kStatePath = "/opt/varn/ZLP5520NW/bin/usb/config/printerState";
const QString kReady = QStringLiteral("打印机准备就绪");
const QString kPrinting = QStringLiteral("正在打印");
const QString kSentinel = QStringLiteral("-");

QStringList capturedLines;

void captureMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        capturedLines << message;
    static const bool echo = qEnvironmentVariableIsSet("ZLP_TEST_ECHO_LOG");
    if (echo)
        std::fprintf(stderr, "log: %s\n", qPrintable(message));
}

zlpsim::PrinterScript parse(const std::string &text)
{
    std::string error;
    auto script = zlpsim::parsePrinterScript(text, &error);
    if (!script)
        qFatal("bad printer script: %s", error.c_str());
    return *script;
}

} // namespace

class UsbPollTest : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void cleanup();

    void noPrinterWarnsOncePerOutage();
    void connectedIsAnnouncedOnceAndThePrinterAsked();
    void unpluggedAndPluggedBackAnnouncesEachChangeOnce();
    void severalLinesInOneReplyShowInOrder();
    void oddRepliesAreCutAndSplit();
    void failedSendStillReadsAndReleases();
    void emptyRepliesCountDownToReady();
    void emptyReplyWhileInitialisingIsReadyAtOnce();
    void busyPrinterIsLeftAloneAndTheStateFileSpeaks();
    void badStateFilesShowNothingAndDoNotHang();
    void jobOrFilterAloneStillAsksThePrinter();
    void aFilterNamedProgramOfAnotherUserDoesNotSilenceThePrinter();
    void queuedJobWithThePrinterGoneWarns();
    void hangingListingIsStoppedAfterThirtySeconds();
    void failedReleaseIsRetriedNotLeaked();

  private:
    void startPrinter(const std::string &script);
    void setListing(const QByteArray &listing);
    void writeState(const QByteArray &text);
    QString state() const;
    QString help() const;
    // Sets the window's texts to a mark, so that a tick that shows nothing leaves it.
    void mark();
    int commandsReceived() const;

    QTemporaryDir dir_;
    QString listingPath_;
    std::unique_ptr<zlpsim::SimulatedUsbPrinter> printer_;
    std::unique_ptr<MainWindow> window_; // after the printer: closes first
    struct Balloon {
        QString title;
        QString message;
        QSystemTrayIcon::MessageIcon icon;
    };
    QList<Balloon> balloons_; // shown since startPrinter
};

void UsbPollTest::initTestCase()
{
    if (!qEnvironmentVariableIsSet("ZLP_IN_SANDBOX"))
        QSKIP("runs inside tests/sandbox/sandbox.sh (the printer state file is under /opt)");
    QVERIFY(dir_.isValid());
    QVERIFY(QDir().mkpath(QFileInfo(QString::fromLatin1(kStatePath)).path()));
    // A stand-in lpstat that lists whatever the test put into the listing file.
    listingPath_ = dir_.filePath(QStringLiteral("listing"));
    QFile lpstat(dir_.filePath(QStringLiteral("lpstat")));
    QVERIFY(lpstat.open(QIODevice::WriteOnly));
    const QByteArray dir = dir_.path().toUtf8();
    lpstat.write("#!/bin/sh\n"
                 "if [ -e '" +
                 dir + "/hang' ]; then echo $$ > '" + dir +
                 "/hang.pid'; exec sleep 120; fi\n"
                 "cat '" +
                 listingPath_.toUtf8() + "' 2>/dev/null\nexit 0\n");
    lpstat.close();
    QVERIFY(lpstat.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("PATH", dir_.path().toUtf8() + ":" + qgetenv("PATH"));
    qInstallMessageHandler(captureMessage);
}

void UsbPollTest::init()
{
    setListing("");
    QFile::remove(QString::fromLatin1(kStatePath));
    capturedLines.clear();
}

void UsbPollTest::cleanup()
{
    window_.reset();
    printer_.reset();
}

void UsbPollTest::startPrinter(const std::string &script)
{
    printer_ = std::make_unique<zlpsim::SimulatedUsbPrinter>(parse(script));
    window_ = std::make_unique<MainWindow>(nullptr, false);
    window_->trayFound(TrayKind::StatusNotifier);
    balloons_.clear();
    connect(window_.get(), &MainWindow::balloonShown, this,
            [this](const QString &title, const QString &message, QSystemTrayIcon::MessageIcon icon,
                   int) {
                balloons_.append({title, message, icon});
            });
    capturedLines.clear();
}

void UsbPollTest::setListing(const QByteArray &listing)
{
    QFile file(listingPath_);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(listing);
}

void UsbPollTest::writeState(const QByteArray &text)
{
    QFile file(QString::fromLatin1(kStatePath));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

QString UsbPollTest::state() const
{
    return window_->findChild<QLabel *>(QStringLiteral("printer_state"))->text();
}

QString UsbPollTest::help() const
{
    return window_->findChild<QLabel *>(QStringLiteral("printer_help"))->text();
}

void UsbPollTest::mark()
{
    window_->showMessageOnWindow(0, kSentinel, kSentinel);
}

int UsbPollTest::commandsReceived() const
{
    int count = 0;
    for (const std::string &command : printer_->receivedCommands()) {
        if (command != "CheckStatus?")
            qFatal("unexpected command: %s", command.c_str());
        ++count;
    }
    return count;
}

// ---------------------------------------------------------------- link results

void UsbPollTest::noPrinterWarnsOncePerOutage()
{
    startPrinter("device none\n");
    window_->printerStateCheck();
    QCOMPARE(state(), QStringLiteral("警告"));
    QCOMPARE(help(), QStringLiteral("USB连接错误！\n请检查打印机和电脑的USB连接状态"));
    QCOMPARE(balloons_.size(), 1);
    QCOMPARE(balloons_.at(0).icon, QSystemTrayIcon::Critical); // the error state
    QVERIFY(capturedLines.contains(QStringLiteral("i = 252")));
    QVERIFY(capturedLines.contains(QStringLiteral("find device error")));
    QVERIFY(window_->isVisible());

    // The same outage: silence.
    mark();
    window_->printerStateCheck();
    window_->printerStateCheck();
    QCOMPARE(state(), kSentinel);
    QCOMPARE(balloons_.size(), 1);
}

void UsbPollTest::connectedIsAnnouncedOnceAndThePrinterAsked()
{
    startPrinter("on \"CheckStatus?\"\n reply \"\"\n"
                 "on \"CheckStatus?\"\n reply \"\"\n"
                 "on \"CheckStatus?\"\n reply \"CODE=10001\"\n");
    window_->printerStateCheck();
    QCOMPARE(state(), QStringLiteral("连接成功！"));
    QCOMPARE(help(), QStringLiteral("状态监视器连接打印机成功！"));
    QCOMPARE(commandsReceived(), 1);
    QVERIFY(printer_->waitForOpenHandles(0, 2000));
    QVERIFY(capturedLines.contains(QStringLiteral("connect ok")));
    QVERIFY(capturedLines.contains(QStringLiteral("send1 0")));
    QVERIFY(capturedLines.contains(QStringLiteral("byte_read = 0")));
    QVERIFY(capturedLines.contains(QStringLiteral("release device ok")));

    // Still connected: no second announcement, an empty reply shows nothing.
    mark();
    window_->printerStateCheck();
    QCOMPARE(state(), kSentinel);
    QCOMPARE(commandsReceived(), 2);

    window_->printerStateCheck();
    QCOMPARE(state(), kReady);
    QCOMPARE(help(), QStringLiteral("打印机准备就绪，等待打印任务"));

    // The same code again is not shown again.
    mark();
    window_->printerStateCheck();
    QCOMPARE(state(), kSentinel);
    QCOMPARE(commandsReceived(), 4);
    // All in the normal state: the start-up balloon stays the only one.
    QCOMPARE(balloons_.size(), 0);
}

void UsbPollTest::severalLinesInOneReplyShowInOrder()
{
    startPrinter("on \"CheckStatus?\"\n reply \"CODE=11213\\rCODE=40021\\r\"\n"
                 "on \"CheckStatus?\"\n reply \"CODE=10023\\rCODE=10001\"\n");
    window_->printerStateCheck();
    QCOMPARE(balloons_.size(), 2);
    QCOMPARE(balloons_.at(0).title, QStringLiteral("纸盒1无A4尺寸纸张"));
    QCOMPARE(balloons_.at(1).title, QStringLiteral("盖子未合上"));
    QCOMPARE(state(), QStringLiteral("盖子未合上"));

    // Printing, then ready: the last one stays on screen.
    window_->printerStateCheck();
    QCOMPARE(balloons_.size(), 3);
    QCOMPARE(balloons_.at(2).title, kPrinting);
    QCOMPARE(state(), kReady);
}

void UsbPollTest::oddRepliesAreCutAndSplit()
{
    startPrinter("on \"CheckStatus?\"\n reply \"A\"*9000\n"
                 "on \"CheckStatus?\"\n reply \"CODE=40021\\0CODE=10001\"\n"
                 "on \"CheckStatus?\"\n reply \"CODE=11213\\r\"*49 \"CODE=10001\"\n"
                 "on \"CheckStatus?\"\n reply \"CODE=40021\\r\"*1000\n");
    // 9000 bytes without CR or NUL: the buffer's 8192 and nothing else are taken, and only
    // the connection is announced.
    window_->printerStateCheck();
    QCOMPARE(state(), QStringLiteral("连接成功！"));
    QVERIFY(capturedLines.contains(QStringLiteral("receive execReturnMsg = ") +
                                   QString(8192, QLatin1Char('A'))));
    // The reply ends at its NUL.
    window_->printerStateCheck();
    QCOMPARE(state(), QStringLiteral("盖子未合上"));
    // Fifty lines: each through the catalogue, the repeated ones quietly, the last on screen.
    window_->printerStateCheck();
    QCOMPARE(state(), kReady);
    // 盖子未合上, 纸盒1无A4尺寸纸张, then the normal state's 打印机准备就绪.
    QCOMPARE(balloons_.size(), 3);
    // 11000 bytes of status lines: cut at 8192, the whole lines before the cut count.
    window_->printerStateCheck();
    QCOMPARE(state(), QStringLiteral("盖子未合上"));
    QVERIFY(printer_->waitForOpenHandles(0, 2000));
}

void UsbPollTest::failedSendStillReadsAndReleases()
{
    // The printer takes 5 bytes of the request and has nothing to say: the read runs into
    // its one-second time-out.
    startPrinter("short-write 5\non \"CheckStatus?\"\n reply \"CODE=40021\"\n");
    mark();
    QElapsedTimer clock;
    clock.start();
    window_->printerStateCheck();
    QVERIFY(clock.elapsed() < 2500);
    QVERIFY(capturedLines.contains(QStringLiteral("send1 253")));
    QVERIFY(capturedLines.contains(QStringLiteral("read Error")));
    QVERIFY(capturedLines.contains(QStringLiteral("release device ok")));
    QCOMPARE(state(), QStringLiteral("连接成功！"));
    QVERIFY(printer_->waitForOpenHandles(0, 2000));
}

void UsbPollTest::unpluggedAndPluggedBackAnnouncesEachChangeOnce()
{
    const std::string ready = "on \"CheckStatus?\"\n reply \"CODE=10001\"\n";
    startPrinter(ready);
    window_->printerStateCheck();
    QCOMPARE(state(), kReady);

    // Unplugged between polls: one warning, then silence.
    printer_->unplug();
    window_->printerStateCheck();
    QCOMPARE(help(), QStringLiteral("USB连接错误！\n请检查打印机和电脑的USB连接状态"));
    mark();
    window_->printerStateCheck();
    QCOMPARE(state(), kSentinel);

    // Back: connected again, announced once; the same ready code stays quiet.
    printer_->plugIn();
    window_->printerStateCheck();
    QCOMPARE(state(), QStringLiteral("连接成功！"));
    mark();
    window_->printerStateCheck();
    QCOMPARE(state(), kSentinel);

    // Pulled while a failed release still holds it: the dead handle is let go, the outage
    // reported, and the printer found again when it is back.
    printer_->setScript(parse("fail release\n" + ready));
    window_->printerStateCheck();
    QCOMPARE(printer_->openHandles(), 1);
    printer_->unplug();
    QElapsedTimer clock;
    clock.start();
    window_->printerStateCheck();
    QVERIFY(clock.elapsed() < 2500);
    QCOMPARE(state(), QStringLiteral("警告"));
    QCOMPARE(help(), QStringLiteral("USB连接错误！\n请检查打印机和电脑的USB连接状态"));

    printer_->setScript(parse(ready));
    printer_->plugIn();
    window_->printerStateCheck();
    QCOMPARE(state(), QStringLiteral("连接成功！"));
    QVERIFY(printer_->waitForOpenHandles(0, 2000));
}

// ---------------------------------------------------------------- silence after a job

void UsbPollTest::emptyRepliesCountDownToReady()
{
    startPrinter("on \"CheckStatus?\"\n reply \"\"\n"
                 "on \"CheckStatus?\"\n reply \"CODE=10023\"\n"
                 "on \"CheckStatus?\"\n reply \"\"\n");
    window_->printerStateCheck(); // connected
    // A warning, so that the printing notice changes the tray state and becomes the balloon
    // message.
    window_->showMessageOnWindow(2, QStringLiteral("w"), QStringLiteral("w"));
    window_->printerStateCheck();
    QCOMPARE(state(), kPrinting);
    QCOMPARE(balloons_.last().message, QStringLiteral("打印机正在打印"));

    for (int round = 0; round < 2; ++round) {
        // Three empty replies count 0 to 3; the fourth shows ready and restarts the count.
        for (int quiet = 0; quiet < 3; ++quiet) {
            mark();
            window_->printerStateCheck();
            QVERIFY2(
                state() == kSentinel,
                qPrintable(QStringLiteral("round %1, empty reply %2").arg(round).arg(quiet + 1)));
        }
        window_->printerStateCheck();
        QCOMPARE(state(), kReady);
    }
}

void UsbPollTest::emptyReplyWhileInitialisingIsReadyAtOnce()
{
    startPrinter("on \"CheckStatus?\"\n reply \"\"\n"
                 "on \"CheckStatus?\"\n reply \"CODE=10003\"\n"
                 "on \"CheckStatus?\"\n reply \"\"\n");
    window_->printerStateCheck(); // connected
    window_->showMessageOnWindow(2, QStringLiteral("w"), QStringLiteral("w"));
    window_->printerStateCheck();
    QCOMPARE(help(), QStringLiteral("打印引擎正在初始化"));
    window_->printerStateCheck();
    QCOMPARE(state(), kReady);
}

// ---------------------------------------------------------------- a job owns the printer

void UsbPollTest::busyPrinterIsLeftAloneAndTheStateFileSpeaks()
{
    startPrinter("on \"CheckStatus?\"\n reply \"CODE=10001\"\n");
    NamedProcess filter(dir_.path().toStdString(), "pstopxl_5520nw");
    setListing("  0 ZLP5520NW-5 alice 1024 Tue 08 Dec 2026 04:00:00 UTC\n");
    // The filter's printing line, then a line of severity 3 that wins.
    writeState("CODE=10023\nCODE=60000");
    window_->printerStateCheck();
    QCOMPARE(commandsReceived(), 0);
    QCOMPARE(printer_->openHandles(), 0);
    QCOMPARE(state(), QStringLiteral("打印数据已满"));
    QVERIFY(capturedLines.contains(QStringLiteral("i = 255")));
    QVERIFY(capturedLines.contains(QStringLiteral("get----device-----error")));
    QVERIFY(capturedLines.contains(QStringLiteral("usbPrinter Job= 1, netPrinter Job= 0")));
    QVERIFY(capturedLines.contains(QStringLiteral("read line = CODE=10023")));

    // The filter's next word.
    writeState("CODE=10023");
    window_->printerStateCheck();
    QCOMPARE(state(), kPrinting);
    QCOMPARE(help(), QStringLiteral("打印机正在打印"));

    // The job ends: the printer is asked again.
    filter.stop();
    setListing("");
    window_->printerStateCheck();
    QCOMPARE(commandsReceived(), 1);
    QCOMPARE(state(), kReady);
}

void UsbPollTest::badStateFilesShowNothingAndDoNotHang()
{
    startPrinter("on \"CheckStatus?\"\n reply \"CODE=10001\"\n");
    NamedProcess filter(dir_.path().toStdString(), "pstopxl_5520nw");
    setListing("  0 ZLP5520NW-5 alice 1024 Tue\n");
    QElapsedTimer clock;

    // Missing, empty, without status lines, 10 MB.
    QFile::remove(QString::fromLatin1(kStatePath));
    const QByteArray huge = "CODE=40021\n" + QByteArray(10 << 20, 'x');
    const QList<QByteArray> texts{QByteArray(), QByteArray(), "hello\nworld\n", huge};
    for (int i = 0; i < texts.size(); ++i) {
        if (i > 0)
            writeState(texts[i]);
        mark();
        clock.start();
        window_->printerStateCheck();
        QVERIFY(clock.elapsed() < 2000);
        QVERIFY2(state() == kSentinel, qPrintable(QStringLiteral("state file %1").arg(i)));
    }
    // A FIFO that no one writes.
    QFile::remove(QString::fromLatin1(kStatePath));
    QCOMPARE(::mkfifo(kStatePath, 0644), 0);
    mark();
    clock.start();
    window_->printerStateCheck();
    QVERIFY(clock.elapsed() < 2000);
    QCOMPARE(state(), kSentinel);
    QCOMPARE(commandsReceived(), 0);
}

void UsbPollTest::jobOrFilterAloneStillAsksThePrinter()
{
    startPrinter("on \"CheckStatus?\"\n reply \"CODE=10001\"\n");
    writeState("CODE=60000");
    // A job waits in the queue, no filter runs yet.
    setListing("  0 ZLP5520NW-5 alice 1024 Tue\n");
    window_->printerStateCheck();
    QCOMPARE(commandsReceived(), 1);
    {
        // The network filter runs a network job; the USB queue is empty.
        NamedProcess netFilter(dir_.path().toStdString(), "pstopxl_5520nw_net");
        setListing("  0 ZLP5520NW-net-6 bob 1024 Tue\n");
        window_->printerStateCheck();
        QCOMPARE(commandsReceived(), 2);
    }
    // A filter without a listed job (it is ending): the printer is asked too.
    NamedProcess filter(dir_.path().toStdString(), "pstopxl_5520nw");
    setListing("");
    window_->printerStateCheck();
    QCOMPARE(commandsReceived(), 3);
    QCOMPARE(state(), kReady);
}

// What a local user tries: hold a job in the queue (lp -H indefinite) and run any program
// under the filter's name, so that the monitor takes the printer for busy, stops asking it
// and never shows the jam. Only the filter CUPS runs (as lp) leaves the printer alone.
void UsbPollTest::aFilterNamedProgramOfAnotherUserDoesNotSilenceThePrinter()
{
    startPrinter("on \"CheckStatus?\"\n reply \"CODE=44102\"\n");
    const passwd *nobody = ::getpwnam("nobody");
    QVERIFY(nobody);
    NamedProcess impostor(dir_.path().toStdString(), "pstopxl_5520nw", nobody->pw_uid);
    QVERIFY(impostor.pid() > 0);
    setListing("  0 ZLP5520NW-5 mallory 1024 Tue 08 Dec 2026 04:00:00 UTC\n");
    writeState("CODE=10023"); // left by the last real job
    window_->printerStateCheck();
    QCOMPARE(commandsReceived(), 1);
    QCOMPARE(state(), QStringLiteral("后部卡纸"));
    bool logged = false;
    for (const QString &line : capturedLines)
        logged = logged || line.contains(QStringLiteral("named pstopxl_5520nw not run by uid"));
    QVERIFY(logged);

    // The same name run as root is no filter either; the one CUPS runs as lp is.
    NamedProcess asRoot(dir_.path().toStdString(), "pstopxl_5520nw", 0);
    window_->printerStateCheck();
    QCOMPARE(commandsReceived(), 2);
    NamedProcess filter(dir_.path().toStdString(), "pstopxl_5520nw");
    window_->printerStateCheck();
    QCOMPARE(commandsReceived(), 2);
    QCOMPARE(state(), kPrinting);
}

void UsbPollTest::queuedJobWithThePrinterGoneWarns()
{
    startPrinter("device none\n");
    NamedProcess filter(dir_.path().toStdString(), "pstopxl_5520nw");
    setListing("  0 ZLP5520NW-5 alice 1024 Tue\n");
    writeState("CODE=10023");
    // While the last notice is still up, the state file is read.
    window_->printerStateCheck();
    QCOMPARE(state(), kPrinting);
    // Once the window has hidden itself, the missing printer is reported.
    window_->windowClose();
    window_->printerStateCheck();
    QCOMPARE(state(), QStringLiteral("警告"));
    QCOMPARE(help(),
             QStringLiteral("打印队列非空，但USB连接错误！\n请检查打印机和电脑的USB连接状态"));
    QVERIFY(window_->isVisible());
}

void UsbPollTest::hangingListingIsStoppedAfterThirtySeconds()
{
    startPrinter("on \"CheckStatus?\"\n reply \"CODE=10001\"\n");
    QFile hang(dir_.filePath(QStringLiteral("hang")));
    QVERIFY(hang.open(QIODevice::WriteOnly));
    hang.close();
    QElapsedTimer clock;
    clock.start();
    window_->printerStateCheck();
    const qint64 ms = clock.elapsed();
    QFile::remove(hang.fileName());
    QVERIFY2(ms >= 29500 && ms < 33000, qPrintable(QStringLiteral("the tick took %1 ms").arg(ms)));
    // No job known: the poll goes on and asks the printer.
    QCOMPARE(commandsReceived(), 1);
    QCOMPARE(state(), kReady);
    // The hanging child is gone, not left behind.
    QFile pidFile(dir_.filePath(QStringLiteral("hang.pid")));
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const pid_t pid = pid_t(pidFile.readAll().trimmed().toInt());
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid, 0), -1);
}

// ---------------------------------------------------------------- the link's release

void UsbPollTest::failedReleaseIsRetriedNotLeaked()
{
    const std::string answers = "on \"CheckStatus?\"\n reply \"CODE=10001\"\n";
    startPrinter("fail release\n" + answers);
    window_->printerStateCheck();
    QVERIFY(capturedLines.contains(QStringLiteral("release device error")));
    QCOMPARE(printer_->openHandles(), 1);

    // The next tick works on the device still held instead of opening it a second time.
    window_->printerStateCheck();
    QCOMPARE(commandsReceived(), 2);
    QCOMPARE(printer_->openHandles(), 1);

    // Quitting gives it back.
    printer_->setScript(parse(answers));
    window_->closeTrigger();
    QVERIFY(printer_->waitForOpenHandles(0, 2000));

    // A tick after a release that works again starts from a closed device.
    printer_->setScript(parse("fail release\n" + answers));
    window_->printerStateCheck();
    QCOMPARE(printer_->openHandles(), 1);
    printer_->setScript(parse(answers));
    window_->printerStateCheck();
    QCOMPARE(commandsReceived(), 4);
    QVERIFY(printer_->waitForOpenHandles(0, 2000));
    // Nothing held: quitting has nothing to release.
    capturedLines.clear();
    window_->closeTrigger();
    QVERIFY(!capturedLines.contains(QStringLiteral("release Device")));
}

int main(int argc, char **argv)
{
    std::string error;
    if (!zlpsim::ensureUmockdevPreload(argv, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    UsbPollTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "usbpoll_test.moc"
