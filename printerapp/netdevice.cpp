#include "netdevice.h"

#include "addressfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace
{

// A printer that takes nothing for this long is gone (the filter gives up after eleven
// failed two-second drains).
constexpr int kWriteStallMs = 30000;
constexpr int kConnectMs = 10000;
constexpr char kNetDeviceId[] = "MFG:VARN;MDL:ZLP5520NW;CMD:PJL,PCLXL;CLS:PRINTER;";

struct NetDevice {
    int fd = -1;
    std::string host;
    int port = 9100;
};

double now()
{
    timespec t = {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int connectTo(const char *host, int port, pappl_device_t *device)
{
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (getaddrinfo(host, service, &hints, &list) != 0 || !list) {
        papplDeviceError(device, "Unable to look up printer address '%s'.", host);
        return -1;
    }
    int fd = -1;
    for (addrinfo *a = list; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            close(fd);
            fd = -1;
            continue;
        }
        pollfd p = {fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        int ready;
        while ((ready = poll(&p, 1, kConnectMs)) < 0 && errno == EINTR) {
        }
        if (ready <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
            error != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    if (fd < 0) {
        papplDeviceError(device, "Unable to connect to printer at %s:%d.", host, port);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool netList(pappl_device_cb_t cb, void *data, pappl_deverror_cb_t, void *)
{
    // Network printers are added by address; the one the setup tool registered is offered.
    char content[256] = {};
    const int fd = open(kAddressFilePath, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat info = {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) { // a FIFO or device put there
        close(fd);
        return false;
    }
    size_t length = 0;
    ssize_t n;
    while (length < sizeof content - 1 &&
           ((n = read(fd, content + length, sizeof content - 1 - length)) > 0 ||
            (n < 0 && errno == EINTR)))
        length += n > 0 ? static_cast<size_t>(n) : 0;
    close(fd);
    const std::string address = registeredPrinterAddress(std::string(content, length));
    if (address.empty())
        return false;
    const std::string uri = std::string(kNetScheme) + "://" + address;
    const std::string text = "VARN ZLP5520NW (network printer " + address + ", set up by ipsetup)";
    return cb(text.c_str(), uri.c_str(), kNetDeviceId, data);
}

bool netOpen(pappl_device_t *device, const char *uri, const char *)
{
    char scheme[32], userpass[256], host[256], resource[256];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, userpass, sizeof userpass,
                        host, sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK ||
        !host[0]) {
        papplDeviceError(device, "Bad printer URI '%s'.", uri);
        return false;
    }
    if (port <= 0)
        port = 9100;
    const int fd = connectTo(host, port, device);
    if (fd < 0)
        return false;
    auto *net = new NetDevice;
    net->fd = fd;
    net->host = host;
    net->port = port;
    papplDeviceSetData(device, net);
    return true;
}

// Half-close and let the printer finish reading, as CUPS's socket backend does.
void finishConnection(NetDevice *net, const std::function<void(const std::string &)> &onText)
{
    if (net->fd < 0)
        return;
    shutdown(net->fd, SHUT_WR);
    char buffer[2048];
    const double end = now() + 5.0;
    ssize_t n;
    while (now() < end && (n = readWithin(net->fd, buffer, sizeof buffer, end - now())) > 0)
        if (onText)
            onText(std::string(buffer, static_cast<size_t>(n)));
    close(net->fd);
    net->fd = -1;
}

void netClose(pappl_device_t *device)
{
    auto *net = static_cast<NetDevice *>(papplDeviceGetData(device));
    if (!net)
        return;
    finishConnection(net, nullptr);
    delete net;
    papplDeviceSetData(device, nullptr);
}

ssize_t netRead(pappl_device_t *device, void *buffer, size_t bytes)
{
    auto *net = static_cast<NetDevice *>(papplDeviceGetData(device));
    return net ? readWithin(net->fd, static_cast<char *>(buffer), bytes, 10.0) : -1;
}

ssize_t netWrite(pappl_device_t *device, const void *buffer, size_t bytes)
{
    auto *net = static_cast<NetDevice *>(papplDeviceGetData(device));
    if (!net || net->fd < 0)
        return -1;
    const char *data = static_cast<const char *>(buffer);
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = send(net->fd, data + done, bytes - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p = {net->fd, POLLOUT, 0};
            const int ready = poll(&p, 1, kWriteStallMs);
            if (ready > 0 || (ready < 0 && errno == EINTR))
                continue;
            papplDeviceError(device, "The printer took no data for %d seconds.",
                             kWriteStallMs / 1000);
            return -1;
        }
        papplDeviceError(device, "Unable to write to printer: %s", std::strerror(errno));
        return -1;
    }
    return static_cast<ssize_t>(done);
}

pappl_preason_t netStatus(pappl_device_t *)
{
    return PAPPL_PREASON_NONE;
}

char *netId(pappl_device_t *, char *buffer, size_t size)
{
    std::snprintf(buffer, size, "%s", kNetDeviceId);
    return buffer;
}

} // namespace

ssize_t readWithin(int fd, char *buffer, size_t size, double seconds)
{
    const double end = now() + seconds;
    for (;;) {
        const int left = static_cast<int>((end - now()) * 1000);
        pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, left > 0 ? left : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return ready == 0 ? 0 : -1;
        const ssize_t n = recv(fd, buffer, size, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        return n == 0 ? -1 : n;
    }
}

int networkSocket(pappl_device_t *device, const char *uri)
{
    // Only our scheme's device data is a NetDevice.
    if (!device || !isNetworkUri(uri))
        return -1;
    auto *net = static_cast<NetDevice *>(papplDeviceGetData(device));
    return net ? net->fd : -1;
}

bool beginNetworkJob(pappl_device_t *device, const char *uri)
{
    if (!device || !isNetworkUri(uri))
        return true;
    auto *net = static_cast<NetDevice *>(papplDeviceGetData(device));
    if (!net)
        return false;
    if (net->fd < 0)
        net->fd = connectTo(net->host.c_str(), net->port, device);
    return net->fd >= 0;
}

void endNetworkJob(pappl_device_t *device, const char *uri,
                   const std::function<void(const std::string &)> &onText)
{
    if (!device || !isNetworkUri(uri))
        return;
    if (auto *net = static_cast<NetDevice *>(papplDeviceGetData(device)))
        finishConnection(net, onText);
}

bool isNetworkUri(const char *uri)
{
    return uri && std::strncmp(uri, "zlpnet://", 9) == 0;
}

void addNetworkScheme()
{
    // PAPPL registers its own schemes (usb, socket, file, ...) only while it has none: let it
    // do so first, or ours would be the only one.
    papplDeviceIsSupported("socket://localhost");
    papplDeviceAddScheme(kNetScheme, PAPPL_DEVTYPE_CUSTOM_NETWORK, netList, netOpen, netClose,
                         netRead, netWrite, netStatus, netId);
}
