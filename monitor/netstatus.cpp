#include "netstatus.h"

#include <QStringList>

namespace netstatus
{

QString addressLine(const QByteArray &content)
{
    QString line;
    int start = 0;
    while (start < content.size()) {
        int end = content.indexOf('\n', start);
        const int next = end < 0 ? content.size() : end + 1;
        if (end < 0)
            end = content.size();
        QByteArray bytes = content.mid(start, end - start);
        if (bytes.endsWith('\r'))
            bytes.chop(1);
        line = QString::fromLocal8Bit(bytes);
        if (line.split(QLatin1Char('.')).size() == 4)
            return line;
        start = next;
    }
    return line;
}

QHostAddress printerAddress(const QString &line)
{
    const QStringList parts = line.trimmed().split(QLatin1Char('.'));
    if (parts.size() != 4)
        return QHostAddress();
    quint32 value = 0;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return QHostAddress();
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return QHostAddress();
        }
        const uint octet = part.toUInt();
        if (octet > 255)
            return QHostAddress();
        value = (value << 8) | octet;
    }
    if (value == 0)
        return QHostAddress();
    return QHostAddress(value);
}

bool fromPrinter(const QHostAddress &sender, const QHostAddress &printer)
{
    if (printer.isNull() || sender.isNull())
        return false;
    return sender.isEqual(printer, QHostAddress::ConvertV4MappedToIPv4);
}

EmptyDatagram emptyDatagramRule(const QString &balloonMessage, int *readyCountdown)
{
    if (balloonMessage.contains(QStringLiteral("正在打印")))
        return EmptyDatagram::Ignore;
    if (balloonMessage.contains(QStringLiteral("取消"))) {
        if (*readyCountdown == 3) {
            *readyCountdown = 0;
            return EmptyDatagram::ShowReady;
        }
        ++*readyCountdown;
        return EmptyDatagram::Count;
    }
    return EmptyDatagram::ShowReady;
}

} // namespace netstatus
