#include "ipexchange.h"

#include "ipconvert.h"
#include "usb_communicate.h"

#include <QElapsedTimer>

namespace ipexchange
{

QByteArray queryPrinter(usb_communicate &link, const QByteArray &command)
{
    QByteArray send = command;
    if (link.SendCmd(reinterpret_cast<unsigned char *>(send.data()),
                     static_cast<unsigned int>(send.size())) != USB_LINK_OK)
        return ipconvert::sendError;

    int oneByteReplies = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        // A printer that keeps talking in other forms would otherwise hold the window forever.
        if (elapsed.elapsed() > exchangeLimitMs)
            return ipconvert::readIpError;
        QByteArray buffer(replyBufferSize, '\0');
        int result =
            link.ReadCmd(reinterpret_cast<unsigned char *>(buffer.data()), replyBufferSize);
        if (result == USB_LINK_READ_FAILED || result <= 0)
            return ipconvert::readIpError;
        const ipconvert::ReplyRead reply = ipconvert::classifyReply(buffer.left(result));
        switch (reply.kind) {
        case ipconvert::ReplyKind::OneByte:
            if (++oneByteReplies >= maxOneByteReplies)
                return ipconvert::readIpError;
            break;
        case ipconvert::ReplyKind::Settings:
            return reply.settings;
        case ipconvert::ReplyKind::Short:
            // The decoder needs all 12 bytes; whatever follows would be read as an address.
            return ipconvert::readIpError;
        case ipconvert::ReplyKind::Other:
            break;
        }
    }
}

bool writeSetCommand(usb_communicate &link, const QByteArray &settings)
{
    if (settings.size() != ipconvert::settingsSize)
        return false;
    QByteArray command = ipconvert::setCommand(settings);
    return link.SendCmd(reinterpret_cast<unsigned char *>(command.data()),
                        ipconvert::setCommandSize) == USB_LINK_OK;
}

} // namespace ipexchange
