// The quarantine in the real core: a plugin blamed for three crashed runs in
// a row is not loaded on the fourth, everything else is, and a new file of
// the library or a clean run ends the count. The plugin aborts (in Write),
// which the core reports under the sanitizers too.
#include <csignal>
#include <optional>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "tests/support/core_harness.h"
#include "tests/support/plugin_test_fixture.h"

namespace coretest {
namespace {

constexpr const char *REFUSAL =
    "Core: Failed to load plugin 'tp_crash.so': quarantined after 3 crashes (see core-crash.txt)";

class Quarantine : public ::testing::Test {
protected:
    void SetUp() override {
        installation.AddPlugin("tp_crash", "tp_crash.so");
        installation.AddPlugin("tp_crash_other", "tp_crash_other.so");
        installation.AddPlugin("tp_basic", "tp_basic.so");
        CrashAt("abort");
    }

    void CrashAt(const std::string &site) { installation.WriteFile("tp_crash.crash", site + "\n"); }

    void Start() {
        StartOptions options;
        options.beforeExec = [] {
            const rlimit none{0, 0};
            setrlimit(RLIMIT_CORE, &none);
        };
        core.emplace(installation, options);
        core->SendIdentity("korvod", "2.1");
    }

    void CrashedRun() {
        Start();
        ASSERT_EQ(core->WaitForExit(Scaled(60)), 128 + SIGABRT) << core->Console();
    }

    // A run that starts and is stopped: true when it started.
    bool CleanRun() {
        Start();
        const bool started = core->WaitForConsole("successfully started core version", Scaled(20));
        core->SendStop();
        EXPECT_EQ(core->WaitForExit(Scaled(30)), 0);
        return started;
    }

    // The library copied anew: the same bytes, another file.
    void ReplaceLibrary() {
        const std::string path = installation.Root() + "/plugins/tp_crash.so";
        boost::filesystem::remove(path);
        installation.AddPlugin("tp_crash", "tp_crash.so");
    }

    Installation installation;
    std::optional<CoreProcess> core;
};

} // namespace

TEST_F(Quarantine, TheFourthRunLoadsEverythingButThePluginUntilItsLibraryIsReplaced) {
    for (int run = 0; run < 3; ++run) {
        CrashedRun();
    }
    ASSERT_TRUE(CleanRun());
    const std::string console = core->Console();
    EXPECT_NE(console.find("3 crashed runs in a row, now quarantined; see core-crash.txt)"), std::string::npos)
        << console;
    EXPECT_NE(console.find(REFUSAL), std::string::npos) << console;
    EXPECT_TRUE(CallsOf(installation, "tp_crash_other", "Open").size() == 4u);
    const std::string report = installation.ReadFile("plugins.xml");
    EXPECT_NE(report.find("Name=\"tp_crash.so\" Version=\"quarantined after 3 crashes (see core-crash.txt)\""),
              std::string::npos)
        << report;
    EXPECT_NE(installation.ReadFile("core.xml").find("Crashes=\"3\" />"), std::string::npos);

    // Still quarantined after a clean run: it did not run.
    ASSERT_TRUE(CleanRun());
    EXPECT_NE(core->Console().find(REFUSAL), std::string::npos);

    ReplaceLibrary();
    CrashedRun();
    EXPECT_EQ(core->Console().find(REFUSAL), std::string::npos);
    EXPECT_NE(installation.ReadFile("core-crash.txt").find("plugin: tp_crash.so\n"), std::string::npos);
}

// A run is counted when the next one starts.
TEST_F(Quarantine, ACleanRunBetweenCrashesStartsTheCountAgain) {
    CrashedRun();
    CrashedRun();
    CrashAt("none");
    ASSERT_TRUE(CleanRun());
    ASSERT_TRUE(CleanRun());
    EXPECT_EQ(installation.ReadFile("core.xml").find("<Library "), std::string::npos);
    CrashAt("abort");
    CrashedRun();
    CrashedRun();
    CrashedRun(); // two crashed runs in a row are not three: it still loads
    EXPECT_EQ(core->Console().find(REFUSAL), std::string::npos);
}

// Removing the library's entry from core.xml lifts the quarantine.
TEST_F(Quarantine, RemovingTheEntryLetsTheLibraryLoad) {
    for (int run = 0; run < 3; ++run) {
        CrashedRun();
    }
    installation.WriteFile("core.xml", "<kDVR><Memory Throttling=\"1\" /><Quarantine Crashes=\"3\" /></kDVR>");
    CrashAt("none");
    ASSERT_TRUE(CleanRun());
    EXPECT_EQ(core->Console().find(REFUSAL), std::string::npos);
    EXPECT_EQ(CallsOf(installation, "tp_crash", "Open").size(), 4u);
}

// A run killed without a report neither counts nor resets.
TEST_F(Quarantine, AKilledRunChangesNothing) {
    CrashedRun();
    CrashedRun();
    CrashAt("none");
    Start();
    ASSERT_TRUE(core->WaitForConsole("successfully started core version", Scaled(20)));
    core->Signal(SIGKILL);
    core->WaitForExit(Scaled(30));
    CrashAt("abort");
    CrashedRun();
    Start();
    ASSERT_TRUE(core->WaitForConsole(REFUSAL, Scaled(20))) << core->Console();
    core->SendStop();
    EXPECT_EQ(core->WaitForExit(Scaled(30)), 0);
}

} // namespace coretest
