// supervisor-standin running the core with plugins from a build tree
// (--plugins) and showing the bus (--monitor), as a plugin author runs it;
// the core's console and the run's summary when the output is a pipe, and
// the ways out of a stop that hangs.
#include <algorithm>
#include <cctype>
#include <csignal>
#include <filesystem>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/kit/kit_test_support.h"
#include "tests/tools/tool_process.h"

namespace {

namespace fs = std::filesystem;
using coretest::Scaled;
using tooltest::RunTool;
using tooltest::ToolRun;

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

std::vector<std::string> DirectoryListing(const fs::path &directory) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Processes other than this one whose working directory is `directory`: a
// core the stand-in left behind would be one.
std::vector<std::string> ProcessesIn(const fs::path &directory) {
    std::vector<std::string> found;
    std::error_code failure;
    const std::string self = std::to_string(getpid());
    for (const auto &entry : fs::directory_iterator("/proc", failure)) {
        const std::string pid = entry.path().filename().string();
        std::error_code unreadable;
        if (std::isdigit(static_cast<unsigned char>(pid[0])) != 0 && pid != self &&
            fs::read_symlink(entry.path() / "cwd", unreadable) == directory) {
            found.push_back(pid);
        }
    }
    return found;
}

class StandinTest : public kittest::ScratchDirectoryTest {
protected:
    // The stand-in's command, to run in the scratch directory (the core's
    // working directory), with the options before CORE.
    static std::vector<std::string> StandinCommand(const std::vector<std::string> &options) {
        std::vector<std::string> command = tooltest::Emulated(STANDIN_EXECUTABLE);
        for (const std::string &word : tooltest::Emulated("")) {
            if (!word.empty()) {
                command.insert(command.end(), {"--emulator", word});
            }
        }
        command.insert(command.end(), options.begin(), options.end());
        command.push_back(CORE_EXECUTABLE);
        return command;
    }

    // The stand-in, stopping the core after `seconds` (scaled).
    ToolRun Standin(std::vector<std::string> options, double seconds) const {
        options.insert(options.end(), {"--seconds", std::to_string(Scaled(seconds).count())});
        return RunTool(StandinCommand(options), directory.string(), Scaled(60));
    }

    // The stand-in running while the test acts on it; it stops the core
    // only when told to.
    std::unique_ptr<tooltest::RunningTool> StartStandin(std::vector<std::string> options,
                                                        bool onTerminal = false) const {
        options.insert(options.end(), {"--seconds", "100000"});
        auto standin = std::make_unique<tooltest::RunningTool>(StandinCommand(options), directory.string(), onTerminal);
        EXPECT_TRUE(standin->WaitForOutput("successfully started core version", Scaled(30))) << standin->Output();
        return standin;
    }

    // A plugin whose Close never returns: the stop hangs.
    std::string HangingPlugin() const {
        WriteFile("stuck.close", "await never\n");
        return BuildTree({{coretest::TestPluginPath("tp_basic"), "stuck.so"}});
    }

    // A build tree of the author's: a directory holding built plugins.
    std::string BuildTree(const std::vector<std::pair<std::string, std::string>> &plugins) const {
        fs::create_directories(directory / "build-tree" / "CMakeFiles");
        for (const auto &[built, fileName] : plugins) {
            Install(built, "build-tree/" + fileName);
        }
        return (directory / "build-tree").string();
    }

    static std::string TemporaryRoot(const std::string &output) {
        std::smatch match;
        return std::regex_search(output, match, std::regex("the core runs from (\\S+) with:")) ? match[1].str() : "";
    }
};

// ---- --plugins --------------------------------------------------------------------

TEST_F(StandinTest, PluginsFromABuildTreeRunInsteadOfTheInstalledOnes) {
    const fs::path installed = fs::path(CORE_EXECUTABLE).parent_path() / "plugins";
    const auto installedBefore = DirectoryListing(installed);
    const std::string tree = BuildTree({{ECHO_RESPONDER_PLUGIN, "echo_responder.so"}});
    const ToolRun run = Standin({"--plugins", tree, "--record", "received.log"}, 5);
    EXPECT_EQ(run.exitCode, 0) << run.output;

    // The demo packet's round trip through the echo responder.
    EXPECT_TRUE(Contains(ReadFile("received.log"), " 27 1b0000000000c00e0100000000000000"
                                                   "6563686f3a2068656c6c6f\n"))
        << run.output;
    const std::string report = ReadFile("plugins.xml");
    EXPECT_TRUE(Contains(report, "Filename=\"echo_responder.so\"")) << report;
    // The core ran, and wrote its files, where the stand-in says it runs.
    EXPECT_TRUE(Contains(run.output, "supervisor-standin: the core's working directory is " +
                                         fs::canonical(directory).string() + " (on a device: /var/lib/dvrcore)\n"))
        << run.output;
    EXPECT_FALSE(Contains(report, "Filename=\"ticker.so\"")) << "an installed example ran:\n" << report;
    // Nothing was put into the installation, and the temporary one is gone.
    EXPECT_EQ(DirectoryListing(installed), installedBefore);
    const std::string root = TemporaryRoot(run.output);
    ASSERT_FALSE(root.empty()) << run.output;
    EXPECT_FALSE(fs::exists(root)) << run.output;
}

TEST_F(StandinTest, PluginsNamedTwiceOrMissingAreMistakes) {
    const std::string tree = BuildTree({{ECHO_RESPONDER_PLUGIN, "echo_responder.so"}});
    const ToolRun twice = Standin({"--plugins", tree, "--plugins", tree + "/echo_responder.so"}, 1);
    EXPECT_EQ(twice.exitCode, 2) << twice.output;
    EXPECT_TRUE(Contains(twice.output, "two plugins named echo_responder.so")) << twice.output;
    const ToolRun missing = Standin({"--plugins", "no-such-directory"}, 1);
    EXPECT_EQ(missing.exitCode, 2) << missing.output;
    EXPECT_TRUE(Contains(missing.output, "no such plugin file or directory")) << missing.output;
}

// ---- --monitor --------------------------------------------------------------------

TEST_F(StandinTest, TheMonitorShowsAnEventAnExamplePluginRaised) {
    const std::string tree = BuildTree({{TICKER_PLUGIN, "ticker.so"}});
    const ToolRun run = Standin({"--monitor", "--plugins", tree}, 5);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    // The ticker's first log line, as delivered to the monitor: source,
    // class CLASS_LOG, type TYPE_LOG_TEXT, its length and text.
    EXPECT_TRUE(Contains(run.output, "supervisor-standin: bus: ticker.so (0x00E10000) class 0x00000040 "
                                     "type 0x00000002 length 15: \"ticker started\\x00\"\n"))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "supervisor-standin: bus: core (0x80000000) class 0x00000040 type 0x01000002"))
        << run.output;
}

// A burst far above the rate limit: most of it is left out and counted.
TEST_F(StandinTest, TheMonitorKeepsToItsRateLimit) {
    constexpr int BURST = 2000;
    constexpr int SUMMARIES_PER_SECOND = 50;
    constexpr double SECONDS = 4;
    WriteFile("burst.open", "repeat " + std::to_string(BURST) + " 0x1 0x10 frame\n");
    const std::string tree =
        BuildTree({{coretest::TestPluginPath("tp_basic"), "burst.so"}, {ECHO_RESPONDER_PLUGIN, "echo_responder.so"}});
    const ToolRun run = Standin({"--monitor", "--plugins", tree}, SECONDS);
    EXPECT_EQ(run.exitCode, 0) << run.output;

    const std::vector<std::string> lines = coretest::Lines(run.output);
    const auto shown = std::count_if(lines.begin(), lines.end(),
                                     [](const std::string &line) { return Contains(line, "bus: burst.so "); });
    long leftOut = 0;
    const std::regex counted("bus: ([0-9]+) events left out \\(rate limit\\)");
    for (const std::string &line : lines) {
        std::smatch match;
        if (std::regex_search(line, match, counted)) {
            leftOut += std::stol(match[1].str());
        }
    }
    // The echo responder's answer to the demo packet, a second later, carries the count.
    EXPECT_GT(leftOut, 0) << run.output;
    EXPECT_GE(shown + leftOut, BURST) << run.output;
    const auto summaries = std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
        return Contains(line, "supervisor-standin: bus: ") && !Contains(line, "left out");
    });
    EXPECT_LE(summaries, SUMMARIES_PER_SECOND * (Scaled(SECONDS).count() + 2)) << run.output;
}

// ---- The core's console and the run's summary ----

// A plugin author's first C++ plugin, without extern "C", run as in a script:
// the refusal shows although the output is a pipe, the summary names it and
// the exit code says it.
TEST_F(StandinTest, ARefusedPluginShowsThroughAPipeAndFailsTheRun) {
    const std::string tree = BuildTree({{coretest::TestPluginPath("tp_cxx_mangled"), "my_plugin.so"}});
    const ToolRun run = Standin({"--plugins", tree}, 2);
    EXPECT_EQ(run.exitCode, 3) << run.output;
    for (const char *line : {" core   Core: Failed to load plugin: my_plugin.so (missing symbol)\n",
                             "undefined symbol: Load (a plugin written in C++ declares its entry points extern \"C\"",
                             "supervisor-standin: demo packet not sent: no plugin takes address 0x0EC00000",
                             "supervisor-standin: the core exited with code 0; 1 plugin refused: my_plugin.so "
                             "(missing symbol); no buffer leaked\n"}) {
        EXPECT_TRUE(Contains(run.output, line)) << "missing: " << line << "\nin:\n" << run.output;
    }
    EXPECT_FALSE(Contains(run.output, "\x1b")) << "colours in a pipe:\n" << run.output;

    const ToolRun regardless = Standin({"--exit-zero", "--plugins", tree}, 1);
    EXPECT_EQ(regardless.exitCode, 0) << regardless.output;
}

TEST_F(StandinTest, OnATerminalTheCoresLinesKeepTheirColours) {
    const std::string tree = BuildTree({{ECHO_RESPONDER_PLUGIN, "echo_responder.so"}});
    auto standin = StartStandin({"--plugins", tree}, true);
    standin->Signal(SIGINT);
    EXPECT_EQ(standin->WaitForExit(Scaled(30)), 0) << standin->Output();
    EXPECT_TRUE(standin->WaitForOutput("no buffer leaked", Scaled(10))) << standin->Output();
    EXPECT_TRUE(Contains(standin->Output(), "\x1b[36m core  \x1b[0m successfully started core version"))
        << standin->Output();
}

// The core dies: the summary names the signal, and the exit code carries it.
TEST_F(StandinTest, TheSummaryNamesTheSignalThatEndedTheCore) {
    WriteFile("crasher.open", "abort\n");
    const std::string tree = BuildTree({{coretest::TestPluginPath("tp_basic"), "crasher.so"}});
    const ToolRun run = Standin({"--plugins", tree}, 5);
    EXPECT_EQ(run.exitCode, 128 + SIGABRT) << run.output;
    EXPECT_TRUE(Contains(run.output, "supervisor-standin: the core was killed by SIGABRT; no plugin refused"))
        << run.output;
    EXPECT_EQ(Standin({"--exit-zero", "--plugins", tree}, 5).exitCode, 0);
}

// ---- A stop that hangs ----

TEST_F(StandinTest, TheThirdInterruptKillsACoreWhoseStopHangs) {
    auto standin = StartStandin({"--no-demo", "--kill-after", "100000", "--plugins", HangingPlugin()});
    standin->Signal(SIGINT);
    ASSERT_TRUE(standin->WaitForOutput("stopping core version", Scaled(20))) << standin->Output();
    standin->Signal(SIGINT);
    ASSERT_TRUE(standin->WaitForOutput("SIGINT: passed on to the core; once more kills it", Scaled(20)))
        << standin->Output();
    standin->Signal(SIGINT);
    EXPECT_EQ(standin->WaitForExit(Scaled(30)), 128 + SIGKILL) << standin->Output();
    const std::string output = standin->Output();
    EXPECT_TRUE(Contains(output, "supervisor-standin: SIGINT a third time: killing the core (SIGKILL)")) << output;
    EXPECT_TRUE(Contains(output, "supervisor-standin: the core was killed by SIGKILL")) << output;
    const std::string root = TemporaryRoot(output);
    ASSERT_FALSE(root.empty()) << output;
    EXPECT_FALSE(fs::exists(root)) << output;
    EXPECT_EQ(ProcessesIn(directory), std::vector<std::string>());
}

TEST_F(StandinTest, KillAfterEndsAStopThatHangs) {
    const ToolRun run =
        Standin({"--no-demo", "--kill-after", std::to_string(Scaled(1).count()), "--plugins", HangingPlugin()}, 1);
    EXPECT_EQ(run.exitCode, 128 + SIGKILL) << run.output;
    EXPECT_TRUE(Contains(run.output, "the core has not stopped in time: killing the core (SIGKILL)")) << run.output;
    EXPECT_FALSE(fs::exists(TemporaryRoot(run.output))) << run.output;
    EXPECT_EQ(ProcessesIn(directory), std::vector<std::string>());
}

// The stand-in's terminal goes away: the core is stopped, killed when its
// stop hangs, and nothing of the run stays behind.
TEST_F(StandinTest, AHangUpStopsTheCoreAndLeavesNothingBehind) {
    auto standin =
        StartStandin({"--no-demo", "--kill-after", std::to_string(Scaled(1).count()), "--plugins", HangingPlugin()});
    standin->Signal(SIGHUP);
    EXPECT_EQ(standin->WaitForExit(Scaled(30)), 128 + SIGKILL) << standin->Output();
    const std::string output = standin->Output();
    EXPECT_TRUE(Contains(output, "supervisor-standin: SIGHUP: the terminal is gone; stopping the core")) << output;
    EXPECT_TRUE(Contains(output, "stopping core version")) << output;
    EXPECT_FALSE(fs::exists(TemporaryRoot(output))) << output;
    EXPECT_EQ(ProcessesIn(directory), std::vector<std::string>());
}

// ---- Packets by ID and by library, the monitor's excerpt ----

// An earlier run's modules report, with another ID for the library, must
// not be taken for this run's.
TEST_F(StandinTest, PacketsGoToAPluginByItsIdOrItsLibrarysName) {
    WriteFile("plugins.xml", "<?xml ?><kDVR><Modules><Module ID=\"-2147483648\" Name=\"Core\" Version=\"1\">"
                             "<Plugin ID=\"11141120\" Filename=\"echo_responder.so\" Opened=\"1\" LoadTimeMs=\"0\" "
                             "OpenTimeMs=\"0\" OpenCode=\"0\" /></Module></Modules></kDVR>");
    const std::string tree = BuildTree({{ECHO_RESPONDER_PLUGIN, "echo_responder.so"}});
    // Due together with the identity: before the core can have written its report.
    const ToolRun run = Standin({"--plugins",
                                 tree,
                                 "--record",
                                 "received.log",
                                 "--identity-delay",
                                 "1",
                                 "--delay",
                                 "0",
                                 "--send",
                                 "id:0x00EC0000",
                                 "one",
                                 "--send",
                                 "echo_responder",
                                 "two",
                                 "--send",
                                 "echo_responder.so",
                                 "three",
                                 "--send",
                                 "nosuch.so",
                                 "four"},
                                5);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string received = ReadFile("received.log");
    for (const char *answer : {"6563686f3a206f6e65\n", "6563686f3a2074776f\n", "6563686f3a207468726565\n"}) {
        EXPECT_TRUE(Contains(received, answer)) << answer << "\n" << run.output;
    }
    EXPECT_TRUE(Contains(run.output, "packet for nosuch.so not sent: the core loaded no plugin of that file name"))
        << run.output;
    EXPECT_EQ(Standin({"--send", "12x", "text"}, 1).exitCode, 2);
}

// The first line that holds part, or "".
std::string LineWith(const std::string &output, const std::string &part) {
    for (const std::string &line : coretest::Lines(output)) {
        if (Contains(line, part)) {
            return line;
        }
    }
    return "";
}

bool EndsWith(const std::string &text, const std::string &end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The status document is cut at 32 bytes by default; longer excerpts show it whole.
TEST_F(StandinTest, TheMonitorsExcerptLengthIsAnOption) {
    const std::string tree = BuildTree({{ECHO_RESPONDER_PLUGIN, "echo_responder.so"}});
    const std::string status = "bus: core (0x80000000) class 0x00000004 type 0x01000010 length ";
    const ToolRun cut = Standin({"--monitor", "--plugins", tree}, 3);
    EXPECT_TRUE(EndsWith(LineWith(cut.output, status), "\" ...")) << cut.output;
    const ToolRun whole = Standin({"--monitor", "--excerpt", "300", "--plugins", tree}, 3);
    const std::string line = LineWith(whole.output, status);
    EXPECT_TRUE(Contains(line, ": \"<?xml ?><kDVR><Memory ID=\\\"-2147483648\\\" Throttling=")) << whole.output;
    EXPECT_TRUE(EndsWith(line, " /></kDVR>\"")) << whole.output;
    EXPECT_EQ(Standin({"--monitor", "--excerpt", "5000"}, 1).exitCode, 2);
}

} // namespace
