#include "profile.h"

const MonitorProfile kMonitorProfile = {
    "ZLP5520NW 网络状态监控",
    3000,
    nullptr,
    nullptr,
    "网络状态监视器启动",
    "网络状态监视器正在连接打印机，请稍后",
    false,
    {120000, 120000, 120000, 120000},
    false,
    false,
    true,
    "/opt/varn/ZLP5520NW/bin/net/config/printerInfo",
    nullptr,
    {"-R", "ZLP5520NW", "ZLP5520NW-net", nullptr},
    true,
    "pstopxl_5520nw",
};
