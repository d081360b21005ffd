// The stand-in's reading of the core's console: which lines are refusals and
// leaks, the closing line and the exit code; and the colours it removes.
#include <csignal>
#include <string>

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "tools/supervisor-standin/console_relay.h"
#include "tools/supervisor-standin/run_summary.h"

namespace {

int Exited(int code) { return code << 8; }
int Killed(int signal) { return signal; }

RunSummary SummaryOf(const std::vector<std::string> &texts, const std::string &name = "core  ") {
    RunSummary summary;
    for (const std::string &text : texts) {
        summary.SeeConsoleLine("12:00:00 " + name + " " + text);
    }
    return summary;
}

} // namespace

TEST(RunSummary, EachOfTheCoresRefusalsIsCountedWithItsReason) {
    const RunSummary summary = SummaryOf({
        "Core: Loaded plugin: a.so",
        "Core: Failed to load plugin: a.so (missing symbol)",
        "Core: Failed to load plugin 'b.so': file is writable by group or others",
        "plugin c.so load returned 3 error 0",
        "plugin d.so ID 0x00020000 already loaded",
        "plugin e.so ID 0x00000000 is reserved for job control",
        "plugin f.so open returned 5 error 7",
    });
    EXPECT_EQ(summary.Refused(),
              (std::vector<std::string>{"a.so (missing symbol)", "b.so (file is writable by group or others)",
                                        "c.so (its Load failed)", "d.so (ID taken)", "e.so (ID 0)"}));
    EXPECT_EQ(summary.ExitCode(Exited(0)), RunSummary::EXIT_PLUGIN_REFUSED);
}

// A plugin may log any text: only the core's own lines count.
TEST(RunSummary, OnlyTheCoresLinesCount) {
    const RunSummary summary = SummaryOf({"plugin x.so ID 0x00020000 already loaded"}, "mine  ");
    EXPECT_TRUE(summary.Refused().empty());
    EXPECT_EQ(summary.ExitCode(Exited(0)), 0);
}

TEST(RunSummary, TheLineSaysHowTheCoreEndedAndWhatLeaked) {
    const RunSummary clean = SummaryOf({"successfully started core version 1"});
    EXPECT_EQ(clean.Line(Exited(0)), "the core exited with code 0; no plugin refused; no buffer leaked");
    const RunSummary leaky =
        SummaryOf({"address 0x1 leaked by plugin 00010000", "plugin a.so leaked 1 buffers, 4 bytes",
                   "plugin b.so leaked 2 buffers, 8 bytes"});
    EXPECT_EQ(leaky.Line(Killed(SIGABRT)),
              "the core was killed by SIGABRT; no plugin refused; 3 buffers leaked by 2 plugins");
    EXPECT_EQ(leaky.ExitCode(Killed(SIGABRT)), 128 + SIGABRT);
    EXPECT_EQ(leaky.ExitCode(Exited(2)), 2);
}

TEST(RunSummary, ALongReasonIsCut) {
    const RunSummary summary = SummaryOf({"Core: Failed to load plugin 'x.so': " + std::string(100, 'r')});
    ASSERT_EQ(summary.Refused().size(), 1u);
    EXPECT_EQ(summary.Refused()[0], "x.so (" + std::string(57, 'r') + "...)");
}

TEST(ConsoleRelay, EscapeSequencesAreRemovedAndTheTextKept) {
    EXPECT_EQ(WithoutEscapes("\x1b[35m12:00:00\x1b[36m core  \x1b[0m text [1;2] \x1b[1;31mred"),
              "12:00:00 core   text [1;2] red");
    EXPECT_EQ(WithoutEscapes("cut \x1b[3"), "cut ");
}
