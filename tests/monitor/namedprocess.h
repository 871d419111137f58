// A real process under a chosen name, for the job watch's /proc scan: a copy of sleep by
// that name, so the kernel reports it (cut to 15 characters) as the command name. It runs as
// the user CUPS runs filters as (lp) unless told otherwise, as the real filter does; another
// uid plays a local user who starts a program of the filter's name.
#pragma once

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class NamedProcess
{
  public:
    // The uid of the user CUPS runs filters as on this machine (lp), or -1 without one.
    static uid_t filterUid()
    {
        const passwd *lp = ::getpwnam("lp");
        return lp ? lp->pw_uid : static_cast<uid_t>(-1);
    }

    // `dir` must be a folder the test may write into; a program for another uid goes into a
    // folder of its own that uid can reach.
    NamedProcess(const std::string &dir, const std::string &name, uid_t uid = filterUid())
    {
        std::string folder = dir;
        if (uid != ::getuid()) {
            std::string pattern = "/tmp/namedprocess.XXXXXX";
            if (!::mkdtemp(pattern.data()))
                return;
            own_ = folder = pattern;
            ::chmod(folder.c_str(), 0755);
        }
        std::string copy = folder + "/" + name;
        std::string command = "cp /bin/sleep '" + copy + "'";
        if (std::system(command.c_str()) != 0)
            return;
        const passwd *user = ::getpwuid(uid);
        const gid_t gid = user ? user->pw_gid : static_cast<gid_t>(uid);
        pid_ = ::fork();
        if (pid_ == 0) {
            if (uid != ::getuid() &&
                (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
                ::_exit(126);
            ::execl(copy.c_str(), copy.c_str(), "60", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        // Until exec is done the child still carries the test's name.
        for (int i = 0; i < 400 && !named(name); ++i)
            ::usleep(5000);
    }
    ~NamedProcess()
    {
        stop();
        if (!own_.empty())
            std::system(("rm -rf '" + own_ + "'").c_str());
    }
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
    std::string own_;
};
