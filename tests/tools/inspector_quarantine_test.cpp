// dvrplugin-inspect --core-directory: where a library stands in the crash
// quarantine kept in core.xml of the core's working directory.
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/kit/kit_test_support.h"
#include "tests/tools/tool_process.h"

namespace {

using coretest::Scaled;
using tooltest::RunTool;
using tooltest::ToolRun;

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class InspectorQuarantineTest : public kittest::ScratchDirectoryTest {
protected:
    void SetUp() override {
        ScratchDirectoryTest::SetUp();
        library = Install(coretest::TestPluginPath("tp_basic"), "recorder.so");
    }

    ToolRun Inspect() const {
        std::vector<std::string> command = tooltest::Emulated(INSPECT_EXECUTABLE);
        command.insert(command.end(), {"--core-directory", directory.string(), library});
        return RunTool(command, directory.string(), Scaled(60));
    }

    // core.xml listing the library's file as it is now, `crashes` runs in a row.
    void List(unsigned crashes, const std::string &limit = "3") const {
        struct stat status {};
        ASSERT_EQ(stat(library.c_str(), &status), 0);
        char modified[64];
        std::snprintf(modified, sizeof modified, "%lld.%09ld", static_cast<long long>(status.st_mtim.tv_sec),
                      status.st_mtim.tv_nsec);
        WriteFile("core.xml", "<kDVR><Memory Throttling=\"1\" /><Quarantine Crashes=\"" + limit +
                                  "\"><Library Path=\"" + library + "\" Device=\"" + std::to_string(status.st_dev) +
                                  "\" Inode=\"" + std::to_string(status.st_ino) + "\" Size=\"" +
                                  std::to_string(status.st_size) + "\" Modified=\"" + modified + "\" Crashes=\"" +
                                  std::to_string(crashes) + "\" /></Quarantine></kDVR>");
    }

    std::string library;
};

} // namespace

TEST_F(InspectorQuarantineTest, AQuarantinedLibraryIsRefusedUnloadedWithTheWayOut) {
    List(3);
    const ToolRun run = Inspect();
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(Contains(run.output, "  Quarantine     quarantined after 3 crashed runs in a row: replace the library "
                                     "or remove its entry from "))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "  Verdict        the core refuses it:\n"
                                     "                 - quarantined after 3 crashes (see core-crash.txt)\n"))
        << run.output;
    EXPECT_TRUE(Calls().empty()) << "the library was loaded";
}

TEST_F(InspectorQuarantineTest, BelowTheLimitOffOrAnEarlierFileItLoads) {
    List(2);
    ToolRun run = Inspect();
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "  Quarantine     2 crashed runs in a row of 3 that quarantine it")) << run.output;

    List(5, "0");
    run = Inspect();
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "5 crashed runs in a row, but the quarantine is off")) << run.output;

    List(3);
    std::filesystem::remove(library);
    Install(coretest::TestPluginPath("tp_second"), "recorder.so");
    run = Inspect();
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "of an earlier file: this one loads and the entry goes")) << run.output;
}

TEST_F(InspectorQuarantineTest, ALibraryNotListedOrNoCoreXmlIsSaidSo) {
    ToolRun run = Inspect();
    EXPECT_TRUE(Contains(run.output, "  Quarantine     none: no readable ")) << run.output;
    WriteFile("core.xml", "<kDVR><Memory Throttling=\"1\" /></kDVR>");
    run = Inspect();
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "  Quarantine     not listed in ")) << run.output;
}
