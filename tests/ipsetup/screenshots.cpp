// ipsetup_screenshots OUTDIR: pictures of the launcher and of the IP settings dialog in both
// modes, for the README. The dialog talks to the simulated USB printer: once answering with
// its settings (USB mode), once held by a kernel driver it cannot be taken from (network
// mode). Rendered offscreen; the CJK text comes from the installed fonts (fonts-noto-cjk).
#include "netipset.h"
#include "programgrop.h"
#include "simulatedusbprinter.h"

#include <QApplication>
#include <QLineEdit>
#include <QPixmap>
#include <cstdio>

namespace
{

bool save(QWidget &window, const QString &path)
{
    window.show();
    QApplication::processEvents();
    if (!window.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::string error;
    if (!zlpsim::ensureUmockdevPreload(argv, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: ipsetup_screenshots OUTDIR\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString out = QString::fromLocal8Bit(argv[1]);

    auto script = zlpsim::parsePrinterScript(
        "on \"CheckIP?\"\n reply \"IPadd:\" x\"c0a8010a ffffff00 c0a80101\"\n", &error);
    auto held = zlpsim::parsePrinterScript("driver usblp\nfail detach\n", &error);
    if (!script || !held) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    zlpsim::SimulatedUsbPrinter printer(*script);

    bool ok = true;
    ProgramGrop launcher;
    ok &= save(launcher, out + "/ipsetup-launcher.png");

    netIpSet usbMode;
    usbMode.findChild<QLineEdit *>("ipEdit")->setText("192.168.1.20");
    ok &= save(usbMode, out + "/ipsetup-usb.png");

    printer.setScript(*held);
    netIpSet networkMode;
    networkMode.findChild<QLineEdit *>("netIp")->setText("192.168.1.20");
    ok &= save(networkMode, out + "/ipsetup-network.png");
    return ok ? 0 : 1;
}
