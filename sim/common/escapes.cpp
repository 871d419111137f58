#include "escapes.h"

#include <cctype>

namespace zlpsim {

namespace {

int hexValue(char c)
{
    const int lower = std::tolower(static_cast<unsigned char>(c));
    return lower <= '9' ? lower - '0' : lower - 'a' + 10;
}

} // namespace

bool decodeEscapes(std::string_view in, std::string &out)
{
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        if (++i == in.size())
            return false;
        switch (in[i]) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'e':
            out += '\x1b';
            break;
        case '0':
            out += '\0';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x':
            if (i + 2 >= in.size() ||
                !std::isxdigit(static_cast<unsigned char>(in[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(in[i + 2])))
                return false;
            out += static_cast<char>(hexValue(in[i + 1]) * 16 + hexValue(in[i + 2]));
            i += 2;
            break;
        default:
            return false;
        }
    }
    return true;
}

} // namespace zlpsim
