#include "usb_communicate.h"

// The status monitor polls from a timer and can afford a second per transfer; it also
// traces every read, and a zero-byte reply is a valid "nothing new" from the printer.
const UsbLinkProfile usbLinkProfile{1000, true, true};
