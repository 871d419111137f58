#include "jobtext.h"

#include <cstdio>
#include <cstring>

std::string sanitizeValue(const std::string &value)
{
    std::string safe = value;
    for (char &c : safe) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            c = ' ';
    }
    return safe;
}

std::string hideKey(const std::string &text)
{
    std::string hidden = text;
    for (const char *marker : {"securityPasswd = ", "HOLDKEY="}) {
        const size_t length = std::strlen(marker);
        for (size_t at = hidden.find(marker); at != std::string::npos;
             at = hidden.find(marker, at + 1))
            for (size_t i = at + length; i < hidden.size() && hidden[i] >= '0' && hidden[i] <= '9';
                 ++i)
                hidden[i] = '*';
    }
    return hidden;
}

size_t utf8Cut(const char *text, size_t limit)
{
    size_t cut = limit;
    // Step back over continuation bytes, then over the lead byte they belong to
    // unless the whole character fits.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return cut;
}

LineBuffer::LineBuffer(char *buffer, size_t capacity) : buffer_(buffer), capacity_(capacity)
{
    clear();
}

void LineBuffer::clear()
{
    std::memset(buffer_, 0, capacity_);
    used_ = 0;
}

void LineBuffer::append(const char *text)
{
    appendLine(text, std::strlen(text));
}

void LineBuffer::appendValue(const char *command, const std::string &value, bool quoted)
{
    char line[kLineSize] = {};
    const std::string safe = sanitizeValue(value);
    const char *quote = quoted ? "\"" : "";
    // Room for the value: the line less the command, both quotes and the line feed.
    const size_t fixed = std::strlen(command) + 2 * std::strlen(quote) + 1;
    size_t room = fixed < kLineSize - 1 ? kLineSize - 1 - fixed : 0;
    size_t length = safe.size();
    if (length > room)
        length = utf8Cut(safe.c_str(), room);
    const int n = std::snprintf(line, sizeof line, "%s%s%.*s%s\n", command, quote,
                                static_cast<int>(length), safe.c_str(), quote);
    if (n > 0)
        appendLine(line, std::strlen(line));
}

void LineBuffer::appendNumber(const char *command, long value)
{
    char line[kLineSize] = {};
    std::snprintf(line, sizeof line, "%s%ld\n", command, value);
    appendLine(line, std::strlen(line));
}

void LineBuffer::appendLine(const char *line, size_t length)
{
    if (capacity_ == 0 || used_ + 1 >= capacity_)
        return;
    const size_t room = capacity_ - 1 - used_;
    if (length <= room) {
        std::memcpy(buffer_ + used_, line, length);
        used_ += length;
    } else if (room >= 1) {
        // Cut the line but keep its line feed, so the next reader sees whole lines.
        const size_t keep = utf8Cut(line, room - 1);
        std::memcpy(buffer_ + used_, line, keep);
        buffer_[used_ + keep] = '\n';
        used_ += keep + 1;
    }
    buffer_[used_] = '\0';
}
