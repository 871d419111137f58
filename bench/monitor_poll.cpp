// What one status poll of the USB monitor costs on the GUI thread, part by part:
//   the /proc scan, alone and with 1,000 extra processes running (goal: under 5 ms);
//   the job listing child ("lpstat -R -o", against whatever cupsd answers);
//   the USB exchange (open, "CheckStatus?", read, release) against the simulated printer;
//   and the whole tick as MainWindow::printerStateCheck runs it.
// Runs under umockdev's preload (restarts itself under umockdev-wrapper). Not a test.
//
//   zlp_bench_monitor_poll [ROUNDS]
#include "jobwatch.h"
#include "mainwindow.h"
#include "simulatedusbprinter.h"
#include "usb_communicate.h"

#include <QApplication>
#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

struct Figures {
    double median = 0;
    double p90 = 0;
    double max = 0;
    double cpuMedian = 0; // this process's CPU time, children included once reaped
};

double cpuMs()
{
    timespec self{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &self);
    rusage children{};
    ::getrusage(RUSAGE_CHILDREN, &children);
    return self.tv_sec * 1e3 + self.tv_nsec / 1e6 + children.ru_utime.tv_sec * 1e3 +
           children.ru_utime.tv_usec / 1e3 + children.ru_stime.tv_sec * 1e3 +
           children.ru_stime.tv_usec / 1e3;
}

// Wall time shows what the GUI thread waits; CPU time what the work costs on a machine that
// is busy with other things.
Figures measure(int rounds, const std::function<void()> &step)
{
    std::vector<double> ms, cpu;
    ms.reserve(rounds);
    cpu.reserve(rounds);
    for (int i = 0; i < rounds; ++i) {
        double cpuStart = cpuMs();
        auto start = Clock::now();
        step();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        cpu.push_back(cpuMs() - cpuStart);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    return {ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.back(), cpu[cpu.size() / 2]};
}

void report(const char *what, const Figures &f, int rounds)
{
    std::printf("%-40s wall median %7.2f ms  p90 %7.2f  max %7.2f | cpu median %7.2f ms  (%d)\n",
                what, f.median, f.p90, f.max, f.cpuMedian, rounds);
}

std::vector<pid_t> startIdleProcesses(int count)
{
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        // Small programs of their own, as on a desktop, not copies of this one.
        pid_t pid = ::fork();
        if (pid == 0) {
            ::execl("/bin/sleep", "sleep", "3600", static_cast<char *>(nullptr));
            ::_exit(127);
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
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    int rounds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 200;
    int listingRounds = std::max(5, rounds / 10);

    // The scan and the listing as on a desktop: without umockdev's preload, which wraps
    // every open() of the process. The simulated bus needs it, so the rest runs after a
    // restart under the preload.
    if (!zlpsim::underUmockdevPreload()) {
        QCoreApplication app(argc, argv);
        const uid_t filterUid = jobwatch::filterUidOfSystem().value_or(0);
        auto scan = [filterUid] {
            if (!jobwatch::scanForProcess("/proc", "pstopxl_5520nw", filterUid))
                std::abort();
        };
        if (FILE *load = std::fopen("/proc/loadavg", "r")) {
            char line[128] = {};
            if (std::fgets(line, sizeof line, load))
                std::printf("load average: %s", line);
            std::fclose(load);
        }
        std::printf("processes now: %d\n", processCount());
        report("/proc scan", measure(rounds, scan), rounds);
        std::vector<pid_t> extra = startIdleProcesses(1000);
        std::printf("processes with %zu extra: %d\n", extra.size(), processCount());
        report("/proc scan, 1,000 extra processes", measure(rounds, scan), rounds);
        stopProcesses(extra);

        jobwatch::ListingRun last;
        Figures listing = measure(listingRounds, [&] {
            last = jobwatch::runListing("lpstat", {"-R", "-o"}, 30000, 1 << 20);
        });
        report("lpstat -R -o child", listing, listingRounds);
        std::printf("  (last run: started %d, exit %d, %d bytes)\n", last.started, last.exitCode,
                    static_cast<int>(last.output.size()));
        std::fflush(stdout);
    }

    std::string error;
    if (!zlpsim::ensureUmockdevPreload(argv, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    QApplication app(argc, argv);
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

    // The whole tick as the window runs it: scan, listing, exchange, catalogue, labels (the
    // scan here pays for the preload).
    MainWindow window(nullptr, false);
    window.trayFound(TrayKind::StatusNotifier);
    Figures tick = measure(listingRounds, [&] { window.printerStateCheck(); });
    report("whole poll tick (printer idle, preload)", tick, listingRounds);
    return 0;
}
