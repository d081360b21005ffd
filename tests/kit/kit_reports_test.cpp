// What the kit says of a plugin as the core would say it: entry points under
// C++ names, calls that run long, and threads that outlast the stop.
#include <chrono>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "dvrplugin_testkit.h"
#include "tests/kit/kit_test_support.h"

namespace {

using dvrtest::LongCalls;
using dvrtest::PluginUnderTest;
using kittest::Timeout;

constexpr uint32_t OTHER_PLUGIN = 0x00AB0000u;
constexpr uint32_t COMMAND_PACKET = 100;
// A file no test makes: a script that awaits it never goes on.
const char *const NEVER = "await file-that-never-comes-7c1e\n";

// The text of the runtime_error that `call` throws, or "".
template <typename Call>
std::string Thrown(Call call) {
    try {
        call();
    } catch (const std::runtime_error &error) {
        return error.what();
    }
    return "";
}

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class KitReportsTest : public kittest::ScratchDirectoryTest {
protected:
    std::string Variant(const char *name, const std::string &fileName = "kit.so") {
        return Install(coretest::TestPluginPath(name), fileName);
    }
};

} // namespace

// ---- Entry points under C++ names ----

TEST_F(KitReportsTest, AMissingLoadIsNamedWithItsCxxNameAndTheExternCHint) {
    testing::internal::CaptureStderr();
    PluginUnderTest plugin(Variant("tp_cxx_mangled"));
    const std::string warnings = testing::internal::GetCapturedStderr();
    const std::string error = Thrown([&] { plugin.Load(); });
    EXPECT_TRUE(Contains(error, "exports Load only under the C++ name _Z4LoadP12_LoadParmsInP13_LoadParmsOut"))
        << error;
    EXPECT_TRUE(Contains(error, "extern \"C\"")) << error;
    EXPECT_TRUE(Contains(warnings, "dvrtest: warning: the library exports Open only under the C++ name "
                                   "_Z4OpenP12_OpenParmsInP13_OpenParmsOut"))
        << warnings;
    EXPECT_TRUE(Contains(warnings, "exports Write only under the C++ name")) << warnings;
}

TEST_F(KitReportsTest, WithoutAnyLoadTheHintIsGeneral) {
    PluginUnderTest plugin(Variant("tp_no_load"));
    const std::string error = Thrown([&] { plugin.Load(); });
    EXPECT_TRUE(Contains(error, "the library exports no Load (a plugin written in C++: declare the entry points "
                                "extern \"C\""))
        << error;
}

// The same source with the header's declarations: plain names, no warning.
TEST_F(KitReportsTest, DeclaredEntryPointsLoadWithoutAWord) {
    testing::internal::CaptureStderr();
    PluginUnderTest plugin(Variant("tp_cxx_declared"));
    EXPECT_TRUE(plugin.Load().Ok());
    EXPECT_TRUE(plugin.Open().Ok());
    EXPECT_EQ(plugin.ExportedEntries(), (std::vector<std::string>{"Load", "Open", "Write"}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---- Calls that run long ----

// tp_mis_slow's Write sleeps a second.
TEST_F(KitReportsTest, AWriteOverTheLimitIsReportedOrFailsWhenAsked) {
    PluginUnderTest plugin(Variant("tp_mis_slow"));
    ASSERT_TRUE(plugin.Load().Ok());
    ASSERT_TRUE(plugin.Open().Ok());
    plugin.SetLongCallLimit(std::chrono::milliseconds(100));
    testing::internal::CaptureStderr();
    EXPECT_TRUE(plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x1, 0x10, std::string("slow"))).Called);
    const std::string warning = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(Contains(warning, "dvrtest: the plugin's Write (class 0x00000001 type 0x00000010) ran for "))
        << warning;
    EXPECT_TRUE(Contains(warning, " ms, over the limit of 100 ms")) << warning;
    EXPECT_EQ(plugin.LongCallReports().size(), 1u);

    plugin.SetLongCallLimit(std::chrono::milliseconds(100), LongCalls::Fail);
    EXPECT_TRUE(Contains(Thrown([&] { plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x1, 0x10, std::string("x"))); }),
                         "ran for "));
    // Within the limit: nothing to say.
    plugin.SetLongCallLimit(Timeout(60), LongCalls::Fail);
    EXPECT_NO_THROW(plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x1, 0x10, std::string("y"))));
    EXPECT_EQ(plugin.LongCallReports().size(), 2u);
}

TEST_F(KitReportsTest, ASupervisorPacketOverTheLimitIsReported) {
    PluginUnderTest plugin(Variant("tp_basic"));
    ASSERT_TRUE(plugin.Load().Ok());
    plugin.SetLongCallLimit(std::chrono::milliseconds(50), LongCalls::Fail);
    const std::string error = Thrown([&] { plugin.SendPacket(0x00100000u, COMMAND_PACKET, "sleep 300\n"); });
    EXPECT_TRUE(Contains(error, "the plugin's IOCTL IPC_PACKET (address 0x00100000 type 100) ran for ")) << error;
}

// ---- Threads that outlast the stop ----

// The worker never returns, nor does a job; the reader returns at Close. The
// core would wait for ever: the kit fails Unload and names them.
TEST_F(KitReportsTest, UnloadWaitingPastTheLimitFailsNamingTheThreads) {
    WriteFile("stuck.worker", NEVER);
    PluginUnderTest plugin(Variant("tp_kit_compare", "stuck.so"));
    plugin.SetThreadWaitLimit(Timeout(1));
    ASSERT_TRUE(plugin.Load().Ok());
    ASSERT_TRUE(plugin.Open().Ok());
    ASSERT_TRUE(plugin.StartJob(5, 0x1, 0x10, dvrtest::Bytes(NEVER, NEVER + std::char_traits<char>::length(NEVER))));
    plugin.Close();
    const std::string error = Thrown([&] { plugin.Unload(); });
    EXPECT_TRUE(Contains(error, "dvrtest: Unload has waited ")) << error;
    EXPECT_TRUE(Contains(error, "for the plugin's worker thread (IOCTL WORKER_THREAD) and 1 job thread (Read, tag 5) "
                                "to return"))
        << error;
    EXPECT_FALSE(Contains(error, "reader")) << error;
    // Nothing more is called; the kit's end does not wait again.
    EXPECT_FALSE(plugin.Unload().Called);
}

TEST_F(KitReportsTest, ThreadsThatReturnInTimeAreJoinedAsBefore) {
    PluginUnderTest plugin(Variant("tp_kit_compare"));
    plugin.SetThreadWaitLimit(Timeout(30));
    ASSERT_TRUE(plugin.Load().Ok());
    ASSERT_TRUE(plugin.Open().Ok());
    plugin.Close();
    EXPECT_TRUE(plugin.Unload().Called);
}
