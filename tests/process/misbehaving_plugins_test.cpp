// Plugins that misbehave towards the real core: events raised from inside
// the core's calls, log texts without their NUL, a burst of a million
// events, threads that return at once, a library that exports only Load, a
// Write that takes a second while the supervisor sends. Each case must end in
// a clean exit.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"
#include "tests/support/plugin_test_fixture.h"

using namespace coretest;

namespace {

// Test plugin variants and the IDs they report (testplugins/CMakeLists.txt).
constexpr Variant WITNESS{"tp_bus_any", 0x00C10000u};         // class 0x1 and log lines, everything
constexpr Variant NESTER{"tp_bus_low", 0x00C20000u};          // class 0x1, types within 0xFFFF
constexpr Variant RAISER{"tp_basic", 0x00010000u};            // no masks
constexpr Variant COUNTER{"tp_mis_counter", 0x00E10000u};     // class 0x1, only counts its Writes
constexpr Variant QUICK{"tp_mis_quick", 0x00E20000u};         // worker and reader return at once
constexpr Variant ONLY_LOAD{"tp_mis_only_load", 0x00E30000u}; // masks match all, exports only Load
constexpr Variant SLOW{"tp_mis_slow", 0x00E40000u};           // class 0x1, each Write takes a second

// The largest resident size seen while it lives, sampled on a thread.
class PeakResident {
public:
    explicit PeakResident(pid_t pid) : sampler([this, pid] { Sample(pid); }) {}
    ~PeakResident() { Stop(); }
    PeakResident(const PeakResident &) = delete;
    PeakResident &operator=(const PeakResident &) = delete;

    long Stop() {
        done = true;
        if (sampler.joinable()) {
            sampler.join();
        }
        return peak;
    }

private:
    void Sample(pid_t pid) {
        while (!done) {
            peak = std::max(peak.load(), ResidentKib(pid));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::atomic<bool> done{false};
    std::atomic<long> peak{0};
    std::thread sampler;
};

class MisbehavingPlugins : public RunningCoreTest {};

} // namespace

// The core holds no lock while it calls a plugin: events, configuration
// documents and log lines raised from inside Write and IOCTL are accepted
// and delivered, not deadlocked.
TEST_F(MisbehavingPlugins, EventsRaisedFromInsideWriteAndIoctlAreDelivered) {
    Install(WITNESS, "witness", "raise 0x1 0x10 0 0 trigger\n");
    Install(NESTER, "nester");
    // Run by the nester on its first Write, which is the trigger.
    installation.WriteFile("nester.write", "raise 0x1 0x20000 0 0 from-write\n"
                                           "raise 0x101 0x20000 0 0 config-from-write\n"
                                           "raise 0x40 0x2 0 25 log-from-write\n"
                                           "raise 0x1 0x11 0 0 back-to-nester\n");
    Start();
    ASSERT_TRUE(WaitForCalls(installation, "nester", "data=back-to-nester", 1, Scaled(20)));
    Command(NESTER, "nester",
            "raise 0x1 0x20000 0 0 from-ioctl\nraise 0x101 0x20000 0 0 config-from-ioctl\n"
            "raise 0x40 0x2 0 25 log-from-ioctl\nraise 0x1 0x12 0 0 ioctl-to-nester\n",
            "data=ioctl-to-nester");
    ASSERT_TRUE(WaitForCalls(installation, "witness", "data=log-from-ioctl", 1, Scaled(20)));

    EXPECT_EQ(CallsOf(installation, "nester", "result 0").size(), 8u);
    for (const char *origin : {"write", "ioctl"}) {
        const std::string from = origin;
        EXPECT_EQ(CallsOf(installation, "witness", "data=from-" + from).size(), 1u) << from;
        EXPECT_EQ(CallsOf(installation, "witness", "data=config-from-" + from).size(), 1u) << from;
        EXPECT_EQ(CallsOf(installation, "witness", "data=log-from-" + from).size(), 1u) << from;
        // The console is read through the pseudo-terminal and may lag behind.
        EXPECT_TRUE(core->WaitForConsole("log-from-" + from, Scaled(10))) << from;
    }
    StopAndExpectCleanExit();
}

// Log texts whose buffers run on past DataLength with no NUL within it: the
// console line ends at DataLength, whether the line is for the console only
// (level 0) or also delivered to plugins; a DataLength of 0 prints nothing of
// the buffer at all.
TEST_F(MisbehavingPlugins, LogTextWithoutNulWithinItsLengthEndsAtItsLength) {
    Install(WITNESS, "witness", "overrun 0 \noverrun 0 quiet-overrun\noverrun 25 loud-overrun\n");
    Start();
    ASSERT_TRUE(WaitForCalls(installation, "witness", "data=loud-overrun", 1, Scaled(10)));
    ASSERT_TRUE(core->WaitForConsole("loud-overrun", Scaled(10)));
    const std::string console = core->Console();
    EXPECT_NE(console.find("quiet-overrun\n"), std::string::npos) << console;
    EXPECT_NE(console.find("loud-overrun\n"), std::string::npos) << console;
    EXPECT_EQ(console.find('#'), std::string::npos) << console;
    EXPECT_EQ(CallsOf(installation, "witness", "level=25 length=12 null=0 layout=ok data=loud-overrun").size(), 1u);
    StopAndExpectCleanExit();
}

// A million small events from one thread: every one is delivered, in order,
// and the memory the backlog took is given back once it has drained. Kept,
// it stays at the peak; the bound leaves room for the core's own growth (page
// tables, the emulator's translated code) of 4 MiB or a quarter of the rise.
TEST_F(MisbehavingPlugins, MillionEventBurstIsDeliveredCompletelyAndInOrder) {
    const long events = std::max(10000L, static_cast<long>(1000000 / TimeScale()));
    Install(RAISER, "raiser");
    Install(COUNTER, "counter");
    Start();
    // Settle: the start-up's own allocations are done before the measure.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long before = ResidentKib(core->Pid());
    ASSERT_GT(before, 0);
    PeakResident peak(core->Pid());
    // The raiser bursts from inside its IOCTL, on the core's I/O thread.
    core->SendPacket(COMMAND_PACKET, AddressOf(RAISER), "repeat " + std::to_string(events) + " 0x1 0x10 burst\n");
    ASSERT_TRUE(WaitForCalls(installation, "raiser", "repeated", 1, Scaled(300)));
    const std::string expected =
        "summary count=" + std::to_string(events) + " last=burst " + std::to_string(events - 1);
    const bool delivered = WaitUntil(
        [&] {
            core->SendPacket(COMMAND_PACKET, AddressOf(COUNTER), "summary\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return !CallsOf(installation, "counter", expected).empty();
        },
        Scaled(300));
    const auto summaries = CallsOf(installation, "counter", "summary");
    ASSERT_TRUE(delivered) << (summaries.empty() ? "no summary" : summaries.back());
    const long highest = peak.Stop();
    long after = ResidentKib(core->Pid());
    if (!SANITIZED_ALLOCATOR) {
        const long bound = before + std::max(4096L, (highest - before) / 4);
        WaitUntil([&] { return (after = ResidentKib(core->Pid())) <= bound; }, Scaled(5));
        EXPECT_LE(after, bound) << "resident KiB before " << before << ", peak " << highest;
    }
    RecordProperty("resident_kib_before", std::to_string(before));
    RecordProperty("resident_kib_peak", std::to_string(highest));
    RecordProperty("resident_kib_after", std::to_string(after));
    StopAndExpectCleanExit();
}

// Threads that return at once are not mistaken for a stop or joined twice:
// the plugin stays served and is closed and unloaded once.
TEST_F(MisbehavingPlugins, WorkerAndReaderThatReturnAtOnceLeaveThePluginServed) {
    Install(QUICK, "quick");
    installation.WriteFile("quick.worker", "raise 0x1 0x10 0 0 from-worker\n");
    Start();
    ASSERT_TRUE(WaitForCalls(installation, "quick", "Worker end", 1, Scaled(10)));
    ASSERT_TRUE(WaitForCalls(installation, "quick", "Reader end", 1, Scaled(10)));
    Command(QUICK, "quick", "raise 0x1 0x11 0 0 after-return\n", "data=after-return");
    EXPECT_EQ(CallsOf(installation, "quick", "data=from-worker").size(), 1u);
    StopAndExpectCleanExit();
    EXPECT_EQ(CallsOf(installation, "quick", "Close").size(), 1u);
    EXPECT_EQ(CallsOf(installation, "quick", "Unload").size(), 1u);
}

// Masks that match everything but no Write, IOCTL, Open or Close to call:
// events, configuration documents, log lines and packets pass it by.
TEST_F(MisbehavingPlugins, PluginExportingOnlyLoadIsNeverCalledAgain) {
    Install(ONLY_LOAD, "onlyload");
    Install(WITNESS, "witness",
            "raise 0x1 0x10 0 0 passes-by\nraise 0x101 0x10 0 0 config-passes-by\nraise 0x40 0x2 0 25 log-passes-by\n");
    Start();
    core->SendPacket(COMMAND_PACKET, AddressOf(ONLY_LOAD), "raise 0x1 0x10 0 0 never-run\n");
    Command(WITNESS, "witness", "raise 0x1 0x11 0 0 after-packet\n", "data=after-packet");
    StopAndExpectCleanExit();
    const auto calls = CallsOf(installation, "onlyload", "");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].rfind("onlyload Load ", 0), 0u) << calls[0];
    EXPECT_EQ(CallsOf(installation, "witness", "Close").size(), 1u);
}

// While the main thread is inside a second-long Write, the I/O thread goes on
// handling packets and takes the stop; the events queued before it are still
// delivered before the plugins are closed.
TEST_F(MisbehavingPlugins, SecondLongWriteDuringPacketsAndAStopEndsCleanly) {
    Install(SLOW, "slow");
    Install(WITNESS, "witness");
    Start();
    Command(WITNESS, "witness", "raise 0x1 0x10 0 0 slow-1\nraise 0x1 0x10 0 0 slow-2\nraise 0x1 0x10 0 0 slow-3\n",
            "result 0", 3);
    ASSERT_TRUE(WaitForCalls(installation, "slow", "data=slow-1", 1, Scaled(10)));
    for (int i = 0; i < 5; ++i) {
        core->SendPacket(COMMAND_PACKET, AddressOf(WITNESS), "thread packet-" + std::to_string(i) + "\n");
    }
    ASSERT_TRUE(WaitForCalls(installation, "witness", "thread packet-4", 1, Scaled(20)));
    StopAndExpectCleanExit();

    EXPECT_EQ(CallsOf(installation, "slow", "Written").size(), 3u);
    const auto calls = installation.Calls();
    const auto lineOf = [&](const std::string &text) {
        return std::find_if(calls.begin(), calls.end(),
                            [&](const std::string &line) { return line.find(text) != std::string::npos; }) -
               calls.begin();
    };
    EXPECT_LT(lineOf("data=slow-3"), lineOf("slow Close"));
    EXPECT_EQ(CallsOf(installation, "slow", "Close").size(), 1u);
}
