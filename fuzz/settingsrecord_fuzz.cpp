// The printer's reply to "CheckIP?" and the record in it: a reply is read as settings only
// when it holds the prefix and a full record, the record's texts are three dotted addresses
// of four numbers 0-255, and the record goes back to the printer byte for byte.
#include "fuzzcheck.h"
#include "ipconvert.h"

#include <QStringList>

namespace
{

void checkDotted(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    FUZZ_CHECK(parts.size() == 4);
    for (const QString &part : parts) {
        bool ok = false;
        const uint value = part.toUInt(&ok);
        FUZZ_CHECK(ok && value <= 255);
        FUZZ_CHECK(part == QString::number(value));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray received(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const ipconvert::ReplyRead read = ipconvert::classifyReply(received);
    switch (read.kind) {
    case ipconvert::ReplyKind::OneByte:
        FUZZ_CHECK(size == 1);
        break;
    case ipconvert::ReplyKind::Settings: {
        FUZZ_CHECK(received.startsWith("IPadd:") && size >= 18);
        FUZZ_CHECK(read.settings == received.mid(6, 12));
        const ipconvert::SettingsText texts = ipconvert::decodeSettings(read.settings);
        checkDotted(texts.ip);
        checkDotted(texts.mask);
        checkDotted(texts.gateway);
        // Shown, checked and sent back unchanged, the record stays the same.
        FUZZ_CHECK(ipconvert::checkIp(texts.ip) && ipconvert::checkIp(texts.mask) &&
                   ipconvert::checkIp(texts.gateway));
        FUZZ_CHECK(ipconvert::encodeSettings(texts.ip, texts.mask, texts.gateway) == read.settings);
        FUZZ_CHECK(ipconvert::HexToStr(read.settings).size() == 12 * 3 - 1);
        break;
    }
    case ipconvert::ReplyKind::Short:
        FUZZ_CHECK(received.startsWith("IPadd:") && size < 18);
        break;
    case ipconvert::ReplyKind::Other:
        FUZZ_CHECK(size != 1 && !received.startsWith("IPadd:"));
        break;
    }
    // Any bytes as a record: a short one gives fewer texts, never a read past its end.
    ipconvert::decodeSettings(received);
    FUZZ_CHECK(ipconvert::HexToStr(received).size() <= 12 * 3);
    return 0;
}
