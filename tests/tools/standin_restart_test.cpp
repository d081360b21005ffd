// supervisor-standin --restart playing a restarting supervisor, as an author
// sees a crashing plugin quarantined while the example plugins run on.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/kit/kit_test_support.h"
#include "tests/tools/tool_process.h"

namespace {

namespace fs = std::filesystem;
using coretest::Count;
using coretest::Scaled;
using tooltest::RunTool;
using tooltest::ToolRun;

class StandinRestartTest : public kittest::ScratchDirectoryTest {
protected:
    // The stand-in in the scratch directory (the core's working directory),
    // stopping each run of the core after `seconds` (scaled).
    ToolRun Standin(std::vector<std::string> options, double seconds) const {
        std::vector<std::string> command = tooltest::Emulated(STANDIN_EXECUTABLE);
        for (const std::string &word : tooltest::Emulated("")) {
            if (!word.empty()) {
                command.insert(command.end(), {"--emulator", word});
            }
        }
        options.insert(options.end(), {"--seconds", std::to_string(Scaled(seconds).count()), CORE_EXECUTABLE});
        command.insert(command.end(), options.begin(), options.end());
        return RunTool(command, directory.string(), Scaled(120));
    }
};

} // namespace

// The crashing plugin aborts at its first event; the examples (the demo)
// are those built beside the core.
TEST_F(StandinRestartTest, ThreeCrashesQuarantineThePluginAndTheDemoRunsOnWithoutIt) {
    fs::create_directories(directory / "build-tree");
    const std::string crashing = Install(coretest::TestPluginPath("tp_crash"), "build-tree/tp_crash.so");
    WriteFile("tp_crash.crash", "abort\n");
    const std::string examples = (fs::path(CORE_EXECUTABLE).parent_path() / "plugins").string();
    const ToolRun run =
        Standin({"--plugins", examples, "--plugins", crashing, "--restart", "5", "--record", "received.log"}, 6);
    // The last run stopped cleanly but refused the quarantined plugin.
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_NE(run.output.find("1 plugin refused: tp_crash.so (quarantined after 3 crashes"), std::string::npos)
        << run.output;
    EXPECT_EQ(Count(run.output, "supervisor-standin: the core died by SIGABRT in plugin tp_crash.so (report in "
                                "core-crash.txt)\n"),
              3u)
        << run.output;
    EXPECT_NE(run.output.find("starting the core again (restart 3 of 5)"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("restart 4 of 5"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("supervisor-standin: the core crashed 3 times in 4 runs: SIGABRT in plugin "
                              "tp_crash.so 3 times\n"),
              std::string::npos)
        << run.output;

    // The fourth run: everything but the quarantined plugin opened.
    const std::string report = ReadFile("plugins.xml");
    EXPECT_NE(report.find("Name=\"tp_crash.so\" Version=\"quarantined after 3 crashes (see core-crash.txt)\""),
              std::string::npos)
        << report;
    for (const char *example : {"echo_responder.so", "producer.so", "consumer.so", "ticker.so", "logger.so"}) {
        EXPECT_NE(report.find(std::string("Filename=\"") + example + "\" Opened=\"1\""), std::string::npos)
            << example << "\n"
            << report;
    }
    // The demo packet's round trip through the echo responder.
    EXPECT_NE(ReadFile("received.log")
                  .find(" 27 1b0000000000c00e0100000000000000"
                        "6563686f3a2068656c6c6f\n"),
              std::string::npos)
        << run.output;
}

// Without --restart the stand-in still says how the core died, once.
TEST_F(StandinRestartTest, ACrashWithoutRestartsIsToldAndEndsTheRun) {
    fs::create_directories(directory / "build-tree");
    const std::string crashing = Install(coretest::TestPluginPath("tp_crash"), "build-tree/tp_crash.so");
    WriteFile("tp_crash.crash", "abort\n");
    const ToolRun run = Standin({"--plugins", crashing, "--no-demo"}, 20);
    EXPECT_EQ(run.exitCode, 128 + 6) << run.output;
    EXPECT_EQ(Count(run.output, "the core died by SIGABRT in plugin tp_crash.so"), 1u) << run.output;
    EXPECT_EQ(run.output.find("starting the core again"), std::string::npos) << run.output;
}
