// The fasttime preload: long sleeps of every kind return at once, short ones stay real.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace
{

// Runs fakefilter's sleep steps with the preload; returns the wall time in milliseconds.
long sleepWithPreload(const std::string &steps)
{
    // A sanitized build's runtime wants to be loaded first; the preload comes first by design.
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + FASTTIME_LIBRARY,
                                    "ASAN_OPTIONS=verify_asan_link_order=0"};
    std::vector<char *> envp;
    for (auto &entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = FAKE_FILTER;
    std::vector<std::string> args = {program, "q", "1", "u", "t", steps};
    std::vector<char *> argv;
    for (auto &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -2;
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

} // namespace

TEST(FastTime, LongSleepsReturnAtOnce)
{
    const long ms = sleepWithPreload("sleepsec:600 sleep:600000 sleep:100 usleep:300000000 "
                                     "absclock:600000 ppoll:600000");
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, 2000);
}

TEST(FastTime, ShortSleepsStayReal)
{
    EXPECT_GE(sleepWithPreload("sleep:60 sleep:60 usleep:60000 absclock:60 ppoll:60"), 300);
}
