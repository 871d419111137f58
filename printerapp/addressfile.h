// The network printer the setup tool registered: it records the printer's address in the
// address file that the network monitor reads, and the app offers that printer in its device
// list (the `devices` command, the web page's "Add Printer").
#pragma once

#include <string>

constexpr char kAddressFilePath[] = "/opt/varn/ZLP5520NW/bin/net/config/netIpInfo";

// The dotted-decimal IPv4 address on the file's first line of four dot-separated parts,
// white space around it allowed; an empty string when there is none or it is no address
// (four numbers 0..255, not 0.0.0.0).
std::string registeredPrinterAddress(const std::string &content);
