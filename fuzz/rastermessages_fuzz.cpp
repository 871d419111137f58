// What a document makes Ghostscript write on its standard error, made into run-log lines.
// Properties: every line is one whole DEBUG run-log line (the tag first, a single line feed at
// its end) with no control character in it, C1 included; a line never exceeds the cut; the text
// logged never exceeds the budget, however the input is split into reads.
#include "fuzzinput.h"
#include "rastermessages.h"

#include <cstdlib>

namespace
{

const std::string kTag = "DEBUG:[VARN-ZLP5520NW]gs: ";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte sets the size of the reads the pipe delivers.
    const size_t piece = 1 + data[0] % 64;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    RasterizerMessages messages;
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size(); at += piece)
        messages.feed(text.data() + at, std::min(piece, text.size() - at), lines);
    messages.finish(lines);

    size_t logged = 0;
    for (const std::string &line : lines) {
        if (line.compare(0, kTag.size(), kTag) != 0 || line.back() != '\n')
            std::abort();
        const std::string body = line.substr(kTag.size(), line.size() - kTag.size() - 1);
        if (body.empty() || body.size() > RasterizerMessages::kLineBytes + 6)
            std::abort();
        for (size_t i = 0; i < body.size(); ++i) {
            const auto c = static_cast<unsigned char>(body[i]);
            const bool c1 = c == 0xC2 && i + 1 < body.size() &&
                            (static_cast<unsigned char>(body[i + 1]) & 0xE0) == 0x80;
            if (isControl(c) || c1)
                std::abort();
        }
        // The budget counts the document's text, not the mark of a cut.
        const std::string cut = " [cut]";
        const bool marked = body.size() > cut.size() &&
                            body.compare(body.size() - cut.size(), cut.size(), cut) == 0;
        logged += body.size() - (marked ? cut.size() : 0);
    }
    if (logged > RasterizerMessages::kBudgetBytes + 200)
        std::abort();
    return 0;
}
