// zlpsim-net: the printer's network print port, simulated. See README.md.
#include "session.h"
#include "tcpport.h"
#include "udpport.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zlpsim;

namespace
{

const char kUsage[] =
    "usage: zlpsim-net [options]            serve the raw print port\n"
    "       zlpsim-net --decode FILE        decode a recorded job stream, print its report\n"
    "options:\n"
    "  --port N             TCP port (default 9100; 0 picks a free one)\n"
    "  --bind ADDR          IPv4 address to listen on (default 127.0.0.1)\n"
    "  --out-dir DIR        where job-N.prn and job-N.json go (default .)\n"
    "  --jobs N             exit after N jobs (default: until SIGTERM/SIGINT)\n"
    "  --ready-file FILE    write the port number there once listening\n"
    "  --lock SCRIPT        answers to \"LockPrinter?\": grant (default), busy:N, silent,\n"
    "                       replies:R1,R2,... (\"-\" for no answer; the last one repeats)\n"
    "  --lock-delay MS      wait before each answer\n"
    "  --status BYTES:TEXT  send TEXT on the back channel once a job has sent BYTES bytes\n"
    "                       (repeatable; escapes \\r \\n \\t \\\\ \\0 \\xHH)\n"
    "  --stall-after BYTES  stop reading a job after BYTES bytes ...\n"
    "  --stall-ms MS        ... for MS milliseconds (default: until SIGUSR1)\n"
    "  --read-chunk BYTES   read at most BYTES at a time (default 262144)\n"
    "  --read-delay MS      wait MS after each read (a slow printer)\n"
    "  --rcvbuf BYTES       socket receive buffer size\n"
    "  --quiet              no summary lines\n"
    "status port (UDP, on the --bind address; on when one of these is given):\n"
    "  --udp-port N         port for \"GetStatus;\" (default 9101; 0 picks a free one)\n"
    "  --udp-reply-port N   port of the asker that gets the answers (default 9102;\n"
    "                       0 answers to the port the request came from)\n"
    "  --udp-script FILE    the answers (default: CODE=10001 idle, CODE=10023 while a job\n"
    "                       comes in); requests and answers go to OUT-DIR/udp.jsonl\n";

[[noreturn]] void usageError(const std::string &message)
{
    std::fprintf(stderr, "zlpsim-net: %s\n%s", message.c_str(), kUsage);
    std::exit(2);
}

long long number(const std::string &option, const char *text, long long low, long long high)
{
    errno = 0;
    char *end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        usageError(option + " needs a whole number from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", not \"" + text + "\"");
    return v;
}

// A script file: small, read whole.
bool readSmallFile(const char *path, std::string &text, std::string &error)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot open ") + path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > (8u << 20)) {
            errno = EFBIG;
            ok = false;
            break;
        }
    }
    if (!ok)
        error = std::string("cannot read ") + path + ": " + std::strerror(errno);
    ::close(fd);
    return ok;
}

int decodeFile(const char *path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "zlpsim-net: cannot open %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::string data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::fprintf(stderr, "zlpsim-net: cannot read %s: %s\n", path, std::strerror(errno));
            ::close(fd);
            return 1;
        }
        if (n == 0)
            break;
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    JobReport report;
    report.transport = "file";
    report.streamPath = path;
    report.bytes = data.size();
    report.closedBy = "eof";
    report.stream =
        decodeJobStream(reinterpret_cast<const std::uint8_t *>(data.data()), data.size());
    std::fputs(report.toJson().c_str(), stdout);
    return report.stream.pclxl.present && !report.stream.pclxl.wellFormed ? 3 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    Behaviour behaviour;
    PortOptions options;
    std::string readyFile;
    bool quiet = false;
    bool udp = false;
    UdpOptions udpOptions;
    StatusScript statusScript = StatusScript::standard();

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto next = [&]() -> const char * {
            if (i + 1 >= argc)
                usageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--decode") {
            const char *path = next();
            if (i + 1 != argc)
                usageError("--decode takes a file and nothing else");
            return decodeFile(path);
        } else if (arg == "--port") {
            options.port = static_cast<int>(number(arg, next(), 0, 65535));
        } else if (arg == "--bind") {
            options.bindAddress = next();
        } else if (arg == "--out-dir") {
            options.outDir = next();
        } else if (arg == "--jobs") {
            options.maxJobs = static_cast<int>(number(arg, next(), 1, INT_MAX));
        } else if (arg == "--ready-file") {
            readyFile = next();
        } else if (arg == "--lock") {
            std::string error;
            const auto script = LockScript::parse(next(), error);
            if (!script)
                usageError(error);
            behaviour.lock = *script;
        } else if (arg == "--lock-delay") {
            behaviour.lockDelayMs = static_cast<int>(number(arg, next(), 0, 600000));
        } else if (arg == "--status") {
            const std::string value = next();
            const auto colon = value.find(':');
            if (colon == std::string::npos)
                usageError("--status needs BYTES:TEXT, not \"" + value + "\"");
            StatusPush push;
            push.afterBytes = static_cast<std::uint64_t>(
                number(arg, value.substr(0, colon).c_str(), 0, LLONG_MAX));
            if (!decodeEscapes(value.substr(colon + 1), push.text) || push.text.empty())
                usageError("bad status text in \"" + value + "\"");
            behaviour.status.push_back(push);
        } else if (arg == "--stall-after") {
            behaviour.stallAfter = static_cast<std::uint64_t>(number(arg, next(), 0, LLONG_MAX));
        } else if (arg == "--stall-ms") {
            behaviour.stallMs = static_cast<int>(number(arg, next(), 0, INT_MAX));
        } else if (arg == "--read-chunk") {
            behaviour.readChunk = static_cast<std::size_t>(number(arg, next(), 1, 64 << 20));
        } else if (arg == "--read-delay") {
            behaviour.readDelayMs = static_cast<int>(number(arg, next(), 0, 600000));
        } else if (arg == "--rcvbuf") {
            options.receiveBuffer = static_cast<int>(number(arg, next(), 1, INT_MAX));
        } else if (arg == "--udp-port") {
            udp = true;
            udpOptions.port = static_cast<int>(number(arg, next(), 0, 65535));
        } else if (arg == "--udp-reply-port") {
            udp = true;
            udpOptions.replyPort = static_cast<int>(number(arg, next(), 0, 65535));
        } else if (arg == "--udp-script") {
            udp = true;
            const char *path = next();
            std::string text;
            std::string error;
            if (!readSmallFile(path, text, error))
                usageError(error);
            const auto script = StatusScript::parse(text, error);
            if (!script)
                usageError(std::string(path) + ": " + error);
            statusScript = *script;
        } else if (arg == "--quiet") {
            quiet = true;
        } else {
            usageError("unknown argument " + arg);
        }
    }

    struct stat st {
    };
    if (stat(options.outDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        usageError("output folder " + options.outDir + " does not exist");

    // Signals arrive as readable events, so no handler interrupts a half-written report.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    if (signalFd < 0) {
        std::perror("zlpsim-net: signalfd");
        return 1;
    }

    TcpPrintPort port(behaviour, options);
    std::string error;
    if (!port.listen(error)) {
        std::fprintf(stderr, "zlpsim-net: %s\n", error.c_str());
        return 1;
    }
    if (!quiet)
        std::printf("zlpsim-net: listening on %s\n", port.endpoint().c_str());
    std::string ready = std::to_string(port.port()) + "\n";
    udpOptions.bindAddress = options.bindAddress;
    udpOptions.recordPath = options.outDir + "/udp.jsonl";
    UdpStatusPort statusPort(statusScript, udpOptions);
    if (udp) {
        if (!statusPort.open(error)) {
            std::fprintf(stderr, "zlpsim-net: %s\n", error.c_str());
            return 1;
        }
        port.setCompanion(&statusPort);
        if (!quiet)
            std::printf("zlpsim-net: status port on %s\n", statusPort.endpoint().c_str());
        ready += "udp " + std::to_string(statusPort.port()) + "\n";
    }
    std::fflush(stdout);
    if (!readyFile.empty() && !writeFileAtomically(readyFile, ready, error)) {
        std::fprintf(stderr, "zlpsim-net: %s\n", error.c_str());
        return 1;
    }
    const auto say = [quiet](const std::string &line) {
        if (!quiet) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
    };
    return port.run(
        signalFd, [&](const JobReport &report) { say(report.summary()); }, say);
}
