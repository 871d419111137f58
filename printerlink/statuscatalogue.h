// The printer's status codes and what the user is told about each: a kind (1 normal,
// 2 warning, 3 error), a title for the balloon and the window's status line, and a longer
// message. Plain data and pure functions, shared by both status monitors and by the guide.
#pragma once

#include <string_view>
#include <vector>

// When an entry is shown at all.
enum class StatusCondition {
    None,
    // Only once the window has hidden itself after the last notice (or the user closed
    // it): these codes come in bursts while another notice is still on screen.
    AfterAutoHide,
};

// What the window does after showing an entry.
enum class StatusFollowUp {
    None,
    ReadPrintJobInfo, // refresh the last job's settings panel
};

struct StatusEntry {
    int code;
    int kind;            // first argument of showMessageOnWindow: 1, 2 or 3
    const char *title;   // UTF-8
    const char *message; // UTF-8, may hold '\n', empty for 88888
    StatusCondition condition;
    StatusFollowUp followUp;
};

// All entries, sorted by code: the individual ones and the paper-size family.
const std::vector<StatusEntry> &statusCatalogue();

// The entry of a code, or nullptr when the catalogue does not know it.
const StatusEntry *findStatusEntry(int code);

// Rank of a code, 1 (normal) to 4 (88888 only); unknown codes rank 3. Picks the line that
// matters most when several status lines are waiting.
int statusSeverity(int code);

// The code of a status line such as "CODE=10001": the decimal number between the first
// and the second '=' (white space around it allowed). 0 when that piece is missing, is not
// a number, or does not fit an int.
int statusLineCode(std::string_view line);

// The rule that keeps a steady printer quiet: a code equal to *lastCode shows nothing;
// any other code becomes *lastCode, whether it is shown or not, and its entry is returned
// when there is one and its condition holds (autoHideDone: the window has hidden itself).
const StatusEntry *nextStatusEntry(int code, int *lastCode, bool autoHideDone);
