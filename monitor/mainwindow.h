// The status monitor's window: the tray icon with its menu and balloons, the status area
// and the last job's settings, and the two timers that drive the program.
#pragma once

#include "statuslink.h"
#include "traywatch.h"

#include <QByteArray>
#include <QIcon>
#include <QString>
#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>
#include <vector>

class QAction;
class QCloseEvent;
class QShowEvent;
class QMenu;
class QTimer;
class Notifier;
struct Notice;
class Ui_MainWindow;

// Where the window's frame goes: its right edge 9 px from the available area's right end
// and its bottom edge 39 px above the area's bottom (above the task bar), inside the area
// whatever its size and origin (a primary screen right of another starts past 0).
QPoint monitorWindowPosition(const QRect &available, const QSize &frame);

class MainWindow : public QWidget
{
    Q_OBJECT

  public:
    // watchTray false: no tray is looked for (tests, pictures); trayFound gives one.
    explicit MainWindow(QWidget *parent = nullptr, bool watchTray = true);
    ~MainWindow() override;

    // Status display for every change of state: kind 1 normal, 2 warning, 3 error,
    // 4 hide (USB build); any other kind only sets the texts.
    void showMessageOnWindow(int kind, const QString &title, const QString &text);
    // A balloon and tray icon for a state index (1 normal, 2 warning, 3 error).
    void triggerBubbleOn(int index, const QString &title, const QString &message);

    // One status line ("CODE=10001") through the catalogue to the window.
    void showMessageState(const QByteArray &line);
    // Severity 1..4 of a status line.
    static int execMessageLevel(const QString &line);
    // Shows a code as if the printer had sent it.
    void justStatusCodeShow(int code);

    // Fills the settings panel from the filter's last job settings.
    void readPrintJobInfo();

    // A reply of the printer: status lines separated by CR (per build).
    void execReturnMsg(const QByteArray &reply);

    // A notification area exists now: the tray icon is made and shown.
    void trayFound(TrayKind kind);

  signals:
    // Every notice the window gives, whichever way it goes (for the log and the tests).
    void balloonShown(const QString &title, const QString &message,
                      QSystemTrayIcon::MessageIcon icon, int msecs);

  public slots:
    void setIcon(int index);
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void showMessage();
    void closeTrigger();
    void windowClose();
    void printerStateCheck();

  protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

  private:
    friend class MonitorWindowTest;

    void createActions();
    void createTrayIcon();
    void showBalloon(const QString &title, const QString &message,
                     QSystemTrayIcon::MessageIcon icon, int msecs);
    QSystemTrayIcon::MessageIcon balloonIcon(int index) const;
    void placeWindow();
    void showFromNotice();
    // End of construction: whatever the build's link needs once the window is up.
    void startStatusLink();

    // Job watch, shared by both builds (mainwindow_jobwatch.cpp).
    bool checkPrintJob();
    void checkPrintingProcess();
    // Build-only operations, defined by the build that has them.
    QString readPrinterState(); // USB: the most severe line of the filter's state file
    void readSocket();          // network: one datagram from the printer
    QString readNetIpInfo();    // network: the printer's address

    struct IconRow {
        QIcon icon;
        QString text;
    };
    struct MessageKindRow {
        QIcon icon;
        QString text;
        QSystemTrayIcon::MessageIcon kind;
    };

    StatusLinkPtr link_;
    Ui_MainWindow *ui;
    std::vector<IconRow> iconTable_;
    std::vector<MessageKindRow> messageKindTable_;
    QSystemTrayIcon *trayIcon = nullptr; // only once a tray exists
    TrayKind trayKind_ = TrayKind::None;
    TrayWatch *trayWatch_ = nullptr;
    Notifier *notifier_ = nullptr;
    int iconIndex_ = -1; // the tray icon's row, also before the icon exists
    QSize placedFrame_;  // the frame size the window was last placed with
    QMenu *trayIconMenu = nullptr;
    QAction *minimizeAction = nullptr;
    QAction *restoreAction = nullptr;
    QAction *quitAction = nullptr;
    QTimer *statusPollTimer = nullptr;
    QTimer *windowTimer = nullptr;
    QString printerInfoPath_;

    int trayStateIndex_ = -1; // none yet: the first triggerBubbleOn always takes effect
    QString balloonTitle_;
    QString balloonMessage_;
    int autoHideDone_ = 0;
    int openedByUser_ = 0;
    bool printing_ = false;
    bool jobQueued_ = false;
    int lastStatusCode_ = 0;
};
