// The printer's status codes as the standard IPP printer-state-reasons every print dialog
// understands ("media-empty-error", "toner-low-warning"), with the catalogue's Chinese texts
// for printer-state-message. One table for the Printer Application and the classic USB filter.
// Pure: no I/O.
#pragma once

#include <string>

enum class ReasonSeverity { Report, Warning, Error };

struct StateReason {
    const char *keyword;     // "media-jam", ...; nullptr for a printer that is fine
    ReasonSeverity severity; // from the catalogue's kind
};

// The reason of a status code. Codes the catalogue does not know are "other" errors; the
// normal codes (ready, printing, warming up, asleep, cancelled) have no reason.
StateReason stateReasonOf(int code);

// "media-jam-error": the keyword with its severity suffix, as CUPS's STATE: lines and IPP
// carry it; empty for no reason.
std::string reasonValue(const StateReason &reason);

// The catalogue's title and message on one line, "卡纸：...": printer-state-message.
std::string stateMessageOf(int code);

// Of the status lines in a printer reply (CR-separated "CODE=" lines), the code that matters
// most (by statusSeverity); 0 when the reply holds none.
int mostSevereCode(const std::string &reply);
