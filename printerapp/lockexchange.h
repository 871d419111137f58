// The "LockPrinter?" exchange of the network queue, over any byte channel: the question, then
// the printer's "CODE=" reply read as the network filter reads it (parseLockReply).
#pragma once

#include <functional>
#include <string>

struct LockChannel {
    std::function<bool(const char *data, size_t length)> write;
    // Reads what arrives within `seconds`; an empty string when nothing did.
    std::function<std::string(double seconds)> read;
};

enum class LockAnswer { MayPrint, Busy, NoAnswer };

// One question and its answer: a first read of 10 s, up to three re-reads of `rereadSeconds`
// after a reply of three bytes or less, reading on while the numbers are not final.
LockAnswer askPrinterLock(const LockChannel &channel, double rereadSeconds);

constexpr char kBusyMessage[] = "打印机忙，请稍后";
constexpr char kConnectingMessage[] = "正在连接打印机，请稍后";
