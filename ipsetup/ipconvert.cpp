#include "ipconvert.h"

#include <QStringList>

namespace ipconvert
{

const char queryCommand[] = "CheckIP?";
const char setCommandPrefix[] = "SetIP=";
const char replyPrefix[] = "IPadd:";
const char sendError[] = "send error";
const char readIpError[] = "read ip error";

namespace
{

constexpr int replyPrefixSize = 6;
// The hex text of a record is 24 digits; the walk never starts a pair beyond it.
constexpr int hexWindow = 24;

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool checkPart(const QString &part)
{
    if (part.isEmpty() || part.size() > 3)
        return false;
    for (QChar c : part) {
        if (!isAsciiDigit(c))
            return false;
    }
    if (part.size() > 1 && part.at(0) == QLatin1Char('0'))
        return false;
    return part.toInt() <= 255;
}

} // namespace

bool checkIp(const QString &text)
{
    const QStringList parts = text.trimmed().split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() != 4)
        return false;
    for (const QString &part : parts) {
        if (!checkPart(part))
            return false;
    }
    return true;
}

QString StringToHenStr(const QString &text)
{
    QString hex;
    for (const QString &part : text.split(QLatin1Char('.'), Qt::KeepEmptyParts)) {
        bool ok = false;
        int value = part.toInt(&ok, 10);
        if (!ok)
            value = 0;
        hex += QString::number(static_cast<unsigned char>(value), 16).rightJustified(2, '0');
    }
    return hex;
}

int ConvertHexChar(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QByteArray HexStrToByteArray(const QString &text)
{
    const QByteArray chars = text.toLatin1();
    QByteArray bytes;
    bytes.reserve(settingsSize);
    int pos = 0;
    while (pos < chars.size() && pos < hexWindow) {
        if (chars.at(pos) == ' ') {
            ++pos;
            continue;
        }
        if (pos + 1 >= chars.size())
            break; // a lone digit at the end has no partner
        int value = 16 * ConvertHexChar(chars.at(pos)) + ConvertHexChar(chars.at(pos + 1));
        bytes.append(static_cast<char>(((value % 256) + 256) % 256));
        pos += 2;
    }
    return bytes;
}

QString HexToStr(const QByteArray &bytes)
{
    QStringList pairs;
    for (int i = 0; i < settingsSize && i < bytes.size(); ++i)
        pairs
            << QString::number(static_cast<unsigned char>(bytes.at(i)), 16).rightJustified(2, '0');
    return pairs.join(QLatin1Char(' '));
}

QByteArray encodeSettings(const QString &ip, const QString &mask, const QString &gateway)
{
    const QByteArray joined =
        (StringToHenStr(ip) + StringToHenStr(mask) + StringToHenStr(gateway)).toUtf8();
    // Read back as text up to the first NUL, as the record's hex never holds one.
    return HexStrToByteArray(QString::fromLatin1(joined.constData()));
}

QByteArray setCommand(const QByteArray &settings)
{
    QByteArray command(setCommandPrefix);
    command.append(settings.left(settingsSize));
    command.append(';');
    return command;
}

ReplyRead classifyReply(const QByteArray &received)
{
    if (received.size() == 1)
        return {ReplyKind::OneByte, {}};
    // Only the prefix is text; the record after it may hold zero bytes (mask 255.255.255.0).
    if (!received.startsWith(replyPrefix))
        return {ReplyKind::Other, {}};
    if (received.size() < replyPrefixSize + settingsSize)
        return {ReplyKind::Short, {}};
    return {ReplyKind::Settings, received.mid(replyPrefixSize, settingsSize)};
}

SettingsText decodeSettings(const QByteArray &settings, QStringList *progress)
{
    static const char *const kNames[3] = {"ip = ", "mask = ", "port = "};
    QString groups[3];
    const QStringList tokens = HexToStr(settings).split(QLatin1Char(' '), Qt::KeepEmptyParts);
    for (int i = 0; i < tokens.size(); ++i) {
        const int group = i < 4 ? 0 : i < 8 ? 1 : 2;
        groups[group] += QString::number(tokens.at(i).toInt(nullptr, 16)) + QLatin1Char('.');
        if (progress)
            *progress << QLatin1String(kNames[group]) + groups[group];
    }
    for (QString &group : groups)
        group.chop(1); // the last number's dot
    return {groups[0], groups[1], groups[2]};
}

} // namespace ipconvert
