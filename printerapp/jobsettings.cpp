#include "jobsettings.h"

#include <cstdio>
#include <cstdlib>

const std::vector<VendorAttribute> &vendorAttributes()
{
    static const std::vector<VendorAttribute> kAttributes = {
        {"zlp-toner-save", {"off", "on"}},
        {"zlp-print-improvement", {"none", "reduce-paper-curl", "improve-toner-fixing"}},
        {"zlp-quiet-mode", {"off", "on"}},
        {"zlp-sleep-time",
         {"printer-default", "2-minutes", "5-minutes", "10-minutes", "30-minutes"}},
        {kScalingAttribute, {}},
    };
    return kAttributes;
}

const std::vector<MediaRow> &mediaTable()
{
    // The sizes of the PPD; names outside PWG 5101.1 use its "om_" custom form.
    static const std::vector<MediaRow> kMedia = {
        {"A4", "iso_a4_210x297mm"},
        {"Letter", "na_letter_8.5x11in"},
        {"Legal", "na_legal_8.5x14in"},
        {"MexicoLegal", "om_mexico-legal_216x340mm"},
        {"IndiaLegal", "om_india-legal_215x345mm"},
        {"Executive", "na_executive_7.25x10.5in"},
        {"Folio", "na_foolscap_8.5x13in"},
        {"A5", "iso_a5_148x210mm"},
        {"A5L", "om_a5-landscape_210x148mm"},
        {"A6", "iso_a6_105x148mm"},
        {"Env10", "na_number-10_4.125x9.5in"},
        {"EnvMonarch", "na_monarch_3.875x7.5in"},
        {"EnvDL", "iso_dl_110x220mm"},
        {"EnvC5", "iso_c5_162x229mm"},
        {"ISOB5", "iso_b5_176x250mm"},
        {"B5", "jis_b5_182x257mm"},
        {"ISOB6", "iso_b6_125x176mm"},
        {"B6", "jis_b6_128x182mm"},
        {"4x6", "na_index-4x6_4x6in"},
        {"Postcard", "jpn_hagaki_100x148mm"},
        {"DoublePostcardRotated", "jpn_oufuku_148x200mm"},
        {"EnvYou4", "jpn_you4_105x235mm"},
        {"195x270mm", "om_16k_195x270mm"},
        {"184x260mm", "om_16k_184x260mm"},
        {"197x273mm", "om_large-16k_197x273mm"},
    };
    return kMedia;
}

const std::vector<NameRow> &sourceTable()
{
    static const std::vector<NameRow> kSources = {
        {"AUTO", "auto"},    {"MPTRAY", "by-pass-tray"}, {"TRAY1", "tray-1"},
        {"TRAY2", "tray-2"}, {"TRAY3", "tray-3"},
    };
    return kSources;
}

const std::vector<NameRow> &typeTable()
{
    static const std::vector<NameRow> kTypes = {
        {"PLAIN", "stationery"},
        {"THIN", "stationery-lightweight"},
        {"THICK", "stationery-heavyweight"},
        {"THICKERPAPER2", "cardstock"},
        {"BOND", "stationery-fine"},
        {"ENV", "envelope"},
        {"ENVTHICK", "envelope-heavyweight"},
        {"ENVTHIN", "envelope-lightweight"},
        {"RECYCLED", "stationery-recycled"},
        {"LABLE", "labels"},
        {"COLOR", "stationery-colored"},
        {"LETTERHEAD", "stationery-letterhead"},
        {"HOLEPUNCHED", "stationery-prepunched"},
    };
    return kTypes;
}

namespace
{

template <typename Row>
const char *ppdNameOf(const std::vector<Row> &table, const std::string &pwgName)
{
    for (const Row &row : table)
        if (pwgName == row.pwgName)
            return row.ppdName;
    return nullptr;
}

const char *vendorValue(const IppJobSettings &job, const char *name)
{
    auto it = job.vendor.find(name);
    return it == job.vendor.end() ? nullptr : it->second.c_str();
}

// A vendor keyword onto its PPD choice: the tables run in the same order.
const char *vendorChoice(const IppJobSettings &job, const char *name,
                         const std::vector<const char *> &choices)
{
    const char *value = vendorValue(job, name);
    if (!value)
        return nullptr;
    for (const VendorAttribute &attribute : vendorAttributes()) {
        if (std::string(attribute.name) != name)
            continue;
        for (size_t i = 0; i < attribute.values.size() && i < choices.size(); ++i)
            if (std::string(attribute.values[i]) == value)
                return choices[i];
    }
    return nullptr;
}

} // namespace

std::map<std::string, std::string> ppdChoices(const IppJobSettings &job)
{
    std::map<std::string, std::string> choices;
    if (const char *size = ppdNameOf(mediaTable(), job.mediaName))
        choices["PageSize"] = size;
    else if (job.mediaName.rfind("custom_", 0) == 0 && job.mediaWidth > 0 && job.mediaLength > 0)
        choices["PageSize"] = "Custom";
    if (const char *source = ppdNameOf(sourceTable(), job.mediaSource))
        choices["InputSlot"] = source;
    if (const char *type = ppdNameOf(typeTable(), job.mediaType))
        choices["MediaType"] = type;
    if (job.sides == "one-sided")
        choices["Duplex"] = "None";
    else if (job.sides == "two-sided-long-edge")
        choices["Duplex"] = "DuplexNoTumble";
    else if (job.sides == "two-sided-short-edge")
        choices["Duplex"] = "DuplexTumble";
    if (job.resolution == 300 || job.resolution == 600 || job.resolution == 1200 ||
        job.resolution == 2400)
        choices["Resolution"] = std::to_string(job.resolution) + "dpi";
    // PrintDensity 1 (lightest) to 5 (darkest); 0 leaves the printer's own setting.
    if (job.darkness >= 0 && job.darkness <= 100)
        choices["PrintDensity"] = std::to_string(1 + job.darkness * 5 / 101);
    if (const char *scaling = vendorValue(job, kScalingAttribute)) {
        char *end = nullptr;
        const long percent = std::strtol(scaling, &end, 10);
        if (end != scaling && *end == '\0' && percent >= 50 && percent <= 200 && percent % 10 == 0)
            choices["ResizePage"] = std::to_string(percent / 10);
    }
    if (const char *c = vendorChoice(job, "zlp-toner-save", {"OFF", "ON"}))
        choices["TonerSaveMode"] = c;
    if (const char *c = vendorChoice(job, "zlp-print-improvement",
                                     {"None", "ReducePaperCurl", "ImproveTonerFixing"}))
        choices["ImprovePrintOutput"] = c;
    if (const char *c = vendorChoice(job, "zlp-quiet-mode", {"OFF", "ON"}))
        choices["QuiteMode"] = c;
    if (const char *c =
            vendorChoice(job, "zlp-sleep-time",
                         {"PrinterDefault", "2minutes", "5minutes", "10minutes", "30minutes"}))
        choices["Sleep"] = c;
    return choices;
}

JobOptions settleOptions(const IppJobSettings &job, std::string &rawOptions, LogLines &log)
{
    const std::map<std::string, std::string> choices = ppdChoices(job);
    const ChoiceLookup lookup = [&choices](const char *keyword) -> const char * {
        auto it = choices.find(keyword);
        return it == choices.end() ? nullptr : it->second.c_str();
    };
    JobOptions options;
    readLayoutOptions(lookup, options, log);
    readFinishingOptions(lookup, options, log);
    rawOptions.clear();
    if (options.pageSize == "Custom") {
        // The filter reads custom sizes in points from the option text.
        char text[96];
        std::snprintf(text, sizeof text, "PageSize=Custom.%.2fx%.2f",
                      job.mediaWidth * 72.0 / 2540.0, job.mediaLength * 72.0 / 2540.0);
        rawOptions = text;
    }
    return options;
}

PinCheck checkPin(const std::string &pin)
{
    if (pin.empty())
        return PinCheck::None;
    if (pin.size() != 4 || pin.find_first_not_of("0123456789") != std::string::npos)
        return PinCheck::Refused;
    return PinCheck::Valid;
}

SecureKey secureKey(const std::string &pin, LogLines &log)
{
    const bool valid = checkPin(pin) == PinCheck::Valid;
    std::string digits[4];
    for (int i = 0; i < 4 && valid; ++i)
        digits[i] = pin.substr(static_cast<size_t>(i), 1);
    const ChoiceLookup lookup = [&](const char *keyword) -> const char * {
        // Passwd1 .. Passwd4
        const int place = keyword[6] - '1';
        if (!valid || place < 0 || place > 3)
            return "False";
        return digits[place].c_str();
    };
    return readSecureKey(lookup, log);
}
