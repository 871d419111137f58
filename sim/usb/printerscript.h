// What the simulated USB printer presents on the bus and how it answers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zlpsim
{

inline constexpr std::uint16_t printerVendor = 0x0efd;
inline constexpr std::uint16_t printerProduct = 0x0091;

struct UsbId {
    std::uint16_t vendor = printerVendor;
    std::uint16_t product = printerProduct;
};

// What one bulk IN read gets: some bytes (possibly none, an empty but successful read),
// nothing at all, so that the read runs into its time-out, or a vanished printer.
struct Reply {
    bool silent = false;
    // The printer is unplugged when this read starts: it and everything after it fails
    // with ENODEV, as on a real bus.
    bool gone = false;
    std::string bytes;
};

// The reads that follow one occurrence of a command. A command matches the block whose
// text is the longest prefix of what was written.
struct CommandReplies {
    std::string command;
    std::vector<Reply> reads;
};

struct PrinterScript {
    // Devices on bus 1 besides the root hub, numbered 2, 3, ... in this order.
    std::vector<UsbId> devices{UsbId{}};
    // Kernel driver bound to interface 0 when the script takes effect; empty for none.
    std::string kernelDriver;
    bool failDetach = false;
    bool failClaim = false;
    bool failRelease = false;
    // Every bulk OUT transfer takes at most this many bytes; negative for no limit.
    int writeLimit = -1;
    // Successive blocks for the same command answer its successive occurrences; the last
    // block answers all later ones.
    std::vector<CommandReplies> answers;
};

// Parses the script text (see README.md). On failure returns nothing and sets *error to
// "line N: what is wrong".
std::optional<PrinterScript> parsePrinterScript(const std::string &text, std::string *error);

// Bytes as a double-quoted script string: printable ASCII as is, \r \n \t \" \\ and \xHH
// for the rest, so a recorded command can be pasted back into a script.
std::string quoteBytes(const std::string &bytes);

// A readable note for a well-formed "SetIP=" command (19 bytes), e.g.
// "ip=192.168.1.10 mask=255.255.255.0 gateway=192.168.1.1"; empty for anything else.
std::string describeSetIp(const std::string &command);

} // namespace zlpsim
