// The monitor's side of the printer link. Each build defines StatusLink and the two
// functions below in its own statuscheck file (statuscheck_usb.cpp: the USB device and
// its flags; statuscheck_net.cpp: the UDP socket, the address and its flags). MainWindow
// holds it through a pointer and never looks inside.
#pragma once

#include <memory>

class StatusLink;

struct StatusLinkDeleter {
    void operator()(StatusLink *link) const;
};

using StatusLinkPtr = std::unique_ptr<StatusLink, StatusLinkDeleter>;

// The link before the first poll: nothing open, every flag and counter 0.
StatusLinkPtr makeStatusLink();
