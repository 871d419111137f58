// A real process under a chosen name, for the job watch's /proc scan: a copy of sleep by
// that name, so the kernel reports it (cut to 15 characters) as the command name.
#pragma once

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

class NamedProcess
{
  public:
    // `dir` must be a folder the test may write into.
    NamedProcess(const std::string &dir, const std::string &name)
    {
        std::string copy = dir + "/" + name;
        std::string command = "cp /bin/sleep '" + copy + "'";
        if (std::system(command.c_str()) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl(copy.c_str(), copy.c_str(), "60", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        // Until exec is done the child still carries the test's name.
        for (int i = 0; i < 400 && !named(name); ++i)
            ::usleep(5000);
    }
    ~NamedProcess() { stop(); }
    NamedProcess(const NamedProcess &) = delete;
    NamedProcess &operator=(const NamedProcess &) = delete;

    pid_t pid() const { return pid_; }

    void stop()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

  private:
    bool named(const std::string &name) const
    {
        std::ifstream comm("/proc/" + std::to_string(pid_) + "/comm");
        std::string line;
        std::getline(comm, line);
        return line == name.substr(0, 15);
    }

    pid_t pid_ = -1;
};
