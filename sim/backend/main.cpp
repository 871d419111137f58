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
#include <string>
#include <unistd.h>

namespace
{

constexpr int exitUsage = 125;

const char usage[] =
    "usage: zlpsim-backend [--script FILE] [--out FILE] [--err FILE] [--events FILE]\n"
    "                      [--in FILE] [--timeout SECONDS] -- FILTER ARG0 ARG1 ARG2 ARG3 ARG4 "
    "[ARG5 [ARG6]]\n"
    "Runs FILTER as cupsd would (argv[0] = ARG0, the queue name) and answers for the backend:\n"
    "  --script FILE    drain answers, lock replies, back-channel texts, signals (README.md)\n"
    "  --out FILE       the printer stream the filter writes (default: standard output)\n"
    "  --err FILE       the filter's standard error (default: ours)\n"
    "  --events FILE    one line per event, milliseconds since start first\n"
    "  --in FILE        the filter's standard input (default: ours)\n"
    "  --timeout SECS   kill the filter after this long (default 60; exit code 124)\n";

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

int openSink(const std::string &path)
{
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

} // namespace

int main(int argc, char **argv)
{
    std::string scriptPath, outPath, errPath, eventsPath, inPath;
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

    zlpsim::Backend backend(std::move(script), sinks, timeoutSeconds);
    return backend.run(launch);
}
