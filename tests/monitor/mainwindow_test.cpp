// The monitor window's state machine, driven directly: status displays, balloons, the
// window timer (fired by hand, never waited for), tray clicks, closing, and the catalogue
// and settings panel behind them. The same cases run against both builds; where the
// builds differ the expectation comes from the build's profile.
#include "mainwindow.h"
#include "notifier.h"
#include "profile.h"
#include "statuscatalogue.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QScreen>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <QtTest>
#include <memory>
#include <sys/stat.h>

Q_DECLARE_METATYPE(QSystemTrayIcon::MessageIcon)

namespace
{

bool usbBuild()
{
    return kMonitorProfile.hasHideKind;
}

} // namespace

class MonitorWindowTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> w;
    std::unique_ptr<QSignalSpy> balloons;
    QTemporaryDir dir;

    QTimer *windowTimer() const { return w->windowTimer; }
    QTimer *pollTimer() const { return w->statusPollTimer; }
    static void fire(QTimer *timer) { QMetaObject::invokeMethod(timer, "timeout"); }
    void fireWindowTimer() { fire(w->windowTimer); }
    QString stateText() const { return w->ui->printer_state->text(); }
    QString helpText() const { return w->ui->printer_help->text(); }
    QColor stateColour() const
    {
        return w->ui->printer_state->palette().color(QPalette::Active, QPalette::WindowText);
    }
    bool hasImage() const { return !w->ui->printer_img->pixmap(Qt::ReturnByValue).isNull(); }
    QString balloonTitle(int i) const { return balloons->at(i).at(0).toString(); }
    QString balloonText(int i) const { return balloons->at(i).at(1).toString(); }
    QSystemTrayIcon::MessageIcon balloonIcon(int i) const
    {
        return balloons->at(i).at(2).value<QSystemTrayIcon::MessageIcon>();
    }
    int balloonMs(int i) const { return balloons->at(i).at(3).toInt(); }
    // The USB monitor keeps a balloon 30 s in tray state 1, 60 s in state 2, two minutes
    // otherwise; the network monitor always two minutes.
    static int expectedBalloonMs(int index)
    {
        if (!usbBuild())
            return 120000;
        return index == 1 ? 30000 : index == 2 ? 60000 : 120000;
    }
    // What the window's close button does.
    void userCloses() { w->close(); }
    void writeInfo(const QByteArray &content)
    {
        QFile f(w->printerInfoPath_);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

  private slots:
    void initTestCase()
    {
        qRegisterMetaType<QSystemTrayIcon::MessageIcon>();
        QVERIFY(dir.isValid());
    }

    void init()
    {
        w = std::make_unique<MainWindow>(nullptr, false);
        w->trayFound(TrayKind::StatusNotifier);
        // Construction already showed the start-up notice; count from here.
        balloons = std::make_unique<QSignalSpy>(w.get(), &MainWindow::balloonShown);
        w->printerInfoPath_ = dir.filePath(QStringLiteral("printerInfo"));
        QFile::remove(w->printerInfoPath_);
    }

    void cleanup()
    {
        balloons.reset();
        w.reset();
    }

    void startsAsTheBuildDescribes()
    {
        // A fresh window to see the start-up balloons too.
        // The balloons of construction come before any spy could connect; observe them
        // through the tray state the constructor leaves behind. The network build's window
        // holds UDP 9102, and a second one would rightly say the port is taken: the fresh
        // window is the only one.
        balloons.reset();
        w.reset();
        // No tray yet: the window, its texts and the timers do not wait for one.
        auto fresh = std::make_unique<MainWindow>(nullptr, false);
        QVERIFY(!fresh->trayIcon);
        QVERIFY(fresh->isVisible());
        QVERIFY(fresh->statusPollTimer->isActive());
        QCOMPARE(fresh->ui->printer_state->text(), QString::fromUtf8(kMonitorProfile.startupTitle));
        // The tray comes later: the icon shows the state reached meanwhile.
        fresh->trayFound(TrayKind::XEmbed);
        QCOMPARE(fresh->windowTitle(), QString::fromUtf8(kMonitorProfile.windowTitle));
        QCOMPARE(fresh->size(), QSize(520, 350));
        QCOMPARE(fresh->minimumSize(), QSize(520, 350));
        QCOMPARE(fresh->maximumSize(), QSize(520, 350));
        QVERIFY(fresh->windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(fresh->isVisible());
        QVERIFY(fresh->trayIcon->isVisible());
        QCOMPARE(fresh->trayIcon->toolTip(), QStringLiteral("Ready"));
        QVERIFY(!fresh->trayIcon->icon().isNull());
        QVERIFY(!fresh->windowIcon().isNull());
        QCOMPARE(fresh->trayStateIndex_, 1);
        if (kMonitorProfile.startupBalloonTitle) {
            QCOMPARE(fresh->balloonTitle_, QStringLiteral("通知"));
            QCOMPARE(fresh->balloonMessage_, QStringLiteral("ZLP5520NW状态监控启动"));
        } else {
            QCOMPARE(fresh->balloonTitle_, QString::fromUtf8(kMonitorProfile.startupTitle));
            QCOMPARE(fresh->balloonMessage_, QString::fromUtf8(kMonitorProfile.startupText));
        }
        QCOMPARE(fresh->ui->printer_state->text(), QString::fromUtf8(kMonitorProfile.startupTitle));
        QCOMPARE(fresh->ui->printer_help->text(), QString::fromUtf8(kMonitorProfile.startupText));
        QVERIFY(fresh->windowTimer->isActive());
        QCOMPARE(fresh->windowTimer->interval(), 4000);
        QVERIFY(fresh->statusPollTimer->isActive());
        QCOMPARE(fresh->statusPollTimer->interval(), kMonitorProfile.pollIntervalMs);

        // Only the status tab shows.
        QTabWidget *tabs = fresh->ui->tabWidget;
        QCOMPARE(tabs->count(), 3);
        QCOMPARE(tabs->currentIndex(), 0);
        QVERIFY(tabs->isTabEnabled(0));
        QVERIFY(!tabs->isTabEnabled(1));
        QVERIFY(!tabs->isTabEnabled(2));
        QCOMPARE(tabs->tabText(0), QStringLiteral("当前状态"));
        // Disabled tabs take no room and show no text.
        QCOMPARE(tabs->styleSheet(),
                 QStringLiteral("QTabBar::tab:disabled{width:0;color:transparent;}"));

        // The settings panel shows the defaults (no file under the real path here).
        QCOMPARE(fresh->ui->printer_resolution->text(), QStringLiteral("600dpi"));
        QCOMPARE(fresh->ui->printer_pagesize->text(), QStringLiteral("A4"));
        QCOMPARE(fresh->ui->printer_inputslot->text(), QString());
        QCOMPARE(fresh->ui->printer_mediatype->text(), QStringLiteral("普通纸"));
        QCOMPARE(fresh->ui->printer_duplex->text(), QStringLiteral("无"));

        // The start-up window hides at the first window timeout.
        fire(fresh->windowTimer);
        QVERIFY(!fresh->isVisible());
        QCOMPARE(fresh->autoHideDone_, 1);
    }

    void trayKindWaitsForAStatusNotifierHostBesideAnXembedTray()
    {
        QCOMPARE(trayKindOf(false, false, 0, 1000), TrayKind::None);
        QCOMPARE(trayKindOf(true, false, 0, 1000), TrayKind::StatusNotifier);
        QCOMPARE(trayKindOf(true, true, 5000, 1000), TrayKind::StatusNotifier);
        QCOMPARE(trayKindOf(false, true, 999, 1000), TrayKind::None);
        QCOMPARE(trayKindOf(false, true, 1000, 1000), TrayKind::XEmbed);
    }

    void placementKeepsTheFrameInsideTheArea()
    {
        const QSize size(520, 350);
        // Right edge 9 px from the area's right end, bottom edge 39 px above its bottom.
        QCOMPARE(monitorWindowPosition(QRect(0, 0, 1920, 1040), size),
                 QPoint(1920 - 9 - 520, 1040 - 39 - 350));
        // A primary screen right of another, below a top panel: its origin counts.
        QCOMPARE(monitorWindowPosition(QRect(1920, 200, 1280, 1024), size),
                 QPoint(1920 + 1280 - 9 - 520, 200 + 1024 - 39 - 350));
        // A frame larger than the area keeps its top left corner in it.
        QCOMPARE(monitorWindowPosition(QRect(100, 50, 400, 300), size), QPoint(100, 50));
        // The window itself is placed so, frame included once the frame is known (this
        // platform gives windows a frame when they are shown).
        QScreen *screen = QGuiApplication::primaryScreen();
        const QRect area = screen->availableGeometry();
        QTRY_COMPARE(w->frameGeometry().right(), area.right() - 9);
        QTRY_COMPARE(w->frameGeometry().bottom(), area.bottom() - 39);
        QVERIFY(w->frameGeometry().size() != w->size());
    }

    void noticesCarryIconUrgencyAndTheShowAction()
    {
        Notice n;
        n.title = QStringLiteral("t");
        n.icon = QSystemTrayIcon::Information;
        n.msecs = 30000;
        NotifyCall c = notifyCall(n);
        QCOMPARE(c.appIcon, QStringLiteral("dialog-information"));
        QCOMPARE(c.hints.value(QStringLiteral("urgency")).toInt(), 0);
        QCOMPARE(c.expireTimeout, 30000);
        QVERIFY(c.actions.isEmpty());
        n.icon = QSystemTrayIcon::Warning;
        QCOMPARE(notifyCall(n).appIcon, QStringLiteral("dialog-warning"));
        QCOMPARE(notifyCall(n).hints.value(QStringLiteral("urgency")).toInt(), 1);
        n.icon = QSystemTrayIcon::Critical;
        n.showAction = true;
        c = notifyCall(n);
        QCOMPARE(c.appIcon, QStringLiteral("dialog-error"));
        QCOMPARE(c.hints.value(QStringLiteral("urgency")).toInt(), 2);
        QCOMPARE(c.actions, QStringList({QStringLiteral("default"), QStringLiteral("显示窗体")}));
        n.icon = QSystemTrayIcon::NoIcon;
        QCOMPARE(notifyCall(n).appIcon, QString());
        QCOMPARE(notifyCall(n).hints.value(QStringLiteral("urgency")).toInt(), 0);
    }

    void withoutATrayTheWindowOffersTheMenuAndOnlyHides()
    {
        auto bare = std::make_unique<MainWindow>(nullptr, false);
        QCOMPARE(bare->contextMenuPolicy(), Qt::ActionsContextMenu);
        QCOMPARE(bare->actions(), bare->trayIconMenu->actions());
        // Closing hides; the program goes on (no last-window quit).
        bool quit = false;
        QMetaObject::Connection c =
            connect(qApp, &QCoreApplication::aboutToQuit, [&quit] { quit = true; });
        bare->close();
        QVERIFY(!bare->isVisible());
        QCoreApplication::processEvents();
        QVERIFY(!quit);
        disconnect(c);
        bare->actions().at(1)->trigger(); // "显示窗体"
        QVERIFY(bare->isVisible());
        // A right click on a label opens the menu of the window.
        QLabel *label = bare->ui->printer_help;
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                                label->mapToGlobal(QPoint(5, 5)));
        QTimer::singleShot(200, [] {
            if (QWidget *popup = QApplication::activePopupWidget())
                popup->close();
        });
        bool menuSeen = false;
        QTimer::singleShot(100, [&menuSeen] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            menuSeen = menu && menu->actions().size() == 4 &&
                       menu->actions().at(3)->text() == QStringLiteral("退出");
        });
        QApplication::sendEvent(label, &event);
        QTRY_VERIFY(menuSeen);
    }

    void balloonDurationFollowsTheTrayState()
    {
        for (int index = 0; index < 4; ++index) {
            w->trayStateIndex_ = index;
            w->showMessage();
            QCOMPARE(balloonMs(balloons->count() - 1), expectedBalloonMs(index));
        }
    }

    void kindsSetImageColourBalloonAndTimer()
    {
        w->showMessageOnWindow(2, QStringLiteral("墨粉不足"), QStringLiteral("快用完了"));
        QVERIFY(w->isVisible());
        QCOMPARE(stateText(), QStringLiteral("墨粉不足"));
        QCOMPARE(helpText(), QStringLiteral("快用完了"));
        QCOMPARE(stateColour(), QColor(Qt::darkYellow));
        QVERIFY(hasImage());
        QCOMPARE(w->trayIcon->toolTip(), QStringLiteral("Stop"));
        QCOMPARE(balloons->count(), 1);
        QCOMPARE(balloonTitle(0), QStringLiteral("墨粉不足"));
        QCOMPARE(balloonIcon(0), QSystemTrayIcon::Warning);
        QCOMPARE(balloonMs(0), expectedBalloonMs(2));
        QCOMPARE(windowTimer()->interval(), 4000);
        QVERIFY(windowTimer()->isActive());
        QCOMPARE(w->autoHideDone_, 0);

        // Same state, new texts: the labels follow; a second balloon only in the network
        // build.
        w->showMessageOnWindow(2, QStringLiteral("更换硒鼓"), QStringLiteral("请更换"));
        QCOMPARE(stateText(), QStringLiteral("更换硒鼓"));
        QCOMPARE(balloons->count(), kMonitorProfile.balloonOnChangeOnly ? 1 : 2);

        w->showMessageOnWindow(3, QStringLiteral("纸盒1卡纸"), QStringLiteral("请取出"));
        QCOMPARE(stateColour(), QColor(Qt::red));
        QCOMPARE(windowTimer()->interval(), 600000);
        QCOMPARE(w->trayIcon->toolTip(), QStringLiteral("Error"));
        QCOMPARE(balloonIcon(balloons->count() - 1), QSystemTrayIcon::Critical);
        QCOMPARE(balloonMs(balloons->count() - 1), expectedBalloonMs(3));
        // The error keeps the window up through its whole (long) interval...
        QVERIFY(w->isVisible());

        // ...until a normal state re-arms the short interval, after which it hides.
        w->showMessageOnWindow(1, QStringLiteral("打印机准备就绪"), QStringLiteral("就绪"));
        QCOMPARE(stateColour(), QColor(Qt::black));
        QCOMPARE(windowTimer()->interval(), 4000);
        QCOMPARE(w->trayIcon->toolTip(), QStringLiteral("Ready"));
        QCOMPARE(balloonIcon(balloons->count() - 1), QSystemTrayIcon::Information);
        QCOMPARE(balloonMs(balloons->count() - 1), expectedBalloonMs(1));
        QVERIFY(w->isVisible()); // kind 1 leaves the window as it is
        fireWindowTimer();
        QVERIFY(!w->isVisible());
        QCOMPARE(w->autoHideDone_, 1);
        // Later timeouts do nothing.
        w->show();
        fireWindowTimer();
        QVERIFY(w->isVisible());
    }

    void otherKindsOnlySetTheTexts()
    {
        const QList<int> kinds = usbBuild() ? QList<int>{0, 5, -1} : QList<int>{0, 4, 5};
        for (int kind : kinds) {
            w->showMessageOnWindow(3, QStringLiteral("错误"), QStringLiteral("x"));
            const int before = balloons->count();
            const QString tip = w->trayIcon->toolTip();
            w->autoHideDone_ = 1;
            w->showMessageOnWindow(kind, QStringLiteral("标题%1").arg(kind), QStringLiteral("t"));
            QCOMPARE(stateText(), QStringLiteral("标题%1").arg(kind));
            QCOMPARE(helpText(), QStringLiteral("t"));
            QVERIFY(!hasImage());
            QCOMPARE(stateColour(), QColor(Qt::red));
            QCOMPARE(balloons->count(), before);
            QCOMPARE(w->trayIcon->toolTip(), tip);
            QCOMPARE(windowTimer()->interval(), 600000);
            QCOMPARE(w->autoHideDone_, 1);
            QVERIFY(w->isVisible());
        }
    }

    void hideKindOfTheUsbBuild()
    {
        if (!usbBuild())
            QSKIP("the network build has no hide kind");
        w->showMessageOnWindow(3, QStringLiteral("错误"), QStringLiteral("x"));
        w->autoHideDone_ = 1;
        const int before = balloons->count();
        w->showMessageOnWindow(4, QStringLiteral("隐藏"), QStringLiteral("y"));
        QVERIFY(!w->isVisible());
        QVERIFY(hasImage());
        QCOMPARE(stateColour(), QColor(Qt::black));
        QCOMPARE(windowTimer()->interval(), 4000);
        QVERIFY(windowTimer()->isActive());
        QCOMPARE(w->autoHideDone_, 1); // unchanged
        QCOMPARE(balloons->count(), before);
        QCOMPARE(w->trayIcon->toolTip(), QStringLiteral("Error"));
    }

    void triggerBubbleOnSameStateIsQuietOnlyInTheUsbBuild()
    {
        w->triggerBubbleOn(2, QStringLiteral("A"), QStringLiteral("a"));
        QCOMPARE(balloons->count(), 1);
        w->triggerBubbleOn(2, QStringLiteral("B"), QStringLiteral("b"));
        if (kMonitorProfile.balloonOnChangeOnly) {
            QCOMPARE(balloons->count(), 1);
            QCOMPARE(w->balloonTitle_, QStringLiteral("A"));
            QCOMPARE(w->balloonMessage_, QStringLiteral("a"));
        } else {
            QCOMPARE(balloons->count(), 2);
            QCOMPARE(balloonTitle(1), QStringLiteral("B"));
        }
        // Middle click repeats the stored notice.
        w->iconActivated(QSystemTrayIcon::MiddleClick);
        QCOMPARE(balloonTitle(balloons->count() - 1), w->balloonTitle_);
        QCOMPARE(balloonMs(balloons->count() - 1), expectedBalloonMs(2));
    }

    void trayMenuHidesShowsAndQuits()
    {
        const QList<QAction *> entries = w->trayIconMenu->actions();
        QCOMPARE(entries.size(), 4);
        QCOMPARE(entries[0]->text(), QStringLiteral("最小化"));
        QCOMPARE(entries[1]->text(), QStringLiteral("显示窗体"));
        QVERIFY(entries[2]->isSeparator());
        QCOMPARE(entries[3]->text(), QStringLiteral("退出"));
        QCOMPARE(w->trayIcon->contextMenu(), w->trayIconMenu);

        entries[0]->trigger();
        QVERIFY(!w->isVisible());
        entries[1]->trigger();
        QVERIFY(w->isVisible());

        // "退出" ends the event loop, and only it: the window stays alive until main ends.
        QTimer::singleShot(0, entries[3], &QAction::trigger);
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
        guard.start(5000);
        QCOMPARE(QApplication::exec(), 0);
    }

    void singleClickShowsAHintWithTheStateIcon()
    {
        w->showMessageOnWindow(3, QStringLiteral("错误"), QStringLiteral("x"));
        const QString title = w->balloonTitle_;
        w->iconActivated(QSystemTrayIcon::Trigger);
        const int last = balloons->count() - 1;
        QCOMPARE(balloonTitle(last), QStringLiteral("提示"));
        QCOMPARE(balloonText(last), QStringLiteral("请双击或右键打开主界面"));
        QCOMPARE(balloonMs(last), 5000);
        QCOMPARE(balloonIcon(last), QSystemTrayIcon::Critical); // the error state's icon
        QCOMPARE(w->balloonTitle_, title); // the stored notice stays
        const int count = balloons->count();
        w->iconActivated(QSystemTrayIcon::Context);
        w->iconActivated(QSystemTrayIcon::Unknown);
        QCOMPARE(balloons->count(), count);
    }

    void doubleClickedWindowStaysThroughNormalUpdatesInTheUsbBuild()
    {
        fireWindowTimer();
        QVERIFY(!w->isVisible());
        w->iconActivated(QSystemTrayIcon::DoubleClick);
        QVERIFY(w->isVisible());
        QCOMPARE(w->autoHideDone_, 0);
        w->showMessageOnWindow(1, QStringLiteral("正在打印"), QStringLiteral("打印机正在打印"));
        fireWindowTimer();
        QCOMPARE(w->isVisible(), kMonitorProfile.doubleClickKeepsOpen);
        QCOMPARE(w->autoHideDone_, 1);
        // Closing resets the user's hold: the next normal state hides it again.
        w->iconActivated(QSystemTrayIcon::DoubleClick);
        userCloses();
        QVERIFY(!w->isVisible());
        QCOMPARE(w->openedByUser_, 0);
        w->show();
        w->showMessageOnWindow(1, QStringLiteral("就绪"), QStringLiteral("就绪"));
        fireWindowTimer();
        QVERIFY(!w->isVisible());
    }

    void closeButtonHidesAndTheProgramGoesOn()
    {
        w->showMessageOnWindow(2, QStringLiteral("墨粉不足"), QStringLiteral("快用完了"));
        const int before = balloons->count();
        userCloses();
        QVERIFY(!w->isVisible());
        QCOMPARE(w->autoHideDone_, 1);
        if (kMonitorProfile.closeRepeatsNotice) {
            QCOMPARE(balloons->count(), before + 1);
            QCOMPARE(balloonTitle(before), QStringLiteral("墨粉不足"));
        } else {
            QCOMPARE(balloons->count(), before);
        }
        // The window timer closes the window the same way: the network build repeats the
        // notice then too.
        w->showMessageOnWindow(2, QStringLiteral("更换硒鼓"), QStringLiteral("请更换"));
        const int afterWarning = balloons->count();
        fireWindowTimer();
        QVERIFY(!w->isVisible());
        QCOMPARE(balloons->count(), afterWarning + (kMonitorProfile.closeRepeatsNotice ? 1 : 0));
        // Still working afterwards.
        w->showMessageOnWindow(3, QStringLiteral("纸盒1卡纸"), QStringLiteral("请取出"));
        QVERIFY(w->isVisible());
        QCOMPARE(w->trayIcon->toolTip(), QStringLiteral("Error"));
    }

    void catalogueCodesReachTheWindow()
    {
        w->justStatusCodeShow(10001);
        QCOMPARE(stateText(), QStringLiteral("打印机准备就绪"));
        const int after = balloons->count();
        w->showMessageState("CODE=10001");
        w->showMessageState("CODE= 10001\r");
        QCOMPARE(balloons->count(), after);
        QCOMPARE(w->lastStatusCode_, 10001);

        // Unreadable and unknown codes show nothing but still count as the last code.
        w->showMessageState("CODE=" + QByteArray(5000, '7'));
        QCOMPARE(w->lastStatusCode_, 0);
        w->showMessageState("CODE=abc");
        w->showMessageState("CODE=10002");
        QCOMPARE(w->lastStatusCode_, 10002);
        QCOMPARE(stateText(), QStringLiteral("打印机准备就绪"));

        w->showMessageState("CODE=41472");
        QCOMPARE(stateText(), QStringLiteral("纸盒用途为仅纸盒3时,纸盒3无Envelope You #4尺寸纸张"));
        QCOMPARE(helpText(), QStringLiteral("请加纸"));
        QCOMPARE(stateColour(), QColor(Qt::red));

        w->justStatusCodeShow(88888);
        QCOMPARE(stateText(), QStringLiteral("打印机违规外联！"));
        QCOMPARE(helpText(), QString());
    }

    void communicationErrorWaitsForTheWindowToHide()
    {
        w->justStatusCodeShow(10001); // autoHideDone_ is 0 after any display
        w->justStatusCodeShow(44444);
        QCOMPARE(stateText(), QStringLiteral("打印机准备就绪"));
        fireWindowTimer();
        QCOMPARE(w->autoHideDone_, 1);
        w->justStatusCodeShow(44444); // the same code: stays quiet
        QCOMPARE(stateText(), QStringLiteral("打印机准备就绪"));
        w->justStatusCodeShow(10002); // unknown: no display, flag stays 1
        w->justStatusCodeShow(44444);
        QCOMPARE(stateText(), QStringLiteral("打印机通信失败"));
        QVERIFY(w->isVisible());
    }

    void printingCodeRefreshesTheSettingsPanel()
    {
        writeInfo("resolution:1200dpi;\npapersize:IndiaLegal;\ninputslot:TRAY1;\n"
                  "mediatype:THICKERPAPER2;\nduplex:DuplexTumble;\n");
        w->execReturnMsg("CODE=10023\rCODE=10001");
        QCOMPARE(stateText(), QStringLiteral("打印机准备就绪")); // the last line stays
        QCOMPARE(w->ui->printer_resolution->text(), QStringLiteral("1200dpi;"));
        QCOMPARE(w->ui->printer_pagesize->text(), QStringLiteral("印度Legal"));
        QCOMPARE(w->ui->printer_inputslot->text(), QStringLiteral("纸盒1"));
        QCOMPARE(w->ui->printer_mediatype->text(), QStringLiteral("特厚纸"));
        QCOMPARE(w->ui->printer_duplex->text(), QStringLiteral("短边翻转"));
    }

    void badSettingsFilesGiveDefaultsAndNoHang()
    {
        QByteArray big("papersize:Letter;\n");
        big.append(QByteArray(10 * 1024 * 1024, '\0'));
        writeInfo(big);
        QElapsedTimer clock;
        clock.start();
        w->readPrintJobInfo();
        QCOMPARE(w->ui->printer_pagesize->text(), QStringLiteral("A4"));
        QCOMPARE(w->ui->printer_duplex->text(), QStringLiteral("无"));

        writeInfo(QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xff", 20));
        w->readPrintJobInfo();
        QCOMPARE(w->ui->printer_resolution->text(), QStringLiteral("600dpi"));

        QFile::remove(w->printerInfoPath_);
        QVERIFY(::mkfifo(QFile::encodeName(w->printerInfoPath_).constData(), 0600) == 0);
        w->readPrintJobInfo();
        QCOMPARE(w->ui->printer_mediatype->text(), QStringLiteral("普通纸"));
        QVERIFY(clock.elapsed() < 5000);
        QFile::remove(w->printerInfoPath_);
    }

    void everyCatalogueEntryShowsItsTextsKindAndTrayState()
    {
        const QString tips[] = {QString(), QStringLiteral("Ready"), QStringLiteral("Stop"),
                                QStringLiteral("Error")};
        const QColor colours[] = {QColor(), QColor(Qt::black), QColor(Qt::darkYellow),
                                  QColor(Qt::red)};
        for (const StatusEntry &e : statusCatalogue()) {
            w->lastStatusCode_ = 0;
            w->autoHideDone_ = 1; // lets the two conditional entries through
            w->showMessageOnWindow(5, QString(), QString());
            w->justStatusCodeShow(e.code);
            const QByteArray code = QByteArray::number(e.code);
            QVERIFY2(stateText() == QString::fromUtf8(e.title), code);
            QVERIFY2(helpText() == QString::fromUtf8(e.message), code);
            QVERIFY2(stateColour() == colours[e.kind], code);
            QVERIFY2(hasImage(), code);
            QVERIFY2(w->trayIcon->toolTip() == tips[e.kind], code);
            QVERIFY2(w->trayStateIndex_ == e.kind, code);
            QVERIFY2(windowTimer()->interval() == (e.kind == 3 ? 600000 : 4000), code);
        }
    }

    void windowRendersItsState()
    {
        // A window that paints empty (lost resources, no fonts, a broken form) fails here.
        auto pixelsWhere = [](const QImage &image, const QRect &area, auto predicate) {
            int count = 0;
            for (int y = area.top(); y <= area.bottom(); ++y) {
                for (int x = area.left(); x <= area.right(); ++x) {
                    if (predicate(QColor(image.pixel(x, y))))
                        ++count;
                }
            }
            return count;
        };
        auto reddish = [](const QColor &c) {
            return c.red() > 150 && c.green() < 100 && c.blue() < 100;
        };
        auto dark = [](const QColor &c) { return c.lightness() < 100; };
        auto area = [this](QWidget *widget) {
            return QRect(widget->mapTo(w.get(), QPoint(0, 0)), widget->size());
        };

        w->justStatusCodeShow(44114);
        QApplication::processEvents();
        QImage shot = w->grab().toImage();
        QCOMPARE(shot.size(), QSize(520, 350));
        QVERIFY(pixelsWhere(shot, area(w->ui->printer_img), reddish) > 200);
        QVERIFY(pixelsWhere(shot, area(w->ui->printer_state), reddish) > 50); // red title
        QVERIFY(pixelsWhere(shot, area(w->ui->printer_help), dark) > 50);     // message text
        QVERIFY(pixelsWhere(shot, area(w->ui->printer_pagesize), dark) > 10); // "A4"

        w->justStatusCodeShow(10001);
        QApplication::processEvents();
        shot = w->grab().toImage();
        QCOMPARE(pixelsWhere(shot, area(w->ui->printer_state), reddish), 0);
        QVERIFY(pixelsWhere(shot, area(w->ui->printer_state), dark) > 50);
        QVERIFY(pixelsWhere(shot, area(w->ui->printer_img), reddish) < 20);
    }

    void formHasItsWidgetsAndResources()
    {
        for (const char *name : {"tabWidget",
                                 "tab_2",
                                 "printer_help",
                                 "groupBox",
                                 "printer_resolution",
                                 "printer_pagesize",
                                 "printer_inputslot",
                                 "printer_mediatype",
                                 "printer_duplex",
                                 "printer_img",
                                 "printer_state",
                                 "tab_3",
                                 "toner_groupBox",
                                 "label_tonerK",
                                 "textEdit_toner",
                                 "label_toner",
                                 "tab",
                                 "tableWidget_jobs",
                                 "pushButton_changePassword",
                                 "btn_prepage",
                                 "btn_nextpage"}) {
            QWidget *child = w->findChild<QWidget *>(QString::fromLatin1(name));
            QVERIFY2(child, name);
            // A screen reader says names and descriptions: no form names among them.
            QVERIFY2(child->accessibleDescription() != QString::fromLatin1(name), name);
            QVERIFY2(child->accessibleName() != QString::fromLatin1(name), name);
        }
        // Fields without a text of their own have a Chinese name; the changing labels say
        // what they are.
        QCOMPARE(w->ui->printer_img->accessibleName(), QStringLiteral("打印机状态图标"));
        QCOMPARE(w->ui->printer_state->accessibleDescription(), QStringLiteral("打印机状态"));
        QCOMPARE(w->ui->printer_help->accessibleDescription(), QStringLiteral("处理建议"));
        QCOMPARE(w->ui->printer_duplex->accessibleDescription(), QStringLiteral("双面打印"));
        QVERIFY(w->ui->printer_state->accessibleName().isEmpty()); // its text is its name
        QCOMPARE(w->ui->printer_state->geometry(), QRect(100, 20, 411, 71));
        QCOMPARE(w->ui->groupBox->geometry(), QRect(130, 170, 211, 121));
        QCOMPARE(w->ui->printer_state->font().pointSize(), 13);
        QVERIFY(w->ui->printer_state->font().bold());
        QCOMPARE(w->ui->tableWidget_jobs->columnCount(), 10);
        QCOMPARE(w->ui->tableWidget_jobs->horizontalHeaderItem(7)->text(),
                 QStringLiteral("是否经过指纹验证"));
        QVERIFY(!w->ui->btn_prepage->isEnabled());
        for (const char *path :
             {":/images/heart.png", ":/images/trash.png", ":/images/bad.png", ":/images/t_0.png",
              ":/images/c100.png", ":/images/t_unknown.png", ":/images/y5.png",
              ":/images/toner.png", ":/W3_b256", ":/W3_y256", ":/W3_r256", ":/W3_b256.bmp"})
            QVERIFY2(!QPixmap(QString::fromLatin1(path)).isNull(), path);
        QVERIFY(!QIcon(QStringLiteral(":/images/oemSetup.ico")).isNull());
    }
};

QTEST_MAIN(MonitorWindowTest)
#include "mainwindow_test.moc"
