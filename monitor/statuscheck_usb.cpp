// The USB build's link to the printer: the device, the status request and the flag that
// says whether the device is open.
#include "mainwindow.h"
#include "statuslink.h"
#include "usb_communicate.h"

#include <QByteArray>
#include <QList>

class StatusLink
{
  public:
    usb_communicate usb;
    QByteArray request = QByteArrayLiteral("CheckStatus?");
    int usbLinkOpen = 0; // 1 while the device is open, or its release failed
};

void StatusLinkDeleter::operator()(StatusLink *link) const
{
    delete link;
}

StatusLinkPtr makeStatusLink()
{
    return StatusLinkPtr(new StatusLink);
}

// The USB link opens per poll; there is nothing to set up at start-up.
void MainWindow::startStatusLink() {}

// Placeholder: the USB poll (device, printer state file, job watch) is not built yet.
void MainWindow::printerStateCheck() {}

void MainWindow::execReturnMsg(const QByteArray &reply)
{
    const QList<QByteArray> lines = reply.split('\r');
    for (const QByteArray &line : lines) {
        if (line.contains("CODE="))
            showMessageState(line);
    }
}

void MainWindow::closeTrigger()
{
    if (link_->usbLinkOpen == 1)
        link_->usb.releaseDevice();
}
