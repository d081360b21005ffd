// my_plugin's unit test: the test kit runs my_plugin.so in this process, as
// the core would, and captures what it raises. DVRPLUGIN_PLUGIN_PATH comes
// from dvrplugin_test_plugin_path in CMakeLists.txt.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include <dvrplugin_testkit.h>

namespace {

constexpr uint32_t OTHER_PLUGIN = 0x00AB0000u;

TEST(MyPlugin, DescribesItselfAsTheCoreExpects) {
    dvrtest::PluginUnderTest plugin(DVRPLUGIN_PLUGIN_PATH);
    ASSERT_TRUE(plugin.Load().Ok());
    EXPECT_NE(plugin.Info().ID, JOB_CONTROL_SOURCE);
    EXPECT_NE(plugin.Info().ID, CORE_SOURCE);
}

// The kit fails Unload, naming the worker, if the worker outlives Close.
TEST(MyPlugin, ItsWorkerReturnsWhenItIsClosed) {
    dvrtest::PluginUnderTest plugin(DVRPLUGIN_PLUGIN_PATH);
    plugin.SetThreadWaitLimit(std::chrono::seconds(5));
    ASSERT_TRUE(plugin.Load().Ok());
    EXPECT_NE(plugin.Info().WorkerThread, 0);
    ASSERT_TRUE(plugin.Open().Ok());
    plugin.Close();
    EXPECT_NO_THROW(plugin.Unload());
}

TEST(MyPlugin, LogsEachEventItTakes) {
    dvrtest::PluginUnderTest plugin(DVRPLUGIN_PLUGIN_PATH);
    ASSERT_TRUE(plugin.Load().Ok());
    ASSERT_TRUE(plugin.Open().Ok());
    EXPECT_TRUE(plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x1, 0x100, std::string("frame"))).Called);
    EXPECT_FALSE(plugin.Write(dvrtest::DataEvent(OTHER_PLUGIN, 0x2, 0x100, std::string("other"))).Called);
    plugin.Close();
    plugin.Unload();

    const auto logs = plugin.Events(dvrtest::EventKind::Ordinary);
    ASSERT_EQ(logs.size(), 2u);
    EXPECT_EQ(logs[0].Text(), "my_plugin opened");
    EXPECT_EQ(logs[1].Text(), "my_plugin got 5 bytes");
    EXPECT_EQ(plugin.LeakReport(), "");
}

} // namespace
