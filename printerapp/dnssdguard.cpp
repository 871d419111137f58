#include "dnssdguard.h"

#include <atomic>
#include <avahi-client/lookup.h>
#include <dlfcn.h>

namespace
{

std::atomic<bool> gRefused{false};

using BrowserNew = AvahiServiceBrowser *(*)(AvahiClient *, AvahiIfIndex, AvahiProtocol,
                                            const char *, const char *, AvahiLookupFlags,
                                            AvahiServiceBrowserCallback, void *);

} // namespace

bool dnssdListingRefused()
{
    return gRefused.load();
}

// This program's definition comes first in the symbol lookup, so libpappl's call lands here
// (the program exports it, see CMakeLists.txt); the real one is the next definition, Avahi's.
extern "C" AvahiServiceBrowser *
avahi_service_browser_new(AvahiClient *client, AvahiIfIndex interface, AvahiProtocol protocol,
                          const char *type, const char *domain, AvahiLookupFlags flags,
                          AvahiServiceBrowserCallback callback, void *userdata)
{
    if (!client) {
        gRefused = true;
        return nullptr;
    }
    static const auto real =
        reinterpret_cast<BrowserNew>(dlsym(RTLD_NEXT, "avahi_service_browser_new"));
    if (!real)
        return nullptr;
    return real(client, interface, protocol, type, domain, flags, callback, userdata);
}
