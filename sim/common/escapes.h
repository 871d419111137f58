// C-style escapes in simulator scripts and command lines: \r \n \t \e \0 \\ \xHH.
#pragma once

#include <string>
#include <string_view>

namespace zlpsim {

// False for a dangling backslash, an unknown escape or \x without two hex digits.
bool decodeEscapes(std::string_view in, std::string &out);

} // namespace zlpsim
