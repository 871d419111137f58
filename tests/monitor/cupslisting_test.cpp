// The listing count on what a real cupsd lists: jobs of both queues and of another user.
// Runs inside tests/sandbox/sandbox.sh --cupsd (ctest: jobwatch.cupsd_listing); skipped
// elsewhere, since it adds queues and jobs.
#include "jobwatch.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

using namespace jobwatch;

namespace
{

constexpr int listingTimeoutMs = 30000;
// All users' jobs with their ranks. "-R" alone lists only the caller's own jobs.
const QStringList allJobs{"-R", "-o"};

int sh(const std::string &command)
{
    return std::system(command.c_str());
}

QueueMentions listed(const QString &program, const QStringList &arguments)
{
    ListingRun run = runListing(program, arguments, listingTimeoutMs, 1 << 20);
    EXPECT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    return countQueueMentions(std::string_view(run.output.constData(), run.output.size()),
                              "ZLP5520NW", "ZLP5520NW-net");
}

// The job id that lp printed: "request id is ZLP5520NW-3 (1 file(s))".
std::string submit(const std::string &asUser, const std::string &queue)
{
    std::string prefix = asUser.empty() ? "" : "runuser -u " + asUser + " -- ";
    std::string command = "echo hello | " + prefix + "lp -d " + queue +
                          " | sed -n 's/^request id is \\([^ ]*\\) .*/\\1/p'";
    FILE *out = ::popen(command.c_str(), "r");
    char line[256] = {};
    if (out) {
        if (!std::fgets(line, sizeof line, out))
            line[0] = 0;
        ::pclose(out);
    }
    std::string id(line);
    while (!id.empty() && (id.back() == '\n' || id.back() == '\r'))
        id.pop_back();
    return id;
}

} // namespace

class CupsdListing : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!std::getenv("ZLP_IN_SANDBOX") || sh("lpstat -r >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "needs the sandbox's private cupsd";
        // Stopped queues keep their jobs listed.
        for (const char *queue : {"ZLP5520NW", "ZLP5520NW-net"}) {
            std::string q(queue);
            ASSERT_EQ(sh("lpadmin -p " + q + " -v socket://127.0.0.1:9/ -m " + q + ".ppd"), 0);
            ASSERT_EQ(sh("cupsaccept " + q + " && cupsdisable " + q), 0);
        }
    }
};

TEST_F(CupsdListing, SeesJobsOfEveryUserOnBothQueues)
{
    // Another user's job on the USB queue: "-R" alone (run by root here) misses it.
    std::string theirs = submit("nobody", "ZLP5520NW");
    ASSERT_FALSE(theirs.empty());
    QueueMentions own = listed("lpstat", {"-R"});
    EXPECT_EQ(own.usbQueue, 0);
    QueueMentions all = listed("lpstat", allJobs);
    EXPECT_EQ(all.usbQueue, 1);
    EXPECT_EQ(all.netQueue, 0);
    EXPECT_TRUE(usbJobListed(all));

    // The desktop user is not root and not the job's owner either.
    QueueMentions asUser = listed("runuser", QStringList{"-u", "daemon", "--", "lpstat"} + allJobs);
    EXPECT_TRUE(usbJobListed(asUser));

    // One job on each queue: 2 and 1, a USB job is listed.
    ASSERT_FALSE(submit("", "ZLP5520NW-net").empty());
    all = listed("lpstat", allJobs);
    EXPECT_EQ(all.usbQueue, 2);
    EXPECT_EQ(all.netQueue, 1);
    EXPECT_TRUE(usbJobListed(all));

    // Only the network job left: 1 and 1, no USB job.
    ASSERT_EQ(sh("cancel " + theirs), 0);
    all = listed("lpstat", allJobs);
    EXPECT_EQ(all.usbQueue, 1);
    EXPECT_EQ(all.netQueue, 1);
    EXPECT_FALSE(usbJobListed(all));
    EXPECT_TRUE(netJobListed(all));
}
