// dvrplugin-inspect run on test plugin variants, as a plugin author runs it
// on a library: what it prints, and its exit code.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dvrplugin.h"
#include "tests/kit/kit_test_support.h"
#include "tests/tools/tool_process.h"

namespace {

using coretest::Scaled;
using tooltest::RunTool;
using tooltest::ToolRun;

class InspectorTest : public kittest::ScratchDirectoryTest {
protected:
    ToolRun Inspect(const std::vector<std::string> &arguments) const {
        std::vector<std::string> command = tooltest::Emulated(INSPECT_EXECUTABLE);
        command.insert(command.end(), arguments.begin(), arguments.end());
        return RunTool(command, directory.string(), Scaled(60));
    }

    ToolRun InspectVariant(const char *variant, const std::string &fileName) const {
        return Inspect({Install(coretest::TestPluginPath(variant), fileName)});
    }
};

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// ---- Libraries the core loads ---------------------------------------------------

TEST_F(InspectorTest, AGoodPluginIsDescribedAndWouldBeLoaded) {
    // ID 0x10471234, worker thread, mask 0 = 0x10, mask 6 = the core's log lines.
    const ToolRun run = InspectVariant("tp_link_first", "Recorder.so");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    for (const char *line : {"  Entry points   Load Unload Open Close Read Write Seek IOCTL\n",
                             "  Module name    recorder\n", "  ID             0x10471234 (in plugins.xml: 273093172)\n",
                             "  Worker thread  yes: IOCTL WORKER_THREAD from Load on\n", "  Read events    no\n",
                             "  Write events   yes: events its masks take reach Write\n",
                             "    mask 0 = 0x00000010, selected by class bit 0x00000001\n",
                             "    mask 6 = 0x02000002, selected by class bit 0x00000040 (CLASS_LOG)\n"
                             "        takes the core's log lines\n"
                             "        takes the plugins' log lines\n",
                             "  Verdict        the core loads it\n"}) {
        EXPECT_TRUE(Contains(run.output, line)) << "missing: " << line << "in:\n" << run.output;
    }
    // Load, then Close so that the worker returns, then Unload; never Open.
    std::vector<std::string> entries;
    for (const std::string &call : Calls()) {
        const std::string entry = call.substr(0, call.find(' ', std::string("Recorder ").size()));
        if (entry != "Recorder Worker") {
            entries.push_back(entry);
        }
    }
    EXPECT_EQ(entries, (std::vector<std::string>{"Recorder Load", "Recorder Close", "Recorder Unload"}));
}

TEST_F(InspectorTest, AMaskCopiedFromTheTypesBit24IsPointedOut) {
    const ToolRun run = InspectVariant("tp_mask_from_core", "copied.so");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "    mask 6 = 0x01000002, selected by class bit 0x00000040 (CLASS_LOG)\n"
                                     "        takes the plugins' log lines\n"
                                     "        has type bit 0x01000000 (TYPE_FROM_CORE) but not 0x02000000"))
        << run.output;
    EXPECT_FALSE(Contains(run.output, "takes the core's log lines")) << run.output;
}

// ---- Libraries the core refuses -------------------------------------------------

TEST_F(InspectorTest, IdZeroIsRefusedAsReservedForJobControl) {
    const ToolRun run = InspectVariant("tp_id_zero", "zero.so");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "  ID             0x00000000 (in plugins.xml: 0)\n")) << run.output;
    EXPECT_TRUE(Contains(run.output, "  Verdict        the core refuses it:\n"
                                     "                 - its ID 0 is reserved: events with Source 0 are job "
                                     "control commands\n"))
        << run.output;
}

TEST_F(InspectorTest, TheCoresIdIsRefusedAndShownAsTheReportsWriteIt) {
    const ToolRun run = InspectVariant("tp_core_id", "core_id.so");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "  ID             0x80000000 (in plugins.xml: -2147483648)\n")) << run.output;
    EXPECT_TRUE(Contains(run.output, "                 - its ID 0x80000000 is the core's own (CORE_SOURCE)\n"))
        << run.output;
}

TEST_F(InspectorTest, ALibraryWithoutLoadIsRefusedWithoutBeingCalled) {
    const ToolRun run = InspectVariant("tp_no_load", "no_load.so");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "  Entry points   Open\n"
                                     "  Verdict        the core refuses it:\n"
                                     "                 - it exports no \"Load\""))
        << run.output;
}

TEST_F(InspectorTest, AFileThatIsNoLibraryIsRefusedWithTheLoadersText) {
    WriteFile("notes.so", std::string(200, 'x'));
    const ToolRun run = Inspect({"notes.so"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "Plugin ./notes.so\n"
                                     "  Verdict        the core refuses it:\n"
                                     "                 - the dynamic loader refuses the library: ./notes.so: "))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "ELF")) << run.output;
}

// A root core refuses a library that others may change; the inspector says so
// whoever runs it.
TEST_F(InspectorTest, AWorldWritableLibraryIsRefusedAsUntrusted) {
    const std::string path = Install(coretest::TestPluginPath("tp_basic"), "open.so");
    std::filesystem::permissions(path, std::filesystem::perms::others_write, std::filesystem::perm_options::add);
    const ToolRun run = Inspect({path});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "                 - a core running as root refuses it: ")) << run.output;
}

// ---- Several libraries ----------------------------------------------------------

// A directory stands for its libraries in the core's loading order; one
// refusal makes the exit code 1, and every library is still reported.
TEST_F(InspectorTest, ADirectoryIsInspectedInLoadingOrderAndOneRefusalFailsTheRun) {
    std::filesystem::create_directory(directory / "plugins");
    Install(coretest::TestPluginPath("tp_basic"), "plugins/b.so");
    Install(coretest::TestPluginPath("tp_core_id"), "plugins/a.so");
    Install(coretest::TestPluginPath("tp_second"), "plugins/tDVRpi-c.so");
    const ToolRun run = Inspect({"plugins"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    const auto first = run.output.find("Plugin plugins/tDVRpi-c.so\n");
    const auto second = run.output.find("Plugin plugins/a.so\n");
    const auto third = run.output.find("Plugin plugins/b.so\n");
    ASSERT_NE(third, std::string::npos) << run.output;
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_TRUE(Contains(run.output.substr(third), "  Verdict        the core loads it\n")) << run.output;
}

TEST_F(InspectorTest, NamesNothingOrAnUnknownOptionIsAMistake) {
    EXPECT_EQ(Inspect({}).exitCode, 2);
    EXPECT_EQ(Inspect({"--frobnicate", "x.so"}).exitCode, 2);
    const ToolRun version = Inspect({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, DVRPLUGIN_VERSION_STRING "\n");
}

} // namespace
