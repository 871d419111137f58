#include "profile.h"

#include "sysio.h"

#include <cstdio>

const FilterProfile kProfile = {
    "/opt/varn/ZLP5520NW/bin/net/config/printerInfo",
    "/opt/varn/ZLP5520NW/bin/net/print_log",
    "打印机名称：ZLP5520NW-net\n",
    nullptr,
    false,
    false,
    false,
    true,
    5.0,
    2.0,
    true,
};

// A network printer may be busy with another computer's job: ask until it
// lets us print. There is no limit; CUPS cancelling the job ends the wait.
void waitForPrinterLock()
{
    for (;;) {
        const int result = checkLockPrinter();
        if (result == 0 || cancelRequested())
            return;
        std::fputs(result == 1 ? "INFO:打印机忙，请稍后\n" : "INFO:正在连接打印机，请稍后\n",
                   stderr);
        sleepSeconds(1.0);
        if (cancelRequested())
            return;
    }
}
