// The USB build's status poll: every tick it either asks the printer over USB
// ("CheckStatus?") or, while a print job owns the device, takes the filter's last word from
// the printer state file; each status line then goes through the catalogue to the window.
#include "jobwatch.h"
#include "mainwindow.h"
#include "profile.h"
#include "smallfile.h"
#include "statuslink.h"
#include "usb_communicate.h"

#include <QByteArray>
#include <QDebug>
#include <QTimer>
#include <string_view>

class StatusLink
{
  public:
    usb_communicate usb;
    QByteArray request = QByteArrayLiteral("CheckStatus?");
    int usbLinkOpen = 0;        // 1 while the device is open, or its release failed
    int connectedAnnounced = 0; // "连接成功！" shown for the current connection
    int noDeviceShown = 0;      // the USB connection warning shown for the current outage
    int readyCountdown = 0;     // empty replies while the last balloon says a job is on
};

void StatusLinkDeleter::operator()(StatusLink *link) const
{
    delete link;
}

StatusLinkPtr makeStatusLink()
{
    return StatusLinkPtr(new StatusLink);
}

namespace
{

const QString kWarningTitle = QStringLiteral("警告");
const QString kNoDeviceText = QStringLiteral("USB连接错误！\n请检查打印机和电脑的USB连接状态");
const QString kQueuedNoDeviceText =
    QStringLiteral("打印队列非空，但USB连接错误！\n请检查打印机和电脑的USB连接状态");
const QString kReadyTitle = QStringLiteral("打印机准备就绪");
const QString kReadyText = QStringLiteral("打印机准备就绪，等待打印任务");

// Empty replies to wait for after a job before the printer counts as ready again.
constexpr int kEmptyRepliesBeforeReady = 3;

void logLine(const QString &line)
{
    qDebug().noquote() << line;
}

// Releases a device whose release failed on an earlier tick. True when nothing is held now.
bool releaseHeldDevice(StatusLink &link)
{
    if (link.usbLinkOpen != 1)
        return true;
    if (link.usb.releaseDevice() != USB_LINK_OK) {
        logLine(QStringLiteral("release device error"));
        return false;
    }
    link.usbLinkOpen = 0;
    logLine(QStringLiteral("release device ok"));
    return true;
}

} // namespace

// The USB link opens per poll; there is nothing to set up at start-up.
void MainWindow::startStatusLink() {}

void MainWindow::printerStateCheck()
{
    StatusLink &link = *link_;
    checkPrintingProcess();
    jobQueued_ = checkPrintJob();

    // A job owns the printer: leave the device alone (and give back one still held from a
    // failed release). Otherwise open it, unless a failed release still holds it open: a
    // second open would leak the first handle on every tick.
    int result;
    if (jobQueued_ && printing_) {
        releaseHeldDevice(link);
        result = USB_LINK_NOT_DETACHED;
    } else if (!releaseHeldDevice(link)) {
        result = USB_LINK_OK;
    } else {
        result = link.usb.initDevice();
    }
    logLine(QStringLiteral("i = %1").arg(result));

    if (result == USB_LINK_NOT_FOUND) {
        logLine(QStringLiteral("find device error"));
        if (link.noDeviceShown == 0)
            showMessageOnWindow(3, kWarningTitle, kNoDeviceText);
        link.readyCountdown = 0;
        link.connectedAnnounced = 0;
        link.usbLinkOpen = 0;
        link.noDeviceShown = 1;
        return;
    }

    if (result == USB_LINK_NOT_DETACHED) {
        link.readyCountdown = 0;
        link.noDeviceShown = 0;
        if (link.usb.checkUSBDevice() || autoHideDone_ != 1) {
            readPrintJobInfo();
            logLine(QStringLiteral("get----device-----error"));
            execReturnMsg(readPrinterState().toUtf8());
            return;
        }
        showMessageOnWindow(3, kWarningTitle, kQueuedNoDeviceText);
        return;
    }

    logLine(QStringLiteral("connect ok"));
    link.noDeviceShown = 0;
    if (link.connectedAnnounced == 0)
        showMessageOnWindow(1, QStringLiteral("连接成功！"),
                            QStringLiteral("状态监视器连接打印机成功！"));
    link.usbLinkOpen = 1;
    if (!statusPollTimer->isActive())
        statusPollTimer->start();
    link.connectedAnnounced = 1;

    // The request, without terminator. A failed send still reads: the printer may have
    // taken part of it.
    QByteArray sendBuffer = link.request;
    const int sent = link.usb.SendCmd(reinterpret_cast<unsigned char *>(sendBuffer.data()), 12);
    const QString plusLine(46, QLatin1Char('+'));
    logLine(plusLine);
    logLine(QStringLiteral("send1 %1").arg(sent));
    logLine(plusLine);

    unsigned char buffer[jobwatch::replyCapacity] = {};
    const int read = link.usb.ReadCmd(buffer, sizeof buffer);
    QByteArray reply;
    if (read != 0) {
        reply = jobwatch::replyText(reinterpret_cast<const char *>(buffer), sizeof buffer);
    } else {
        logLine(QStringLiteral("byte_read = %1").arg(0));
        // A printer that goes quiet after a job is ready again, once it has stayed quiet for
        // a few polls; one that was initialising is ready at once.
        if (balloonMessage_.contains(QStringLiteral("正在打印")) ||
            balloonMessage_.contains(QStringLiteral("取消"))) {
            if (link.readyCountdown == kEmptyRepliesBeforeReady) {
                showMessageOnWindow(1, kReadyTitle, kReadyText);
                link.readyCountdown = 0;
            } else {
                ++link.readyCountdown;
            }
        } else if (balloonMessage_.contains(QStringLiteral("初始化"))) {
            showMessageOnWindow(1, kReadyTitle, kReadyText);
        }
    }
    execReturnMsg(reply);

    if (link.usb.releaseDevice() == USB_LINK_OK) {
        link.usbLinkOpen = 0;
        logLine(QStringLiteral("release device ok"));
    } else {
        link.usbLinkOpen = 1;
        logLine(QStringLiteral("release device error"));
    }
}

void MainWindow::execReturnMsg(const QByteArray &reply)
{
    const QString equalsLine(46, QLatin1Char('='));
    logLine(QStringLiteral("receive execReturnMsg = ") + QString::fromUtf8(reply));
    logLine(equalsLine);
    for (const QByteArray &line : jobwatch::statusLinesOfReply(reply))
        showMessageState(line);
    logLine(equalsLine);
}

QString MainWindow::readPrinterState()
{
    QByteArray content;
    const SmallFileResult result =
        readSmallFile(QString::fromUtf8(kMonitorProfile.stateFilePath), kSmallFileLimit, &content);
    if (result != SmallFileResult::Ok) {
        logLine(QStringLiteral("open file failed"));
        return QString();
    }
    const std::string line = jobwatch::mostSevereStatusLine(
        std::string_view(content.constData(), size_t(content.size())),
        [](std::string_view l) {
            return execMessageLevel(QString::fromUtf8(l.data(), int(l.size())));
        },
        [](std::string_view l) {
            logLine(QStringLiteral("read line = ") + QString::fromUtf8(l.data(), int(l.size())));
        });
    return QString::fromStdString(line);
}

void MainWindow::closeTrigger()
{
    // The printer stays claimed after a failed release; give it back before quitting.
    if (link_->usbLinkOpen == 1 && link_->usb.releaseDevice() == USB_LINK_OK)
        link_->usbLinkOpen = 0;
}
