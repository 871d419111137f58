// zlpsim-backend: runs a CUPS filter the way cupsd does and stands in for the backend and the
// printer, from a script. See README.md beside this file.
#include "backend.h"
#include "script.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <netdb.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr int exitUsage = 125;

const char usage[] =
    "usage: zlpsim-backend [--script FILE] [--out FILE] [--err FILE] [--events FILE]\n"
    "                      [--in FILE] [--timeout SECONDS] [--connect HOST:PORT]\n"
    "                      -- FILTER ARG0 ARG1 ARG2 ARG3 ARG4 [ARG5 [ARG6]]\n"
    "Runs FILTER as cupsd would (argv[0] = ARG0, the queue name) and answers for the backend:\n"
    "  --script FILE    drain answers, lock replies, back-channel texts, signals (README.md)\n"
    "  --out FILE       the printer stream the filter writes (default: standard output)\n"
    "  --err FILE       the filter's standard error (default: ours)\n"
    "  --events FILE    one line per event, milliseconds since start first\n"
    "  --in FILE        the filter's standard input (default: ours)\n"
    "  --timeout SECS   kill the filter after this long (default 60; exit code 124)\n"
    "  --connect H:P    send the stream on to a printer's raw port (zlpsim-net), as CUPS's\n"
    "                   socket backend does; its replies go to the back channel\n";

int fail(const std::string &message)
{
    std::cerr << "zlpsim-backend: " << message << "\n";
    return exitUsage;
}

bool readFile(const std::string &path, std::string &text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[8192];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

// A TCP connection to HOST:PORT, non-blocking once made; -1 with a message on failure.
int connectPrinter(const std::string &target)
{
    const auto colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == target.size()) {
        std::cerr << "zlpsim-backend: --connect needs HOST:PORT, got '" << target << "'\n";
        return -1;
    }
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc =
        getaddrinfo(target.substr(0, colon).c_str(), target.c_str() + colon + 1, &hints, &found);
    if (rc != 0) {
        std::cerr << "zlpsim-backend: " << target << ": " << gai_strerror(rc) << "\n";
        return -1;
    }
    int fd = -1;
    int error = 0;
    for (addrinfo *a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) {
        std::cerr << "zlpsim-backend: cannot connect to " << target << ": " << std::strerror(error)
                  << "\n";
        return -1;
    }
    // A fixed send buffer instead of loopback's auto-tuned megabytes: a printer that stops
    // reading is felt by the filter after a predictable amount, as over a real network.
    const int sendBuffer = 65536;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

int openSink(const std::string &path)
{
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

} // namespace

int main(int argc, char **argv)
{
    std::string scriptPath, outPath, errPath, eventsPath, inPath, connectTarget;
    double timeoutSeconds = 60;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--") {
            ++i;
            break;
        }
        if (option == "-h" || option == "--help") {
            std::cout << usage;
            return 0;
        }
        if (option.compare(0, 2, "--") != 0)
            break;
        if (i + 1 >= argc)
            return fail(option + " needs a value\n" + usage);
        const std::string value = argv[++i];
        if (option == "--script")
            scriptPath = value;
        else if (option == "--out")
            outPath = value;
        else if (option == "--err")
            errPath = value;
        else if (option == "--events")
            eventsPath = value;
        else if (option == "--in")
            inPath = value;
        else if (option == "--connect")
            connectTarget = value;
        else if (option == "--timeout") {
            char *end = nullptr;
            timeoutSeconds = std::strtod(value.c_str(), &end);
            if (end == value.c_str() || *end != '\0' || !(timeoutSeconds > 0) ||
                timeoutSeconds > 86400)
                return fail("--timeout needs seconds between 0 and 86400, got '" + value + "'");
        } else
            return fail("unknown option " + option + "\n" + usage);
    }

    // cupsd passes the queue name, job id, user, title, copies, options and maybe a file name.
    const int filterArgs = argc - i - 1;
    if (filterArgs < 5 || filterArgs > 7)
        return fail("expected FILTER and its ARG0..ARG4 [ARG5 [ARG6]], got " +
                    std::to_string(std::max(filterArgs, 0)) + " arguments after the filter\n" +
                    usage);

    zlpsim::Script script;
    if (!scriptPath.empty()) {
        std::string text;
        if (!readFile(scriptPath, text))
            return fail("cannot read the script " + scriptPath + ": " + std::strerror(errno));
        zlpsim::ParseResult parsed = zlpsim::parseScript(text);
        if (!parsed.error.empty())
            return fail(scriptPath + ": " + parsed.error);
        script = std::move(parsed.script);
    }

    zlpsim::Sinks sinks;
    zlpsim::FilterLaunch launch;
    launch.program = argv[i];
    launch.args.assign(argv + i + 1, argv + argc);
    if (!outPath.empty() && (sinks.out = openSink(outPath)) < 0)
        return fail("cannot create " + outPath + ": " + std::strerror(errno));
    if (!errPath.empty() && (sinks.err = openSink(errPath)) < 0)
        return fail("cannot create " + errPath + ": " + std::strerror(errno));
    if (!eventsPath.empty() && (sinks.events = openSink(eventsPath)) < 0)
        return fail("cannot create " + eventsPath + ": " + std::strerror(errno));
    if (!inPath.empty() && (launch.stdinFd = open(inPath.c_str(), O_RDONLY | O_CLOEXEC)) < 0)
        return fail("cannot open " + inPath + ": " + std::strerror(errno));

    if (!connectTarget.empty() && (sinks.printer = connectPrinter(connectTarget)) < 0)
        return exitUsage;

    zlpsim::Backend backend(std::move(script), sinks, timeoutSeconds);
    return backend.run(launch);
}
