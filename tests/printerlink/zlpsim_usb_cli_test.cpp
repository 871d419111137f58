// zlpsim-usb used as by hand: a script file, a record file and a small client program.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace
{

struct ProgramRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class ZlpsimUsbCli : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zlpsim-usb-test.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        dir_ = pattern;
    }

    void TearDown() override
    {
        for (const char *name : {"script", "record", "out", "err"})
            ::unlink((dir_ + "/" + name).c_str());
        ::rmdir(dir_.c_str());
    }

    std::string path(const char *name) const { return dir_ + "/" + name; }

    void writeScript(const std::string &text)
    {
        std::ofstream(path("script"), std::ios::binary) << text;
    }

    // zlpsim-usb --script <dir>/script --record <dir>/record -- usblinkclient ARGS...
    ProgramRun runClient(std::vector<std::string> clientArgs)
    {
        std::vector<std::string> args{ZLPSIM_USB,     "--script", path("script"), "--record",
                                      path("record"), "--",       USBLINKCLIENT};
        args.insert(args.end(), clientArgs.begin(), clientArgs.end());
        return run(args);
    }

    ProgramRun run(const std::vector<std::string> &args)
    {
        std::vector<char *> argv;
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, path("out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, path("err").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ProgramRun result;
        pid_t pid = 0;
        int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0)
            return result;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR)
            ;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = readFile(path("out"));
        result.err = readFile(path("err"));
        return result;
    }

    std::string dir_;
};

} // namespace

TEST_F(ZlpsimUsbCli, ClientReadsTheScriptedStatus)
{
    writeScript("driver usblp\non \"CheckStatus?\"\nreply \"CODE=10023\\rCODE=10001\"\n");
    ProgramRun result = runClient({"CheckStatus?"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "CODE=10023\rCODE=10001");
    EXPECT_EQ(readFile(path("record")), "\"CheckStatus?\"\n");
}

TEST_F(ZlpsimUsbCli, SetIpCommandIsRecordedReadably)
{
    writeScript("");
    ProgramRun result = runClient({"--hex", "5365744950"
                                            "3dc0a8010affffff00c0a801013b"});
    // Nothing is scripted to answer, so the client's read times out after the write.
    EXPECT_EQ(result.exitCode, 254) << result.err;
    EXPECT_EQ(readFile(path("record")),
              "\"SetIP=\\xc0\\xa8\\x01\\n\\xff\\xff\\xff\\x00\\xc0\\xa8\\x01\\x01;\""
              "  # ip=192.168.1.10 mask=255.255.255.0 gateway=192.168.1.1\n");
}

TEST_F(ZlpsimUsbCli, ProgramExitStatusIsPassedOn)
{
    writeScript("device none\n");
    ProgramRun result = runClient({"CheckStatus?"});
    EXPECT_EQ(result.exitCode, 252);
    EXPECT_NE(result.err.find("find device error"), std::string::npos) << result.err;
}

TEST_F(ZlpsimUsbCli, BadUseIsExplained)
{
    writeScript("device none\nfail everything\n");
    ProgramRun result = runClient({"CheckStatus?"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("script: line 2: expected detach, claim or release"),
              std::string::npos)
        << result.err;

    result = run({ZLPSIM_USB, "--script", path("script")});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("no program given after --"), std::string::npos) << result.err;

    result = run({ZLPSIM_USB, "--script", path("missing"), "--", "true"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("cannot read"), std::string::npos) << result.err;
}
