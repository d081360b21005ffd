// The core's own console lines about what went wrong: a failed Open, a
// missing Load, packets that reach no plugin, events raised after Close,
// a stop that waits for a plugin, calls that run long, leaked buffers. Each
// is a level-0 line of the core, and no plugin ever receives one.
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"
#include "tests/support/plugin_test_fixture.h"
#include "tests/support/supervisor_packets.h"

using namespace coretest;

namespace {

// Test plugin variants and the IDs they report (testplugins/CMakeLists.txt).
constexpr Variant WITNESS{"tp_bus_any", 0x00C10000u};         // every class 0x1 event and log line
constexpr Variant SLOW{"tp_bus_low", 0x00C20000u};            // class 0x1, types within 0xFFFF
constexpr Variant KEEPER{"tp_bus_keep_b", 0x00C40000u};       // class 0x1, retains every buffer
constexpr Variant RAISER{"tp_basic", 0x00010000u};            // no masks
constexpr Variant QUIET{"tp_second", 0x00020000u};            // no masks
constexpr Variant OPEN_FAILS{"tp_open_fails", 0x00D40000u};   // Open returns 5, error word 7
constexpr Variant ONLY_LOAD{"tp_mis_only_load", 0x00E30000u}; // exports only Load
constexpr Variant THREADS{"tp_kit_compare", 0x00F80000u};     // worker, reader, class 0x1 type 0x10 jobs

constexpr uint32_t NOBODY = 0x0DD00000u; // addresses no plugin

// The console's lines that contain text.
std::vector<std::string> LinesWith(const std::string &console, const std::string &text) {
    std::vector<std::string> found;
    for (const auto &line : Lines(console)) {
        if (line.find(text) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

// A level-0 line of the core: magenta time, then the core's short name.
bool IsCoreDiagnostic(const std::string &line) {
    return line.rfind("\x1b[35m", 0) == 0 && line.find("\x1b[36m core  \x1b[0m ") != std::string::npos;
}

// The number that follows prefix in the one line that holds it, or -1.
long NumberAfter(const std::string &console, const std::string &prefix) {
    const auto lines = LinesWith(console, prefix);
    return lines.size() == 1 ? std::strtol(lines[0].c_str() + lines[0].find(prefix) + prefix.size(), nullptr, 10) : -1;
}

class CoreDiagnostics : public RunningCoreTest {
protected:
    // Exactly one line holds text; it is a level-0 line of the core, and the
    // witness, which takes every log line of other levels, never got it.
    void ExpectOneDiagnostic(const std::string &text) {
        const auto lines = LinesWith(core->Console(), text);
        ASSERT_EQ(lines.size(), 1u) << text << "\n" << core->Console();
        EXPECT_TRUE(IsCoreDiagnostic(lines[0])) << lines[0];
        EXPECT_TRUE(CallsOf(installation, "witness", text).empty()) << text;
    }

    void WaitForDiagnostic(const std::string &text, double seconds = 10) {
        ASSERT_TRUE(core->WaitForConsole(text, Scaled(seconds))) << text << "\n" << core->Console();
        ExpectOneDiagnostic(text);
    }
};

} // namespace

// ---- Start-up ----

TEST_F(CoreDiagnostics, FailedOpenIsToldWithItsCodeAndErrorWord) {
    Install(OPEN_FAILS, "opener");
    Install(WITNESS, "witness");
    Start();
    ExpectOneDiagnostic("plugin opener.so open returned 5 error 7");
    EXPECT_TRUE(LinesWith(core->Console(), "witness.so open returned").empty());
    StopAndExpectCleanExit();
}

// The loader's text names the symbol it looked for.
TEST_F(CoreDiagnostics, MissingLoadIsExplainedInTheLoadersWordsAfterTheMissingSymbolLine) {
    installation.AddPlugin("tp_no_load", "noload.so");
    Install(WITNESS, "witness");
    Start();
    const std::string explained = "plugin noload.so: ";
    ASSERT_NO_FATAL_FAILURE(ExpectOneDiagnostic(explained));
    const std::string console = core->Console();
    const std::string line = LinesWith(console, explained)[0];
    EXPECT_NE(line.find("noload.so: undefined symbol: Load"), std::string::npos) << line;
    EXPECT_NE(line.find("extern \"C\""), std::string::npos) << line;
    EXPECT_LT(console.find("Core: Failed to load plugin: noload.so (missing symbol)"), console.find(explained));
    StopAndExpectCleanExit();
}

// ---- While running ----

// A burst to one address and type may be held back after its first line,
// but every packet is told: in a line of its own or in a count.
TEST_F(CoreDiagnostics, PacketsThatReachNoPluginAreToldWithAddressAndType) {
    Install(WITNESS, "witness");
    Install(ONLY_LOAD, "onlyload");
    Start();
    constexpr int BURST = 5;
    for (int i = 0; i < BURST; ++i) {
        core->SendPacket(COMMAND_PACKET, NOBODY, "lost");
    }
    core->SendPacket(7, AddressOf(ONLY_LOAD), "");
    Command(WITNESS, "witness", "thread reached\n", "thread reached");

    const std::string lost = "ipc packet to address 0x0DD00000 type 100 reached no plugin";
    const std::string more = " more ipc packets to address 0x0DD00000 type 100 reached no plugin";
    long told = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string console = core->Console();
            told = static_cast<long>(LinesWith(console, lost).size());
            for (const auto &line : LinesWith(console, more)) {
                told += std::strtol(line.c_str() + line.find("\x1b[0m ") + 5, nullptr, 10);
            }
            return told >= BURST;
        },
        Scaled(10)));
    EXPECT_EQ(told, BURST) << core->Console();
    for (const auto &line : LinesWith(core->Console(), "0x0DD00000")) {
        EXPECT_TRUE(IsCoreDiagnostic(line)) << line;
    }
    EXPECT_TRUE(CallsOf(installation, "witness", "reached no plugin").empty());
    ExpectOneDiagnostic("ipc packet to address 0x0E300000 type 7 reached no plugin: onlyload.so exports no IOCTL");
    // A packet that reaches its plugin is not told.
    EXPECT_EQ(core->Console().find("address 0x0C100000"), std::string::npos);
    StopAndExpectCleanExit();
}

// The slow plugin's Write raises three events and waits; the witness's
// IOCTL waits on the I/O thread. Each call is told once after a second, with
// the events the delivery loop has waiting, and again when it returns. A
// short call is not told.
TEST_F(CoreDiagnostics, CallsRunningOverASecondAreToldOnceAndAgainWhenTheyReturn) {
    Install(RAISER, "raiser");
    Install(SLOW, "slow");
    Install(WITNESS, "witness");
    installation.WriteFile("slow.write", "raise 0x1 0x20 0 0 queued-1\nraise 0x1 0x20 0 0 queued-2\n"
                                         "raise 0x1 0x20 0 0 queued-3\nawait release-write\n");
    Start();
    Command(WITNESS, "witness", "sleep 200\nthread short-call\n", "thread short-call");
    Command(RAISER, "raiser", "raise 0x1 0x10 0 0 trigger\n", "result 0");
    core->SendPacket(COMMAND_PACKET, AddressOf(WITNESS), "await release-packet\n");

    const std::string write = "plugin slow.so write (class 0x1 type 0x10) ";
    const std::string packet = "plugin witness.so ipc ioctl (address 0x0C100000 type 100) ";
    WaitForDiagnostic(write + "running for over 1 s, ");
    EXPECT_GE(NumberAfter(core->Console(), write + "running for over 1 s, "), 3);
    WaitForDiagnostic(packet + "running for over 1 s");
    installation.WriteFile("release-write", "");
    WaitForDiagnostic(write + "returned after ");
    EXPECT_GE(NumberAfter(core->Console(), write + "returned after "), 1000);
    installation.WriteFile("release-packet", "");
    WaitForDiagnostic(packet + "returned after ");
    EXPECT_GE(NumberAfter(core->Console(), packet + "returned after "), 1000);
    ASSERT_TRUE(WaitForCalls(installation, "witness", "data=queued-3", 1, Scaled(10)));

    StopAndExpectCleanExit();
    EXPECT_EQ(Count(core->Console(), "running for over 1 s"), 2u) << core->Console();
    EXPECT_EQ(Count(core->Console(), "returned after"), 2u) << core->Console();
}

// ---- Stopping ----

// Log lines and releases after Close are no fault; other events are refused
// and told once per plugin.
TEST_F(CoreDiagnostics, EventsRaisedAfterCloseAreToldOncePerPlugin) {
    Install(RAISER, "late");
    Install(QUIET, "quiet");
    Install(WITNESS, "witness");
    installation.WriteFile("late.close", "raise 0x40 0x2 0 25 log-in-close\nraise 0x1 0x10 0 0 in-close-1\n"
                                         "raise 0x1 0x10 0 0 in-close-2\n");
    installation.WriteFile("quiet.close", "raise 0x40 0x2 0 25 quiet-log-in-close\n");
    Start();
    StopAndExpectCleanExit();
    ASSERT_TRUE(core->WaitForConsole("quiet-log-in-close", Scaled(10)));
    ExpectOneDiagnostic("plugin late.so raised an event (class 0x1 type 0x10) after its close: refused");
    EXPECT_EQ(Count(core->Console(), "after its close"), 1u) << core->Console();
    EXPECT_EQ(CallsOf(installation, "late", "result 1").size(), 3u);
}

// Every wait of the stop for a plugin is told every two seconds, naming the
// plugin and what it waits for, until the plugin lets it go on.
TEST_F(CoreDiagnostics, StopWaitingForAPluginIsToldEveryTwoSeconds) {
    Install(THREADS, "stuck");
    installation.WriteFile("stuck.close", "await release-close\n");
    installation.WriteFile("stuck.reader", "waitclosed\nawait release-reader\n");
    installation.WriteFile("stuck.worker", "waitclosed\nawait release-worker\n");
    installation.WriteFile("stuck.unload", "await release-unload\n");
    Start();
    Command(THREADS, "stuck", "job 0x1 0x10 5 await release-job\n", "Job tag=5");
    core->SendStop();

    WaitForDiagnostic("stop has waited 2 s for plugin stuck.so: close");
    WaitForDiagnostic("stop has waited 4 s for plugin stuck.so: close");
    // Each release lets the stop go on to its next wait.
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"close", "reader thread"}, {"reader", "worker thread"}, {"worker", "job threads"}, {"job", "unload"}};
    for (const auto &[released, awaited] : steps) {
        installation.WriteFile("release-" + released, "");
        WaitForDiagnostic("stop has waited 2 s for plugin stuck.so: " + awaited);
    }
    installation.WriteFile("release-unload", "");
    EXPECT_EQ(core->WaitForExit(Scaled(30)), 0);
}

// The summary follows every leak line; a plugin that gave all back has none.
TEST_F(CoreDiagnostics, LeakedBuffersAreSummedPerPluginAfterTheLeakLines) {
    Install(WITNESS, "alpha");
    Install(KEEPER, "keeper");
    Start();
    ASSERT_TRUE(WaitForCalls(installation, "keeper", "Config length=", 2, Scaled(10)));
    Command(KEEPER, "keeper", "release\n", "release 0", 2);
    Command(WITNESS, "alpha", "raise 0x1 0x10 0 0 kept-one\nraise 0x1 0x10 0 0 kept-two\n", "result 0", 2);
    ASSERT_TRUE(WaitForCalls(installation, "keeper", "data=kept-two", 1, Scaled(10)));
    Command(KEEPER, "keeper", "show\n", "holding 2");
    core->SendStop();
    // Not checked: a leak-checking build reports the buffers left at exit.
    ASSERT_TRUE(core->WaitForExit(Scaled(20)));
    const std::string summary = "plugin keeper.so leaked 2 buffers, 18 bytes";
    ASSERT_TRUE(core->WaitForConsole(summary, Scaled(10)));
    const std::string console = core->Console();
    const auto lines = LinesWith(console, summary);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(IsCoreDiagnostic(lines[0])) << lines[0];
    EXPECT_EQ(Count(console, "leaked by plugin 00C40000"), 2u);
    EXPECT_LT(console.rfind("leaked by plugin 00C40000"), console.find(summary));
    EXPECT_EQ(console.find("plugin alpha.so leaked"), std::string::npos);
}
