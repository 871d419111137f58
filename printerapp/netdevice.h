// The network printer as a PAPPL device of its own scheme, zlpnet://HOST[:PORT] (port 9100 by
// default): the raw print port, with the "LockPrinter?" exchange made on the same connection
// before each job, as the network queue's filter makes it through CUPS's socket backend.
#pragma once

#include <pappl/pappl.h>

#include <functional>
#include <string>

constexpr char kNetScheme[] = "zlpnet";

void addNetworkScheme();

bool isNetworkUri(const char *uri);

// The printer takes one job per connection, while PAPPL keeps a device open from one queued
// job to the next: each job begins on a fresh connection (made here when the last job ended
// it) and ends it, half-closing and reading what the printer still says (for at most five
// seconds) into `onText`.
bool beginNetworkJob(pappl_device_t *device, const char *uri);
void endNetworkJob(pappl_device_t *device, const char *uri,
                   const std::function<void(const std::string &)> &onText);
// The connection's socket, for the lock exchange; -1 for a device of another scheme.
int networkSocket(pappl_device_t *device, const char *uri);

// Reads what the printer sends within `seconds` (up to `size` bytes); 0 when nothing came,
// -1 when the connection is gone.
ssize_t readWithin(int fd, char *buffer, size_t size, double seconds);
