// supervisor-standin running the core with plugins from a build tree
// (--plugins) and showing the bus (--monitor), as a plugin author runs it.
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

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

class StandinTest : public kittest::ScratchDirectoryTest {
protected:
    // The stand-in, in the scratch directory (the core's working directory),
    // stopping the core after `seconds` (scaled), before CORE.
    ToolRun Standin(std::vector<std::string> options, double seconds) const {
        std::vector<std::string> command = tooltest::Emulated(STANDIN_EXECUTABLE);
        for (const std::string &word : tooltest::Emulated("")) {
            if (!word.empty()) {
                command.insert(command.end(), {"--emulator", word});
            }
        }
        options.insert(options.end(), {"--seconds", std::to_string(Scaled(seconds).count()), CORE_EXECUTABLE});
        command.insert(command.end(), options.begin(), options.end());
        return RunTool(command, directory.string(), Scaled(60));
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

} // namespace
