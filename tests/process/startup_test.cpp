// The entry point and the run sequence, seen from outside the process.
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"

using namespace coretest;

namespace {

const char *const STARTED = "successfully started core version 19.09.4.0";
const char *const STOPPING = "stopping core version 19.09.4.0...";

StartOptions Arguments(std::vector<std::string> arguments) {
    StartOptions options;
    options.supervisor = false;
    options.arguments = std::move(arguments);
    return options;
}

} // namespace

// ---- Command line ----

TEST(CommandLine, HelpNamesTheProgramAsInvokedAndInitialisesNothing) {
    Installation installation;
    for (const auto &arguments : std::vector<std::vector<std::string>>{{"-h"}, {"-help"}, {"-x", "-h", "7"}}) {
        StartOptions options = Arguments(arguments);
        options.argv0 = "./relative/../core";
        CoreProcess core(installation, options);
        EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
        EXPECT_EQ(core.Errors(), "core version 19.09.4.0\nUsage: ./relative/../core <pipe>\n");
        EXPECT_EQ(core.Console(), "");
    }
    EXPECT_FALSE(installation.Exists("core.xml"));
}

TEST(CommandLine, ScanningStopsAtTheDescriptor) {
    Installation installation;
    CoreProcess core(installation, Arguments({"7", "-h"})); // 7 is not open
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 2);
    EXPECT_EQ(core.Errors(), "failed to initialize core\n");
}

TEST(CommandLine, DescriptorThatIsNoSequencedPacketSocketFailsInitialisation) {
    Installation installation;
    // 99 is not open; "abc" means 0, which is /dev/null here.
    for (const auto &argument : {"99", "abc"}) {
        CoreProcess core(installation, Arguments({argument}));
        EXPECT_EQ(core.WaitForExit(Scaled(10)), 2) << argument;
        EXPECT_EQ(core.Errors(), "failed to initialize core\n") << argument;
        EXPECT_NE(core.Console().find("failed to open ipc pipe"), std::string::npos) << argument;
    }
}

// ---- Running without a supervisor ----

TEST(RunSequence, StopsWithExitCodeZeroOnEachStopSignal) {
    Installation installation;
    for (const int signal : {SIGINT, SIGTERM, SIGQUIT}) {
        CoreProcess core(installation, StartOptions{false, {}, {}});
        ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(5))) << signal;
        core.Signal(signal);
        ASSERT_TRUE(core.WaitForConsole(STOPPING, Scaled(5))) << signal;
        core.Signal(signal); // a second signal during the stop changes nothing
        EXPECT_EQ(core.WaitForExit(Scaled(10)), 0) << signal;
        EXPECT_EQ(core.Errors(), "");
    }
}

// ---- Under a supervisor ----

TEST(RunSequence, StartsAsSoonAsTheIdentityArrivesAndStopsOnTheStopPacket) {
    Installation installation;
    CoreProcess core(installation);
    core.SendIdentity("korvod", "2.1");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, Scaled(5));
    core.SendStop();
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
    EXPECT_NE(core.Console().find(STOPPING), std::string::npos);
}

TEST(RunSequence, WithoutIdentityWaitsTenSecondsBeforeOpening) {
    Installation installation;
    const auto start = std::chrono::steady_clock::now();
    CoreProcess core(installation);
    ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(10) + Seconds(15)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, Seconds(9.9));
    core.SendStop();
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
}
