#include "usblinktestsupport.h"

#include <algorithm>
#include <vector>

namespace
{

QStringList capturedLines;

void captureMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        capturedLines << message;
}

zlpsim::PrinterScript parseOrFail(const std::string &text)
{
    std::string error;
    auto script = zlpsim::parsePrinterScript(text, &error);
    EXPECT_TRUE(script) << error;
    return script ? *script : zlpsim::PrinterScript{};
}

} // namespace

void UsbLinkTest::SetUp()
{
    capturedLines.clear();
    previousHandler_ = qInstallMessageHandler(captureMessage);
}

void UsbLinkTest::TearDown()
{
    qInstallMessageHandler(previousHandler_);
}

void UsbLinkTest::startPrinter(const std::string &scriptText)
{
    printer_ = std::make_unique<zlpsim::SimulatedUsbPrinter>(parseOrFail(scriptText));
}

void UsbLinkTest::changeScript(const std::string &scriptText)
{
    printer_->setScript(parseOrFail(scriptText));
}

int UsbLinkTest::send(const std::string &command)
{
    std::vector<unsigned char> bytes(command.begin(), command.end());
    return link_.SendCmd(bytes.data(), static_cast<unsigned int>(bytes.size()));
}

int UsbLinkTest::read(unsigned int capacity, std::string *reply)
{
    std::vector<unsigned char> buffer(capacity, 0);
    int result = link_.ReadCmd(buffer.data(), capacity);
    if (reply && result >= 0)
        reply->assign(buffer.begin(), buffer.begin() + std::min<long>(result, capacity));
    return result;
}

QStringList UsbLinkTest::takeLog()
{
    QStringList lines = capturedLines;
    capturedLines.clear();
    return lines;
}
