// The simulated printer's UDP status port: the answer script as data, and zlpsim-net answering
// "GetStatus;" over real sockets beside its print port.
#include "statusscript.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using zlpsim::StatusScript;

namespace
{

std::vector<std::string> texts(const zlpsim::StatusAnswer &answer)
{
    std::vector<std::string> out;
    for (const auto &d : answer)
        out.push_back(d.bytes);
    return out;
}

TEST(StatusScript, BlocksAnswerSuccessiveRequestsAndTheLastRepeats)
{
    std::string error;
    const auto script = StatusScript::parse("# two answers, then ready\n"
                                            "request\n"
                                            "  reply \"CODE=10023\\rCODE=10001\"  # one datagram\n"
                                            "  reply \"\"\n"
                                            "request\n"
                                            "  silence\n"
                                            "request\n"
                                            "  reply \"CODE=10001\" after 4000\n",
                                            error);
    ASSERT_TRUE(script) << error;
    EXPECT_EQ(texts(script->answer(false, 0)),
              (std::vector<std::string>{"CODE=10023\rCODE=10001", ""}));
    EXPECT_TRUE(script->answer(false, 1).empty());
    for (int n : {2, 3, 50}) {
        ASSERT_EQ(script->answer(false, n).size(), 1u);
        EXPECT_EQ(script->answer(false, n)[0].delayMs, 4000);
    }
    // Without printing blocks the idle ones answer while a job comes in too.
    EXPECT_EQ(texts(script->answer(true, 0)), texts(script->answer(false, 0)));
}

TEST(StatusScript, PrintingSectionAndLingerAndTheStandardPrinter)
{
    std::string error;
    const auto script = StatusScript::parse("linger 2500\nstate printing\nrequest\nreply "
                                            "\"CODE=10023\"\nstate idle\nrequest\nreply \"#1\"\n",
                                            error);
    ASSERT_TRUE(script) << error;
    EXPECT_EQ(script->lingerMs, 2500);
    EXPECT_EQ(texts(script->answer(true, 7)), std::vector<std::string>{"CODE=10023"});
    EXPECT_EQ(texts(script->answer(false, 0)), std::vector<std::string>{"#1"}); // '#' quoted
    const StatusScript standard = StatusScript::standard();
    EXPECT_EQ(texts(standard.answer(false, 3)), std::vector<std::string>{"CODE=10001"});
    EXPECT_EQ(texts(standard.answer(true, 3)), std::vector<std::string>{"CODE=10023"});
}

TEST(StatusScript, RepeatedTextUpToTheLargestDatagram)
{
    std::string error;
    auto script = StatusScript::parse(
        "request\nreply \"CODE=10023\\r\" \"ab\"*3 \"x\"*64983 after 5\n", error);
    ASSERT_TRUE(script) << error;
    const std::string &bytes = script->answer(false, 0)[0].bytes;
    EXPECT_EQ(bytes.size(), 65000u);
    EXPECT_EQ(bytes.substr(0, 18), "CODE=10023\rabababx");
    EXPECT_EQ(script->answer(false, 0)[0].delayMs, 5);
    script = StatusScript::parse("request\nreply \"x\"*65507\n", error);
    EXPECT_TRUE(script) << error;
    EXPECT_FALSE(StatusScript::parse("request\nreply \"xx\"*40000\n", error));
    EXPECT_NE(error.find("65507"), std::string::npos) << error;
}

TEST(StatusScript, MistakesNameTheirLine)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"reply \"CODE=10001\"\n", "line 1: reply outside a request block"},
        {"request\nreply CODE=10001\n", "line 2: reply needs a quoted text"},
        {"request\nreply \"CODE=1\n", "line 2: missing closing quote"},
        {"request\n\nreply \"\\q\"\n", "line 3: bad escape in reply text"},
        {"request\nreply \"a\" after soon\n", "line 2: expected nothing or \"after MS\""},
        {"request\nreply \"a\" *\n", "line 2: expected a repeat count"},
        {"state busy\n", "line 1: state is idle or printing"},
        {"request\nreply \"a\"\nsilence\n", "line 3: silence stands alone"},
        {"linger\n", "line 1: linger needs milliseconds"},
        {"answer \"a\"\n", "line 1: unknown statement answer"},
        {"# nothing\n", "the script answers no request"},
    };
    for (const auto &[text, message] : cases) {
        std::string error;
        EXPECT_FALSE(StatusScript::parse(text, error)) << text;
        EXPECT_EQ(error.rfind(message, 0), 0u) << text << " gave: " << error;
    }
}

// ---------------------------------------------------------------- the program

std::string fileText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

sockaddr_in address(const char *ip, int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A host socket on 127.0.0.1 that asks and collects the answers.
class Asker
{
  public:
    Asker()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = address("127.0.0.1", 0);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Asker() { close(fd_); }
    int port() const { return port_; }
    void ask(const char *printer, int port, const std::string &bytes = "GetStatus;")
    {
        const sockaddr_in to = address(printer, port);
        ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0,
                         reinterpret_cast<const sockaddr *>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }
    // The datagrams that arrive within ms, with their senders.
    std::vector<std::string> collect(int ms, std::vector<std::string> *senders = nullptr)
    {
        std::vector<std::string> got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                return got;
            std::vector<char> buffer(70000);
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr *>(&from), &len);
            if (n < 0)
                continue;
            got.emplace_back(buffer.data(), static_cast<std::size_t>(n));
            if (senders) {
                char text[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
                senders->push_back(text);
            }
        }
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

class PrinterProcess
{
  public:
    PrinterProcess(const std::string &script, std::vector<std::string> extra)
    {
        char templ[] = "/tmp/zlpsim-udp-test-XXXXXX";
        dir_ = mkdtemp(templ);
        std::ofstream(dir_ + "/script") << script;
        std::vector<std::string> args = {ZLPSIM_NET,
                                         "--port",
                                         "0",
                                         "--out-dir",
                                         dir_,
                                         "--ready-file",
                                         dir_ + "/ready",
                                         "--udp-script",
                                         dir_ + "/script",
                                         "--udp-port",
                                         "0",
                                         "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        for (int i = 0; i < 500 && fileText(dir_ + "/ready").find("udp ") == std::string::npos; ++i)
            usleep(10000);
        std::istringstream ready(fileText(dir_ + "/ready"));
        std::string udp;
        ready >> tcpPort_ >> udp >> udpPort_;
    }
    ~PrinterProcess()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    int tcpPort() const { return tcpPort_; }
    int udpPort() const { return udpPort_; }
    std::string record() const { return fileText(dir_ + "/udp.jsonl"); }

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int tcpPort_ = 0;
    int udpPort_ = 0;
};

int count(const std::string &text, const std::string &what)
{
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(StatusPort, AnswersEachRequestAsScriptedToTheReplyPort)
{
    Asker host;
    PrinterProcess printer("request\n"
                           "  reply \"CODE=10023\"\n"
                           "  reply \"CODE=10001\"\n"
                           "request\n"
                           "  reply \"\"\n"
                           "request\n"
                           "  silence\n"
                           "request\n"
                           "  reply \"CODE=10001\\r\" \"x\"*64989\n",
                           {"--udp-reply-port", std::to_string(host.port())});
    ASSERT_GT(printer.udpPort(), 0);
    // Several datagrams for one request arrive in the order scripted.
    host.ask("127.0.0.1", printer.udpPort());
    EXPECT_EQ(host.collect(300), (std::vector<std::string>{"CODE=10023", "CODE=10001"}));
    host.ask("127.0.0.1", printer.udpPort());
    EXPECT_EQ(host.collect(300), std::vector<std::string>{""}); // an empty datagram
    host.ask("127.0.0.1", printer.udpPort());
    EXPECT_TRUE(host.collect(300).empty());
    host.ask("127.0.0.1", printer.udpPort());
    const auto big = host.collect(300);
    ASSERT_EQ(big.size(), 1u);
    EXPECT_EQ(big[0].size(), 65000u);
    // Anything but the exact request is recorded and left unanswered, as the firmware does.
    host.ask("127.0.0.1", printer.udpPort(), "GetStatus;\r\n");
    host.ask("127.0.0.1", printer.udpPort(), "CheckStatus?");
    EXPECT_TRUE(host.collect(300).empty());
    const std::string record = printer.record();
    EXPECT_EQ(count(record, "\"event\":\"request\""), 6) << record;
    EXPECT_EQ(count(record, "\"answered\":false"), 2) << record;
    EXPECT_EQ(count(record, "\"event\":\"reply\""), 4) << record;
    EXPECT_NE(record.find("\"bytes\":65000"), std::string::npos);
}

TEST(StatusPort, LateReplyComesAfterTheNextRequestsAnswer)
{
    Asker host;
    PrinterProcess printer("request\n  reply \"CODE=10023\" after 1200\n"
                           "request\n  reply \"CODE=10001\"\n",
                           {"--udp-reply-port", "0"}); // 0: back to the asking port
    const auto asked = std::chrono::steady_clock::now();
    host.ask("127.0.0.1", printer.udpPort());
    EXPECT_TRUE(host.collect(300).empty());
    host.ask("127.0.0.1", printer.udpPort());
    EXPECT_EQ(host.collect(200), std::vector<std::string>{"CODE=10001"});
    EXPECT_EQ(host.collect(2000), std::vector<std::string>{"CODE=10023"});
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(1200));
}

TEST(StatusPort, ReportsPrintingWhileAJobComesInAndReadyAfterIt)
{
    Asker host;
    PrinterProcess printer("linger 1500\nstate idle\nrequest\n  reply \"CODE=10001\"\n"
                           "state printing\nrequest\n  reply \"CODE=10023\"\n",
                           {"--udp-reply-port", std::to_string(host.port())});
    host.ask("127.0.0.1", printer.udpPort());
    EXPECT_EQ(host.collect(300), std::vector<std::string>{"CODE=10001"});

    const int job = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in port = address("127.0.0.1", printer.tcpPort());
    ASSERT_EQ(connect(job, reinterpret_cast<const sockaddr *>(&port), sizeof port), 0);
    ASSERT_EQ(send(job, "\x1b%-12345X@PJL\n", 14, MSG_NOSIGNAL), 14);
    usleep(100000);
    host.ask("127.0.0.1", printer.udpPort());
    EXPECT_EQ(host.collect(300), std::vector<std::string>{"CODE=10023"});
    shutdown(job, SHUT_WR); // the host's half-close ends the job
    char c;
    EXPECT_EQ(recv(job, &c, 1, 0), 0);
    close(job);
    host.ask("127.0.0.1", printer.udpPort()); // still printing the last page
    EXPECT_EQ(host.collect(200), std::vector<std::string>{"CODE=10023"});
    usleep(1600000);
    host.ask("127.0.0.1", printer.udpPort());
    EXPECT_EQ(host.collect(300), std::vector<std::string>{"CODE=10001"});
    EXPECT_NE(printer.record().find("\"printing\":true"), std::string::npos);
}

TEST(StatusPort, BindsToItsOwnLoopbackAddressAndAnswersFromIt)
{
    Asker host;
    PrinterProcess printer(
        "request\n  reply \"CODE=10001\"\n",
        {"--bind", "127.0.0.2", "--udp-reply-port", std::to_string(host.port())});
    std::vector<std::string> senders;
    host.ask("127.0.0.1", printer.udpPort()); // not the printer's address: nobody there
    EXPECT_TRUE(host.collect(200).empty());
    host.ask("127.0.0.2", printer.udpPort());
    EXPECT_EQ(host.collect(300, &senders), std::vector<std::string>{"CODE=10001"});
    EXPECT_EQ(senders, std::vector<std::string>{"127.0.0.2"});
}

} // namespace
