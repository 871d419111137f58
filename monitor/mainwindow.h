// The status monitor's window: the tray icon with its menu and balloons, the status area
// and the last job's settings, and the two timers that drive the program.
#pragma once

#include "statuslink.h"

#include <QByteArray>
#include <QIcon>
#include <QString>
#include <QSystemTrayIcon>
#include <QWidget>
#include <functional>
#include <vector>

class QAction;
class QCloseEvent;
class QMenu;
class QTimer;
class Ui_MainWindow;

// How long the window waits for a notification area at start-up. The constructor takes
// it as a parameter so that tests need not wait.
struct TrayWait {
    std::function<bool()> available; // is there a notification area now?
    std::function<void(int ms)> spend;
    int rounds = 3;
    int roundMs = 4000;

    // The desktop's tray, and the event loop kept running while waiting.
    static TrayWait system();
};

// Asks `wait.available` before each of up to `rounds` waits of roundMs; after the last wait
// it goes on without asking again. Returns the number of waits spent.
int waitForTray(const TrayWait &wait);

// Where the window goes: near the bottom right corner of the available area, above the
// task bar, and inside the area whatever its size and origin.
QPoint monitorWindowPosition(const QRect &available, const QSize &window);

class MainWindow : public QWidget
{
    Q_OBJECT

  public:
    explicit MainWindow(QWidget *parent = nullptr, const TrayWait &trayWait = TrayWait::system());
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

  signals:
    // Every balloon the window shows (for the log and the tests).
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

  private:
    friend class MonitorWindowTest;

    void createActions();
    void createTrayIcon();
    void showBalloon(const QString &title, const QString &message,
                     QSystemTrayIcon::MessageIcon icon, int msecs);
    QSystemTrayIcon::MessageIcon balloonIcon(int index) const;
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
    QSystemTrayIcon *trayIcon = nullptr;
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
    bool closingByTimer_ = false; // the window timer's close is not the user's
    bool printing_ = false;
    bool jobQueued_ = false;
    int lastStatusCode_ = 0;
};
