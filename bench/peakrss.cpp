// Measures one program's own peak resident memory (VmHWM), not that of its children: wait4's
// rusage would report the largest of the program and everything it waited for (Ghostscript).
// The program is traced and stopped at its exit, where /proc still shows its memory.
//
//   ZLP_PEAKRSS_PROGRAM=PATH ZLP_PEAKRSS_OUT=FILE zlp_bench_peakrss ARGV0 ARG...
//
// runs PATH with exactly the given argv (so it can stand in a filter's place under
// zlpsim-backend), writes the peak in KiB to FILE and exits with the program's exit code.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

long peakKib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

pid_t waitRetry(pid_t pid, int &status)
{
    pid_t done;
    do
        done = waitpid(pid, &status, 0);
    while (done < 0 && errno == EINTR);
    return done;
}

} // namespace

int main(int argc, char **argv)
{
    const char *program = std::getenv("ZLP_PEAKRSS_PROGRAM");
    const char *outPath = std::getenv("ZLP_PEAKRSS_OUT");
    if (!program || !outPath || argc < 1) {
        std::fprintf(stderr, "usage: ZLP_PEAKRSS_PROGRAM=PATH ZLP_PEAKRSS_OUT=FILE "
                             "zlp_bench_peakrss ARGV0 [ARG...]\n");
        return 125;
    }

    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("zlp_bench_peakrss: fork");
        return 125;
    }
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execv(program, argv);
        std::fprintf(stderr, "zlp_bench_peakrss: cannot run %s: %s\n", program,
                     std::strerror(errno));
        _exit(127);
    }

    int status = 0;
    // The first stop is the exec.
    if (waitRetry(pid, status) != pid || !WIFSTOPPED(status)) {
        std::fprintf(stderr, "zlp_bench_peakrss: %s did not start\n", program);
        return 127;
    }
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);

    long peak = -1;
    for (;;) {
        if (waitRetry(pid, status) != pid) {
            std::perror("zlp_bench_peakrss: waitpid");
            return 125;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status))
            break;
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            peak = peakKib(pid);
            ptrace(PTRACE_CONT, pid, nullptr, nullptr);
            continue;
        }
        // Any other stop is a signal on its way to the program: deliver it.
        ptrace(PTRACE_CONT, pid, nullptr,
               reinterpret_cast<void *>(static_cast<long>(WSTOPSIG(status))));
    }

    if (FILE *out = std::fopen(outPath, "w")) {
        std::fprintf(out, "%ld\n", peak);
        std::fclose(out);
    } else {
        std::fprintf(stderr, "zlp_bench_peakrss: cannot write %s: %s\n", outPath,
                     std::strerror(errno));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
