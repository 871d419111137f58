// The address file the network monitor reads at start and after every failed send, and the
// sender check of every datagram: the printer's address is a dotted IPv4 address other than
// 0.0.0.0 or nothing, a datagram counts as the printer's only when it came from that address,
// and every address the setup tool accepts and writes is read back as itself.
#include "fuzzcheck.h"
#include "ipconvert.h"
#include "netstatus.h"

#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const QString line = netstatus::addressLine(content);
    FUZZ_CHECK(!line.contains(QLatin1Char('\n')));
    FUZZ_CHECK(content.isEmpty() || !line.isNull());

    const QHostAddress printer = netstatus::printerAddress(line);
    if (!printer.isNull()) {
        FUZZ_CHECK(printer.protocol() == QAbstractSocket::IPv4Protocol);
        FUZZ_CHECK(printer.toIPv4Address() != 0);
        // What is used is what the line says, digit for digit apart from leading zeros.
        const QStringList parts = line.trimmed().split(QLatin1Char('.'));
        FUZZ_CHECK(parts.size() == 4);
        quint32 value = 0;
        for (const QString &part : parts)
            value = (value << 8) | part.toUInt();
        FUZZ_CHECK(value == printer.toIPv4Address());
        FUZZ_CHECK(netstatus::fromPrinter(printer, printer));
        FUZZ_CHECK(netstatus::fromPrinter(
            QHostAddress(QHostAddress(printer.toIPv4Address()).toIPv6Address()), printer));
        FUZZ_CHECK(!netstatus::fromPrinter(QHostAddress(printer.toIPv4Address() ^ 1u), printer));
    } else {
        FUZZ_CHECK(!netstatus::fromPrinter(QHostAddress(QHostAddress::LocalHost), printer));
        FUZZ_CHECK(!netstatus::fromPrinter(QHostAddress(QHostAddress::AnyIPv4), printer));
    }

    // An address the setup tool accepts is one the monitor reads back unchanged.
    const QString typed = QString::fromLatin1(content);
    if (ipconvert::checkIp(typed)) {
        const QByteArray written = typed.trimmed().toLatin1() + "\n";
        FUZZ_CHECK(netstatus::addressLine(written) == typed.trimmed());
        const QHostAddress read = netstatus::printerAddress(typed);
        FUZZ_CHECK(read.isNull() == (typed.trimmed() == QLatin1String("0.0.0.0")));
        if (!read.isNull())
            FUZZ_CHECK(read.toString() == typed.trimmed());
    }
    return 0;
}
