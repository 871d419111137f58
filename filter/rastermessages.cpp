#include "rastermessages.h"

#define TAG "DEBUG:[VARN-ZLP5520NW]"

void RasterizerMessages::feed(const char *data, size_t length, std::vector<std::string> &lines)
{
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(data[i]);
        if (byte == '\n') {
            endLine(lines);
            continue;
        }
        // Control characters go: C0, DEL, and C1 (U+0080-U+009F, C2 80-9F in
        // UTF-8), which a terminal showing the log would act on.
        const bool c1 = afterC2_ && byte >= 0x80 && byte <= 0x9F;
        if (afterC2_ && !c1 && line_.size() < kLineBytes)
            line_ += '\xC2';
        afterC2_ = false;
        if (byte < 0x20 || byte == 0x7F || c1)
            continue;
        if (byte == 0xC2) {
            afterC2_ = true;
            continue;
        }
        if (line_.size() < kLineBytes)
            line_ += static_cast<char>(byte);
        else
            cut_ = true;
    }
}

void RasterizerMessages::endLine(std::vector<std::string> &lines)
{
    if (afterC2_ && line_.size() < kLineBytes)
        line_ += '\xC2';
    afterC2_ = false;
    if (!line_.empty()) {
        // Once over the budget everything after is dropped, so the log never has gaps.
        if (dropped_ > 0 || logged_ + line_.size() > kBudgetBytes) {
            if (dropped_++ == 0)
                lines.push_back(TAG "gs: more messages than " + std::to_string(kBudgetBytes) +
                                " bytes, the rest is dropped\n");
        } else {
            logged_ += line_.size();
            // A cut may split a UTF-8 character; the log takes the bytes as they are.
            lines.push_back(TAG "gs: " + line_ + (cut_ ? " [cut]\n" : "\n"));
        }
    }
    line_.clear();
    cut_ = false;
}

void RasterizerMessages::finish(std::vector<std::string> &lines)
{
    endLine(lines);
    if (dropped_ > 0)
        lines.push_back(TAG "gs: " + std::to_string(dropped_) + " message lines dropped\n");
}
