#include "pdftext.h"

#include <tuple>

namespace
{

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Rewrites the 4-digit destination codes of one section; sourceCodes tokens at the start of
// each line are glyph codes and stay.
int repairSection(QByteArray &pdf, int begin, int end, int sourceCodes,
                  const QHash<char16_t, char16_t> &ideographs)
{
    static const char digits[] = "0123456789ABCDEF";
    int changed = 0;
    int token = 0; // position of the token within its line
    for (int i = begin; i < end; ++i) {
        const char c = pdf[i];
        if (c == '\n' || c == '\r') {
            token = 0;
            continue;
        }
        if (c != '<')
            continue;
        const int close = pdf.indexOf('>', i);
        if (close < 0 || close > end)
            break;
        if (token++ >= sourceCodes && close - i == 5) {
            int code = 0;
            for (int k = 1; k <= 4 && code >= 0; ++k) {
                const int v = hexValue(pdf[i + k]);
                code = v < 0 ? -1 : code * 16 + v;
            }
            const char16_t ideograph = code > 0 ? ideographs.value(char16_t(code), 0) : 0;
            if (ideograph) {
                for (int k = 0; k < 4; ++k)
                    pdf[i + 4 - k] = digits[(ideograph >> (4 * k)) & 0xF];
                ++changed;
            }
        }
        i = close;
    }
    return changed;
}

} // namespace

int repairCjkToUnicode(QByteArray &pdf, const QHash<char16_t, char16_t> &ideographs)
{
    int changed = 0;
    for (const auto &[open, close, sourceCodes] :
         {std::tuple<const char *, const char *, int>{"beginbfrange", "endbfrange", 2},
          std::tuple<const char *, const char *, int>{"beginbfchar", "endbfchar", 1}}) {
        int at = 0;
        while ((at = pdf.indexOf(open, at)) >= 0) {
            const int end = pdf.indexOf(close, at);
            if (end < 0)
                break;
            changed += repairSection(pdf, at + int(qstrlen(open)), end, sourceCodes, ideographs);
            at = end;
        }
    }
    return changed;
}
