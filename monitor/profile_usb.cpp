#include "profile.h"

const MonitorProfile kMonitorProfile = {
    "ZLP5520NW USB状态监控",
    5000,
    "通知",
    "ZLP5520NW状态监控启动",
    "状态监视器启动",
    "状态监视器正在连接打印机，请稍后",
    true,
    {120000, 30000, 60000, 120000},
    true,
    true,
    false,
    "/opt/varn/ZLP5520NW/bin/usb/config/printerInfo",
    "/opt/varn/ZLP5520NW/bin/usb/config/printerState",
    {"-R", "-o", nullptr, nullptr},
    false,
    "pstopxl_5520nw",
};
