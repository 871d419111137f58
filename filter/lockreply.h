// Reading the printer's answer to "LockPrinter?".
#pragma once

#include "joboptions.h"

#include <string>

constexpr int kNoReply = 255;

// Reply number carried by a back-channel text: the five characters after each
// "CODE=", the last one read wins, except that 00001 (may print) ends the
// scan at once. `current` is the number before this text (255 at first).
int parseLockReply(const std::string &text, int current, LogLines &log);
