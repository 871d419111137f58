// The printer's network settings on the wire, and the texts the user types for them.
//
// Settings record, 12 bytes, both directions:
//   bytes 0-3   IP address       one octet each, first dotted number first
//   bytes 4-7   subnet mask      same
//   bytes 8-11  default gateway  same
// Query:   "CheckIP?"                              (8 bytes, host to printer)
// Reply:   "IPadd:" + record                       (18 bytes; anything after is ignored)
// Set:     "SetIP=" + record + ";"                 (19 bytes, no reply)
//
// Everything here is pure: no device, no widgets, no files.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace ipconvert
{

inline constexpr int settingsSize = 12;
inline constexpr int setCommandSize = 19;
extern const char queryCommand[];     // "CheckIP?"
extern const char setCommandPrefix[]; // "SetIP="
extern const char replyPrefix[];      // "IPadd:"
extern const char sendError[];        // "send error"
extern const char readIpError[];      // "read ip error"

// One address as typed. Valid after trimming white space around the whole text: exactly
// four parts of one to three ASCII digits, each at most 255, no leading zero unless the part
// is "0". Nothing else is special: masks like 255.255.0.255 and 0.0.0.0 pass. The strictness
// matters beyond tidiness: the text goes into the printer, into lpadmin's device URI and
// into the monitor's address file, and CUPS reads "010" as octal.
bool checkIp(const QString &text);

// Dotted decimal to two lower-case hex digits per part, e.g. 10.0.0.1 -> "0a000001".
// A part that is not a number counts as 0; a part outside 0-255 keeps only its low octet,
// so each part always gives exactly two digits.
QString StringToHenStr(const QString &text);

// The value of one hex digit, or -1.
int ConvertHexChar(char c);

// Hex digit pairs to bytes: spaces between pairs are skipped but count against the
// 24-character window, so at most 12 bytes come out. A non-hex character counts as -1;
// a lone digit at the very end has no partner and gives no byte. Never reads past the text.
QByteArray HexStrToByteArray(const QString &text);

// The first 12 bytes as space-separated lower-case hex pairs ("c0 a8 01 0a ..."); missing
// bytes (a shorter array) are left out.
QString HexToStr(const QByteArray &bytes);

// The 12-byte record for three checked addresses, through the same hex route as the printer
// tool always took.
QByteArray encodeSettings(const QString &ip, const QString &mask, const QString &gateway);

// The 19-byte set command for a 12-byte record.
QByteArray setCommand(const QByteArray &settings);

// What one read of the query's reply amounts to.
enum class ReplyKind {
    OneByte,  // a one-byte reply, counted and read past
    Settings, // "IPadd:" and a full record: `settings` holds the 12 bytes
    Short,    // "IPadd:" but fewer than 12 bytes after it
    Other,    // anything else, read past without counting
};
struct ReplyRead {
    ReplyKind kind = ReplyKind::Other;
    QByteArray settings;
};
ReplyRead classifyReply(const QByteArray &received);

// The three texts of a settings record, dotted decimal ("192.168.1.10"), as findIp shows them.
struct SettingsText {
    QString ip, mask, gateway;
};
// With `progress`, the group's text so far after each number, as findIp logs it: "ip = 192.",
// "ip = 192.168.", ..., "mask = 255.", ..., "port = 192.", ...
SettingsText decodeSettings(const QByteArray &settings, QStringList *progress = nullptr);

} // namespace ipconvert
