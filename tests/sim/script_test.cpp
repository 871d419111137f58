// The script language of zlpsim-backend, parsed directly.
#include "script.h"

#include <gtest/gtest.h>

#include <cstring>

using zlpsim::DrainAnswer;
using zlpsim::parseScript;

TEST(BackendScript, DrainRunsRepeatAndEverythingAfterTheListIsOk)
{
    const auto parsed = parseScript("drain timeout*10 ok\ndrain silent io-error*2\n");
    ASSERT_EQ(parsed.error, "");
    const auto &script = parsed.script;
    EXPECT_EQ(script.drainAnswer(1), DrainAnswer::Timeout);
    EXPECT_EQ(script.drainAnswer(10), DrainAnswer::Timeout);
    EXPECT_EQ(script.drainAnswer(11), DrainAnswer::Ok);
    EXPECT_EQ(script.drainAnswer(12), DrainAnswer::Silent);
    EXPECT_EQ(script.drainAnswer(14), DrainAnswer::IoError);
    EXPECT_EQ(script.drainAnswer(15), DrainAnswer::Ok);
    EXPECT_EQ(parseScript("").script.drainAnswer(1), DrainAnswer::Ok);
}

TEST(BackendScript, LockRepliesDecodeEscapesAndTheLastRepeats)
{
    const auto parsed = parseScript("lock silent CODE=00002\\r\\n\\x1b\\0x  # two replies\n");
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.script.lockReply(1), std::nullopt);
    EXPECT_EQ(parsed.script.lockReply(2), std::string("CODE=00002\r\n\x1b\0x", 15));
    EXPECT_EQ(parsed.script.lockReply(9), parsed.script.lockReply(2));
    EXPECT_EQ(parseScript("").script.lockReply(1), std::nullopt);
}

TEST(BackendScript, TextsRunToTheEndOfTheLineAndKeepInnerHashes)
{
    const auto parsed = parseScript("backchannel after-drain 3 CODE=#1 two words # comment\n"
                                    "signal SIGTERM on-stderr INFO:空闲\n");
    ASSERT_EQ(parsed.error, "");
    ASSERT_EQ(parsed.script.backchannel.size(), 1u);
    EXPECT_EQ(parsed.script.backchannel[0].drain, 3u);
    EXPECT_EQ(parsed.script.backchannel[0].text, "CODE=#1 two words");
    ASSERT_EQ(parsed.script.signals.size(), 1u);
    EXPECT_EQ(parsed.script.signals[0].trigger.text, "INFO:空闲");
}

TEST(BackendScript, MistakesNameTheirLine)
{
    const std::pair<const char *, const char *> cases[] = {
        {"drain ok fine", "line 1: unknown drain answer 'fine'"},
        {"\ndrain ok*0", "line 2: bad repetition in 'ok*0'"},
        {"signal SIGFOO after-ms 1", "line 1: unknown signal 'SIGFOO'"},
        {"signal TERM after-drain 0", "line 1: drain requests are counted from 1"},
        {"signal TERM when-ready", "line 1: unknown moment 'when-ready'"},
        {"close-output after-ms 5", "line 1: close-output takes 'after-bytes N'"},
        {"backchannel after-drain 2", "line 1: backchannel needs a text"},
        {"lock CODE=\\q", "line 1: bad escape in lock reply"},
        {"print fast", "line 1: unknown directive 'print'"},
    };
    for (const auto &[text, error] : cases) {
        const std::string got = parseScript(text).error;
        EXPECT_EQ(got.compare(0, std::strlen(error), error), 0) << text << " gave: " << got;
    }
}
