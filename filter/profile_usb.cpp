#include "profile.h"

const FilterProfile kProfile = {
    "/opt/varn/ZLP5520NW/bin/usb/config/printerInfo",
    "/opt/varn/ZLP5520NW/bin/usb/print_log",
    "打印机名称：ZLP5520NW\n",
    "/opt/varn/ZLP5520NW/bin/usb/config/printerState",
    true,
    true,
    true,
    false,
    3.0,
    10.0,
    false,
};

// The USB printer takes jobs as they come; nothing to ask.
void waitForPrinterLock() {}
