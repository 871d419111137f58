// The IP settings dialog: reads the printer's network settings over USB, sends new ones,
// and registers the network queue for an address.
#pragma once

#include "usb_communicate.h"

#include <QByteArray>
#include <QMainWindow>

namespace Ui
{
class netIpSet;
}

class netIpSet : public QMainWindow
{
    Q_OBJECT

  public:
    explicit netIpSet(QWidget *parent = nullptr);
    ~netIpSet() override;

    // One query exchange: the 12 settings bytes, or "send error" / "read ip error".
    QByteArray writeAndReadPrinter(const QByteArray &command);
    // Writes the set command for the 12 settings bytes; true when the printer took them all.
    bool onlyWriteToPrinter(const QByteArray &settings);
    // Opens the printer, sends the settings, closes it; true when the command was written.
    bool setIp(const QByteArray &settings);
    // Shows a decoded settings record, or the failure for an empty one.
    void findIp(const QByteArray &reply);
    // Registers the network queue for a checked address and records the address for the
    // network monitor; true when all of it worked, else the reason is on the status line.
    bool addPrinter(const QString &ip);
    // Writes the address file; the failure text, or empty.
    QString writeNetIptoFile(const QString &ip);
    // USB mode (true) or network-printer mode (false).
    void enableChange(bool on);

  private slots:
    void on_findPrinter_clicked();
    void on_addPrinter_clicked();
    void on_IDOK_clicked();
    void on_clearBtn_clicked();
    void on_IDCANCEL_clicked();

  protected:
    void changeEvent(QEvent *event) override;

  private:
    // Looks for the printer and, when it opens, reads and shows its settings.
    void searchPrinter(bool logQuery);
    void readPrinterSettings();
    void releaseIfOpen();
    void showInformation(const QString &text);

    Ui::netIpSet *ui;
    usb_communicate usb;
    QByteArray checkIpCmd;
    QByteArray setIpCmd;
    bool deviceOpen = false;
};
