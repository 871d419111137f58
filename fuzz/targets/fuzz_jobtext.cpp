// Making submitted values safe and putting them into fixed-size lines.
// Properties: no control byte survives sanitising; the buffer never overflows; every line ends in
// its line feed; a cut never splits a UTF-8 character.
#include "fuzzinput.h"
#include "jobtext.h"

#include <cstdlib>
#include <cstring>

namespace
{

// Whether text is whole UTF-8 characters: every lead byte followed by as many continuation
// bytes as it announces, and no stray continuation byte.
bool wholeUtf8(const std::string &text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t follow = 0;
        if (c < 0x80)
            follow = 0;
        else if (c >= 0xC0 && c < 0xE0)
            follow = 1;
        else if (c >= 0xE0 && c < 0xF0)
            follow = 2;
        else if (c >= 0xF0 && c < 0xF8)
            follow = 3;
        else
            return false;
        if (i + follow >= text.size() && follow > 0)
            return false; // cut off at the end
        for (size_t k = 1; k <= follow; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80)
                return false;
        i += follow + 1;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::vector<std::string> parts = splitInput(data, size, 3);
    const std::string safe = sanitizeValue(parts[0]);
    if (safe.size() != parts[0].size())
        std::abort();
    for (const char c : safe)
        if (isControl(static_cast<unsigned char>(c)))
            std::abort();

    // A small buffer, so that values run into both limits: the line and the buffer.
    static char buffer[600];
    LineBuffer lines(buffer, sizeof buffer);
    lines.appendValue("@PJL SET JOBNAME=", safe, true);
    lines.appendValue("@PJL SET HOLDKEY=", sanitizeValue(parts[1]), false);
    lines.appendNumber("@PJL SET PRINTSCALINGRATE=", static_cast<long>(parts[2].size()) * 100);
    lines.append(parts[2].c_str());
    const size_t length = std::strlen(buffer);
    if (length != lines.size() || length >= sizeof buffer)
        std::abort();
    const std::string text(buffer, length);
    // The three formatted lines: each within the line size and ended by its line feed (the free
    // text given to append() after them is bounded by the buffer only).
    size_t start = 0;
    for (int formatted = 0; formatted < 3 && start < text.size(); ++formatted) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos)
            std::abort();
        const std::string line = text.substr(start, end - start);
        if (line.size() >= LineBuffer::kLineSize)
            std::abort();
        // A value of whole characters stays whole characters, however it was cut.
        if (start == 0 && wholeUtf8(parts[0]) && !wholeUtf8(line))
            std::abort();
        start = end + 1;
    }
    const size_t cut = utf8Cut(safe.c_str(), safe.size() / 2);
    if (cut > safe.size() / 2)
        std::abort();
    return 0;
}
