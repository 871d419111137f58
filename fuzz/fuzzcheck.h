// Helpers shared by the fuzz targets: a property check that always aborts (a finding, with
// the input saved by libFuzzer), the split of one input into several texts, and the text
// properties several readers promise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property broken at %s:%d: %s\n", __FILE__, __LINE__,             \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz
{

// Several texts in one input, separated by the byte 0x1E (record separator), so that every
// other byte, line feeds and escapes included, can appear in a value and the seed files stay
// readable.
inline std::vector<std::string> splitFields(const uint8_t *data, size_t size)
{
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0x1E)
            fields.emplace_back();
        else
            fields.back().push_back(static_cast<char>(data[i]));
    }
    return fields;
}

inline std::string field(const std::vector<std::string> &fields, size_t index,
                         const std::string &fallback)
{
    return index < fields.size() ? fields[index] : fallback;
}

inline bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

// A run-log line as CUPS reads standard error: text without control bytes (tabs allowed)
// that ends in one or more line feeds, so nothing in it can start a line of its own.
inline bool isWholeLogLine(std::string_view line)
{
    size_t end = line.size();
    while (end > 0 && line[end - 1] == '\n')
        --end;
    if (end == line.size())
        return false;
    for (size_t i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (isControl(c) && c != '\t')
            return false;
    }
    return true;
}

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
inline bool isUtf8(std::string_view text)
{
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            if ((d & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

} // namespace fuzz
