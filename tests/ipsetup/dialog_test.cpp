// The launcher and the IP settings dialog driven through their widgets, with the simulated
// USB printer on the bus and the real lpadmin against the sandbox's cupsd. Run by
// dialog_test.sh inside tests/sandbox/sandbox.sh --cupsd, which puts recording stand-ins
// in place of the CUPS restart commands and of the PDF reader.
#include "netipset.h"
#include "programgrop.h"
#include "simulatedusbprinter.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QtTest>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace
{

const char netIpInfo[] = "/opt/varn/ZLP5520NW/bin/net/config/netIpInfo";
const char restartRecord[] = "/var/tmp/restart-calls";
const char readerRecord[] = "/var/tmp/pdfreader-calls";
const char notFound[] = "查找打印机失败，请检查打印机USB连接状况或添加网络打印机";
const char readOk[] = "获取当前打印机IP地址成功！";
const char readFailed[] = "获取当前打印机IP地址失败！";
const char success[] = "添加网络打印机成功！";
const char writeFailed[] = "设置打印机IP失败：设置命令未能发送到打印机，请检查USB连接后重试";
const std::string exampleSet("SetIP=\xc0\xa8\x01\x0a\xff\xff\xff\x00\xc0\xa8\x01\x01;", 19);
const std::string answering =
    "on \"CheckIP?\"\n  reply \"IPadd:\" x\"c0a8010a ffffff00 c0a80101\"\n";

using Commands = std::vector<std::string>;

QString readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("<missing>");
    return QString::fromUtf8(file.readAll());
}

// Runs a CUPS client; its output, or "<failed>" when it fails.
QString cups(const QString &program, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LC_ALL", "C");
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(20000) || process.exitCode() != 0)
        return QStringLiteral("<failed>");
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString queueDevice()
{
    return cups("lpstat", {"-v", "ZLP5520NW-net"});
}

} // namespace

class DialogTest : public QObject
{
    Q_OBJECT

  private:
    std::unique_ptr<zlpsim::SimulatedUsbPrinter> printer;
    std::unique_ptr<netIpSet> dialog;

    void startPrinter(const std::string &scriptText)
    {
        std::string error;
        auto script = zlpsim::parsePrinterScript(scriptText, &error);
        QVERIFY2(script, error.c_str());
        if (printer)
            printer->setScript(*script);
        else
            printer = std::make_unique<zlpsim::SimulatedUsbPrinter>(*script);
    }
    void openDialog()
    {
        dialog = std::make_unique<netIpSet>();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    }
    template <typename T> T *child(const char *name)
    {
        T *widget = dialog->findChild<T *>(name);
        if (!widget)
            qFatal("no widget %s", name);
        return widget;
    }
    QString info() { return child<QLabel>("informationAdmin")->text(); }
    QString text(const char *name) { return child<QLineEdit>(name)->text(); }
    void type(const char *name, const QString &text)
    {
        QLineEdit *edit = child<QLineEdit>(name);
        edit->clear();
        bool ascii =
            std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 128; });
        if (ascii) {
            QTest::keyClicks(edit, text);
        } else {
            // Chinese and full-width text arrives as an input method's commit, as it does
            // when a user types it.
            QInputMethodEvent event;
            event.setCommitString(text);
            QApplication::sendEvent(edit, &event);
        }
    }
    // A real click: it does nothing on a hidden or disabled button.
    void click(const char *name) { QTest::mouseClick(child<QPushButton>(name), Qt::LeftButton); }
    bool usbMode()
    {
        return child<QGroupBox>("groupBox_2")->isVisible() &&
               !child<QGroupBox>("groupBox_3")->isVisible() &&
               child<QPushButton>("IDOK")->isEnabled() &&
               !child<QPushButton>("addPrinter")->isEnabled();
    }
    bool networkMode()
    {
        return !child<QGroupBox>("groupBox_2")->isVisible() &&
               child<QGroupBox>("groupBox_3")->isVisible() &&
               !child<QPushButton>("IDOK")->isEnabled() &&
               child<QPushButton>("addPrinter")->isEnabled() &&
               child<QLineEdit>("netIp")->isEnabled();
    }
    Commands commands() { return printer->receivedCommands(); }
    // Nothing of a registration happened: no queue, no restart, no address file.
    void verifyNothingRun()
    {
        QCOMPARE(queueDevice(), QStringLiteral("<failed>"));
        QCOMPARE(readFile(restartRecord), QStringLiteral("<missing>"));
        QCOMPARE(readFile(netIpInfo), QStringLiteral("<missing>"));
    }
    void verifyRegistered(const QString &ip)
    {
        QCOMPARE(queueDevice(), "device for ZLP5520NW-net: socket://" + ip + ":9100");
        QCOMPARE(cups("lpstat", {"-d"}),
                 QStringLiteral("system default destination: ZLP5520NW-net"));
        QVERIFY(cups("lpstat", {"-p", "ZLP5520NW-net"}).contains("enabled"));
        QVERIFY(cups("lpstat", {"-a", "ZLP5520NW-net"}).contains("accepting requests"));
        const QString ppd = readFile("/etc/cups/ppd/ZLP5520NW-net.ppd");
        QVERIFY(ppd.contains("*NickName: \"VARN ZLP5520NW Network\""));
        QVERIFY(ppd.contains("pstopxl_5520nw_net\""));
        QCOMPARE(readFile(netIpInfo), ip);
    }
    QString expectedRestart()
    {
        return QFileInfo::exists("/etc/init.d/cups") ? "init.d/cups restart\n"
                                                     : "service cups restart\n";
    }

  private slots:
    void init()
    {
        cups("/usr/sbin/lpadmin", {"-x", "ZLP5520NW-net"});
        QFile::remove(netIpInfo);
        QFile::remove(restartRecord);
        QFile::remove(readerRecord);
    }
    void cleanup()
    {
        dialog.reset();
        // Every path closes the printer again, also after it vanished.
        bool closed = !printer || printer->waitForOpenHandles(0, 2000);
        printer.reset();
        QVERIFY(closed);
    }

    void startsInNetworkModeWithoutPrinter()
    {
        startPrinter("device none\n");
        openDialog();
        QCOMPARE(info(), QString(notFound));
        // The status line is red in every state of the window, whatever the style sheet does.
        const QPalette palette = child<QLabel>("informationAdmin")->palette();
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            QCOMPARE(palette.color(group, QPalette::WindowText), QColor(Qt::red));
        QVERIFY(networkMode());
        QVERIFY(child<QPushButton>("findPrinter")->isEnabled());
        QVERIFY(commands().empty());
    }

    void startsWithThePrinterSettings()
    {
        startPrinter(answering);
        openDialog();
        QCOMPARE(info(), QString(readOk));
        QVERIFY(usbMode());
        QCOMPARE(child<QLabel>("Ip_label")->text(), QString("192.168.1.10"));
        QCOMPARE(child<QLabel>("Mask_label")->text(), QString("255.255.255.0"));
        QCOMPARE(child<QLabel>("Port_label")->text(), QString("192.168.1.1"));
        QCOMPARE(text("ipEdit"), QString("192.168.1.10"));
        QCOMPARE(text("maskEdit"), QString("255.255.255.0"));
        QCOMPARE(text("portEdit"), QString("192.168.1.1"));
        QCOMPARE(text("netIp"), QString("192.168.1.10"));
        QCOMPARE(commands(), Commands{"CheckIP?"});
    }

    void unreadableSettingsEmptyTheFields()
    {
        // A reply of another form, a short one: nothing usable.
        startPrinter(
            "on \"CheckIP?\"\n reply \"IPadr:\" x\"00\"*12\n reply \"IPadd:\" x\"c0a8\"\n");
        openDialog();
        QCOMPARE(info(), QString(readFailed));
        QVERIFY(usbMode());
        for (const char *edit : {"ipEdit", "maskEdit", "portEdit", "netIp"})
            QCOMPARE(text(edit), QString());
        QCOMPARE(child<QLabel>("Ip_label")->text(), QString());
    }

    void printerVanishingMidExchange()
    {
        startPrinter("on \"CheckIP?\"\n reply x\"01\"\n reply gone\n");
        QElapsedTimer timer;
        timer.start();
        openDialog();
        QVERIFY(timer.elapsed() < 3000);
        QCOMPARE(info(), QString(readFailed));
        type("ipEdit", "192.168.1.10");
        type("maskEdit", "255.255.255.0");
        type("portEdit", "192.168.1.1");
        click("IDOK");
        QCOMPARE(info(), QString(writeFailed));
        QCOMPARE(commands(), Commands{"CheckIP?"});
        verifyNothingRun();
    }

    void findButtonRetriesTheSearch()
    {
        // The kernel keeps the printer: it cannot be opened.
        startPrinter("driver usblp\nfail detach\n" + answering);
        openDialog();
        QCOMPARE(info(), QString(notFound));
        QVERIFY(networkMode());
        startPrinter(answering);
        click("findPrinter");
        QCOMPARE(info(), QString(readOk));
        QVERIFY(usbMode());
        QCOMPARE(text("ipEdit"), QString("192.168.1.10"));
        click("findPrinter");
        QCOMPARE(commands(), (Commands{"CheckIP?", "CheckIP?"}));
    }

    void setRefusesBadInput_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("mask");
        QTest::addColumn<QString>("gateway");
        QTest::addColumn<QString>("message");
        const QString ip = "192.168.1.10", mask = "255.255.255.0", gw = "192.168.1.1";
        const QString badIp = "请检查IP地址是否正确", badMask = "请检查子网掩码是否正确",
                      badGw = "请检查默认网关是否正确";
        QTest::newRow("all empty") << ""
                                   << ""
                                   << ""
                                   << "请输入IP地址";
        QTest::newRow("mask empty") << ip << "" << gw << "请输入子网掩码";
        QTest::newRow("gateway empty") << ip << mask << ""
                                       << "请输入默认网关";
        QTest::newRow("blank ip") << "   " << mask << gw << "请输入IP地址";
        QTest::newRow("3 parts") << "192.168.1" << mask << gw << badIp;
        QTest::newRow("5 parts") << "192.168.1.10.5" << mask << gw << badIp;
        QTest::newRow("empty part") << "192..1.10" << mask << gw << badIp;
        QTest::newRow("256") << "192.168.1.256" << mask << gw << badIp;
        QTest::newRow("letters") << "192.168.1.abc" << mask << gw << badIp;
        QTest::newRow("minus") << "-5" << mask << gw << badIp;
        QTest::newRow("octal") << "192.168.1.010" << mask << gw << badIp;
        QTest::newRow("semicolon") << "1.1.1.1;touch /tmp/x" << mask << gw << badIp;
        QTest::newRow("substitution") << "$(id)" << mask << gw << badIp;
        QTest::newRow("option") << "1.1.1.1 -p other" << mask << gw << badIp;
        QTest::newRow("10000 chars") << QString(10000, '1') << mask << gw << badIp;
        QTest::newRow("chinese digits")
            << QString::fromUtf8("一九二.一六八.一.一〇") << mask << gw << badIp;
        QTest::newRow("full-width")
            << QString::fromUtf8("１９２.１６８.１.１０") << mask << gw << badIp;
        QTest::newRow("bad mask") << ip << "255.255.255.abc" << gw << badMask;
        QTest::newRow("mask injection") << ip << "255.0.0.0;id" << gw << badMask;
        QTest::newRow("bad gateway") << ip << mask << "192.168.1" << badGw;
        QTest::newRow("gateway injection") << ip << mask << "$(id)" << badGw;
    }
    void setRefusesBadInput()
    {
        QFETCH(QString, ip);
        QFETCH(QString, mask);
        QFETCH(QString, gateway);
        QFETCH(QString, message);
        startPrinter(answering);
        openDialog();
        type("ipEdit", ip);
        type("maskEdit", mask);
        type("portEdit", gateway);
        click("IDOK");
        QCOMPARE(info(), message);
        QCOMPARE(commands(), Commands{"CheckIP?"});
        QVERIFY(usbMode());
        verifyNothingRun();
    }

    void setProgramsThePrinterAndRegistersTheQueue()
    {
        startPrinter(answering);
        openDialog();
        type("ipEdit", "192.168.1.10");
        type("maskEdit", " 255.255.255.0 ");
        type("portEdit", "192.168.1.1");
        click("IDOK");
        QCOMPARE(info(), QString(success));
        QCOMPARE(commands(), (Commands{"CheckIP?", exampleSet}));
        QCOMPARE(text("netIp"), QString("192.168.1.10"));
        verifyRegistered("192.168.1.10");
        QCOMPARE(readFile(restartRecord), expectedRestart());
        QVERIFY(dialog->isVisible());
    }

    void setAcceptsAnyMaskThatPassesTheCheck()
    {
        startPrinter(answering);
        openDialog();
        type("maskEdit", "255.255.0.255");
        click("IDOK");
        QCOMPARE(info(), QString(success));
        const std::string sent("SetIP=\xc0\xa8\x01\x0a\xff\xff\x00\xff\xc0\xa8\x01\x01;", 19);
        QCOMPARE(commands(), (Commands{"CheckIP?", sent}));
    }

    void setWithoutPrinterRegistersNothing()
    {
        startPrinter(answering);
        openDialog();
        startPrinter("driver usblp\nfail detach\n");
        click("IDOK");
        QCOMPARE(info(), QString(notFound));
        QVERIFY(networkMode());
        QCOMPARE(commands(), Commands{"CheckIP?"});
        verifyNothingRun();
    }

    void setThatDoesNotReachThePrinterRegistersNothing()
    {
        startPrinter(answering);
        openDialog();
        startPrinter("short-write 10\n");
        click("IDOK");
        QCOMPARE(info(),
                 QStringLiteral("设置打印机IP失败：设置命令未能发送到打印机，请检查USB连接后重试"));
        verifyNothingRun();
    }

    void addButtonRegistersAndRepoints()
    {
        startPrinter("device none\n");
        openDialog();
        click("addPrinter");
        QCOMPARE(info(), QStringLiteral("请输入IP地址"));
        for (const char *bad : {"192.168.1.256", "1.1.1.1;touch /tmp/x", "1.1.1.1 -p other"}) {
            type("netIp", bad);
            click("addPrinter");
            QCOMPARE(info(), QStringLiteral("请检查IP地址是否正确"));
        }
        QVERIFY(dialog->isVisible());
        verifyNothingRun();

        type("netIp", "192.168.1.10");
        click("addPrinter");
        QVERIFY(!dialog->isVisible());
        QCOMPARE(info(), QString(success));
        verifyRegistered("192.168.1.10");

        openDialog();
        type("netIp", "10.0.0.7 ");
        click("addPrinter");
        QVERIFY(!dialog->isVisible());
        verifyRegistered("10.0.0.7");
        QCOMPARE(cups("lpstat", {"-v"}).count("ZLP5520NW-net"), 1);
        QCOMPARE(readFile(restartRecord), expectedRestart() + expectedRestart());
    }

    void addressFileFailureIsReported()
    {
        const QString config = QFileInfo(netIpInfo).path();
        QVERIFY(QFile::rename(config, config + ".away"));
        startPrinter("device none\n");
        openDialog();
        type("netIp", "192.168.1.10");
        click("addPrinter");
        QVERIFY(QFile::rename(config + ".away", config));
        QCOMPARE(info(), QStringLiteral(
                             "网络打印机已添加，但未能保存打印机地址：目录不存在，请重新安装驱动"));
        QVERIFY(dialog->isVisible());
    }

    void cancelSendsAndRunsNothing()
    {
        startPrinter(answering);
        openDialog();
        QCOMPARE(text("ipEdit"), QString("192.168.1.10")); // valid fields
        click("IDCANCEL");
        QVERIFY(!dialog->isVisible());
        QCOMPARE(commands(), Commands{"CheckIP?"});
        verifyNothingRun();

        openDialog();
        child<QLineEdit>("ipEdit")->clear();
        click("IDCANCEL");
        QVERIFY(!dialog->isVisible());
    }

    void clearEmptiesOnlyTheEditFields()
    {
        startPrinter(answering);
        openDialog();
        click("clearBtn");
        for (const char *edit : {"ipEdit", "maskEdit", "portEdit"})
            QCOMPARE(text(edit), QString());
        QCOMPARE(text("netIp"), QString("192.168.1.10"));
        QCOMPARE(child<QLabel>("Ip_label")->text(), QString("192.168.1.10"));
    }

    void languageChangeReappliesTheTexts()
    {
        startPrinter("device none\n");
        openDialog();
        child<QPushButton>("IDOK")->setText("x");
        child<QGroupBox>("groupBox_3")->setTitle("x");
        dialog->setWindowTitle("x");
        QEvent event(QEvent::LanguageChange);
        QApplication::sendEvent(dialog.get(), &event);
        QCOMPARE(child<QPushButton>("IDOK")->text(), QStringLiteral("设置打印机IP"));
        QCOMPARE(child<QGroupBox>("groupBox_3")->title(), QStringLiteral("添加网络打印机"));
        QCOMPARE(dialog->windowTitle(), QStringLiteral("netIpSet"));
    }

    void launcherOpensANewDialogEachTime()
    {
        startPrinter(answering);
        ProgramGrop launcher;
        launcher.show();
        auto dialogs = [] {
            QList<netIpSet *> found;
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                if (auto *d = qobject_cast<netIpSet *>(widget))
                    found << d;
            }
            return found;
        };
        QTest::mouseClick(launcher.findChild<QPushButton *>("pushButton"), Qt::LeftButton);
        QCOMPARE(dialogs().size(), 1);
        netIpSet *first = dialogs().first();
        QVERIFY(first->isVisible());
        QCOMPARE(first->windowModality(), Qt::ApplicationModal);
        QVERIFY(first->windowFlags() & Qt::Dialog);
        first->close();
        QTest::mouseClick(launcher.findChild<QPushButton *>("pushButton"), Qt::LeftButton);
        QCOMPARE(dialogs().size(), 2);
        QCOMPARE(commands(), (Commands{"CheckIP?", "CheckIP?"}));
    }

    void launcherWaitsForTheGuideReader()
    {
        ProgramGrop launcher;
        launcher.show();
        QElapsedTimer timer;
        timer.start();
        QTest::mouseClick(launcher.findChild<QPushButton *>("pushButton_2"), Qt::LeftButton);
        QVERIFY(timer.elapsed() >= 1000); // the stand-in reader stays open for a second
        QCOMPARE(readFile(readerRecord), QStringLiteral("/opt/varn/ZLP5520NW/doc/guide.pdf\n"));
    }

    void serviceRestartWithoutInitScript()
    {
        if (QFileInfo::exists("/etc/init.d/cups"))
            QSKIP("runs in the pass without /etc/init.d/cups");
        startPrinter("device none\n");
        openDialog();
        type("netIp", "192.168.1.10");
        click("addPrinter");
        QCOMPARE(info(), QString(success));
        QCOMPARE(readFile(restartRecord), QStringLiteral("service cups restart\n"));
    }

    void userWithoutRightsGetsTheReason()
    {
        if (::geteuid() == 0)
            QSKIP("runs in the pass as an unprivileged user");
        startPrinter("device none\n");
        openDialog();
        type("netIp", "192.168.1.10");
        click("addPrinter");
        QCOMPARE(
            info(),
            QStringLiteral("添加网络打印机失败：没有管理打印机的权限，请把当前用户加入 lpadmin 组后重新登录，或以管理员（root）身份运行"));
        QVERIFY(dialog->isVisible());
        QCOMPARE(readFile(netIpInfo), QStringLiteral("<missing>"));
    }
};

int main(int argc, char **argv)
{
    std::string error;
    if (!zlpsim::ensureUmockdevPreload(argv, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    DialogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "dialog_test.moc"
