// A scriptable stand-in for a CUPS filter, to test zlpsim-backend through the real libcups calls.
// The steps come in argv[5] (where cupsd puts the job options), separated by blanks:
//   out:TEXT     write TEXT to standard output          fill:N     write N pattern bytes
//   drain:SECS   side-channel drain request             bidi:SECS  side-channel GET_BIDI request
//   back:SECS    read the back channel (512 bytes)      err:TEXT   write TEXT and LF to stderr
//   sleep:MS     nanosleep                               sleepsec:S sleep(3)
//   usleep:US    usleep(3)                               absclock:MS clock_nanosleep, absolute
//   copyin       standard input to standard output      env:NAME   report getenv(NAME)
//   args         report argv[0..4]                       exit:N     exit with code N
//   ppoll:MS     ppoll without descriptors
// Results go to standard error as "drain=STATUS ms=T", "bidi=STATUS", "back=TEXT n=N ms=T", ...
#include <cups/sidechannel.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void writeAll(int fd, const char *data, std::size_t length)
{
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::fprintf(stderr, "write failed: %s\n", std::strerror(errno));
            std::exit(90);
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
}

std::string escaped(const char *data, ssize_t length)
{
    std::string out;
    for (ssize_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        char hex[8];
        if (c < 0x20 || c == '\\') {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
}

void request(const char *name, cups_sc_command_t command, double timeout)
{
    char data[64];
    int length = sizeof data;
    const auto start = Clock::now();
    const cups_sc_status_t status = cupsSideChannelDoRequest(command, data, &length, timeout);
    std::fprintf(stderr, "%s=%d ms=%ld\n", name, static_cast<int>(status), msSince(start));
}

void step(const std::string &op, const std::string &arg, char **argv)
{
    if (op == "out") {
        writeAll(1, arg.data(), arg.size());
    } else if (op == "fill") {
        std::string bytes(std::stoul(arg), '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i % 251);
        writeAll(1, bytes.data(), bytes.size());
    } else if (op == "drain") {
        request("drain", CUPS_SC_CMD_DRAIN_OUTPUT, std::stod(arg));
    } else if (op == "bidi") {
        request("bidi", CUPS_SC_CMD_GET_BIDI, std::stod(arg));
    } else if (op == "back") {
        char data[512];
        const auto start = Clock::now();
        const ssize_t n = cupsBackChannelRead(data, sizeof data, std::stod(arg));
        std::fprintf(stderr, "back=%s n=%zd ms=%ld\n", escaped(data, n).c_str(), n, msSince(start));
    } else if (op == "err") {
        std::fprintf(stderr, "%s\n", arg.c_str());
    } else if (op == "sleep") {
        const long ms = std::stol(arg);
        const timespec wait{ms / 1000, (ms % 1000) * 1000000};
        nanosleep(&wait, nullptr);
    } else if (op == "ppoll") { // how the filter sleeps, watching its wake-up pipe
        const long ms = std::stol(arg);
        const timespec wait{ms / 1000, (ms % 1000) * 1000000};
        ppoll(nullptr, 0, &wait, nullptr);
    } else if (op == "sleepsec") {
        sleep(static_cast<unsigned>(std::stoul(arg)));
    } else if (op == "usleep") {
        usleep(static_cast<useconds_t>(std::stoul(arg)));
    } else if (op == "absclock") {
        timespec until{};
        clock_gettime(CLOCK_MONOTONIC, &until);
        const long ms = std::stol(arg);
        until.tv_sec += ms / 1000 + (until.tv_nsec + (ms % 1000) * 1000000) / 1000000000;
        until.tv_nsec = (until.tv_nsec + (ms % 1000) * 1000000) % 1000000000;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    } else if (op == "copyin") {
        char data[65536];
        ssize_t n;
        while ((n = read(0, data, sizeof data)) != 0) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            writeAll(1, data, static_cast<std::size_t>(n));
        }
    } else if (op == "env") {
        const char *value = std::getenv(arg.c_str());
        std::fprintf(stderr, "env %s=%s\n", arg.c_str(), value ? value : "(unset)");
    } else if (op == "args") {
        std::fprintf(stderr, "args=%s|%s|%s|%s|%s\n", argv[0], argv[1], argv[2], argv[3], argv[4]);
    } else if (op == "exit") {
        std::exit(std::atoi(arg.c_str()));
    } else {
        std::fprintf(stderr, "fakefilter: unknown step %s\n", op.c_str());
        std::exit(99);
    }
}

} // namespace

int main(int argc, char **argv)
{
    setbuf(stderr, nullptr);
    if (argc < 6) {
        std::fprintf(stderr, "usage: fakefilter QUEUE JOB USER TITLE COPIES STEPS\n");
        return 98;
    }
    const std::string steps = argv[5];
    std::size_t at = 0;
    while (at < steps.size()) {
        const std::size_t end = std::min(steps.find(' ', at), steps.size());
        const std::string word = steps.substr(at, end - at);
        at = end + 1;
        if (word.empty())
            continue;
        const std::size_t colon = word.find(':');
        step(word.substr(0, colon), colon == std::string::npos ? "" : word.substr(colon + 1), argv);
    }
    return 0;
}
