// zlpsim-usb --script FILE [--record FILE] [--stream-dir DIR] -- PROGRAM [ARGS...]
//
// Runs PROGRAM with a simulated ZLP5520NW on its USB bus. The printer answers as the
// script says; every command it receives is written to the record file, and with
// --stream-dir what each open of the device sent goes to a file of its own there (a job's
// whole stream, for zlpsim-net --decode). Exits with PROGRAM's exit status.
#include "simulatedusbprinter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

volatile sig_atomic_t childPid = 0;

// Ctrl-C and friends go to the program; we stay to remove the testbed when it ends.
void forwardSignal(int sig)
{
    if (childPid > 0)
        ::kill(childPid, sig);
}

int usage(const char *message)
{
    std::fprintf(stderr,
                 "zlpsim-usb: %s\n"
                 "usage: zlpsim-usb --script FILE [--record FILE] [--stream-dir DIR] -- "
                 "PROGRAM [ARGS...]\n",
                 message);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::string scriptPath, recordPath, streamDir;
    int programIndex = -1;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            programIndex = i + 1;
            break;
        }
        if ((arg == "--script" || arg == "--record" || arg == "--stream-dir") && i + 1 < argc)
            (arg == "--script" ? scriptPath : arg == "--record" ? recordPath : streamDir) =
                argv[++i];
        else
            return usage(("unexpected argument \"" + arg + "\"").c_str());
    }
    if (scriptPath.empty())
        return usage("--script FILE is required");
    if (programIndex < 0 || programIndex >= argc)
        return usage("no program given after --");

    std::ifstream file(scriptPath);
    if (!file) {
        std::fprintf(stderr, "zlpsim-usb: cannot read %s: %s\n", scriptPath.c_str(),
                     std::strerror(errno));
        return 2;
    }
    std::ostringstream text;
    text << file.rdbuf();
    std::string error;
    std::optional<zlpsim::PrinterScript> script = zlpsim::parsePrinterScript(text.str(), &error);
    if (!script) {
        std::fprintf(stderr, "zlpsim-usb: %s: %s\n", scriptPath.c_str(), error.c_str());
        return 2;
    }

    if (!zlpsim::ensureUmockdevPreload(argv, &error)) {
        std::fprintf(stderr, "zlpsim-usb: %s\n", error.c_str());
        return 2;
    }

    if (!recordPath.empty()) {
        int fd = ::open(recordPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            std::fprintf(stderr, "zlpsim-usb: cannot write %s: %s\n", recordPath.c_str(),
                         std::strerror(errno));
            return 2;
        }
        ::close(fd);
    }

    try {
        zlpsim::SimulatedUsbPrinter printer(*script, recordPath, streamDir);

        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = forwardSignal;
        sigemptyset(&action.sa_mask);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            ::sigaction(sig, &action, nullptr);

        pid_t pid = ::fork();
        if (pid < 0) {
            std::fprintf(stderr, "zlpsim-usb: fork: %s\n", std::strerror(errno));
            return 2;
        }
        if (pid == 0) {
            // The child inherits the preload and $UMOCKDEV_DIR, so it sees our bus.
            ::execvp(argv[programIndex], argv + programIndex);
            std::fprintf(stderr, "zlpsim-usb: cannot run %s: %s\n", argv[programIndex],
                         std::strerror(errno));
            ::_exit(127);
        }
        childPid = pid;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) {
                std::fprintf(stderr, "zlpsim-usb: waitpid: %s\n", std::strerror(errno));
                return 2;
            }
        }
        childPid = 0;
        if (WIFSIGNALED(status))
            return 128 + WTERMSIG(status);
        return WEXITSTATUS(status);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "zlpsim-usb: %s\n", e.what());
        return 2;
    }
}
