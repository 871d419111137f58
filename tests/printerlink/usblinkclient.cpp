// usblinkclient [--repeat N] [--hold MS] [--hex] COMMAND
//
// A minimal USB client for trying the link by hand, e.g. under zlpsim-usb: opens the
// printer, sends COMMAND (text, or hex digit pairs with --hex), reads one reply, releases,
// and writes the reply bytes to standard output. --repeat N runs N such exchanges and
// reports their mean time on standard error. --hold MS keeps the interface claimed that
// long after each reply, as a program busy with the printer does. Exits with 0 or the
// link's failing result.
#include "usb_communicate.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

bool fromHex(const std::string &text, std::vector<unsigned char> *out)
{
    if (text.size() % 2)
        return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        char *end = nullptr;
        std::string pair = text.substr(i, 2);
        long value = std::strtol(pair.c_str(), &end, 16);
        if (*end != '\0')
            return false;
        out->push_back(static_cast<unsigned char>(value));
    }
    return true;
}

void writeAll(const unsigned char *data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(STDOUT_FILENO, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

int usage()
{
    std::fprintf(stderr, "usage: usblinkclient [--repeat N] [--hold MS] [--hex] COMMAND\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    int repeat = 1;
    int holdMs = 0;
    bool hex = false;
    int i = 1;
    for (; i < argc - 1; ++i) {
        std::string arg = argv[i];
        if (arg == "--hex")
            hex = true;
        else if (arg == "--repeat" && i + 1 < argc - 1 && (repeat = std::atoi(argv[++i])) > 0)
            ;
        else if (arg == "--hold" && i + 1 < argc - 1 && (holdMs = std::atoi(argv[++i])) > 0)
            ;
        else
            return usage();
    }
    if (i != argc - 1)
        return usage();
    std::vector<unsigned char> command;
    std::string text = argv[i];
    if (hex && !fromHex(text, &command)) {
        std::fprintf(stderr, "usblinkclient: not hex digit pairs: %s\n", text.c_str());
        return 2;
    }
    if (!hex)
        command.assign(text.begin(), text.end());

    usb_communicate link;
    std::vector<unsigned char> reply(8192);
    int received = 0;
    auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < repeat; ++round) {
        int result = link.initDevice();
        if (result != 0)
            return result;
        if ((result = link.SendCmd(command.data(), static_cast<unsigned int>(command.size()))))
            return result;
        std::fill(reply.begin(), reply.end(), 0);
        received = link.ReadCmd(reply.data(), static_cast<unsigned int>(reply.size()));
        if (holdMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
        if ((result = link.releaseDevice()))
            return result;
        // The link's results share the range of byte counts: a 254-byte reply reads as failure.
        if (received == 254)
            return received;
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    if (repeat > 1)
        std::fprintf(stderr, "usblinkclient: %d exchanges, %.2f ms mean\n", repeat,
                     std::chrono::duration<double, std::milli>(elapsed).count() / repeat);
    writeAll(reply.data(), static_cast<std::size_t>(received));
    return 0;
}
