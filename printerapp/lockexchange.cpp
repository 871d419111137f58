#include "lockexchange.h"

#include "lockreply.h"

LockAnswer askPrinterLock(const LockChannel &channel, double rereadSeconds)
{
    static const char kQuestion[] = "LockPrinter?";
    if (!channel.write(kQuestion, sizeof kQuestion - 1))
        return LockAnswer::NoAnswer;
    int number = kNoReply;
    LogLines log;
    for (;;) {
        std::string reply = channel.read(10.0);
        if (reply.size() <= 3) {
            number = kNoReply;
            for (int i = 0; i < 3; ++i) {
                reply = channel.read(rereadSeconds);
                if (reply.size() > 1)
                    break;
            }
        }
        // The filter reads its reply into a C string: a NUL ends it.
        reply = reply.substr(0, reply.find('\0'));
        number = parseLockReply(reply, number, log);
        if (number == 1)
            return LockAnswer::MayPrint;
        if (number == 2)
            return LockAnswer::Busy;
        if (number == kNoReply)
            return LockAnswer::NoAnswer;
    }
}
