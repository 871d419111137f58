// The network monitor's decisions on plain values: which line of the address file names the
// printer, whether that line is an address a datagram can go to, whether a datagram came from
// the printer, and what an empty datagram means. No sockets, files or widgets here.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

namespace netstatus
{

constexpr quint16 kRequestPort = 9101; // the printer's status port
constexpr quint16 kReplyPort = 9102;   // ours, where the printer answers
inline const QByteArray statusRequest()
{
    return QByteArrayLiteral("GetStatus;");
}

// The address line of the address file's content: the first line that splits at "." into
// exactly four parts (empty parts counted), or else the last line, or an empty string for an
// empty file. Lines end at LF; a CR before it is dropped.
QString addressLine(const QByteArray &content);

// The printer's address from that line: dotted-decimal IPv4, four numbers 0..255, white space
// around it allowed. Anything else, and 0.0.0.0, gives a null address, which the caller treats
// as a failed send (Qt would send a datagram for a null address to this host).
QHostAddress printerAddress(const QString &line);

// True only for a datagram whose sender is the printer (an IPv4 sender reported by a
// dual-stack socket as ::ffff:a.b.c.d counts as a.b.c.d). With no printer address, nobody is.
bool fromPrinter(const QHostAddress &sender, const QHostAddress &printer);

// What an empty datagram means, given the message of the last balloon. While the printer
// prints it means nothing; after a cancel the printer is taken as ready at the fourth empty
// datagram in a row (the countdown goes 0, 1, 2, 3, then shows and restarts); otherwise it
// is ready at once.
enum class EmptyDatagram { Ignore, Count, ShowReady };
EmptyDatagram emptyDatagramRule(const QString &balloonMessage, int *readyCountdown);

} // namespace netstatus
