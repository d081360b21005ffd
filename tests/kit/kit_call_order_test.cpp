// Calls a test makes out of the core's order are the test's mistake: the kit
// throws std::logic_error saying so, and the plugin is not called. Also the
// kit's leak report, which names what a plugin still holds.
#include <functional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "dvrplugin_testkit.h"
#include "tests/kit/kit_test_support.h"

namespace {

using dvrtest::PluginUnderTest;

constexpr uint32_t OTHER_PLUGIN = 0x00AB0000u;

// The text of the std::logic_error the call throws, or a note that it threw none.
std::string OrderMistake(const std::function<void()> &call) {
    try {
        call();
    } catch (const std::logic_error &mistake) {
        return mistake.what();
    }
    return "(no std::logic_error)";
}

class KitCallOrderTest : public kittest::ScratchDirectoryTest {
protected:
    std::string Variant(const char *name) { return Install(coretest::TestPluginPath(name), "kit.so"); }

    std::size_t CallsStartingWith(const std::string &entry) const {
        std::size_t count = 0;
        for (const auto &line : Calls()) {
            count += line.rfind("kit " + entry, 0) == 0;
        }
        return count;
    }

    static dvrtest::Event Frame() { return dvrtest::DataEvent(OTHER_PLUGIN, 0x2, 0x20, std::string("frame")); }
};

// ---- Lifecycle ------------------------------------------------------------------

TEST_F(KitCallOrderTest, OpenBeforeLoadIsRefusedWithoutCallingThePlugin) {
    PluginUnderTest plugin(Variant("tp_basic"));
    EXPECT_EQ(OrderMistake([&] { plugin.Open(); }),
              "dvrtest: Open before a successful Load: the core opens only loaded plugins");
    EXPECT_EQ(CallsStartingWith("Open"), 0u);
    ASSERT_TRUE(plugin.Load().Ok());
    EXPECT_TRUE(plugin.Open().Called);
}

TEST_F(KitCallOrderTest, LoadAndOpenRunOnceEach) {
    PluginUnderTest plugin(Variant("tp_basic"));
    ASSERT_TRUE(plugin.Load().Ok());
    EXPECT_EQ(OrderMistake([&] { plugin.Load(); }), "dvrtest: Load called a second time: the core loads a plugin once");
    plugin.Open();
    EXPECT_EQ(OrderMistake([&] { plugin.Open(); }), "dvrtest: Open called a second time: the core opens a plugin once");
    plugin.Close();
    plugin.Unload();
    EXPECT_EQ(CallsStartingWith("Load"), 1u);
    EXPECT_EQ(CallsStartingWith("Open"), 1u);
}

// The core drops a plugin whose Load failed; the test may try Load again.
TEST_F(KitCallOrderTest, AFailedLoadLeavesNothingToOpen) {
    PluginUnderTest plugin(Variant("tp_load_fails"));
    EXPECT_FALSE(plugin.Load().Ok());
    EXPECT_EQ(OrderMistake([&] { plugin.Open(); }),
              "dvrtest: Open before a successful Load: the core opens only loaded plugins");
    EXPECT_FALSE(plugin.Load().Ok());
    EXPECT_EQ(CallsStartingWith("Load"), 2u);
}

// ---- Deliveries ------------------------------------------------------------------

TEST_F(KitCallOrderTest, EventsAreDeliveredOnlyBetweenOpenAndClose) {
    PluginUnderTest plugin(Variant("tp_job_seen")); // takes class 0x2 type 0x20
    EXPECT_EQ(OrderMistake([&] { plugin.Write(Frame()); }),
              "dvrtest: Write before Open: the core delivers events only to opened plugins");
    ASSERT_TRUE(plugin.Load().Ok());
    EXPECT_EQ(OrderMistake([&] { plugin.UpdateConfig("<kDVR />"); }),
              "dvrtest: UpdateConfig before Open: the core delivers events only to opened plugins");
    plugin.Open();
    EXPECT_TRUE(plugin.Write(Frame()).Called);
    plugin.Close();
    EXPECT_EQ(OrderMistake([&] { plugin.Write(Frame()); }),
              "dvrtest: Write after Close or Unload: the core delivers nothing once the stop has begun");
    EXPECT_EQ(CallsStartingWith("Write"), 1u);
}

// Packets reach a plugin from its Load on, before its Open and after its
// Close, until it is unloaded.
TEST_F(KitCallOrderTest, PacketsReachALoadedPluginUntilItIsUnloaded) {
    PluginUnderTest plugin(Variant("tp_basic"));
    const uint32_t address = 0x00100000u; // tp_basic's ID 0x00010000
    EXPECT_EQ(OrderMistake([&] { plugin.SendPacket(address, 100, "send 24"); }),
              "dvrtest: SendPacket before a successful Load: the core forwards packets only to loaded plugins");
    ASSERT_TRUE(plugin.Load().Ok());
    EXPECT_TRUE(plugin.SendPacket(address, 100, "send 24").Called);
    plugin.Open();
    plugin.Close();
    EXPECT_TRUE(plugin.SendPacket(address, 100, "send 24").Called);
    plugin.Unload();
    EXPECT_EQ(OrderMistake([&] { plugin.SendPacket(address, 100, "send 24"); }),
              "dvrtest: SendPacket after Unload: the core forwards nothing to an unloaded plugin");
    EXPECT_EQ(plugin.Packets().size(), 2u);
}

// ---- Leaks ------------------------------------------------------------------------

TEST_F(KitCallOrderTest, TheLeakReportNamesEachHeldBuffer) {
    PluginUnderTest plugin(Variant("tp_job_retain")); // keeps every buffer until "release"
    ASSERT_TRUE(plugin.Load().Ok());
    plugin.Open();
    EXPECT_EQ(plugin.LeakReport(), "");
    plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x2, 0x20, std::string("kept")));
    plugin.Close();
    plugin.Unload();
    EXPECT_EQ(plugin.LeakReport(), "holds 4 bytes of an event of class 0x00000002 type 0x00000020\n");
    const auto leaks = plugin.RetainedBuffers();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_EQ(leaks[0].EventClass, 0x2u);
    EXPECT_EQ(leaks[0].EventType, 0x20u);
}

TEST_F(KitCallOrderTest, AConfigurationDocumentHeldIsNamedAsTheCoreSentIt) {
    PluginUnderTest plugin(Variant("tp_job_retain"));
    ASSERT_TRUE(plugin.Load().Ok());
    plugin.Open();
    plugin.UpdateConfig("<kDVR />");
    EXPECT_EQ(plugin.LeakReport(), "holds 8 bytes of an event of class 0x00000100 type 0x01000010\n");
}

} // namespace
