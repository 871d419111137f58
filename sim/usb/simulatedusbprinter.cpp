#include "simulatedusbprinter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <umockdev.h>
#include <unistd.h>

namespace zlpsim
{
namespace
{

constexpr unsigned char endpointOut = 0x01;
constexpr unsigned char endpointIn = 0x82;

// The kernel's binary "descriptors" attribute: device descriptor, then the whole
// configuration, little-endian as on the bus.
// clang-format off
std::vector<std::uint8_t> printerDescriptors(UsbId id)
{
    auto low = [](std::uint16_t v) { return static_cast<std::uint8_t>(v); };
    auto high = [](std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); };
    return {
        // device: USB 2.0, class per interface, EP0 64 bytes, bcdDevice 1.00, strings 1-3
        0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40,
        low(id.vendor), high(id.vendor), low(id.product), high(id.product),
        0x00, 0x01, 0x01, 0x02, 0x03, 0x01,
        // configuration 1: 32 bytes in all, one interface, self-powered
        0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0xc0, 0x01,
        // interface 0: printer class, bidirectional, two endpoints
        0x09, 0x04, 0x00, 0x00, 0x02, 0x07, 0x01, 0x02, 0x00,
        // bulk OUT and bulk IN, 512-byte packets
        0x07, 0x05, endpointOut, 0x02, 0x00, 0x02, 0x00,
        0x07, 0x05, endpointIn, 0x02, 0x00, 0x02, 0x00};
}

std::vector<std::uint8_t> rootHubDescriptors()
{
    return {
        // device 1d6b:0002, hub class
        0x12, 0x01, 0x00, 0x02, 0x09, 0x00, 0x01, 0x40, 0x6b, 0x1d, 0x02, 0x00,
        0x06, 0x05, 0x03, 0x02, 0x01, 0x01,
        // configuration, hub interface, interrupt IN 0x81
        0x09, 0x02, 0x19, 0x00, 0x01, 0x01, 0x00, 0xe0, 0x00,
        0x09, 0x04, 0x00, 0x00, 0x01, 0x09, 0x00, 0x00, 0x00,
        0x07, 0x05, 0x81, 0x03, 0x04, 0x00, 0x0c};
}
// clang-format on

std::string hex4(std::uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

void writeAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

// A URB that the client submitted and has not reaped yet.
struct Urb {
    UMockdevIoctlClient *client = nullptr;
    UMockdevIoctlData *data = nullptr; // our reference; the resolved buffer hangs off it
    std::string reply;                 // bytes an IN URB delivers
    int status = 0;
    int actualLength = 0;
};

} // namespace

struct SimulatedUsbPrinter::State {
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    std::vector<std::string> attachedNodes;
    std::string recordPath;
    std::string streamDir;
    int streams = 0; // handles that have sent data so far
    std::map<UMockdevIoctlClient *, std::string> streamFiles;
    // Where the printer sits on the bus (for unplug and plugIn); empty name: no printer.
    std::string printerName;
    int printerDevnum = 0;
    UsbId printerId;
    std::string printerSysPath;
    std::string printerNodeFile; // the file in the testbed that diverts opening its node

    // Everything below is shared with umockdev's handler thread.
    mutable std::mutex mutex;
    PrinterScript script;
    std::string boundDriver;
    bool gone = false; // unplugged by a "reply gone": every request fails from then on
    std::map<std::string, std::size_t> occurrences;
    std::deque<Reply> replies;
    std::vector<std::string> received;
    std::set<UMockdevIoctlClient *> clients;
    UMockdevIoctlClient *claimedBy = nullptr;
    bool present = true;
    std::set<UMockdevIoctlClient *> unplugged; // handles that saw the printer go
    std::vector<Urb> waiting;                  // IN URBs that got no reply (yet)
    std::vector<Urb> completed;                // ready to be reaped

    // Returns the device's sysfs path.
    std::string addDevice(const std::string &name, const char *parent, int devnum, UsbId id,
                          const std::vector<std::uint8_t> &descriptors, bool attach);
    void applyScript(const PrinterScript &newScript);
    void handleIoctl(UMockdevIoctlClient *client);
    void submitUrb(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void submitControl(UMockdevIoctlClient *client, UMockdevIoctlData *data);
    void reapUrb(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void discardUrb(UMockdevIoctlClient *client, UMockdevIoctlData *arg);
    void commandReceived(const std::string &command);
    void saveStream(UMockdevIoctlClient *client, const std::string &bytes);
    void forgetClient(UMockdevIoctlClient *client);
    void forgetClosedClients();
};

namespace
{

gboolean onHandleIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer state)
{
    static_cast<SimulatedUsbPrinter::State *>(state)->handleIoctl(client);
    return TRUE;
}

void onClientConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer data)
{
    auto *state = static_cast<SimulatedUsbPrinter::State *>(data);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->forgetClosedClients();
    state->clients.insert(static_cast<UMockdevIoctlClient *>(g_object_ref(client)));
}

// Resolves the memory an ioctl argument points to; the returned data is owned by the caller.
UMockdevIoctlData *resolveArg(UMockdevIoctlClient *client, gsize length)
{
    return umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, length, nullptr);
}

// Makes the URB's data buffer readable and writable here (it stays alive with the URB's own
// data). On failure the ioctl is answered with EFAULT and the URB's data released.
bool resolveUrbBuffer(UMockdevIoctlClient *client, UMockdevIoctlData *data, gsize length)
{
    UMockdevIoctlData *buffer =
        umockdev_ioctl_data_resolve(data, G_STRUCT_OFFSET(usbdevfs_urb, buffer), length, nullptr);
    if (!buffer) {
        g_object_unref(data);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return false;
    }
    g_object_unref(buffer); // kept alive by its parent
    return true;
}

void unrefUrbs(std::vector<Urb> *urbs, UMockdevIoctlClient *client)
{
    auto keep = std::remove_if(urbs->begin(), urbs->end(), [&](const Urb &urb) {
        if (client && urb.client != client)
            return false;
        g_object_unref(urb.data);
        return true;
    });
    urbs->erase(keep, urbs->end());
}

} // namespace

std::string SimulatedUsbPrinter::State::addDevice(const std::string &name, const char *parent,
                                                  int devnum, UsbId id,
                                                  const std::vector<std::uint8_t> &descriptors,
                                                  bool attach)
{
    char number[8];
    std::snprintf(number, sizeof number, "%03d", devnum);
    const std::string node = std::string("/dev/bus/usb/001/") + number;
    GError *error = nullptr;
    if (attach && !umockdev_testbed_attach_ioctl(testbed, node.c_str(), handler, &error)) {
        std::string message = "cannot attach to " + node + ": " + error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    if (attach)
        attachedNodes.push_back(node);

    // libusb reads busnum, devnum and speed with a strict parser that wants the line feed.
    const std::string devnumText = std::to_string(devnum) + "\n";
    const std::string vendor = hex4(id.vendor) + "\n", product = hex4(id.product) + "\n";
    // clang-format off
    const char *attributes[] = {"busnum",    "1\n",           "devnum", devnumText.c_str(),
                                "speed",     "480\n",         "idVendor", vendor.c_str(),
                                "idProduct", product.c_str(), "bConfigurationValue", "1\n",
                                nullptr};
    const char *properties[] = {"DEVNAME", node.c_str(), "DEVTYPE", "usb_device",
                                "BUSNUM", "001",         "DEVNUM",  number,
                                nullptr};
    // clang-format on
    gchar *syspath = umockdev_testbed_add_devicev(testbed, "usb", name.c_str(), parent,
                                                  const_cast<gchar **>(attributes),
                                                  const_cast<gchar **>(properties));
    if (!syspath)
        throw std::runtime_error("cannot add the USB device " + name + " to the testbed");
    umockdev_testbed_set_attribute_binary(testbed, syspath, "descriptors",
                                          const_cast<guint8 *>(descriptors.data()),
                                          static_cast<gint>(descriptors.size()));
    std::string sysPath(syspath);
    g_free(syspath);

    // The preload only diverts opening the node when a file exists at its path in the testbed.
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    std::string dir = std::string(root) + "/dev/bus/usb/001";
    g_free(root);
    if (g_mkdir_with_parents(dir.c_str(), 0755) != 0 ||
        !g_file_set_contents((dir + "/" + number).c_str(), "", 0, nullptr))
        throw std::runtime_error("cannot create the device node " + node);
    if (attach)
        printerNodeFile = dir + "/" + number;
    return sysPath;
}

void SimulatedUsbPrinter::State::applyScript(const PrinterScript &newScript)
{
    script = newScript;
    boundDriver = script.kernelDriver;
    gone = false;
    occurrences.clear();
    replies.clear();
}

void SimulatedUsbPrinter::State::forgetClient(UMockdevIoctlClient *client)
{
    if (clients.erase(client) == 0)
        return;
    unplugged.erase(client);
    streamFiles.erase(client);
    if (claimedBy == client)
        claimedBy = nullptr; // closing usbfs releases its interfaces
    unrefUrbs(&waiting, client);
    unrefUrbs(&completed, client);
    g_object_unref(client);
}

// umockdev tells of a closed client only through its "connected" property, without a
// notification, so closed clients are looked for whenever it matters.
void SimulatedUsbPrinter::State::forgetClosedClients()
{
    std::vector<UMockdevIoctlClient *> closed;
    for (UMockdevIoctlClient *client : clients) {
        if (!umockdev_ioctl_client_get_connected(client))
            closed.push_back(client);
    }
    for (UMockdevIoctlClient *client : closed)
        forgetClient(client);
}

// What one handle sent, from its open to its close, in one file: a job's stream as the
// printer took it, or a status poll's command.
void SimulatedUsbPrinter::State::saveStream(UMockdevIoctlClient *client, const std::string &bytes)
{
    if (streamDir.empty())
        return;
    auto file = streamFiles.find(client);
    if (file == streamFiles.end()) {
        char name[32];
        std::snprintf(name, sizeof name, "/open-%03d.bin", ++streams);
        file = streamFiles.emplace(client, streamDir + name).first;
    }
    int fd = ::open(file->second.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        writeAll(fd, bytes);
        ::close(fd);
    }
}

void SimulatedUsbPrinter::State::commandReceived(const std::string &command)
{
    received.push_back(command);
    if (!recordPath.empty()) {
        std::string line = quoteBytes(command);
        std::string setIp = describeSetIp(command);
        if (!setIp.empty())
            line += "  # " + setIp;
        int fd = ::open(recordPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            writeAll(fd, line + "\n");
            ::close(fd);
        }
    }

    // The printer answers the latest command: whatever the last one left unread is gone.
    replies.clear();
    const CommandReplies *match = nullptr;
    for (const CommandReplies &answer : script.answers) {
        if (command.compare(0, answer.command.size(), answer.command) == 0 &&
            (!match || answer.command.size() > match->command.size()))
            match = &answer;
    }
    if (!match)
        return;
    std::vector<const CommandReplies *> blocks;
    for (const CommandReplies &answer : script.answers) {
        if (answer.command == match->command)
            blocks.push_back(&answer);
    }
    std::size_t &seen = occurrences[match->command];
    const CommandReplies *block = blocks[std::min(seen, blocks.size() - 1)];
    ++seen;
    replies.assign(block->reads.begin(), block->reads.end());
}

void SimulatedUsbPrinter::State::submitUrb(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!data) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto *urb = reinterpret_cast<usbdevfs_urb *>(data->data);
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->endpoint == 0) {
        submitControl(client, data);
        return;
    }
    if (urb->type != USBDEVFS_URB_TYPE_BULK ||
        (urb->endpoint != endpointOut && urb->endpoint != endpointIn) || urb->buffer_length < 0) {
        g_object_unref(data);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    if (urb->buffer_length > 0 &&
        !resolveUrbBuffer(client, data, static_cast<gsize>(urb->buffer_length)))
        return;

    Urb pending{client, data, {}, 0, 0};
    if (urb->endpoint == endpointOut) {
        int taken = urb->buffer_length;
        if (script.writeLimit >= 0)
            taken = std::min(taken, script.writeLimit);
        pending.actualLength = taken;
        const std::string bytes(static_cast<const char *>(urb->buffer),
                                static_cast<std::size_t>(taken));
        saveStream(client, bytes);
        commandReceived(bytes);
        completed.push_back(pending);
    } else if (!replies.empty() && replies.front().gone) {
        g_object_unref(data);
        gone = true;
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    } else if (replies.empty() || replies.front().silent) {
        if (!replies.empty())
            replies.pop_front();
        waiting.push_back(pending); // stays until libusb gives up and discards it
    } else {
        std::string &bytes = replies.front().bytes;
        std::size_t n = std::min(bytes.size(), static_cast<std::size_t>(urb->buffer_length));
        pending.reply = bytes.substr(0, n);
        pending.actualLength = static_cast<int>(n);
        // A reply longer than the read stays queued, as in the printer's IN FIFO.
        if (n < bytes.size())
            bytes.erase(0, n);
        else
            replies.pop_front();
        completed.push_back(pending);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

// Control requests on endpoint 0: the buffer is the 8-byte setup packet followed by room
// for the answer. The printer answers what every USB printer answers: GET_CONFIGURATION,
// the printer class requests GET_DEVICE_ID and GET_PORT_STATUS, and the string descriptors;
// any other request stalls, as an unsupported request does on the bus.
void SimulatedUsbPrinter::State::submitControl(UMockdevIoctlClient *client, UMockdevIoctlData *data)
{
    auto *urb = reinterpret_cast<usbdevfs_urb *>(data->data);
    if (urb->buffer_length < 8) {
        g_object_unref(data);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    if (!resolveUrbBuffer(client, data, static_cast<gsize>(urb->buffer_length)))
        return;
    const auto *setup = static_cast<const std::uint8_t *>(urb->buffer);
    const unsigned requestType = setup[0], request = setup[1];
    const unsigned value = setup[2] | setup[3] << 8, length = setup[6] | setup[7] << 8;

    std::string answer;
    bool known = true;
    if (requestType == 0x80 && request == 8) { // GET_CONFIGURATION: the only one, in use
        answer = std::string(1, '\x01');
    } else if (requestType == 0xa1 && request == 1) { // printer class GET_PORT_STATUS
        // Selected, no error, paper present: what a printer answers that reports its
        // state through its own commands only.
        answer = std::string(1, '\x18');
    } else if (requestType == 0xa1 && request == 0) { // printer class GET_DEVICE_ID
        const std::size_t size = std::strlen(printerDeviceId) + 2;
        answer = std::string{static_cast<char>(size >> 8), static_cast<char>(size & 0xff)} +
                 printerDeviceId;
    } else if (requestType == 0x80 && request == 6 && value >> 8 == 3) { // string descriptor
        const unsigned index = value & 0xff;
        const char *texts[] = {printerManufacturer, printerProductName, printerSerialNumber};
        if (index == 0) {
            answer = std::string("\x04\x03\x09\x04", 4); // US English only
        } else if (index <= 3) {
            const std::string text = texts[index - 1];
            answer.push_back(static_cast<char>(2 + 2 * text.size()));
            answer.push_back(3);
            for (char c : text)
                answer += std::string{c, '\0'}; // UTF-16LE of ASCII text
        } else {
            known = false;
        }
    } else {
        known = false;
    }
    // The host asks for at most wLength bytes and has room for no more than its buffer.
    const std::size_t room =
        std::min<std::size_t>(length, static_cast<std::size_t>(urb->buffer_length - 8));
    answer.resize(std::min(answer.size(), room));
    Urb pending{client, data, {}, 0, 0};
    if (known) {
        pending.reply = std::string(reinterpret_cast<const char *>(setup), 8) + answer;
        pending.actualLength = static_cast<int>(answer.size());
    } else {
        pending.status = -EPIPE;
    }
    completed.push_back(pending);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void SimulatedUsbPrinter::State::reapUrb(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    auto it = std::find_if(completed.begin(), completed.end(),
                           [&](const Urb &urb) { return urb.client == client; });
    if (it == completed.end()) {
        // Nothing finished; libusb only reaps without waiting, so "try again" is right.
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    Urb done = *it;
    completed.erase(it);
    auto *urb = reinterpret_cast<usbdevfs_urb *>(done.data->data);
    urb->status = done.status;
    urb->actual_length = done.actualLength;
    if (!done.reply.empty())
        std::memcpy(urb->buffer, done.reply.data(), done.reply.size());

    UMockdevIoctlData *pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
    if (pointer) {
        umockdev_ioctl_data_set_ptr(pointer, 0, done.data);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(pointer);
    } else {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    g_object_unref(done.data);
}

void SimulatedUsbPrinter::State::discardUrb(UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    // The argument is the URB's address in the client, not a pointer to resolve.
    gulong address = reinterpret_cast<gulong>(*reinterpret_cast<void **>(arg->data));
    auto it = std::find_if(waiting.begin(), waiting.end(), [&](const Urb &urb) {
        return urb.client == client && urb.data->client_addr == address;
    });
    if (it == waiting.end()) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    Urb cancelled = *it;
    waiting.erase(it);
    cancelled.status = -ENOENT;
    completed.push_back(cancelled);
    umockdev_ioctl_client_complete(client, 0, 0);
}

void SimulatedUsbPrinter::State::handleIoctl(UMockdevIoctlClient *client)
{
    std::lock_guard<std::mutex> lock(mutex);
    forgetClosedClients(); // a closed client's claim is gone
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    auto finish = [&](long result, int error) {
        umockdev_ioctl_client_complete(client, result, error);
    };
    if (!present || unplugged.count(client))
        return finish(-1, ENODEV);

    if (gone)
        return finish(-1, ENODEV);
    switch (umockdev_ioctl_client_get_request(client)) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = resolveArg(client, sizeof(guint32));
        if (!caps)
            return finish(-1, EFAULT);
        *reinterpret_cast<guint32 *>(caps->data) =
            USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
            USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        finish(0, 0);
        g_object_unref(caps);
        return;
    }
    case USBDEVFS_GETDRIVER: {
        UMockdevIoctlData *request = resolveArg(client, sizeof(usbdevfs_getdriver));
        if (!request)
            return finish(-1, EFAULT);
        auto *query = reinterpret_cast<usbdevfs_getdriver *>(request->data);
        std::string driver = claimedBy ? std::string("usbfs") : boundDriver;
        if (query->interface != 0) {
            finish(-1, EINVAL);
        } else if (driver.empty()) {
            finish(-1, ENODATA);
        } else {
            std::snprintf(query->driver, sizeof query->driver, "%s", driver.c_str());
            finish(0, 0);
        }
        g_object_unref(request);
        return;
    }
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData *request = resolveArg(client, sizeof(usbdevfs_ioctl));
        if (!request)
            return finish(-1, EFAULT);
        auto *command = reinterpret_cast<usbdevfs_ioctl *>(request->data);
        if (command->ifno != 0) {
            finish(-1, EINVAL);
        } else if (command->ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            if (boundDriver.empty() || claimedBy)
                finish(-1, ENODATA);
            else if (script.failDetach)
                finish(-1, EACCES);
            else {
                boundDriver.clear();
                finish(0, 0);
            }
        } else if (command->ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
            if (claimedBy) {
                finish(-1, EBUSY);
            } else {
                boundDriver = script.kernelDriver;
                finish(0, 0);
            }
        } else {
            finish(-1, ENOTTY);
        }
        g_object_unref(request);
        return;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        bool claim = umockdev_ioctl_client_get_request(client) == USBDEVFS_CLAIMINTERFACE;
        UMockdevIoctlData *request = resolveArg(client, sizeof(unsigned int));
        if (!request)
            return finish(-1, EFAULT);
        unsigned int interface = *reinterpret_cast<unsigned int *>(request->data);
        g_object_unref(request);
        if (interface != 0)
            return finish(-1, EINVAL);
        if (claim) {
            if (script.failClaim || !boundDriver.empty() || (claimedBy && claimedBy != client))
                return finish(-1, EBUSY);
            claimedBy = client;
        } else {
            if (script.failRelease)
                return finish(-1, EIO);
            if (claimedBy != client)
                return finish(-1, EINVAL);
            claimedBy = nullptr;
        }
        return finish(0, 0);
    }
    case USBDEVFS_SETCONFIGURATION: {
        // One configuration, value 1. The kernel refuses a change while another handle has
        // an interface claimed.
        UMockdevIoctlData *request = resolveArg(client, sizeof(unsigned int));
        if (!request)
            return finish(-1, EFAULT);
        const int value = *reinterpret_cast<int *>(request->data);
        g_object_unref(request);
        if (value != 1)
            return finish(-1, EINVAL); // the unconfigured state is not simulated
        if (claimedBy && claimedBy != client)
            return finish(-1, EBUSY);
        return finish(0, 0);
    }
    case USBDEVFS_SUBMITURB:
        return submitUrb(client, arg);
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return reapUrb(client, arg);
    case USBDEVFS_DISCARDURB:
        return discardUrb(client, arg);
    default:
        return finish(-1, ENOTTY);
    }
}

SimulatedUsbPrinter::SimulatedUsbPrinter(const PrinterScript &script, const std::string &recordPath,
                                         const std::string &streamDir)
    : state_(std::make_unique<State>())
{
    state_->streamDir = streamDir;
    if (!underUmockdevPreload())
        throw std::runtime_error("the simulated USB printer needs umockdev's preload library "
                                 "(run under umockdev-wrapper)");
    state_->recordPath = recordPath;
    state_->applyScript(script);
    state_->testbed = umockdev_testbed_new();
    state_->handler = umockdev_ioctl_base_new();
    g_signal_connect(state_->handler, "handle-ioctl", G_CALLBACK(onHandleIoctl), state_.get());
    g_signal_connect(state_->handler, "client-connected", G_CALLBACK(onClientConnected),
                     state_.get());

    state_->addDevice("usb1", nullptr, 1, UsbId{0x1d6b, 0x0002}, rootHubDescriptors(), false);
    // Only the printer answers usbfs requests; other devices are there to be enumerated.
    int devnum = 2;
    for (const UsbId &id : script.devices) {
        bool printer = id.vendor == printerVendor && id.product == printerProduct;
        std::string name = "1-" + std::to_string(devnum - 1);
        std::string sysPath = state_->addDevice(name, "/sys/devices/usb1", devnum, id,
                                                printerDescriptors(id), printer);
        if (printer && state_->printerName.empty()) {
            state_->printerName = name;
            state_->printerDevnum = devnum;
            state_->printerId = id;
            state_->printerSysPath = sysPath;
        }
        ++devnum;
    }
}

SimulatedUsbPrinter::~SimulatedUsbPrinter()
{
    for (const std::string &node : state_->attachedNodes)
        umockdev_testbed_detach_ioctl(state_->testbed, node.c_str(), nullptr);
    g_signal_handlers_disconnect_by_data(state_->handler, state_.get());
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        while (!state_->clients.empty())
            state_->forgetClient(*state_->clients.begin());
        unrefUrbs(&state_->waiting, nullptr);
        unrefUrbs(&state_->completed, nullptr);
    }
    g_object_unref(state_->handler);
    g_object_unref(state_->testbed);
}

void SimulatedUsbPrinter::unplug()
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->present || state_->printerName.empty())
        return;
    state_->present = false;
    state_->forgetClosedClients();
    state_->unplugged.insert(state_->clients.begin(), state_->clients.end());
    state_->claimedBy = nullptr;
    // Reads in flight end as on a real bus: with an error, reaped by the handle's owner.
    for (Urb &urb : state_->waiting) {
        urb.status = -ENODEV;
        state_->completed.push_back(urb);
    }
    state_->waiting.clear();
    state_->replies.clear();
    umockdev_testbed_remove_device(state_->testbed, state_->printerSysPath.c_str());
    ::unlink(state_->printerNodeFile.c_str());
}

void SimulatedUsbPrinter::plugIn()
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->present || state_->printerName.empty())
        return;
    // The same place on the bus; the ioctl handler stayed attached to the node.
    state_->printerSysPath =
        state_->addDevice(state_->printerName, "/sys/devices/usb1", state_->printerDevnum,
                          state_->printerId, printerDescriptors(state_->printerId), false);
    state_->boundDriver = state_->script.kernelDriver;
    state_->present = true;
}

void SimulatedUsbPrinter::setScript(const PrinterScript &script)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->applyScript(script);
}

std::vector<std::string> SimulatedUsbPrinter::receivedCommands() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->received;
}

int SimulatedUsbPrinter::openHandles() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->forgetClosedClients();
    return static_cast<int>(state_->clients.size());
}

bool SimulatedUsbPrinter::waitForOpenHandles(int count, int timeoutMs) const
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (openHandles() != count) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string SimulatedUsbPrinter::boundDriver() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->forgetClosedClients();
    return state_->claimedBy ? std::string() : state_->boundDriver;
}

bool underUmockdevPreload()
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find("libumockdev-preload") != std::string::npos)
            return true;
    }
    return false;
}

bool ensureUmockdevPreload(char **argv, std::string *error)
{
    if (underUmockdevPreload()) {
        ::unsetenv("ZLPSIM_REEXEC"); // our children start afresh
        return true;
    }
    // A second round means the wrapper ran but the library did not load: stop there.
    if (std::getenv("ZLPSIM_REEXEC")) {
        *error = "umockdev's preload library did not load (is the umockdev package installed?)";
        return false;
    }
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        *error = std::string("cannot find this program's path: ") + std::strerror(errno);
        return false;
    }
    self[n] = '\0';
    std::vector<char *> args{const_cast<char *>("umockdev-wrapper"), self};
    for (char **arg = argv + 1; *arg; ++arg)
        args.push_back(*arg);
    args.push_back(nullptr);
    ::setenv("ZLPSIM_REEXEC", "1", 1);
    // In sanitizer builds the preload comes before the ASan runtime; let ASan accept that.
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = asan && *asan ? std::string(asan) + ":" : std::string();
    ::setenv("ASAN_OPTIONS", (asanOptions + "verify_asan_link_order=0").c_str(), 1);
    ::execvp(args[0], args.data());
    *error = std::string("cannot run umockdev-wrapper: ") + std::strerror(errno);
    ::unsetenv("ZLPSIM_REEXEC");
    return false;
}

} // namespace zlpsim
