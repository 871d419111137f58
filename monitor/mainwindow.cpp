#include "mainwindow.h"

#include "jobpanel.h"
#include "profile.h"
#include "smallfile.h"
#include "statuscatalogue.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QElapsedTimer>
#include <QMenu>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <string_view>

namespace
{

// The window timer: a warning shows the window briefly, an error keeps it up.
constexpr int kShortShowMs = 4000;
constexpr int kErrorShowMs = 600000;
// Balloons that are not tied to a state.
constexpr int kHintBalloonMs = 5000;
constexpr int kDefaultBalloonMs = 120000;

enum class WindowAction { Keep, Show, Hide };

// What each kind of status display looks like.
struct KindLook {
    int kind;
    const char *image; // found by the image loader's suffix search
    Qt::GlobalColor colour;
    int trayIndex; // 0: no balloon
    WindowAction window;
    int timerMs;
    bool clearsAutoHide;
};

const KindLook kKindLooks[] = {
    {1, ":/W3_b256", Qt::black, 1, WindowAction::Keep, kShortShowMs, true},
    {2, ":/W3_y256", Qt::darkYellow, 2, WindowAction::Show, kShortShowMs, true},
    {3, ":/W3_r256", Qt::red, 3, WindowAction::Show, kErrorShowMs, true},
    {4, ":/W3_b256", Qt::black, 0, WindowAction::Hide, kShortShowMs, false},
};

const KindLook *kindLook(int kind)
{
    if (kind == 4 && !kMonitorProfile.hasHideKind)
        return nullptr;
    for (const KindLook &look : kKindLooks) {
        if (look.kind == kind)
            return &look;
    }
    return nullptr;
}

} // namespace

TrayWait TrayWait::system()
{
    TrayWait wait;
    wait.available = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    wait.spend = [](int ms) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    };
    return wait;
}

int waitForTray(const TrayWait &wait)
{
    int spent = 0;
    while (spent < wait.rounds && !wait.available()) {
        wait.spend(wait.roundMs);
        ++spent;
    }
    return spent;
}

QPoint monitorWindowPosition(const QRect &available, const QSize &window)
{
    // Half the window in from the right end and above the bottom, as the monitor has
    // always been placed, but pulled back inside the area so that no part is cut off.
    int x = (available.right() - available.left()) - 9 - window.width() / 2;
    int y = (available.bottom() - available.top()) - 39 - window.height() / 2;
    x = std::max(0, std::min(x, available.width() - window.width()));
    y = std::max(0, std::min(y, available.height() - window.height()));
    return QPoint(available.left() + x, available.top() + y);
}

MainWindow::MainWindow(QWidget *parent, const TrayWait &trayWait)
    : QWidget(parent), link_(makeStatusLink()), ui(new Ui_MainWindow),
      printerInfoPath_(QString::fromUtf8(kMonitorProfile.printerInfoPath))
{
    ui->setupUi(this);
    // Screen readers and desktop tests find the widgets by their form names. Qt 5 publishes
    // no object names, so they go into the description: the accessible name of a label is
    // its text, and setting it would hide the text from them.
    for (QWidget *child : findChildren<QWidget *>()) {
        if (!child->objectName().isEmpty() && child->accessibleDescription().isEmpty())
            child->setAccessibleDescription(child->objectName());
    }

    // Only the status page is ever shown; the other two take no room in the tab bar.
    ui->tabWidget->setTabEnabled(1, false);
    ui->tabWidget->setTabEnabled(2, false);
    ui->tabWidget->setStyleSheet(
        QStringLiteral("QTabBar::tab:disabled{width:0;color:transparent;}"));

    setWindowTitle(QString::fromUtf8(kMonitorProfile.windowTitle));

    if (QScreen *screen = QGuiApplication::primaryScreen())
        move(monitorWindowPosition(screen->availableGeometry(), size()));
    setFixedSize(size());
    setWindowFlags(Qt::WindowStaysOnTopHint);

    const QIcon heart(QStringLiteral(":/images/heart.png"));
    iconTable_ = {
        {heart, tr("Ready")},
        {heart, tr("Ready")},
        {QIcon(QStringLiteral(":/images/trash.png")), tr("Stop")},
        {QIcon(QStringLiteral(":/images/bad.png")), tr("Error")},
    };
    // A balloon carries the icon of its state: a normal notice is information, not a
    // warning, and an error is marked as one.
    QStyle *st = style();
    messageKindTable_ = {
        {st->standardIcon(QStyle::SP_MessageBoxInformation), tr("Information"),
         QSystemTrayIcon::Information},
        {st->standardIcon(QStyle::SP_MessageBoxInformation), tr("Information"),
         QSystemTrayIcon::Information},
        {st->standardIcon(QStyle::SP_MessageBoxWarning), tr("Warning"), QSystemTrayIcon::Warning},
        {st->standardIcon(QStyle::SP_MessageBoxCritical), tr("Critical"),
         QSystemTrayIcon::Critical},
    };

    createActions();
    createTrayIcon();
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::iconActivated);
    setIcon(1);

    // A session may start the monitor before its panel is up.
    const int waited = waitForTray(trayWait);
    if (waited > 0)
        qDebug() << "waited for the system tray:" << waited * trayWait.roundMs << "ms";
    trayIcon->setVisible(true);
    setVisible(true);

    statusPollTimer = new QTimer(this);
    statusPollTimer->setObjectName(QStringLiteral("statusPollTimer"));
    statusPollTimer->setInterval(kMonitorProfile.pollIntervalMs);
    windowTimer = new QTimer(this);
    windowTimer->setObjectName(QStringLiteral("windowTimer"));

    if (kMonitorProfile.startupBalloonTitle) {
        triggerBubbleOn(1, QString::fromUtf8(kMonitorProfile.startupBalloonTitle),
                        QString::fromUtf8(kMonitorProfile.startupBalloonMessage));
    }
    showMessageOnWindow(1, QString::fromUtf8(kMonitorProfile.startupTitle),
                        QString::fromUtf8(kMonitorProfile.startupText));

    connect(windowTimer, &QTimer::timeout, this, &MainWindow::windowClose);
    connect(statusPollTimer, &QTimer::timeout, this, &MainWindow::printerStateCheck);
    statusPollTimer->start();
    windowTimer->start(kShortShowMs);

    readPrintJobInfo();
    startStatusLink();
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::createActions()
{
    minimizeAction = new QAction(tr("最小化"), this);
    connect(minimizeAction, &QAction::triggered, this, &QWidget::hide);
    restoreAction = new QAction(tr("显示窗体"), this);
    connect(restoreAction, &QAction::triggered, this, &QWidget::showNormal);
    quitAction = new QAction(tr("退出"), this);
    // Release the printer before the event loop ends.
    connect(quitAction, &QAction::triggered, this, &MainWindow::closeTrigger);
    connect(quitAction, &QAction::triggered, qApp, &QCoreApplication::quit);
}

void MainWindow::createTrayIcon()
{
    trayIconMenu = new QMenu(this);
    trayIconMenu->addAction(minimizeAction);
    trayIconMenu->addAction(restoreAction);
    trayIconMenu->addSeparator();
    trayIconMenu->addAction(quitAction);

    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setContextMenu(trayIconMenu);
}

void MainWindow::setIcon(int index)
{
    if (index < 0 || index >= int(iconTable_.size()))
        return;
    trayIcon->setIcon(iconTable_[size_t(index)].icon);
    trayIcon->setToolTip(iconTable_[size_t(index)].text);
}

QSystemTrayIcon::MessageIcon MainWindow::balloonIcon(int index) const
{
    if (index < 0 || index >= int(messageKindTable_.size()))
        return QSystemTrayIcon::NoIcon;
    return messageKindTable_[size_t(index)].kind;
}

void MainWindow::showBalloon(const QString &title, const QString &message,
                             QSystemTrayIcon::MessageIcon icon, int msecs)
{
    trayIcon->showMessage(title, message, icon, msecs);
    emit balloonShown(title, message, icon, msecs);
}

void MainWindow::showMessage()
{
    int msecs = kDefaultBalloonMs;
    if (trayStateIndex_ >= 0 && trayStateIndex_ < 4)
        msecs = kMonitorProfile.balloonMs[trayStateIndex_];
    showBalloon(balloonTitle_, balloonMessage_, balloonIcon(trayStateIndex_), msecs);
}

void MainWindow::triggerBubbleOn(int index, const QString &title, const QString &message)
{
    // Once per change of state, where the build asks for it.
    if (kMonitorProfile.balloonOnChangeOnly && index == trayStateIndex_)
        return;
    balloonMessage_ = message;
    balloonTitle_ = title;
    trayStateIndex_ = index;
    setIcon(index);
    showMessage();
}

void MainWindow::showMessageOnWindow(int kind, const QString &title, const QString &text)
{
    const KindLook *look = kindLook(kind);
    if (!look) {
        ui->printer_img->setPixmap(QPixmap());
        ui->printer_state->setText(title);
        ui->printer_help->setText(text);
        return;
    }

    auto applyWindow = [this, look] {
        if (look->window == WindowAction::Show)
            show();
        else if (look->window == WindowAction::Hide)
            hide();
    };
    auto armTimer = [this, look] {
        if (look->clearsAutoHide)
            autoHideDone_ = 0;
        windowTimer->setInterval(look->timerMs);
        windowTimer->start();
    };

    // An error puts the window up before anything else.
    if (kind == 3) {
        applyWindow();
        armTimer();
    }

    // The bitmaps are far larger than the label: scale them to it.
    QPixmap image(QString::fromLatin1(look->image));
    if (!image.isNull()) {
        image =
            image.scaled(ui->printer_img->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    ui->printer_img->setPixmap(image);
    QPalette palette;
    palette.setBrush(QPalette::All, QPalette::WindowText, QBrush(look->colour, Qt::SolidPattern));
    ui->printer_state->setPalette(palette);
    ui->printer_state->setText(title);
    ui->printer_help->setText(text);
    if (look->trayIndex != 0)
        triggerBubbleOn(look->trayIndex, title, text);

    if (kind != 3) {
        applyWindow();
        armTimer();
    }
}

void MainWindow::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        showBalloon(tr("提示"), tr("请双击或右键打开主界面"), balloonIcon(trayStateIndex_),
                    kHintBalloonMs);
        break;
    case QSystemTrayIcon::MiddleClick:
        showMessage();
        break;
    case QSystemTrayIcon::DoubleClick:
        autoHideDone_ = 0;
        if (kMonitorProfile.doubleClickKeepsOpen)
            openedByUser_ = 1;
        show();
        break;
    default:
        break;
    }
}

void MainWindow::windowClose()
{
    if (autoHideDone_ == 1)
        return;
    if (openedByUser_ == 0) {
        closingByTimer_ = true;
        close();
        closingByTimer_ = false;
    }
    autoHideDone_ = 1;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!trayIcon->isVisible()) {
        QWidget::closeEvent(event);
        return;
    }
    // Only a close by the user repeats the notice; the window timer's own close does not,
    // or every status would come twice.
    if (kMonitorProfile.closeRepeatsNotice && !closingByTimer_)
        triggerBubbleOn(trayStateIndex_, balloonTitle_, balloonMessage_);
    hide();
    openedByUser_ = 0;
    autoHideDone_ = 1;
    event->ignore();
}

void MainWindow::showMessageState(const QByteArray &line)
{
    const int code = statusLineCode(std::string_view(line.constData(), size_t(line.size())));
    qDebug().noquote() << QStringLiteral("MY CODE = %1").arg(code);
    const StatusEntry *entry = nextStatusEntry(code, &lastStatusCode_, autoHideDone_ == 1);
    if (!entry)
        return;
    showMessageOnWindow(entry->kind, QString::fromUtf8(entry->title),
                        QString::fromUtf8(entry->message));
    if (entry->followUp == StatusFollowUp::ReadPrintJobInfo)
        readPrintJobInfo();
}

int MainWindow::execMessageLevel(const QString &line)
{
    const QByteArray bytes = line.toUtf8();
    return statusSeverity(
        statusLineCode(std::string_view(bytes.constData(), size_t(bytes.size()))));
}

void MainWindow::justStatusCodeShow(int code)
{
    showMessageState(QStringLiteral("CODE=%1").arg(code).toUtf8());
}

void MainWindow::readPrintJobInfo()
{
    QByteArray content;
    const SmallFileResult result = readSmallFile(printerInfoPath_, kSmallFileLimit, &content);
    if (result != SmallFileResult::Ok)
        qDebug() << "open file failed";
    const PrintJobTexts texts = printJobTexts(parsePrintJobInfo(content));
    ui->printer_resolution->setText(texts.resolution);
    ui->printer_mediatype->setText(texts.mediaType);
    ui->printer_pagesize->setText(texts.pageSize);
    ui->printer_inputslot->setText(texts.inputSlot);
    ui->printer_duplex->setText(texts.duplex);
}
