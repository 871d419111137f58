#include "rastermessages.h"

#define TAG "DEBUG:[VARN-ZLP5520NW]"

void RasterizerMessages::feed(const char *data, size_t length, std::vector<std::string> &lines)
{
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(data[i]);
        if (need_ > 0) {
            if (byte >= 0x80 && byte <= 0xBF) {
                pending_ += static_cast<char>(byte);
                if (--need_ == 0) {
                    // C2 80-9F is a C1 control (CSI, ...): it goes like the others.
                    const bool c1 = static_cast<unsigned char>(pending_[0]) == 0xC2 &&
                                    static_cast<unsigned char>(pending_[1]) <= 0x9F;
                    if (!c1)
                        append(pending_);
                    pending_.clear();
                }
                continue;
            }
            pending_.clear(); // a character cut short: not UTF-8, it goes
            need_ = 0;
        }
        if (byte == '\n')
            endLine(lines);
        else if (byte >= 0x20 && byte < 0x7F)
            append(std::string(1, static_cast<char>(byte)));
        else if (byte >= 0xC2 && byte <= 0xF4) {
            pending_.assign(1, static_cast<char>(byte));
            need_ = byte < 0xE0 ? 1 : byte < 0xF0 ? 2 : 3;
        }
        // Everything else goes: C0 controls, DEL, and bytes that begin no UTF-8
        // character (a lone 0x9B is CSI to a terminal that reads Latin-1).
    }
}

void RasterizerMessages::append(const std::string &character)
{
    if (!cut_ && line_.size() + character.size() <= kLineBytes)
        line_ += character;
    else
        cut_ = true;
}

void RasterizerMessages::endLine(std::vector<std::string> &lines)
{
    pending_.clear();
    need_ = 0;
    if (!line_.empty()) {
        // Once over the budget everything after is dropped, so the log never has gaps.
        if (dropped_ > 0 || logged_ + line_.size() > kBudgetBytes) {
            if (dropped_++ == 0)
                lines.push_back(TAG "gs: more messages than " + std::to_string(kBudgetBytes) +
                                " bytes, the rest is dropped\n");
        } else {
            logged_ += line_.size();
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
