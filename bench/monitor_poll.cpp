// What one status poll of the USB monitor costs on the GUI thread, part by part:
//   the /proc scan, alone and with 1,000 extra processes running (goal: under 5 ms);
//   the job listing child ("lpstat -R -o", against whatever cupsd answers);
//   the USB exchange (open, "CheckStatus?", read, release) against the simulated printer.
// Runs under umockdev's preload (restarts itself under umockdev-wrapper). Not a test.
//
//   zlp_bench_monitor_poll [ROUNDS]
#include "jobwatch.h"
#include "simulatedusbprinter.h"
#include "usb_communicate.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

struct Figures {
    double median = 0;
    double p90 = 0;
    double max = 0;
};

Figures measure(int rounds, const std::function<void()> &step)
{
    std::vector<double> ms;
    ms.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        step();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.back()};
}

void report(const char *what, const Figures &f, int rounds)
{
    std::printf("%-46s median %8.3f ms   p90 %8.3f ms   max %8.3f ms   (%d rounds)\n", what,
                f.median, f.p90, f.max, rounds);
}

std::vector<pid_t> startIdleProcesses(int count)
{
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::pause();
            ::_exit(0);
        }
        if (pid < 0)
            break;
        pids.push_back(pid);
    }
    return pids;
}

void stopProcesses(const std::vector<pid_t> &pids)
{
    for (pid_t pid : pids)
        ::kill(pid, SIGKILL);
    for (pid_t pid : pids)
        ::waitpid(pid, nullptr, 0);
}

int processCount()
{
    auto entries = jobwatch::listProcessEntries("/proc");
    return entries ? static_cast<int>(entries->size()) : -1;
}

} // namespace

int main(int argc, char **argv)
{
    std::string error;
    if (!zlpsim::ensureUmockdevPreload(argv, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 200;

    auto scan = [] {
        auto result = jobwatch::scanForProcess("/proc", "pstopxl_5520nw");
        if (!result)
            std::abort();
    };
    std::printf("processes now: %d\n", processCount());
    report("/proc scan", measure(rounds, scan), rounds);
    std::vector<pid_t> extra = startIdleProcesses(1000);
    std::printf("processes with %zu extra: %d\n", extra.size(), processCount());
    report("/proc scan, 1,000 extra processes", measure(rounds, scan), rounds);
    stopProcesses(extra);

    int listingRounds = std::max(5, rounds / 10);
    jobwatch::ListingRun last;
    Figures listing = measure(listingRounds, [&] {
        last = jobwatch::runListing("lpstat", {"-R", "-o"}, 30000, 1 << 20);
    });
    report("lpstat -R -o child", listing, listingRounds);
    std::printf("  (last run: started %d, exit %d, %d bytes)\n", last.started, last.exitCode,
                static_cast<int>(last.output.size()));

    std::string scriptError;
    auto script =
        zlpsim::parsePrinterScript("on \"CheckStatus?\"\nreply \"CODE=10001\"\n", &scriptError);
    zlpsim::SimulatedUsbPrinter printer(*script);
    usb_communicate link;
    int usbRounds = std::max(5, rounds / 4);
    Figures usb = measure(usbRounds, [&] {
        if (link.initDevice() != 0)
            std::abort();
        unsigned char request[] = "CheckStatus?";
        link.SendCmd(request, 12);
        std::vector<unsigned char> reply(jobwatch::replyCapacity, 0);
        link.ReadCmd(reply.data(), jobwatch::replyCapacity);
        link.releaseDevice();
    });
    report("USB exchange against the simulator", usb, usbRounds);
    return 0;
}
