#include "usb_communicate.h"

// The setup tool reads in a loop and needs data from each read, so it waits less and
// treats an empty read as a failure.
const UsbLinkProfile usbLinkProfile{500, false, false};
