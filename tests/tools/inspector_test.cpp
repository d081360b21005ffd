// dvrplugin-inspect run on test plugin variants, as a plugin author runs it
// on a library: what it prints, and its exit code.
#include <filesystem>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "dvrplugin.h"
#include "tests/kit/kit_test_support.h"
#include "tests/tools/tool_process.h"

namespace {

using coretest::Scaled;
using tooltest::RunTool;
using tooltest::ToolRun;

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class InspectorTest : public kittest::ScratchDirectoryTest {
protected:
    // Run as root, the inspector runs a library as the user nobody, who may
    // write the plugins' calls.log only when the file is there for everyone.
    void SetUp() override {
        kittest::ScratchDirectoryTest::SetUp();
        WriteFile("calls.log", "");
        std::filesystem::permissions(directory / "calls.log",
                                     std::filesystem::perms::all & ~std::filesystem::perms::owner_exec &
                                         ~std::filesystem::perms::group_exec & ~std::filesystem::perms::others_exec);
    }

    ToolRun Inspect(const std::vector<std::string> &arguments) const {
        std::vector<std::string> command = tooltest::Emulated(INSPECT_EXECUTABLE);
        command.insert(command.end(), arguments.begin(), arguments.end());
        return RunTool(command, directory.string(), Scaled(60));
    }

    std::vector<std::string> CallsContaining(const std::string &text) const {
        std::vector<std::string> found;
        for (const std::string &call : Calls()) {
            if (Contains(call, text)) {
                found.push_back(call);
            }
        }
        return found;
    }

    bool LoadWasCalled() const {
        for (const std::string &call : Calls()) {
            if (Contains(call, " Load ")) {
                return true;
            }
        }
        return false;
    }

    ToolRun InspectVariant(const char *variant, const std::string &fileName) const {
        return Inspect({Install(coretest::TestPluginPath(variant), fileName)});
    }
};

// ---- Libraries the core loads ---------------------------------------------------

TEST_F(InspectorTest, AGoodPluginIsDescribedAndWouldBeLoaded) {
    // ID 0x10471234, worker thread, mask 0 = 0x10, mask 6 = the core's log lines.
    const ToolRun run = InspectVariant("tp_link_first", "Recorder.so");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    for (const char *line : {"  Entry points   Load Unload Open Close Read Write Seek IOCTL\n",
                             "  Module name    recorder\n", "  ID             0x10471234 (in plugins.xml: 273093172)\n",
                             "  Address        0x04700000: supervisor packets to it reach its IOCTL\n",
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
                                     "  Not run        its code was not run: it exports no Load\n"
                                     "  Verdict        the core refuses it:\n"
                                     "                 - it exports no \"Load\""))
        << run.output;
}

// A plugin author's first C++ plugin: the C++ names are read from the file
// and named, and its code never runs.
TEST_F(InspectorTest, EntryPointsUnderCxxNamesAreNamedWithTheCure) {
    const ToolRun run = InspectVariant("tp_cxx_mangled", "mine.so");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "  Entry points   none\n"
                                     "  Note           exports Load only under the C++ name "
                                     "_Z4LoadP12_LoadParmsInP13_LoadParmsOut, which the core never looks up\n"))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "                 - it exports no \"Load\": it has Load under the C++ name "
                                     "_Z4LoadP12_LoadParmsInP13_LoadParmsOut (declare the entry points extern \"C\", "
                                     "or define DVRPLUGIN_DECLARE_ENTRY_POINTS before including dvrplugin.h)\n"))
        << run.output;
    EXPECT_EQ(InspectVariant("tp_cxx_declared", "cured.so").exitCode, 0);
}

TEST_F(InspectorTest, AFileThatIsNoLibraryIsRefusedWithTheLoadersText) {
    WriteFile("notes.so", std::string(200, 'x'));
    const ToolRun run = Inspect({"notes.so"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "Plugin ./notes.so\n"
                                     "  Not run        its code was not run: the loader here would refuse it\n"
                                     "  Verdict        the core refuses it:\n"
                                     "                 - the dynamic loader refuses the library: it is no ELF file\n"))
        << run.output;
}

// ---- Safe to point at anything ----

// A FIFO would hold a reader that opens it for good; a device is no library.
TEST_F(InspectorTest, AFifoOrADeviceIsNeverOpened) {
    ASSERT_EQ(mkfifo((directory / "pipe.so").c_str(), 0600), 0);
    const ToolRun run = Inspect({"pipe.so", "/dev/null"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "Plugin ./pipe.so\n"
                                     "  Verdict        the core refuses it:\n"
                                     "                 - the core loads only regular files: it is a FIFO, not a "
                                     "regular file\n"))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "it is a character device, not a regular file")) << run.output;
}

// The library is read, not run: its entry points are listed, its Load is not called.
TEST_F(InspectorTest, ALibraryForAnotherMachineIsReadButNotRun) {
    std::string library = ReadFile(Install(coretest::TestPluginPath("tp_basic"), "riscv.so"));
    library[18] = static_cast<char>(243); // e_machine: RISC-V
    library[19] = 0;
    WriteFile("riscv.so", library);
    const ToolRun run = Inspect({"riscv.so"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "  Entry points   Load Unload Open Close Read Write Seek IOCTL\n")) << run.output;
    EXPECT_TRUE(Contains(run.output, "- the dynamic loader refuses the library: it is built for machine 243"))
        << run.output;
    EXPECT_FALSE(LoadWasCalled());
}

// Root runs the library as nobody; another user runs it as that user.
TEST_F(InspectorTest, LoadRunsInAChildWithoutRootsPrivileges) {
    WriteFile("who.load", "whoami\n");
    const ToolRun run = InspectVariant("tp_basic", "who.so");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const passwd *nobody = getpwnam("nobody");
    const uid_t expected = geteuid() != 0 ? geteuid() : nobody != nullptr ? nobody->pw_uid : 65534;
    const std::string uid = std::to_string(expected);
    EXPECT_EQ(CallsContaining("who uid"), std::vector<std::string>{"who uid " + uid + " euid " + uid}) << run.output;
    if (geteuid() == 0) {
        EXPECT_TRUE(Contains(run.output, "  Run as         the user nobody (root's privileges dropped)\n"))
            << run.output;
    }
}

TEST_F(InspectorTest, ALoadThatHangsOrCrashesIsStoppedAndNamed) {
    WriteFile("hangs.load", "await file-that-never-comes-7c1e\n");
    const ToolRun hung = Inspect(
        {"--timeout", std::to_string(Scaled(1).count()), Install(coretest::TestPluginPath("tp_basic"), "hangs.so")});
    EXPECT_EQ(hung.exitCode, 1) << hung.output;
    EXPECT_TRUE(Contains(hung.output, "- it did not return from Load in time: the core would wait for it without end"))
        << hung.output;
    WriteFile("crashes.load", "abort\n");
    const ToolRun crashed = InspectVariant("tp_basic", "crashes.so");
    EXPECT_EQ(crashed.exitCode, 1) << crashed.output;
    EXPECT_TRUE(Contains(crashed.output, "- its inspection ended in Load with signal 6 (SIGABRT): the core would "
                                         "crash too"))
        << crashed.output;
}

// A root core refuses a library that others may change; the inspector says so
// whoever runs it.
TEST_F(InspectorTest, AWorldWritableLibraryIsRefusedAsUntrusted) {
    const std::string path = Install(coretest::TestPluginPath("tp_basic"), "open.so");
    std::filesystem::permissions(path, std::filesystem::perms::others_write, std::filesystem::perm_options::add);
    const ToolRun run = Inspect({path});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "                 - a core running as root refuses it: ")) << run.output;
    // Anyone could have put code into it: none of it runs.
    EXPECT_TRUE(Contains(run.output, "  Not run        its code was not run: ")) << run.output;
    EXPECT_FALSE(LoadWasCalled());
}

// ---- Addresses ----

TEST_F(InspectorTest, IdsWithoutAnAddressOfTheirOwnOrTheMonitorsAreWarnedOf) {
    const ToolRun low = InspectVariant("tp_low_id", "low.so");
    EXPECT_EQ(low.exitCode, 0) << low.output;
    EXPECT_TRUE(Contains(low.output, "  Address        0x00000000: supervisor packets to it reach its IOCTL\n"
                                     "  Warning        its ID bits 16-27 are zero: every plugin with such an ID "
                                     "shares address 0x00000000"))
        << low.output;
    const ToolRun monitor = InspectVariant("tp_monitor_id", "mine.so");
    EXPECT_TRUE(Contains(monitor.output, "  Warning        its ID is the bus monitor's (supervisor-standin --monitor)"))
        << monitor.output;
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

// Together the libraries meet as in the core: a taken ID refuses the later
// library, and a later one whose ID has the same bits 16-27 gets no packets.
TEST_F(InspectorTest, ADirectoryIsCheckedAsTheCoreLoadsItsLibrariesTogether) {
    std::filesystem::create_directory(directory / "plugins");
    Install(coretest::TestPluginPath("tp_second"), "plugins/a.so");
    Install(coretest::TestPluginPath("tp_load_thread"), "plugins/b.so");
    Install(coretest::TestPluginPath("tp_link_first"), "plugins/c.so");
    Install(coretest::TestPluginPath("tp_link_second"), "plugins/d.so");
    const ToolRun run = Inspect({"plugins"});
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "Together, in the core's loading order\n"
                                     "  loads          plugins/a.so (ID 0x00020000, address 0x00200000)\n"
                                     "  refused        plugins/b.so\n"
                                     "  loads          plugins/c.so (ID 0x10471234, address 0x04700000)\n"
                                     "  loads          plugins/d.so (ID 0x00470000, address 0x04700000)\n"
                                     "  Refused        b.so: its ID 0x00020000 is taken by a.so, which loads first "
                                     "(\"already loaded\")\n"
                                     "  Warning        d.so never gets a supervisor packet: address 0x04700000 reaches "
                                     "c.so (ID 0x10471234), which loads first and whose ID has the same bits 16-27\n"))
        << run.output;
}

TEST_F(InspectorTest, NamesNothingOrAnUnknownOptionIsAMistake) {
    EXPECT_EQ(Inspect({}).exitCode, 2);
    EXPECT_EQ(Inspect({"--frobnicate", "x.so"}).exitCode, 2);
    const ToolRun version = Inspect({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, DVRPLUGIN_VERSION_STRING "\n");
}

} // namespace
