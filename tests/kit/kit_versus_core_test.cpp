// One plugin run through the test kit and through the real core: the calls it
// saw (with their records) and the answers it got to what it raised must be
// the same. The plugin records both in calls.log.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dvrplugin_testkit.h"
#include "tests/support/plugin_test_fixture.h"

namespace {

using coretest::Scaled;

const coretest::Variant COMPARED{"tp_kit_compare", 0x00F80000u}; // worker, reader, jobs of class 0x1 type 0x10
const std::string STEM = "compare";

// Raised on the main thread in Open, on the worker, on the reader, on a job
// thread, and after the stop has begun (in Unload). The threads take their
// turns one after the other, when the test creates their "go" files, so that
// the order of what they record is the same in both runs.
const std::string OPEN_SCRIPT = "raise 0x2 0x20 0 25 opened\n"
                                "raise 0x2 0x20 7\n"
                                "nulldata 0x2 0x20 16\n"
                                "raise 0x40 0x2 0 0 console only\n"
                                "send 24\n"
                                "stray\n"
                                "job 0x1 0x20 6 raise 0x2 0x20 6\n"
                                "jobscript 0x1 0x10 5 job\n";
const std::string WORKER_SCRIPT = "await go-worker\nraise 0x2 0x20 0 25 from the worker\n";
const std::string READER_SCRIPT = "await go-reader\nraise 0x2 0x20 9\n";
const std::string JOB_SCRIPT = "await go-job\nraise 0x2 0x20 5\n";
const std::string UNLOAD_SCRIPT = "raise 0x2 0x20 0 25 too late\n";
constexpr std::size_t RESULTS_IN_OPEN = 7;

void WriteScripts(const coretest::Installation &directory) {
    directory.WriteFile(STEM + ".open", OPEN_SCRIPT);
    directory.WriteFile(STEM + ".worker", WORKER_SCRIPT);
    directory.WriteFile(STEM + ".reader", READER_SCRIPT);
    directory.WriteFile(STEM + ".job", JOB_SCRIPT);
    directory.WriteFile(STEM + ".unload", UNLOAD_SCRIPT);
}

// Lets the worker, the reader and the job raise, in this order. Every go file
// is created even when a turn is not seen, so that no thread is left waiting.
void TakeTurns(const coretest::Installation &directory) {
    bool inTurn = coretest::WaitForCalls(directory, STEM, "result", RESULTS_IN_OPEN, Scaled(30));
    EXPECT_TRUE(inTurn) << "the results of Open";
    std::size_t results = RESULTS_IN_OPEN;
    for (const char *turn : {"go-worker", "go-reader", "go-job"}) {
        directory.WriteFile(turn, "");
        inTurn = inTurn && coretest::WaitForCalls(directory, STEM, "result", ++results, Scaled(30));
        EXPECT_TRUE(inTurn) << turn;
    }
    EXPECT_TRUE(inTurn && coretest::WaitForCalls(directory, STEM, "Job end tag=5", 1, Scaled(30)));
}

// Lines of threads that start or end at their own pace.
bool IsThreadBoundary(const std::string &line) {
    for (const char *boundary :
         {" Worker start", " Worker end", " Reader start", " Reader end", " Job tag=", " Job end"}) {
        if (line.find(boundary) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The plugin's calls.log lines without the configuration documents that only
// the core sends.
std::vector<std::string> PluginCalls(const coretest::Installation &directory) {
    std::vector<std::string> calls;
    for (const auto &line : directory.Calls()) {
        if (line.find(" Config length=") == std::string::npos) {
            calls.push_back(line);
        }
    }
    return calls;
}

// What both runs must agree on: every line, and the order of all but the
// thread boundaries.
struct Seen {
    std::vector<std::string> allSorted;
    std::vector<std::string> ordered;
};

Seen WhatThePluginSaw(const coretest::Installation &directory) {
    Seen seen;
    seen.allSorted = PluginCalls(directory);
    std::sort(seen.allSorted.begin(), seen.allSorted.end());
    for (const auto &line : PluginCalls(directory)) {
        if (!IsThreadBoundary(line)) {
            seen.ordered.push_back(line);
        }
    }
    return seen;
}

std::size_t PositionOf(const std::vector<std::string> &calls, const std::string &prefix) {
    const auto found =
        std::find_if(calls.begin(), calls.end(), [&](const std::string &line) { return line.rfind(prefix, 0) == 0; });
    return static_cast<std::size_t>(found - calls.begin());
}

void ExpectThreadsEndBeforeUnload(const coretest::Installation &directory) {
    const auto calls = directory.Calls();
    const auto unload = PositionOf(calls, STEM + " Unload");
    ASSERT_LT(unload, calls.size());
    EXPECT_LT(PositionOf(calls, STEM + " Open"), PositionOf(calls, STEM + " Reader start"));
    EXPECT_LT(PositionOf(calls, STEM + " Close"), PositionOf(calls, STEM + " Worker end"));
    EXPECT_LT(PositionOf(calls, STEM + " Worker end"), unload);
    EXPECT_LT(PositionOf(calls, STEM + " Reader end"), unload);
    EXPECT_LT(PositionOf(calls, STEM + " Job end tag=5"), unload);
}

// The kit runs in a directory of its own, as the plugin's working directory.
struct KitRun {
    Seen seen;
    std::vector<dvrtest::SupervisorPacket> packets;
};

KitRun RunThroughTheKit() {
    coretest::Installation directory;
    directory.AddPlugin(COMPARED.name, STEM + ".so");
    WriteScripts(directory);
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(directory.Root());
    KitRun run;
    {
        dvrtest::PluginUnderTest plugin(directory.Root() + "/plugins/" + STEM + ".so");
        EXPECT_TRUE(plugin.Load().Ok());
        plugin.Open();
        TakeTurns(directory);
        plugin.Close();
        plugin.Unload();
        run.packets = plugin.Packets();
    }
    ExpectThreadsEndBeforeUnload(directory);
    run.seen = WhatThePluginSaw(directory);
    std::filesystem::current_path(previous);
    return run;
}

class KitVersusCoreTest : public coretest::RunningCoreTest {};

TEST_F(KitVersusCoreTest, PluginSeesTheSameCallsAndGetsTheSameAnswers) {
    const KitRun kit = RunThroughTheKit();

    Install(COMPARED, STEM);
    WriteScripts(installation);
    ASSERT_NO_FATAL_FAILURE(Start()) << core->Console();
    TakeTurns(installation);
    const std::optional<std::string> packet = core->ReceivePacket(Scaled(10));
    StopAndExpectCleanExit();
    ExpectThreadsEndBeforeUnload(installation);

    const Seen byCore = WhatThePluginSaw(installation);
    EXPECT_EQ(kit.seen.allSorted, byCore.allSorted);
    EXPECT_EQ(kit.seen.ordered, byCore.ordered);
    EXPECT_EQ(byCore.ordered.size(), 20u) << "Load, Open, 7 results and 2 strays, 3 turns, Close, Unload, 1 result";
    ASSERT_TRUE(packet.has_value());
    ASSERT_EQ(kit.packets.size(), 1u);
    EXPECT_EQ(std::string(kit.packets[0].Data.begin(), kit.packets[0].Data.end()), *packet);
}

} // namespace
