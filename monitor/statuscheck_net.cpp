// The network build's link to the printer: every poll sends "GetStatus;" by UDP to the
// printer's address from the address file; replies arrive on port 9102 whenever the printer
// sends them and go through the catalogue.
#include "jobwatch.h"
#include "mainwindow.h"
#include "netstatus.h"
#include "smallfile.h"
#include "statuslink.h"

#include <QByteArray>
#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QThread>
#include <QUdpSocket>

class StatusLink
{
  public:
    QByteArray request = netstatus::statusRequest();
    QUdpSocket *socket = nullptr;  // child of the window
    QString printerIp;             // the address line as read from the address file
    QHostAddress printer;          // null when that line is no address
    int netErrorShown = 0;         // 1 after a failed send, until a send succeeds
    int readyCountdown = 0;        // empty datagrams seen after a cancel
    bool portWarningShown = false; // the reply port is another program's, and the user knows

    void setPrinterIp(const QString &line)
    {
        printerIp = line;
        printer = netstatus::printerAddress(line);
    }
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

const char kNetIpInfoPath[] = "/opt/varn/ZLP5520NW/bin/net/config/netIpInfo";

// Told when another program holds the reply port: the printer's answers go to it, and this
// monitor would otherwise sit on its start-up text for ever.
const char kPortTakenTitle[] = "无法接收打印机状态";
const char kPortTakenMessage[] = "本机UDP 9102端口已被其他程序占用\n请关闭占用该端口的程序";

// At start-up a port taken is tried again for this long before it counts as another
// program's: the Printer Application on this machine may hold it for up to 200 ms while it
// asks a printer. (Later ticks try once: the user has been told already, and the window
// must not freeze at every tick while the port stays taken.)
constexpr int kBindRetryMs = 600;
constexpr unsigned long kBindRetryStepMs = 50;

// The reply port for this socket alone. Without SO_REUSEADDR, so that no other program,
// whoever runs it, can bind the port beside the monitor afterwards: Linux gives the datagrams
// of a shared UDP port to the socket bound last, which would take the printer's replies
// without a word. A program that holds it longer than a moment makes this fail, and the user
// is told.
bool bindReplyPort(QUdpSocket *socket, int retryMs)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        if (socket->bind(netstatus::kReplyPort, QAbstractSocket::DontShareAddress))
            return true;
        if (socket->error() != QAbstractSocket::AddressInUseError ||
            waited.elapsed() >= retryMs)
            return false;
        qDebug() << "bind port" << netstatus::kReplyPort << "in use, trying again";
        QThread::msleep(kBindRetryStepMs);
    }
}

} // namespace

QString MainWindow::readNetIpInfo()
{
    QByteArray content;
    const SmallFileResult result =
        readSmallFile(QString::fromLatin1(kNetIpInfoPath), kSmallFileLimit, &content);
    if (result != SmallFileResult::Ok) {
        qDebug() << "open file failed";
        return QString();
    }
    return netstatus::addressLine(content);
}

void MainWindow::startStatusLink()
{
    link_->setPrinterIp(readNetIpInfo());
    link_->socket = new QUdpSocket(this);
    connect(link_->socket, &QUdpSocket::readyRead, this, &MainWindow::readSocket);
    if (!bindReplyPort(link_->socket, kBindRetryMs)) {
        qDebug() << "bind port" << netstatus::kReplyPort
                 << "failed:" << link_->socket->errorString();
        showMessageOnWindow(2, QString::fromUtf8(kPortTakenTitle),
                            QString::fromUtf8(kPortTakenMessage));
        link_->portWarningShown = true;
    }
}

void MainWindow::printerStateCheck()
{
    // Asked on every tick, as in the USB build; nothing here depends on the answers.
    jobQueued_ = checkPrintJob();
    checkPrintingProcess();

    // While another program holds the reply port, a request would only have the printer
    // answer it; the port is tried again at every tick instead.
    if (link_->socket->state() != QAbstractSocket::BoundState) {
        if (!bindReplyPort(link_->socket, 0)) {
            qDebug() << "bind port" << netstatus::kReplyPort
                     << "failed:" << link_->socket->errorString();
            if (!link_->portWarningShown)
                showMessageOnWindow(2, QString::fromUtf8(kPortTakenTitle),
                                    QString::fromUtf8(kPortTakenMessage));
            link_->portWarningShown = true;
            return;
        }
        qDebug() << "bound port" << netstatus::kReplyPort;
        link_->portWarningShown = false;
        // Whatever was shown before, the first status from now on is shown.
        lastStatusCode_ = 0;
    }

    if (link_->netErrorShown == 1)
        link_->setPrinterIp(readNetIpInfo());

    // Qt "sends" a datagram for an address that does not parse to this host and reports
    // success, so such an address counts as a failed send here.
    qint64 ret = -1;
    if (!link_->printer.isNull())
        ret = link_->socket->writeDatagram(link_->request, link_->printer, netstatus::kRequestPort);
    qDebug().noquote() << QStringLiteral("UDP send ret = %1").arg(ret);

    if (ret < 0) {
        qDebug() << "socket link to device error";
        if (link_->netErrorShown == 0) {
            showMessageOnWindow(3, QStringLiteral("警告"),
                                QStringLiteral("网络连接错误！\n请检查打印机和电脑的网线连接状态"));
        }
        // The first status after the outage is shown even if it is the one from before.
        lastStatusCode_ = 0;
        link_->netErrorShown = 1;
        return;
    }
    readPrintJobInfo();
    link_->netErrorShown = 0;
}

void MainWindow::readSocket()
{
    qDebug() << "read socket";
    qDebug() << "receive something";
    QUdpSocket *socket = link_->socket;
    QByteArray buffer;
    buffer.resize(int(qMax<qint64>(socket->pendingDatagramSize(), 0)));
    QHostAddress sender;
    const qint64 count = socket->readDatagram(buffer.data(), buffer.size(), &sender);
    qDebug().noquote() << QStringLiteral("byte_read = %1").arg(count);
    if (count < 0)
        return;
    // Only the printer speaks for the printer: anyone else on the network could otherwise
    // put any notice on the user's screen.
    if (!netstatus::fromPrinter(sender, link_->printer)) {
        qDebug().noquote() << QStringLiteral(
                                  "dropped a datagram of %1 bytes from %2, not the printer %3")
                                  .arg(count)
                                  .arg(sender.toString(), link_->printerIp);
        return;
    }
    if (count > 0) {
        buffer.truncate(int(count));
        qDebug().noquote() << "receive = " + QString::fromUtf8(buffer);
        execReturnMsg(buffer);
        return;
    }
    // An empty datagram is a reply too: the count is logged once more before it is judged.
    qDebug().noquote() << QStringLiteral("byte_read = %1").arg(0);
    if (netstatus::emptyDatagramRule(balloonMessage_, &link_->readyCountdown) ==
        netstatus::EmptyDatagram::ShowReady) {
        showMessageOnWindow(1, QStringLiteral("打印机准备就绪"),
                            QStringLiteral("打印机准备就绪，等待打印任务"));
    }
}

void MainWindow::execReturnMsg(const QByteArray &reply)
{
    const QString rule(46, QLatin1Char('='));
    qDebug().noquote() << "receive = " + QString::fromUtf8(reply) + QLatin1Char('\n') + rule;
    for (const QByteArray &line : jobwatch::statusLinesOfReply(reply))
        showMessageState(line);
    qDebug().noquote() << rule;
}

// Nothing to release: "退出" just ends the event loop.
void MainWindow::closeTrigger() {}
