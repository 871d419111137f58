// Appending to the print log under a file size limit, which makes the kernel cut a write
// short exactly as a full disk does: the text goes in whole or not at all.
#include "sysio.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

class AppendText : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char dir[] = "/tmp/appendtext-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/print_log";
        // Past the limit the kernel sends SIGXFSZ; ignored, the write reports EFBIG instead.
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &oldLimit_), 0);
    }
    void TearDown() override
    {
        setrlimit(RLIMIT_FSIZE, &oldLimit_);
        std::signal(SIGXFSZ, oldHandler_);
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }

    void limitFileSize(rlim_t bytes)
    {
        rlimit limit = oldLimit_;
        limit.rlim_cur = bytes;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    bool append(const std::string &text)
    {
        const int fd = openForAppend(path_.c_str());
        EXPECT_GE(fd, 0);
        const bool done = appendText(fd, text, path_.c_str());
        close(fd);
        return done;
    }
    std::string content() const
    {
        std::string text;
        if (std::FILE *file = std::fopen(path_.c_str(), "rb")) {
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
                text.append(buffer, n);
            std::fclose(file);
        }
        return text;
    }

    std::string dir_, path_;
    rlimit oldLimit_ = {};
    void (*oldHandler_)(int) = SIG_DFL;
};

TEST_F(AppendText, TextThatDoesNotFitLeavesNoFragment)
{
    const std::string history(4000, 'h');
    ASSERT_TRUE(append(history));
    limitFileSize(4096);
    // 96 bytes would fit: the kernel takes them and refuses the rest.
    const std::string block =
        std::string(51, '*') + "\n打印机名称：ZLP5520NW\n" + std::string(200, 'b');
    EXPECT_FALSE(append(block));
    EXPECT_EQ(content(), history);
    // A text that fits afterwards follows the old content directly.
    EXPECT_TRUE(append("\n打印任务完成\n"));
    EXPECT_EQ(content(), history + "\n打印任务完成\n");
}

TEST_F(AppendText, FileAtItsLimitTakesNothing)
{
    ASSERT_TRUE(append(std::string(100, 'h')));
    limitFileSize(100);
    EXPECT_FALSE(append("\n打印任务被用户取消\n"));
    EXPECT_EQ(content(), std::string(100, 'h'));
    // Exactly the room that is left is enough.
    limitFileSize(120);
    EXPECT_TRUE(append(std::string(20, 'x')));
    EXPECT_EQ(content().size(), 120u);
}

} // namespace
