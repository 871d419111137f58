// PAPPL 1.3.1 lists DNS-SD printers (the `devices` command, the web page's "Add Printer", the
// PAPPL-Find-Devices operation) by creating an Avahi service browser on its Avahi client
// without looking whether it has one. Without avahi-daemon (or without the system D-Bus) it has
// none, and Avahi aborts the whole program on its assertion. dnssdguard.cpp puts a guard in
// front of that one Avahi call: with no client there is no browser, which PAPPL already takes
// as "no DNS-SD printers", and the listing goes on with USB and the other schemes.
#pragma once

// Whether a DNS-SD listing was refused since the program started: no Avahi client.
bool dnssdListingRefused();

// The line the `devices` command prints after its list when that happened.
constexpr char kNoDnssdLine[] =
    "DNS-SD: not searched, avahi-daemon is not running; add a network printer by its address "
    "(zlpnet://ADDRESS).";
