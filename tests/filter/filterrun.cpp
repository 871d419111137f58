#include "filterrun.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

void drainInto(int fd, std::string &text, bool &open)
{
    char buffer[65536];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
        text.append(buffer, static_cast<size_t>(n));
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        open = false;
}

} // namespace

FilterRun runFilter(const FilterCall &call)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return {};
    std::vector<std::string> env = {"PPD=" + call.ppd, "PATH=/usr/bin:/bin", "LANG=C"};
    env.insert(env.end(), call.env.begin(), call.env.end());
    // Sanitizer builds preload the time shortcut after their runtime.
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char *value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);

    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(call.input.c_str(), O_RDONLY);
        dup2(in >= 0 ? in : open("/dev/null", O_RDONLY), 0);
        const int output = call.outputPath.empty()
                               ? out[1]
                               : open(call.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(output, 1);
        dup2(err[1], 2);
        const int back =
            call.backChannelPath.empty() ? -1 : open(call.backChannelPath.c_str(), O_RDONLY);
        if (back >= 0)
            dup2(back, 3);
        // No back or side channel unless a test brings one: nothing else may
        // sit on descriptors 3 and 4.
        for (int fd = back >= 0 ? 4 : 3; fd < 1024; ++fd)
            close(fd);
        umask(077);
        std::vector<char *> argv = {const_cast<char *>(call.queue.c_str())};
        for (const std::string &arg : call.args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        std::vector<char *> envp;
        for (const std::string &e : env)
            envp.push_back(const_cast<char *>(e.c_str()));
        envp.push_back(nullptr);
        execve(call.program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);

    FilterRun run;
    bool outOpen = true, errOpen = true, signalled = false;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        poll(fds, 2, 20);
        if (fds[0].revents)
            drainInto(out[0], run.out, outOpen);
        if (fds[1].revents)
            drainInto(err[0], run.err, errOpen);
        if (!signalled && call.signalNumber != 0 &&
            ((!call.signalOnText.empty() && run.err.find(call.signalOnText) != std::string::npos) ||
             (call.signalAfterSeconds >= 0 && elapsed() >= call.signalAfterSeconds))) {
            kill(call.signalTarget > 0 ? call.signalTarget : pid, call.signalNumber);
            signalled = true;
        }
        if (elapsed() > call.timeoutSeconds) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        run.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    return run;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

unsigned fileMode(const std::string &path)
{
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string postscript(int pages)
{
    std::string ps = "%!PS-Adobe-3.0\n%%Pages: " + std::to_string(pages) +
                     "\n%%EndComments\n/Helvetica findfont 24 scalefont setfont\n";
    for (int i = 1; i <= pages; ++i)
        ps += "%%Page: " + std::to_string(i) + " " + std::to_string(i) + "\n72 700 moveto (Page " +
              std::to_string(i) + ") show 72 72 468 600 rectstroke showpage\n";
    return ps + "%%EOF\n";
}

void setRasterizer(const std::string &script)
{
    const std::string path = "/opt/varn/ZLP5520NW/bin/usb/zlp5520nw/bin/gs";
    unlink(path.c_str());
    if (script.empty()) {
        symlink("/usr/bin/gs", path.c_str());
        return;
    }
    writeFile(path, "#!/bin/bash\n" + script);
    chmod(path.c_str(), 0755);
}
