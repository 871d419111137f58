// Whether the monitor may draw without OpenGL on Wayland. Qt 5 draws a window's title bar
// itself only through a client buffer integration (its EGL one maps Mesa and LLVM, some
// 55 MiB); a compositor that decorates windows itself (xdg-decoration: KDE, wlroots) needs
// none of that, one that leaves the title bar to the client (weston, GNOME) does.
#pragma once

#include <string>
#include <vector>

// The interface names a compositor announces (its registry's globals).
bool compositorDecorates(const std::vector<std::string> &globals);

// Asks the compositor of WAYLAND_DISPLAY for its globals; empty when there is none.
std::vector<std::string> waylandGlobals();
