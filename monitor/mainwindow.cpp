#include "mainwindow.h"

#include "jobpanel.h"
#include "notifier.h"
#include "profile.h"
#include "smallfile.h"
#include "statuscatalogue.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDBusConnection>
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

QPoint monitorWindowPosition(const QRect &available, const QSize &frame)
{
    const int x = available.left() + available.width() - 9 - frame.width();
    const int y = available.top() + available.height() - 39 - frame.height();
    // A window larger than the area keeps its top left corner on the screen.
    return QPoint(std::max(available.left(), x), std::max(available.top(), y));
}

MainWindow::MainWindow(QWidget *parent, bool watchTray)
    : QWidget(parent), link_(makeStatusLink()), ui(new Ui_MainWindow),
      notifier_(new Notifier(QDBusConnection::sessionBus(), this)),
      printerInfoPath_(QString::fromUtf8(kMonitorProfile.printerInfoPath))
{
    ui->setupUi(this);
    // Only the status page is ever shown; the other two take no room in the tab bar.
    ui->tabWidget->setTabEnabled(1, false);
    ui->tabWidget->setTabEnabled(2, false);
    ui->tabWidget->setStyleSheet(
        QStringLiteral("QTabBar::tab:disabled{width:0;color:transparent;}"));

    setWindowTitle(QString::fromUtf8(kMonitorProfile.windowTitle));

    placeWindow();
    setFixedSize(size());
    setWindowFlags(Qt::WindowStaysOnTopHint);

    const QIcon heart(QStringLiteral(":/images/heart.png"));
    iconTable_ = {
        {heart, tr("Ready")},
        {heart, tr("Ready")},
        {QIcon(QStringLiteral(":/images/trash.png")), tr("Stop")},
        {QIcon(QStringLiteral(":/images/bad.png")), tr("Error")},
    };
    // Looked up with the tray state index: 1 normal, 2 warning, 3 error (0 is never set).
    QStyle *st = style();
    messageKindTable_ = {
        {QIcon(), QString(), QSystemTrayIcon::NoIcon},
        {st->standardIcon(QStyle::SP_MessageBoxInformation), tr("Information"),
         QSystemTrayIcon::Information},
        {st->standardIcon(QStyle::SP_MessageBoxWarning), tr("Warning"), QSystemTrayIcon::Warning},
        {st->standardIcon(QStyle::SP_MessageBoxCritical), tr("Critical"),
         QSystemTrayIcon::Critical},
    };

    createActions();
    createTrayIcon();
    // Without a tray the window is the only place left for the tray menu's entries.
    addActions(trayIconMenu->actions());
    setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(notifier_, &Notifier::showWindowRequested, this, &MainWindow::showFromNotice);
    setIcon(1);

    // A session may start the monitor before its panel is up: the icon comes when the tray
    // does, and nothing else waits for it.
    if (watchTray) {
        trayWatch_ = new TrayWatch(QDBusConnection::sessionBus(),
                                   QGuiApplication::platformName() == QLatin1String("xcb"), this);
        connect(trayWatch_, &TrayWatch::trayFound, this, &MainWindow::trayFound);
        const TrayKind now = trayWatch_->start();
        if (now != TrayKind::None)
            trayFound(now);
    }
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
}

void MainWindow::trayFound(TrayKind kind)
{
    if (trayIcon || kind == TrayKind::None)
        return;
    trayKind_ = kind;
    // The first touch of Qt's tray: it now finds the host (or the XEmbed tray) there.
    trayIcon = new QSystemTrayIcon(this);
    trayIcon->setContextMenu(trayIconMenu);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::iconActivated);
    setIcon(iconIndex_);
    trayIcon->setVisible(true);
    // Qt's balloons reach the notification server only through a StatusNotifierItem; on an
    // XEmbed tray it draws its own, which no notification server ever sees.
    if (kind == TrayKind::StatusNotifier) {
        notifier_->setTrayBalloons([this](const Notice &n) {
            trayIcon->showMessage(n.title, n.text, n.icon, n.msecs);
        });
    }
}

void MainWindow::setIcon(int index)
{
    if (index < 0 || index >= int(iconTable_.size()))
        return;
    iconIndex_ = index;
    if (!trayIcon)
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
    Notice notice;
    notice.title = title;
    notice.text = message;
    notice.icon = icon;
    notice.msecs = msecs;
    notice.showAction = trayKind_ == TrayKind::None;
    notifier_->send(notice);
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
    if (openedByUser_ == 0)
        close();
    autoHideDone_ = 1;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Hidden, not ended, also without a tray: the notices' "显示窗体" brings the window back
    // and its context menu quits.
    // The network monitor shows the last notice again whenever the window closes.
    if (kMonitorProfile.closeRepeatsNotice)
        triggerBubbleOn(trayStateIndex_, balloonTitle_, balloonMessage_);
    hide();
    openedByUser_ = 0;
    autoHideDone_ = 1;
    event->ignore();
}

void MainWindow::showFromNotice()
{
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::placeWindow()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // Before a window manager has framed the window its frame is the window itself.
    placedFrame_ = frameGeometry().size();
    move(monitorWindowPosition(screen->availableGeometry(), placedFrame_));
}

void MainWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Once framed, the frame is larger than the window: place it again, once per change.
    QTimer::singleShot(100, this, [this] {
        if (isVisible() && frameGeometry().size() != placedFrame_)
            placeWindow();
    });
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
