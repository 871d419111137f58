// zlpsim-net as a program, over real TCP: lock answers, back-channel status, the half-close that
// ends a job, stalls, signals and bad arguments.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool waitFor(const std::function<bool()> &condition, int ms = 5000)
{
    for (int waited = 0; waited < ms; waited += 10) {
        if (condition())
            return true;
        usleep(10000);
    }
    return condition();
}

class Simulator
{
  public:
    explicit Simulator(std::vector<std::string> args)
    {
        char templ[] = "/tmp/zlpsim-net-test-XXXXXX";
        dir_ = mkdtemp(templ);
        args.insert(args.begin(), {ZLPSIM_NET, "--port", "0", "--out-dir", dir_, "--ready-file",
                                   dir_ + "/ready", "--quiet"});
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char *> argv;
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        waitFor([&] { return access((dir_ + "/ready").c_str(), F_OK) == 0; });
        port_ = std::atoi(readFile(dir_ + "/ready").c_str());
    }
    ~Simulator()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    std::string file(const std::string &name) const { return dir_ + "/" + name; }
    // Exit status once the process ends (within 5 s), or -1.
    int exitCode()
    {
        int status = 0;
        pid_t done = 0;
        waitFor([&] { return (done = waitpid(pid_, &status, WNOHANG)) == pid_; });
        if (done != pid_)
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

int connectTo(int port, int sendBuffer = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sendBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void sendAll(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        ASSERT_GT(n, 0) << std::strerror(errno);
        done += static_cast<std::size_t>(n);
    }
}

// Reads what arrives within ms, stopping early once `until` bytes came or at EOF.
std::string receive(int fd, int ms, std::size_t until, bool *eof = nullptr)
{
    std::string got;
    for (int waited = 0; waited < ms && got.size() < until;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) {
            waited += 10;
            continue;
        }
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0) {
            if (eof)
                *eof = true;
            break;
        }
        if (n > 0)
            got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

// A complete, minimal job: driver header, one A4 page of PCL XL, trailer.
std::string smallJob()
{
    std::string job = "\x1b%-12345X\n\x1b#+54321X_VARN@PJL\n@PJL SET HOLDKEY=1234\n"
                      "@PJL ENTER LANGUAGE = PCLXL\n) HP-PCL XL;2;1\n";
    job += std::string("\xd1\x58\x02\x58\x02\xf8\x89\xc0\x00\xf8\x86\x41", 12); // BeginSession
    job += std::string("\xc0\x02\xf8\x25\x43\x44\x42", 7); // A4 BeginPage, EndPage, EndSession
    job += "\x1b%-12345X\n\x1b#+54321X_VARN@PJL EOJ\n\x1b%-12345X";
    return job;
}

TEST(NetSimulator, AnswersLockQueriesSendsStatusAndEndsTheJobOnHalfClose)
{
    Simulator sim({"--lock", "busy:2", "--status", "80:CODE=10023\\r          ", "--jobs", "1"});
    const int fd = connectTo(sim.port());
    ASSERT_GE(fd, 0);
    std::vector<std::string> replies;
    for (int i = 0; i < 3; ++i) {
        sendAll(fd, "LockPr"); // a query split over two writes is still one query
        usleep(20000);
        sendAll(fd, "inter?");
        replies.push_back(receive(fd, 2000, 10));
    }
    EXPECT_EQ(replies, (std::vector<std::string>{"CODE=00002", "CODE=00002", "CODE=00001"}));

    const std::string job = smallJob();
    sendAll(fd, job);
    shutdown(fd, SHUT_WR);
    bool eof = false;
    const std::string backChannel = receive(fd, 5000, 1 << 20, &eof);
    close(fd);
    EXPECT_EQ(backChannel, "CODE=10023\r          ");
    EXPECT_TRUE(eof) << "the simulator must close after the host's half-close";
    EXPECT_EQ(sim.exitCode(), 0);

    EXPECT_EQ(readFile(sim.file("job-1.prn")), "LockPrinter?LockPrinter?LockPrinter?" + job);
    const std::string report = readFile(sim.file("job-1.json"));
    for (const char *expected :
         {"\"lockQueries\": 3", "\"closedBy\": \"eof\"", "\"wellFormed\": true", "\"pages\": 1",
          "\"end\": \"trailer\"", "\"HOLDKEY\": \"1234\"", "\"vendorPrefix\": true"})
        EXPECT_NE(report.find(expected), std::string::npos) << expected << "\n" << report;
}

TEST(NetSimulator, StallBlocksTheHostUntilResumed)
{
    Simulator sim({"--stall-after", "1000", "--rcvbuf", "4096", "--jobs", "1"});
    const int fd = connectTo(sim.port(), 16384);
    ASSERT_GE(fd, 0);
    const std::string data(4 << 20, 'x');
    fcntl(fd, F_SETFL, O_NONBLOCK);
    std::size_t sent = 0;
    // Write until the buffers on both sides are full; give the simulator time to read its 1000.
    for (int idle = 0; idle < 50 && sent < data.size();) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            idle = 0;
        } else {
            ++idle;
            usleep(10000);
        }
    }
    EXPECT_LT(sent, data.size()) << "a stalled printer must not take the whole job";
    EXPECT_TRUE(waitFor([&] {
        struct stat st {
        };
        return stat(sim.file("job-1.prn").c_str(), &st) == 0 && st.st_size == 1000;
    })) << "the simulator reads exactly up to the stall";

    kill(sim.pid(), SIGUSR1);
    fcntl(fd, F_SETFL, 0);
    sendAll(fd, data.substr(sent));
    shutdown(fd, SHUT_WR);
    bool eof = false;
    receive(fd, 10000, 1, &eof);
    close(fd);
    EXPECT_TRUE(eof);
    EXPECT_EQ(sim.exitCode(), 0);
    const std::string report = readFile(sim.file("job-1.json"));
    EXPECT_NE(report.find("\"bytes\": 4194304"), std::string::npos) << report;
    EXPECT_NE(report.find("\"stalled\": true"), std::string::npos);
    EXPECT_NE(report.find("\"end\": \"truncated\""), std::string::npos);
}

TEST(NetSimulator, SilentLockAndStopSignalStillLeaveAReport)
{
    Simulator sim({"--lock", "silent"});
    const int fd = connectTo(sim.port());
    ASSERT_GE(fd, 0);
    sendAll(fd, "LockPrinter?");
    EXPECT_EQ(receive(fd, 300, 1), "");
    EXPECT_TRUE(waitFor([&] {
        struct stat st {
        };
        return stat(sim.file("job-1.prn").c_str(), &st) == 0;
    }));
    kill(sim.pid(), SIGTERM);
    EXPECT_EQ(sim.exitCode(), 0);
    close(fd);
    const std::string report = readFile(sim.file("job-1.json"));
    EXPECT_NE(report.find("\"closedBy\": \"stopped\""), std::string::npos) << report;
    EXPECT_NE(report.find("\"end\": \"empty\""), std::string::npos);
    EXPECT_NE(report.find("\"lockReplies\": [\n    \"\"\n  ]"), std::string::npos) << report;
}

TEST(NetSimulator, RefusesBadArguments)
{
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--lock", "maybe"},
                                               {"--port", "70000"},
                                               {"--status", "12"},
                                               {"--out-dir", "/nonexistent/folder"},
                                               {"--bind", "localhost"},
                                               {"--frobnicate"}}) {
        const pid_t pid = fork();
        if (pid == 0) {
            std::vector<char *> argv{const_cast<char *>(ZLPSIM_NET)};
            for (const auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            dup2(devnull, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        // Bad usage is 2; an address that cannot be bound is a run-time failure, 1.
        EXPECT_EQ(WEXITSTATUS(status), args[0] == "--bind" ? 1 : 2) << args[0];
    }
}

} // namespace
