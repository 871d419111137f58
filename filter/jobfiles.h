// The texts of the job settings file and of the print log's job block.
#pragma once

#include "joboptions.h"

#include <string>

std::string settingsText(const JobOptions &options);

struct LogBlock {
    const char *printerNameLine; // "打印机名称：ZLP5520NW\n" or the network queue's
    std::string date;
    std::string jobId, user, title;
    int copies = 1;
    int pages = 0;
};

std::string printLogBlock(const LogBlock &block, const JobOptions &options);

constexpr char kCompletedLine[] = "\n打印任务完成\n";
constexpr char kCancelledLine[] = "\n打印任务被用户取消\n";
