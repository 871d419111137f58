// The network build's link to the printer: the status request it sends by UDP.
#include "mainwindow.h"
#include "statuslink.h"

#include <QByteArray>
#include <QList>

class StatusLink
{
  public:
    QByteArray request = QByteArrayLiteral("GetStatus;");
};

void StatusLinkDeleter::operator()(StatusLink *link) const
{
    delete link;
}

StatusLinkPtr makeStatusLink()
{
    return StatusLinkPtr(new StatusLink);
}

// Placeholder: the printer's address and the UDP socket are not built yet.
void MainWindow::startStatusLink() {}

// Placeholder: the UDP status request is not built yet.
void MainWindow::printerStateCheck() {}

void MainWindow::execReturnMsg(const QByteArray &reply)
{
    const QList<QByteArray> lines = reply.split('\r');
    for (const QByteArray &line : lines) {
        if (line.contains("CODE="))
            showMessageState(line);
    }
}

// Nothing to release: "退出" just ends the event loop.
void MainWindow::closeTrigger() {}
