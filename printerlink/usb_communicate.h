// The USB transport to the printer: find it, open it, write one command, read one reply,
// close it again. It knows nothing of the commands it carries.
#pragma once

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

// What differs between the status monitor's and the setup tool's build of the link, as
// data: each build links one definition of usbLinkProfile.
struct UsbLinkProfile {
    unsigned int timeoutMs; // every bulk write and read
    bool emptyReadSucceeds; // a successful read of zero bytes returns 0 instead of 254
    bool traceTransfers;    // the debug lines after each read and before releasing
};

extern const UsbLinkProfile usbLinkProfile;

// Results shared by all callers.
enum UsbLinkResult {
    USB_LINK_OK = 0,
    USB_LINK_NOT_FOUND = 252, // printer not found, or the bus cannot be enumerated
    USB_LINK_WRITE_FAILED = 253,
    USB_LINK_READ_FAILED = 254,
    USB_LINK_NOT_DETACHED = 255, // also: interface not released
};

class usb_communicate
{
  public:
    usb_communicate() = default;
    ~usb_communicate();
    usb_communicate(const usb_communicate &) = delete;
    usb_communicate &operator=(const usb_communicate &) = delete;

    // Is the printer on the bus? Opens nothing.
    bool checkUSBDevice();
    // Opens the printer and takes interface 0 from a kernel driver: 0, 252 or 255.
    int initDevice();
    // One bulk write of all `length` bytes: 0, or 253.
    int SendCmd(unsigned char *data, unsigned int length);
    // One bulk read of up to `capacity` bytes: the count received, or 254.
    int ReadCmd(unsigned char *buffer, unsigned int capacity);
    // Releases interface 0 and closes the printer: 0, or 255 with the device still open.
    int releaseDevice();

  private:
    libusb_device **deviceList_ = nullptr;
    libusb_context *context_ = nullptr;
    libusb_device_handle *handle_ = nullptr;
    bool claimed_ = false;
};
