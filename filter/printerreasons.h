// The printer's own status, read from the back channel while a USB job runs, as the standard
// printer-state-reasons CUPS shows in every print dialog ("STATE: +media-empty-error").
#pragma once

#include <string>

// The "STATE: -old" / "STATE: +new" lines that take the queue from the reason in `current` to
// the one of `reply` (CR-separated "CODE=" lines); `current` becomes the new reason. A reply
// without status lines changes nothing; a code that needs no reason removes the current one.
std::string reasonLines(const std::string &reply, std::string &current);

// The line that removes `current` at the end of the job (empty when there is none).
std::string clearReasonLine(std::string &current);
