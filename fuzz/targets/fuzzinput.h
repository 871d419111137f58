// Splitting one fuzz input into the several texts a function takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The input cut at every zero byte into at most `count` texts (missing ones are empty); the last
// text keeps any further zero bytes.
inline std::vector<std::string> splitInput(const uint8_t *data, size_t size, size_t count)
{
    std::vector<std::string> parts(count);
    size_t part = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && part + 1 < count)
            ++part;
        else
            parts[part].push_back(static_cast<char>(data[i]));
    }
    return parts;
}

inline bool isControl(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}
