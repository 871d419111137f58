#include "waylandprobe.h"

#include <algorithm>
#include <wayland-client.h>

bool compositorDecorates(const std::vector<std::string> &globals)
{
    return std::find(globals.begin(), globals.end(), "zxdg_decoration_manager_v1") != globals.end();
}

namespace
{

void addGlobal(void *data, wl_registry *, uint32_t, const char *interface, uint32_t)
{
    static_cast<std::vector<std::string> *>(data)->push_back(interface);
}

void removeGlobal(void *, wl_registry *, uint32_t) {}

const wl_registry_listener kListener = {addGlobal, removeGlobal};

} // namespace

std::vector<std::string> waylandGlobals()
{
    std::vector<std::string> globals;
    wl_display *display = wl_display_connect(nullptr);
    if (!display)
        return globals;
    wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kListener, &globals);
    // One round trip: the compositor sends every global before it answers.
    wl_display_roundtrip(display);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return globals;
}
