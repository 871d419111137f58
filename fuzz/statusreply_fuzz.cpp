// The printer's reply to a status request, as one USB read or one datagram delivers it: the
// text is never longer than the buffer and stops at a NUL, and the status lines split from
// it hold no CR, each carries "CODE=", and together they are all such pieces, in order.
#include "fuzzcheck.h"
#include "jobwatch.h"
#include "statuscatalogue.h"

#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The buffer is exactly as large as the read, so a read past it is a finding.
    const int capacity = static_cast<int>(size);
    std::unique_ptr<char[]> buffer(new char[size ? size : 1]);
    std::memcpy(buffer.get(), data, size);
    const QByteArray reply = jobwatch::replyText(buffer.get(), capacity);
    FUZZ_CHECK(reply.size() <= capacity);
    FUZZ_CHECK(!reply.contains('\0'));
    FUZZ_CHECK(std::memcmp(reply.constData(), data, size_t(reply.size())) == 0);
    if (reply.size() < capacity)
        FUZZ_CHECK(data[reply.size()] == 0);

    const QByteArray datagram(reinterpret_cast<const char *>(data), capacity);
    const std::vector<QByteArray> lines = jobwatch::statusLinesOfReply(datagram);
    int expected = 0;
    for (const QByteArray &piece : datagram.split('\r'))
        expected += piece.contains("CODE=") ? 1 : 0;
    FUZZ_CHECK(int(lines.size()) == expected);
    int from = 0;
    for (const QByteArray &line : lines) {
        FUZZ_CHECK(!line.contains('\r'));
        FUZZ_CHECK(line.contains("CODE="));
        const int at = datagram.indexOf(line, from);
        FUZZ_CHECK(at >= from);
        from = at + line.size();
        const int code = statusLineCode(std::string_view(line.constData(), size_t(line.size())));
        const StatusEntry *entry = findStatusEntry(code);
        FUZZ_CHECK(!entry || entry->code == code);
    }
    return 0;
}
