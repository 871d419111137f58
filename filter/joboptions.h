// Job options as the filter settles them from the queue's PPD: the marked
// choice of each keyword, or its default, with the run-log line of each.
#pragma once

#include <functional>
#include <string>
#include <vector>

// Returns the name of the marked choice of a PPD keyword, or nullptr when the
// PPD has no such keyword or no marked choice.
using ChoiceLookup = std::function<const char *(const char *keyword)>;
using LogLines = std::vector<std::string>;

struct JobOptions {
    std::string pageSize = "A4";
    std::string mediaType = "PLAIN";
    std::string inputSlot = "AUTO";
    std::string duplex = "None";
    std::string resolution = "600dpi";
    std::string resizePage = "10";
    std::string tonerSaveMode = "OFF";
    std::string improvePrintOutput = "None";
    std::string printDensity = "0";
    std::string sleep = "PrinterDefault";
    std::string quiteMode = "OFF";
};

enum class KeyState { None, Complete, Refused };

struct SecureKey {
    std::string key = "False"; // "False", or the four digits
    int digits = 0;
    KeyState state = KeyState::None;
};

// PageSize, MediaType, InputSlot, Duplex, Resolution, ResizePage, in this order.
void readLayoutOptions(const ChoiceLookup &lookup, JobOptions &options, LogLines &log);
// Passwd1 to Passwd4 and the check of the assembled key.
SecureKey readSecureKey(const ChoiceLookup &lookup, LogLines &log);
// TonerSaveMode, ImprovePrintOutput, PrintDensity, Sleep, QuiteMode.
void readFinishingOptions(const ChoiceLookup &lookup, JobOptions &options, LogLines &log);

// 0 one-sided, 1 long-edge binding, 2 short-edge binding.
int duplexMode(const std::string &duplex);
