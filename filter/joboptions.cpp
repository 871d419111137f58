#include "joboptions.h"

#include "jobtext.h"

#include <cstdio>
#include <cstring>

namespace
{

#define TAG "DEBUG:[VARN-ZLP5520NW]"

struct OptionRow {
    const char *keyword;
    std::string JobOptions::*field;
    const char *foundLog;   // printf form with the choice name
    const char *defaultLog; // written when the PPD has no marked choice
};

const OptionRow kLayoutRows[] = {
    {"PageSize", &JobOptions::pageSize, TAG "paperSize = %s\n", TAG "[NULL]paperSize = A4\n"},
    {"MediaType", &JobOptions::mediaType, TAG "paperType = %s\n", TAG "[NULL]paperType = PLAIN\n"},
    {"InputSlot", &JobOptions::inputSlot, TAG "paperTray = %s\n", TAG "[NULL]paperTray = AUTO\n"},
    {"Duplex", &JobOptions::duplex, TAG "Duplex = %s\n", TAG "[NULL]Duplex = None\n"},
    {"Resolution", &JobOptions::resolution, TAG "resolution = %s\n",
     TAG "[NULL]resolution = 600dpi\n"},
    {"ResizePage", &JobOptions::resizePage, TAG "resizePaper = %s\n",
     TAG "[NULL]resizePaper = 1.0\n"},
};

const OptionRow kFinishingRows[] = {
    {"TonerSaveMode", &JobOptions::tonerSaveMode, TAG "tonerSave = %s\n",
     TAG "[NULL]tonerSave = OFF\n"},
    {"ImprovePrintOutput", &JobOptions::improvePrintOutput, TAG "ImprovePrintOutput = %s\n",
     TAG "[NULL]ImprovePrintOutput = PrinterDefault\n"},
    {"PrintDensity", &JobOptions::printDensity, TAG "PrintDensity = %s\n",
     TAG "[NULL]PrintDensity = PrintDensity\n"},
    {"Sleep", &JobOptions::sleep, TAG "sleepTime = %s\n", TAG "[NULL]sleepTime = PrinterDefault\n"},
    {"QuiteMode", &JobOptions::quiteMode, TAG "QuiteMode = %s\n", TAG "[NULL]QuiteMode = OFF\n"},
};

std::string format(const char *form, const std::string &value)
{
    char line[LineBuffer::kLineSize];
    std::snprintf(line, sizeof line, form, value.c_str());
    return line;
}

template <size_t N>
void readRows(const OptionRow (&rows)[N], const ChoiceLookup &lookup, JobOptions &options,
              LogLines &log)
{
    for (const OptionRow &row : rows) {
        const char *choice = lookup(row.keyword);
        if (choice) {
            options.*row.field = sanitizeValue(choice);
            log.push_back(format(row.foundLog, options.*row.field));
        } else {
            log.push_back(row.defaultLog);
        }
    }
}

} // namespace

void readLayoutOptions(const ChoiceLookup &lookup, JobOptions &options, LogLines &log)
{
    readRows(kLayoutRows, lookup, options, log);
}

void readFinishingOptions(const ChoiceLookup &lookup, JobOptions &options, LogLines &log)
{
    readRows(kFinishingRows, lookup, options, log);
}

SecureKey readSecureKey(const ChoiceLookup &lookup, LogLines &log)
{
    static const char *const kKeywords[] = {"Passwd1", "Passwd2", "Passwd3", "Passwd4"};
    static const char *const kOrdinals[] = {"first", "second", "third", "forth"};
    constexpr size_t kKeyLength = 4;

    SecureKey result;
    std::string key;
    char line[LineBuffer::kLineSize];
    auto wholeLine = [&] {
        std::snprintf(line, sizeof line,
                      TAG "the whole securityPasswd = %s, securityPasswdCont = %d\n", key.c_str(),
                      result.digits);
        log.push_back(line);
    };

    for (int i = 0; i < 4; ++i) {
        const char *choice = lookup(kKeywords[i]);
        if (!choice) {
            log.push_back(TAG "[NULL]securityPasswd = False\n");
        } else if (std::strcmp(choice, "False") == 0) {
            std::snprintf(line, sizeof line, TAG "%s securityPasswd = False\n", kOrdinals[i]);
            log.push_back(line);
        } else {
            const std::string digit = sanitizeValue(choice);
            // The key holds four characters; a longer choice name cannot overflow it.
            key += digit.substr(0, kKeyLength > key.size() ? kKeyLength - key.size() : 0);
            ++result.digits;
            std::snprintf(line, sizeof line, TAG "%s securityPasswd = %s\n", kOrdinals[i],
                          digit.c_str());
            log.push_back(line);
            wholeLine();
        }
    }
    wholeLine();

    if (result.digits == 0) {
        log.push_back(TAG " no securityPasswd = False\n");
        result.key = "False";
        result.state = KeyState::None;
    } else if (result.digits == 4) {
        result.key = key;
        result.state = KeyState::Complete;
    } else {
        log.push_back(TAG "securityPasswd set False\n");
        result.key = key;
        result.state = KeyState::Refused;
    }
    return result;
}

int duplexMode(const std::string &duplex)
{
    if (duplex == "DuplexTumble")
        return 2;
    if (duplex == "DuplexNoTumble")
        return 1;
    return 0;
}
