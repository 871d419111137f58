#include "json.h"

#include <cmath>
#include <cstdio>

namespace zlpsim
{

namespace
{

// Length of the valid UTF-8 sequence at s[i], or 0.
std::size_t utf8Length(std::string_view s, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i);
    std::size_t len;
    unsigned minimum;
    unsigned cp;
    if (b >= 0xc2 && b <= 0xdf) {
        len = 2, minimum = 0x80, cp = b & 0x1f;
    } else if (b >= 0xe0 && b <= 0xef) {
        len = 3, minimum = 0x800, cp = b & 0x0f;
    } else if (b >= 0xf0 && b <= 0xf4) {
        len = 4, minimum = 0x10000, cp = b & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3f);
    }
    if (cp < minimum || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return len;
}

} // namespace

std::string jsonQuote(std::string_view text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c == '\n') {
            out += "\\n", ++i;
        } else if (c == '\r') {
            out += "\\r", ++i;
        } else if (c == '\t') {
            out += "\\t", ++i;
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t len = utf8Length(text, i)) {
            out.append(text.substr(i, len));
            i += len;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
            ++i;
        }
    }
    out += '"';
    return out;
}

void JsonWriter::indent()
{
    out_ += '\n';
    out_.append(2 * first_.size(), ' ');
}

void JsonWriter::separate()
{
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (first_.empty())
        return;
    if (!first_.back())
        out_ += ',';
    first_.back() = false;
    indent();
}

JsonWriter &JsonWriter::beginObject()
{
    separate();
    out_ += '{';
    first_.push_back(true);
    return *this;
}

void JsonWriter::close(char bracket)
{
    const bool empty = first_.back();
    first_.pop_back();
    if (!empty)
        indent();
    out_ += bracket;
}

JsonWriter &JsonWriter::endObject()
{
    close('}');
    return *this;
}

JsonWriter &JsonWriter::beginArray()
{
    separate();
    out_ += '[';
    first_.push_back(true);
    return *this;
}

JsonWriter &JsonWriter::endArray()
{
    close(']');
    return *this;
}

JsonWriter &JsonWriter::key(std::string_view name)
{
    separate();
    out_ += jsonQuote(name);
    out_ += ": ";
    afterKey_ = true;
    return *this;
}

JsonWriter &JsonWriter::value(std::string_view text)
{
    separate();
    out_ += jsonQuote(text);
    return *this;
}

JsonWriter &JsonWriter::value(long long number)
{
    separate();
    out_ += std::to_string(number);
    return *this;
}

JsonWriter &JsonWriter::value(double number)
{
    separate();
    if (!std::isfinite(number)) {
        out_ += "null";
        return *this;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", number);
    out_ += buf;
    return *this;
}

JsonWriter &JsonWriter::value(bool flag)
{
    separate();
    out_ += flag ? "true" : "false";
    return *this;
}

JsonWriter &JsonWriter::null()
{
    separate();
    out_ += "null";
    return *this;
}

JsonWriter &JsonWriter::strings(const std::vector<std::string> &texts)
{
    beginArray();
    for (const std::string &t : texts)
        value(t);
    return endArray();
}

} // namespace zlpsim
