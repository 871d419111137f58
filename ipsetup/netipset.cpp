#include "netipset.h"

#include "formnames.h"
#include "ipconvert.h"
#include "ipexchange.h"
#include "registration.h"
#include "ui_netIpSet.h"

#include <QDebug>
#include <QEvent>
#include <QPalette>

namespace
{

const char printerNotFound[] = "查找打印机失败，请检查打印机USB连接状况或添加网络打印机";

void logLine(const char *line)
{
    qDebug().noquote() << line;
}

bool deviceOpened(int result)
{
    return result != USB_LINK_NOT_FOUND && result != USB_LINK_NOT_DETACHED;
}

} // namespace

netIpSet::netIpSet(QWidget *parent) : QMainWindow(parent), ui(new Ui::netIpSet)
{
    ui->setupUi(this);
    publishFormNames(this);
    checkIpCmd = ipconvert::queryCommand;
    setIpCmd = ipconvert::setCommandPrefix;
    deviceOpen = false;

    QPalette palette = ui->informationAdmin->palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        palette.setColor(group, QPalette::WindowText, Qt::red);
    ui->informationAdmin->setPalette(palette);

    searchPrinter(false);
}

netIpSet::~netIpSet()
{
    releaseIfOpen();
    delete ui;
}

void netIpSet::showInformation(const QString &text)
{
    ui->informationAdmin->setText(text);
    // The line is one label wide; a long reason (lpadmin's own words) stays readable here.
    ui->informationAdmin->setToolTip(text);
}

void netIpSet::releaseIfOpen()
{
    if (!deviceOpen)
        return;
    usb.releaseDevice();
    deviceOpen = false;
}

void netIpSet::searchPrinter(bool logQuery)
{
    bool attached = usb.checkUSBDevice();
    logLine(attached ? "device attached" : "device disattach");
    int result = attached ? usb.initDevice() : USB_LINK_NOT_DETACHED;
    if (!deviceOpened(result)) {
        deviceOpen = false;
        showInformation(tr(printerNotFound));
        enableChange(false);
        return;
    }
    deviceOpen = true;
    enableChange(true);
    showInformation(tr("打印机USB连接正常"));
    if (logQuery)
        logLine("check ip");
    readPrinterSettings();
    releaseIfOpen();
}

void netIpSet::readPrinterSettings()
{
    QByteArray reply = writeAndReadPrinter(checkIpCmd);
    if (reply.contains(ipconvert::readIpError) || reply.contains(ipconvert::sendError)) {
        showInformation(tr("请点击查找打印机"));
        reply.clear();
    }
    findIp(reply);
}

QByteArray netIpSet::writeAndReadPrinter(const QByteArray &command)
{
    logLine("write and read pinrter");
    return ipexchange::queryPrinter(usb, command);
}

bool netIpSet::onlyWriteToPrinter(const QByteArray &settings)
{
    return ipexchange::writeSetCommand(usb, settings);
}

bool netIpSet::setIp(const QByteArray &settings)
{
    releaseIfOpen();
    bool attached = usb.checkUSBDevice();
    logLine(attached ? "device attached" : "device disattach");
    if (!attached || !deviceOpened(usb.initDevice())) {
        deviceOpen = false;
        showInformation(tr(printerNotFound));
        enableChange(false);
        return false;
    }
    deviceOpen = true;
    bool written = onlyWriteToPrinter(settings);
    setIpCmd = ipconvert::setCommandPrefix;
    releaseIfOpen();
    if (!written)
        showInformation(tr("设置打印机IP失败：设置命令未能发送到打印机，请检查USB连接后重试"));
    return written;
}

void netIpSet::findIp(const QByteArray &reply)
{
    if (reply.size() < 1) {
        for (QLabel *label : {ui->Ip_label, ui->Mask_label, ui->Port_label})
            label->setText(QString());
        for (QLineEdit *edit : {ui->ipEdit, ui->maskEdit, ui->portEdit, ui->netIp})
            edit->setText(QString());
        showInformation(tr("获取当前打印机IP地址失败！"));
        return;
    }
    QStringList progress;
    const ipconvert::SettingsText settings = ipconvert::decodeSettings(reply, &progress);
    for (const QString &line : progress)
        qDebug().noquote() << line;
    ui->ipEdit->setText(settings.ip);
    ui->Ip_label->setText(settings.ip);
    ui->maskEdit->setText(settings.mask);
    ui->Mask_label->setText(settings.mask);
    ui->portEdit->setText(settings.gateway);
    ui->Port_label->setText(settings.gateway);
    ui->netIp->setText(settings.ip);
    showInformation(tr("获取当前打印机IP地址成功！"));
}

void netIpSet::enableChange(bool on)
{
    const std::initializer_list<QWidget *> editing = {ui->IDOK, ui->clearBtn, ui->ipEdit,
                                                      ui->maskEdit, ui->portEdit};
    for (QWidget *widget : editing)
        widget->setEnabled(on);
    if (on)
        ui->findPrinter->setEnabled(true);
    ui->addPrinter->setEnabled(!on);
    ui->netIp->setEnabled(!on);
    ui->groupBox_3->setVisible(!on);
    ui->groupBox_2->setVisible(on);
}

bool netIpSet::addPrinter(const QString &ip)
{
    const registration::Result queue = registration::registerNetworkQueue(ip);
    if (!queue.ok) {
        showInformation(queue.text);
        return false;
    }
    const QString failure = writeNetIptoFile(ip);
    if (!failure.isEmpty()) {
        showInformation(failure);
        return false;
    }
    showInformation(tr("添加网络打印机成功！"));
    return true;
}

QString netIpSet::writeNetIptoFile(const QString &ip)
{
    if (int error = registration::writeAddressFile(registration::netIpInfoPath, ip)) {
        qDebug().noquote() << "open file failed";
        return registration::addressFileFailureText(registration::fileFailureReason(error));
    }
    return QString();
}

void netIpSet::on_findPrinter_clicked()
{
    logLine("on_findPrinter_clicked");
    if (deviceOpen) {
        logLine("release device");
        releaseIfOpen();
    }
    logLine("on_findPrinter_clicked");
    searchPrinter(true);
}

void netIpSet::on_addPrinter_clicked()
{
    const QString ip = ui->netIp->text().trimmed();
    if (ip.isEmpty()) {
        showInformation(tr("请输入IP地址"));
        return;
    }
    if (!ipconvert::checkIp(ip)) {
        showInformation(tr("请检查IP地址是否正确"));
        return;
    }
    // A failure stays on screen so the user can read why; success closes as always.
    if (addPrinter(ip))
        close();
}

void netIpSet::on_IDOK_clicked()
{
    const QString ip = ui->ipEdit->text().trimmed();
    const QString mask = ui->maskEdit->text().trimmed();
    const QString gateway = ui->portEdit->text().trimmed();
    struct Check {
        const QString &text;
        const char *empty;
        const char *invalid;
    };
    const Check checks[] = {{ip, "请输入IP地址", "请检查IP地址是否正确"},
                            {mask, "请输入子网掩码", "请检查子网掩码是否正确"},
                            {gateway, "请输入默认网关", "请检查默认网关是否正确"}};
    for (const Check &check : checks) {
        if (check.text.isEmpty()) {
            showInformation(tr(check.empty));
            return;
        }
        if (!ipconvert::checkIp(check.text)) {
            showInformation(tr(check.invalid));
            return;
        }
    }
    ui->netIp->setText(ip);
    // The queue follows the printer only when the printer got its new address.
    if (setIp(ipconvert::encodeSettings(ip, mask, gateway)))
        addPrinter(ip);
}

void netIpSet::on_clearBtn_clicked()
{
    ui->ipEdit->clear();
    ui->maskEdit->clear();
    ui->portEdit->clear();
}

void netIpSet::on_IDCANCEL_clicked()
{
    releaseIfOpen();
    close();
}

void netIpSet::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
}
