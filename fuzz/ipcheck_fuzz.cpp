// The three addresses the user types into the IP settings dialog: the check accepts only
// texts whose conversion is a full 12-byte record, that record reads back as the texts
// typed, and no text, accepted or not, makes the conversions read or write out of bounds.
#include "fuzzcheck.h"
#include "ipconvert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::string> fields = fuzz::splitFields(data, size);
    QString texts[3];
    for (int i = 0; i < 3; ++i)
        texts[i] = QString::fromUtf8(QByteArray::fromStdString(fuzz::field(fields, size_t(i), "")));

    bool allValid = true;
    for (const QString &text : texts) {
        const bool valid = ipconvert::checkIp(text);
        allValid = allValid && valid;
        const QString hex = ipconvert::StringToHenStr(text);
        FUZZ_CHECK(hex.size() == 2 * (text.count(QLatin1Char('.')) + 1));
        if (valid) {
            FUZZ_CHECK(hex.size() == 8);
            const QByteArray bytes = ipconvert::HexStrToByteArray(hex);
            FUZZ_CHECK(bytes.size() == 4);
        }
        FUZZ_CHECK(ipconvert::HexStrToByteArray(text).size() <= ipconvert::settingsSize);
    }

    const QByteArray record = ipconvert::encodeSettings(texts[0], texts[1], texts[2]);
    FUZZ_CHECK(record.size() <= ipconvert::settingsSize);
    if (allValid) {
        FUZZ_CHECK(record.size() == ipconvert::settingsSize);
        const ipconvert::SettingsText back = ipconvert::decodeSettings(record);
        FUZZ_CHECK(back.ip == texts[0].trimmed());
        FUZZ_CHECK(back.mask == texts[1].trimmed());
        FUZZ_CHECK(back.gateway == texts[2].trimmed());
        const QByteArray command = ipconvert::setCommand(record);
        FUZZ_CHECK(command.size() == ipconvert::setCommandSize);
        FUZZ_CHECK(command.startsWith("SetIP=") && command.endsWith(';'));
    }
    return 0;
}
