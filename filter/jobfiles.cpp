#include "jobfiles.h"

#include "jobtext.h"

std::string settingsText(const JobOptions &o)
{
    return "resolution:" + o.resolution + ";\n" + "papersize:" + o.pageSize + ";\n" +
           "inputslot:" + o.inputSlot + ";\n" + "mediatype:" + o.mediaType + ";\n" +
           "duplex:" + o.duplex + ";\n";
}

std::string printLogBlock(const LogBlock &b, const JobOptions &o)
{
    // Values keep to their own line: the log is read by people, line by line.
    std::string text = std::string(51, '*') + "\n";
    text += b.printerNameLine;
    text += "日期:" + b.date + "\n";
    text += "任务ID：" + sanitizeValue(b.jobId) + "\n";
    text += "用户名：" + sanitizeValue(b.user) + "\n";
    text += "文件名：" + sanitizeValue(b.title) + "\n";
    text += "打印份数：" + std::to_string(b.copies) + "\n";
    text += "文档页数：" + std::to_string(b.pages) + "\n";
    text += "resolution:" + o.resolution + "\n";
    text += "papersize:" + o.pageSize + ";\n";
    text += "inputslot:" + o.inputSlot + ";\n";
    text += "mediatype:" + o.mediaType + ";\n";
    if (o.duplex == "None")
        text += "duplex:单面打印\n";
    else if (o.duplex == "DuplexTumble")
        text += "duplex:短边翻转\n";
    else if (o.duplex == "DuplexNoTumble")
        text += "duplex:长边翻转\n";
    return text;
}
