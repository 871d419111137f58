// What an IPP job asks for, turned into the choices of the classic queue's PPD, so that the
// options, the secure-print key and the PJL header come from the same code as the filters'.
// Pure: no PAPPL, no I/O.
#pragma once

#include "joboptions.h"

#include <map>
#include <string>
#include <vector>

// The job's IPP attributes as PAPPL hands them over, in plain types.
struct IppJobSettings {
    std::string mediaName; // PWG self-describing name, "iso_a4_210x297mm"
    int mediaWidth = 0;    // hundredths of a millimetre (for custom sizes)
    int mediaLength = 0;
    std::string mediaSource; // "auto", "by-pass-tray", "tray-1" ...
    std::string mediaType;   // "stationery", "labels" ...
    std::string sides;       // "one-sided", "two-sided-long-edge", "two-sided-short-edge"
    int resolution = 600;    // printer-resolution (dpi), print-quality already applied
    int darkness = -1;       // print-darkness 0-100, -1 when the job did not ask
    std::map<std::string, std::string> vendor; // the vendor job attributes below
};

// Vendor job attributes with their supported values; the first value is the default.
struct VendorAttribute {
    const char *name;
    std::vector<const char *> values; // keywords; empty for "zlp-scaling" (a range)
};
const std::vector<VendorAttribute> &vendorAttributes();
constexpr char kScalingAttribute[] = "zlp-scaling";      // percent, 50-200 in steps of 10
constexpr char kPinAttribute[] = "zlp-secure-print-pin"; // four digits, text

// PWG media names and sources the printer takes, in the PPD's order.
struct MediaRow {
    const char *ppdName;
    const char *pwgName;
};
const std::vector<MediaRow> &mediaTable();
struct NameRow {
    const char *ppdName;
    const char *pwgName;
};
const std::vector<NameRow> &sourceTable();
const std::vector<NameRow> &typeTable();

// The PPD keyword -> choice pairs of a job. Values the printer does not know are left out,
// so the filter's defaults apply, exactly as for a PPD option without a marked choice.
std::map<std::string, std::string> ppdChoices(const IppJobSettings &job);

// Options settled through the filter's own readers; `rawOptions` receives the
// "PageSize=Custom.WxH" text for a custom size (empty otherwise).
JobOptions settleOptions(const IppJobSettings &job, std::string &rawOptions, LogLines &log);

enum class PinCheck { None, Valid, Refused };
// A secure-print PIN is exactly four digits; an empty text is no PIN.
PinCheck checkPin(const std::string &pin);
// The key for the header ("False" without a PIN) through the filter's key reader.
SecureKey secureKey(const std::string &pin, LogLines &log);

// The message a refused PIN gets, in the queue's words.
constexpr char kPinRefusedMessage[] =
    "输入数字密码无效，请在电脑端打印队列中取消任务，并重新设置四位密码，重新打印";
