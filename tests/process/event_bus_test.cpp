// The event bus seen from plugins: dispatch, delivery order, configuration
// documents, log lines, retained buffers and their release, the drain at stop.
#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <numeric>
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
constexpr Variant ANY{"tp_bus_any", 0x00C10000u};       // class 0x1 and log lines, everything
constexpr Variant LOW{"tp_bus_low", 0x00C20000u};       // class 0x1, types within 0xFFFF
constexpr Variant KEEP_A{"tp_bus_keep_a", 0x00C30000u}; // class 0x1, retains
constexpr Variant KEEP_B{"tp_bus_keep_b", 0x00C40000u}; // class 0x1, retains
constexpr Variant DEAF{"tp_bus_deaf", 0x00C50000u};     // class 0x1 masks, WriteEvents clear
constexpr Variant PLAIN{"tp_basic", 0x00010000u};       // no masks

// The data of every Write a plugin got that starts with prefix, in call order.
std::vector<std::string> WrittenData(const Installation &installation, const std::string &stem,
                                     const std::string &prefix = "") {
    std::vector<std::string> written;
    for (const auto &line : CallsOf(installation, stem, " Write ")) {
        const std::string data = line.substr(line.find(" data=") + 6);
        if (data.rfind(prefix, 0) == 0) {
            written.push_back(data);
        }
    }
    return written;
}

// The address a keeper shows for its retained buffer holding text.
std::string HeldAddress(const Installation &installation, const std::string &stem, const std::string &text) {
    for (const auto &line : CallsOf(installation, stem, " held ")) {
        const auto at = line.find(" held ") + 6;
        const auto end = line.find(' ', at);
        if (line.compare(end + 1, std::string::npos, text) == 0) {
            return line.substr(at, end - at);
        }
    }
    return "";
}

class EventBus : public RunningCoreTest {
protected:
    // The modules report and the core configuration, queued at start-up after
    // what plugins raise in Open; retainers keep them too. Once the last
    // plugin (keepb unless said) has both, every plugin before it has.
    void WaitForStartupDocuments(const std::string &lastPlugin = "keepb") {
        ASSERT_TRUE(WaitForCalls(installation, lastPlugin, "Config length=", 2, Scaled(10)));
    }
};

} // namespace

// ---- Order and data ----

TEST_F(EventBus, EventsOfOneThreadArriveInOrderAtEveryMatchingPlugin) {
    Install(ANY, "alpha");
    Install(LOW, "beta");
    installation.WriteFile("alpha.worker", "repeat 40 0x1 0x10 ordered\n");
    Start();
    ASSERT_TRUE(WaitForCalls(installation, "beta", "data=ordered 39", 1, Scaled(20)));
    std::vector<std::string> expected;
    for (int i = 0; i < 40; ++i) {
        expected.push_back("ordered " + std::to_string(i));
    }
    for (const char *stem : {"alpha", "beta"}) {
        EXPECT_EQ(WrittenData(installation, stem, "ordered"), expected) << stem;
    }
    StopAndExpectCleanExit();
}

TEST_F(EventBus, NullDataArrivesAsNullWithLengthZero) {
    // Null data with a length, then null data without one.
    Install(ANY, "alpha", "nulldata 0x1 0x10 5\nraise 0x1 0x11\n");
    Install(LOW, "beta");
    Start();
    ASSERT_TRUE(WaitForCalls(installation, "beta", "type=0x11", 1, Scaled(10)));
    EXPECT_EQ(CallsOf(installation, "alpha", "result 0").size(), 2u);
    for (const char *stem : {"alpha", "beta"}) {
        const auto writes = CallsOf(installation, stem, "class=0x1 ");
        ASSERT_EQ(writes.size(), 2u) << stem;
        for (const auto &line : writes) {
            EXPECT_NE(line.find("length=0 null=1 layout=ok"), std::string::npos) << line;
        }
    }
    StopAndExpectCleanExit();
}

// ---- Configuration documents ----

TEST_F(EventBus, ConfigurationReachesEveryOtherPluginByIoctlAndItsRaiserOnlyByMatchingWrite) {
    // alpha's masks match its own document; beta's (types within 0xFFFF) do not.
    Install(ANY, "alpha", "raise 0x101 0x10 0 0 from-alpha\n");
    Install(LOW, "beta", "raise 0x101 0x10000 0 0 from-beta\n");
    Install(DEAF, "deaf");
    Install(PLAIN, "plain");
    Start();
    StopAndExpectCleanExit();

    EXPECT_EQ(CallsOf(installation, "alpha", "class=0x101 type=0x10 level=0 length=11 null=0 layout=ok data=from-alpha")
                  .size(),
              1u);
    EXPECT_EQ(CallsOf(installation, "alpha", "Config length=10 data=from-beta").size(), 1u);
    EXPECT_TRUE(CallsOf(installation, "alpha", "Config length=11 data=from-alpha").empty());
    EXPECT_EQ(CallsOf(installation, "beta", "Config length=11 data=from-alpha").size(), 1u);
    EXPECT_TRUE(CallsOf(installation, "beta", "from-beta").empty());
    for (const char *stem : {"deaf", "plain"}) {
        EXPECT_EQ(CallsOf(installation, stem, "Config length=11 data=from-alpha").size(), 1u) << stem;
        EXPECT_EQ(CallsOf(installation, stem, "Config length=10 data=from-beta").size(), 1u) << stem;
        EXPECT_TRUE(CallsOf(installation, stem, "Write").empty()) << stem;
    }
}

// ---- Log lines ----

TEST_F(EventBus, LogLinesReachTheConsoleFirstAndOnlyAboveLevelZeroThePlugins) {
    Install(ANY, "alpha",
            "raise 0x40 0x2 0 0 quiet-line\n"
            "raise 0x40 0x2 0 25 loud-line\n"
            "unterminated 25 bounded-line\n");
    Start();
    ASSERT_TRUE(core->WaitForConsole("bounded-line", Scaled(10)));
    const std::string console = core->Console();
    // The console names the plugin by its short name, padded to six.
    EXPECT_NE(console.find("alpha \x1b[0m quiet-line\n"), std::string::npos);
    EXPECT_NE(console.find("alpha \x1b[0m loud-line\n"), std::string::npos);
    // A text without its NUL is printed within its DataLength and no further.
    EXPECT_NE(console.find("alpha \x1b[0m bounded-line\n"), std::string::npos);
    EXPECT_NE(console.find("Core: Loaded plugin: alpha.so"), std::string::npos);

    ASSERT_TRUE(WaitForCalls(installation, "alpha", "data=bounded-line", 1, Scaled(10)));
    // The start line is queued after the lines raised in Open: wait for it as well.
    ASSERT_TRUE(WaitForCalls(installation, "alpha", "data=successfully started core version", 1, Scaled(10)));
    // A level-0 event ends at the sink: the raiser's Result stays as it was.
    EXPECT_EQ(CallsOf(installation, "alpha", "result ").front(), "alpha result 77");
    EXPECT_TRUE(CallsOf(installation, "alpha", "data=quiet-line").empty());
    EXPECT_TRUE(CallsOf(installation, "alpha", "data=Core: Loaded plugin").empty());
    EXPECT_EQ(CallsOf(installation, "alpha", "level=25 length=10 null=0 layout=ok data=loud-line").size(), 1u);
    EXPECT_EQ(CallsOf(installation, "alpha", "level=25 length=12 null=0 layout=ok data=bounded-line").size(), 1u);
    const auto started = CallsOf(installation, "alpha", "data=successfully started core version");
    ASSERT_EQ(started.size(), 1u);
    EXPECT_NE(started[0].find("source=0x80000000 tag=0 class=0x40 type=0x1000002 level=25"), std::string::npos);
    StopAndExpectCleanExit();
}

// ---- Retained buffers ----

TEST_F(EventBus, BufferRetainedByTwoPluginsStaysValidUntilBothReleaseIt) {
    Install(ANY, "alpha", "raise 0x1 0x10 0 0 shared-buffer\n");
    Install(KEEP_A, "keepa");
    Install(KEEP_B, "keepb");
    Start();
    ASSERT_TRUE(WaitForCalls(installation, "keepb", "data=shared-buffer", 1, Scaled(10)));
    WaitForStartupDocuments();
    Command(KEEP_A, "keepa", "show\nrelease", "release 0");
    Command(KEEP_B, "keepb", "show", "holding");
    const std::string address = HeldAddress(installation, "keepb", "shared-buffer");
    EXPECT_FALSE(address.empty()) << "keepb no longer sees its text";
    EXPECT_EQ(address, HeldAddress(installation, "keepa", "shared-buffer"));
    Command(KEEP_B, "keepb", "release", "release 0");
    StopAndExpectCleanExit();
}

TEST_F(EventBus, BufferNeverReleasedIsReportedWithItsHolderAtExit) {
    Install(ANY, "alpha", "raise 0x1 0x10 0 0 kept-forever\n");
    Install(KEEP_A, "keepa");
    Install(KEEP_B, "keepb");
    Start();
    ASSERT_TRUE(WaitForCalls(installation, "keepb", "data=kept-forever", 1, Scaled(10)));
    WaitForStartupDocuments();
    Command(KEEP_A, "keepa", "release", "release 0");
    Command(KEEP_B, "keepb", "show", "holding");
    const std::string address = HeldAddress(installation, "keepb", "kept-forever");
    ASSERT_FALSE(address.empty());
    core->SendStop();
    // The exit code is not checked: the leaked buffer is left as it is, which
    // a leak-checking build reports at exit.
    ASSERT_TRUE(core->WaitForExit(Scaled(20)));
    EXPECT_TRUE(core->WaitForConsole("address " + address + " leaked by plugin 00C40000", Scaled(10)));
    EXPECT_FALSE(core->WaitForConsole("leaked by plugin 00C30000", Scaled(0.5)));
}

// A plugin error: releases for buffers their source does not hold.
TEST_F(EventBus, ReleaseOfABufferItsSourceDoesNotHoldFreesNothing) {
    Install(ANY, "alpha", "raise 0x1 0x10 0 0 still-mine\n");
    Install(LOW, "beta");
    Install(KEEP_A, "keepa");
    Install(PLAIN, "plain"); // after keepa: shows when keepa kept the documents
    Start();
    ASSERT_TRUE(WaitForCalls(installation, "keepa", "data=still-mine", 1, Scaled(10)));
    WaitForStartupDocuments("plain");
    // beta was given the buffer but kept no hold; the other address was never the core's.
    Command(LOW, "beta", "stray", "stray 0", 2);
    Command(KEEP_A, "keepa", "show", "holding");
    EXPECT_FALSE(HeldAddress(installation, "keepa", "still-mine").empty());
    // Released once for real, then again: the second release frees nothing.
    Command(KEEP_A, "keepa", "release\nstray", "stray 0", 2);
    StopAndExpectCleanExit();
}

// ---- Stop ----

TEST_F(EventBus, EventsQueuedWhenTheStopIsRequestedAreAllDeliveredThenNewOnesRefused) {
    // alpha queues three events while it is being opened, before the delivery
    // loop runs, and waits there until the stop has been requested.
    Install(ANY, "alpha",
            "raise 0x1 0x10 0 0 queued-1\nraise 0x1 0x10 0 0 queued-2\nraise 0x1 0x10 0 0 queued-3\n"
            "await stop-requested\n"
            "raise 0x1 0x10 0 0 too-late\nraise 0x40 0x2 0 25 printed-after-stop\n");
    Install(LOW, "beta");
    core.emplace(installation);
    core->SendIdentity("korvod", "2.1");
    ASSERT_TRUE(WaitForCalls(installation, "alpha", "result 0", 3, Scaled(10)));
    core->SendStop();
    // Packets are handled in order: once beta has run this, the stop is requested.
    Command(LOW, "beta", "thread marker", "thread marker");
    installation.WriteFile("stop-requested", "");
    EXPECT_EQ(core->WaitForExit(Scaled(20)), 0);

    EXPECT_EQ(CallsOf(installation, "alpha", "result 1").size(), 2u);
    EXPECT_NE(core->Console().find("printed-after-stop"), std::string::npos);
    for (const char *stem : {"alpha", "beta"}) {
        // The recorded data shows the counted NUL as ".".
        EXPECT_EQ(WrittenData(installation, stem, "queued"),
                  (std::vector<std::string>{"queued-1.", "queued-2.", "queued-3."}))
            << stem;
        EXPECT_TRUE(CallsOf(installation, stem, "too-late").empty()) << stem;
    }
}

// ---- Many threads ----

// Events raised under one data prefix "<prefix> <i>" for i below count, and
// how many plugins match them.
struct RaisedSeries {
    int count;
    int receivers;
};

// How often each data text was delivered, over the given plugins.
std::map<std::string, std::vector<int>> DeliveriesByData(const Installation &installation,
                                                         const std::vector<std::string> &stems) {
    std::map<std::string, std::vector<int>> deliveries; // data -> deliveries per plugin
    for (std::size_t plugin = 0; plugin < stems.size(); ++plugin) {
        for (const auto &data : WrittenData(installation, stems[plugin])) {
            auto &counts = deliveries[data];
            counts.resize(stems.size());
            ++counts[plugin];
        }
    }
    return deliveries;
}

// Several plugin threads raise events with data while two plugins retain and
// release them on threads of their own: every event reaches each matching
// plugin exactly once, and every buffer is freed once (sanitizer builds check
// the frees; the leak report checks that none is left).
TEST_F(EventBus, ConcurrentRaisersAndReleasersDeliverEveryEventOnceAndLeakNothing) {
    constexpr int EVENTS = 150;
    constexpr int KEEPER_BLOCKS = 6;
    constexpr int BLOCK_EVENTS = 25;
    const std::vector<std::string> stems = {"alpha", "beta", "keepa", "keepb"};
    Install(ANY, "alpha");
    Install(LOW, "beta");
    Install(KEEP_A, "keepa");
    Install(KEEP_B, "keepb");
    // Type 0x10 matches all four plugins; type 0x20000 all but beta.
    std::map<std::string, RaisedSeries> series = {
        {"alpha-w", {EVENTS, 4}}, {"alpha-r", {EVENTS, 3}}, {"beta-w", {EVENTS, 3}}};
    installation.WriteFile("alpha.worker", "repeat " + std::to_string(EVENTS) + " 0x1 0x10 alpha-w\n");
    installation.WriteFile("alpha.reader", "repeat " + std::to_string(EVENTS) + " 0x1 0x20000 alpha-r\n");
    installation.WriteFile("beta.worker", "repeat " + std::to_string(EVENTS) + " 0x1 0x20000 beta-w\n");
    // The keepers raise too, and give back what they hold from two threads.
    for (const std::string keeper : {"keepa", "keepb"}) {
        std::string worker;
        for (int block = 0; block < KEEPER_BLOCKS; ++block) {
            const std::string prefix = keeper + "-" + std::to_string(block);
            worker += "repeat " + std::to_string(BLOCK_EVENTS) + " 0x1 0x10 " + prefix + "\nrelease\n";
            series[prefix] = {BLOCK_EVENTS, 4};
        }
        installation.WriteFile(keeper + ".worker", worker);
        std::string reader;
        for (int round = 0; round < 200; ++round) {
            reader += "sleep 2\nrelease\n";
        }
        installation.WriteFile(keeper + ".reader", reader);
    }
    Start();
    // Each series comes from one thread, in order: its last event comes last.
    const auto lastOfEachDelivered = [&] {
        const auto deliveries = DeliveriesByData(installation, stems);
        return std::all_of(series.begin(), series.end(), [&](const auto &entry) {
            const auto found = deliveries.find(entry.first + " " + std::to_string(entry.second.count - 1));
            return found != deliveries.end() &&
                   std::accumulate(found->second.begin(), found->second.end(), 0) >= entry.second.receivers;
        });
    };
    ASSERT_TRUE(WaitUntil(lastOfEachDelivered, Scaled(120)));

    const auto deliveries = DeliveriesByData(installation, stems);
    for (const auto &[prefix, raised] : series) {
        for (int i = 0; i < raised.count; ++i) {
            const std::string data = prefix + " " + std::to_string(i);
            const auto found = deliveries.find(data);
            ASSERT_NE(found, deliveries.end()) << data << " never delivered";
            EXPECT_LE(*std::max_element(found->second.begin(), found->second.end()), 1) << data;
            EXPECT_EQ(std::accumulate(found->second.begin(), found->second.end(), 0), raised.receivers) << data;
        }
    }
    Command(KEEP_A, "keepa", "release\nshow", "holding 0");
    Command(KEEP_B, "keepb", "release\nshow", "holding 0");
    StopAndExpectCleanExit();
}
