// A ZLP5520NW on a simulated USB bus: umockdev fakes sysfs, udev and the usbfs device node,
// so unmodified libusb code in this process (or in children started with the same
// environment) finds the printer and talks to it with bulk transfers.
#pragma once

#include "printerscript.h"

#include <memory>
#include <string>
#include <vector>

namespace zlpsim
{

// What the printer answers to the printer class request GET_DEVICE_ID (IEEE 1284 device
// ID), and its string descriptors 1 to 3. CUPS's usb backend lists the printer with them;
// the PPDs carry the same device ID so that CUPS offers them for this printer.
inline constexpr const char *printerDeviceId =
    "MFG:VARN;MDL:ZLP5520NW;CMD:PJL,PCLXL;CLS:PRINTER;DES:VARN ZLP5520NW;";
inline constexpr const char *printerManufacturer = "VARN";
inline constexpr const char *printerProductName = "ZLP5520NW";
inline constexpr const char *printerSerialNumber = "ZLPSIM0001";

class SimulatedUsbPrinter
{
  public:
    // Builds the testbed: root hub 1d6b:0002 as /dev/bus/usb/001/001, then the script's
    // devices as 001/002, 001/003, ... The process must run under umockdev's preload
    // (underUmockdevPreload()). Every command received is appended to recordPath, if given,
    // one quoted line each. With streamDir, the bytes each open handle sends go to a file of
    // their own there, open-001.bin, open-002.bin, ... in the order the handles first sent.
    // Throws std::runtime_error when the testbed cannot be built.
    explicit SimulatedUsbPrinter(const PrinterScript &script, const std::string &recordPath = {},
                                 const std::string &streamDir = {});
    ~SimulatedUsbPrinter();
    SimulatedUsbPrinter(const SimulatedUsbPrinter &) = delete;
    SimulatedUsbPrinter &operator=(const SimulatedUsbPrinter &) = delete;

    // Replaces the behaviour (driver, faults, answers); the devices on the bus stay. Pending
    // replies are dropped and the kernel driver is bound again as the script says.
    void setScript(const PrinterScript &script);

    // Takes the printer off the bus, as when its cable is pulled: it is gone from sysfs and
    // udev, and every request on a handle opened before fails with ENODEV, also after
    // plugIn(), which puts the printer back (a fresh open is needed, as on a real bus).
    void unplug();
    void plugIn();

    // Every bulk OUT transfer received so far, as far as the printer took it.
    std::vector<std::string> receivedCommands() const;
    // Open file handles on the printer's device nodes.
    int openHandles() const;
    // Waits up to timeoutMs for openHandles() to become count; handles close asynchronously.
    bool waitForOpenHandles(int count, int timeoutMs) const;
    // Driver bound to interface 0 now; empty when none (detached, or claimed through usbfs).
    std::string boundDriver() const;

    struct State; // shared with umockdev's handler thread; opaque here

  private:
    std::unique_ptr<State> state_;
};

// True when umockdev's preload library is loaded into this process.
bool underUmockdevPreload();

// Returns true at once when the preload is loaded. Otherwise replaces this process with
// itself run by umockdev-wrapper, with the same arguments; returns false with a message in
// *error only when that fails.
bool ensureUmockdevPreload(char **argv, std::string *error);

} // namespace zlpsim
