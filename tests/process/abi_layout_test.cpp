// Plugins built separately read the records by byte offset: the core's
// records must have the layout the plugin header promises, on every target.
#include <gtest/gtest.h>

#include "tests/support/core_harness.h"

using namespace coretest;

TEST(PluginRecords, PluginsReadEventFieldsByOffsetAndRaiseEventsBack) {
    Installation installation;
    installation.AddPlugin("tp_layout_a", "alpha.so");
    installation.AddPlugin("tp_layout_b", "beta.so");
    // Each raises one event at Open; both want class bit 0 with type 0x5.
    installation.WriteFile("alpha.open", "raise 0x1 0x5 0 0 from alpha\n");
    installation.WriteFile("beta.open", "raise 0x1 0x5 0 0 from beta\n");
    {
        CoreProcess core(installation);
        core.SendIdentity("korvod", "1");
        ASSERT_TRUE(core.WaitForConsole("successfully started core", Scaled(10)));
        core.SendStop();
        ASSERT_EQ(core.WaitForExit(Scaled(10)), 0);
    }
    const auto writes = CallsContaining(installation, " Write ");
    ASSERT_EQ(writes.size(), 4u); // each event reaches both plugins
    for (const auto &line : writes) {
        EXPECT_NE(line.find("class=0x1 type=0x5 level=0 length="), std::string::npos) << line;
        EXPECT_NE(line.find("layout=ok"), std::string::npos) << line;
    }
    EXPECT_EQ(CallsContaining(installation, "source=0x00aa0000").size(), 2u);
    EXPECT_EQ(CallsContaining(installation, "source=0x00bb0000").size(), 2u);
    EXPECT_EQ(CallsContaining(installation, "data=from alpha.").size(), 2u);
    EXPECT_EQ(CallsContaining(installation, "data=from beta.").size(), 2u);
}
