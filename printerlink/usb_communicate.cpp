#include "usb_communicate.h"

#include <QDebug>
#include <climits>
#include <cstdint>
#include <libusb.h>

namespace
{

constexpr std::uint16_t printerVendor = 0x0efd;
constexpr std::uint16_t printerProduct = 0x0091;
constexpr int printerInterface = 0;
constexpr unsigned char endpointOut = 0x01;
constexpr unsigned char endpointIn = 0x82;

void logLine(const QString &line)
{
    qDebug().noquote() << line;
}

} // namespace

usb_communicate::~usb_communicate()
{
    // Callers pair initDevice with releaseDevice; this only covers a release that failed.
    if (handle_)
        libusb_close(handle_);
    if (context_)
        libusb_exit(context_);
}

bool usb_communicate::checkUSBDevice()
{
    // A context of its own, so that a call while the device is open cannot end that one.
    libusb_context *context = nullptr;
    if (libusb_init(&context) != 0)
        return false;
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    bool found = false;
    for (ssize_t i = 0; i < count && !found; ++i) {
        libusb_device_descriptor descriptor;
        found = libusb_get_device_descriptor(list[i], &descriptor) == 0 &&
                descriptor.idVendor == printerVendor && descriptor.idProduct == printerProduct;
    }
    // Unreferencing the devices here keeps every poll from leaking the enumerated devices.
    if (count >= 0)
        libusb_free_device_list(list, 1);
    libusb_exit(context);
    return found;
}

int usb_communicate::initDevice()
{
    // A release that failed (the printer vanished) left the last device open: close it
    // rather than lose it.
    if (handle_)
        libusb_close(handle_);
    if (context_)
        libusb_exit(context_);
    handle_ = nullptr;
    deviceList_ = nullptr;
    context_ = nullptr;
    claimed_ = false;
    if (libusb_init(&context_) != 0) {
        context_ = nullptr;
        return USB_LINK_NOT_FOUND;
    }
    if (libusb_get_device_list(context_, &deviceList_) < 0) {
        libusb_exit(context_);
        context_ = nullptr;
        deviceList_ = nullptr;
        return USB_LINK_NOT_FOUND;
    }

    handle_ = libusb_open_device_with_vid_pid(context_, printerVendor, printerProduct);
    libusb_free_device_list(deviceList_, 1);
    deviceList_ = nullptr;
    if (!handle_) {
        logLine("find device error");
        libusb_exit(context_);
        context_ = nullptr;
        return USB_LINK_NOT_FOUND;
    }

    if (libusb_kernel_driver_active(handle_, printerInterface) != 1) {
        logLine("kernel driver not active");
        return USB_LINK_OK;
    }
    if (libusb_detach_kernel_driver(handle_, printerInterface) == 0)
        return USB_LINK_OK;

    logLine("GET_DEVICE_ERROR");
    // The caller will not release after 255, so nothing may stay open: close the handle
    // before its context goes away.
    libusb_close(handle_);
    handle_ = nullptr;
    libusb_exit(context_);
    context_ = nullptr;
    return USB_LINK_NOT_DETACHED;
}

int usb_communicate::SendCmd(unsigned char *data, unsigned int length)
{
    if (!handle_ || libusb_claim_interface(handle_, printerInterface) < 0) {
        logLine("Cannot Claim Interface");
        return USB_LINK_WRITE_FAILED;
    }
    claimed_ = true;
    int sent = 0;
    int status = length > INT_MAX
                     ? LIBUSB_ERROR_INVALID_PARAM
                     : libusb_bulk_transfer(handle_, endpointOut, data, static_cast<int>(length),
                                            &sent, usbLinkProfile.timeoutMs);
    if (status == 0 && sent == static_cast<int>(length))
        return USB_LINK_OK;
    logLine("Write Error");
    return USB_LINK_WRITE_FAILED;
}

int usb_communicate::ReadCmd(unsigned char *buffer, unsigned int capacity)
{
    if (!handle_ || libusb_claim_interface(handle_, printerInterface) < 0) {
        logLine("Cannot Claim Interface");
        return USB_LINK_READ_FAILED;
    }
    claimed_ = true;
    int received = 0;
    int status = libusb_bulk_transfer(handle_, endpointIn, buffer,
                                      static_cast<int>(capacity > INT_MAX ? INT_MAX : capacity),
                                      &received, usbLinkProfile.timeoutMs);
    if (usbLinkProfile.traceTransfers)
        logLine(QStringLiteral("ReadCmd libusb_bulk_transfer return = %1").arg(status));
    bool ok = status == 0 && (received > 0 || (received == 0 && usbLinkProfile.emptyReadSucceeds));
    if (ok)
        return received;
    logLine("read Error");
    return USB_LINK_READ_FAILED;
}

int usb_communicate::releaseDevice()
{
    if (usbLinkProfile.traceTransfers)
        logLine("release Device");
    // An interface that was never claimed (the claim failed) has nothing to release; the
    // device is closed all the same, or a poll that keeps failing to claim would keep it.
    if (!handle_ || (claimed_ && libusb_release_interface(handle_, printerInterface) != 0)) {
        logLine("Cannot Release Interface");
        return USB_LINK_NOT_DETACHED;
    }
    claimed_ = false;
    libusb_close(handle_);
    handle_ = nullptr;
    libusb_exit(context_);
    context_ = nullptr;
    return USB_LINK_OK;
}
