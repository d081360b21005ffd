// The Scheduler seen from a plugin: the memory status documents it gets and
// the events the core refuses while it throttles video.
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"

using namespace coretest;

namespace {

const char *const STARTED = "successfully started core version";
const char *const LOW_LINE = "available system memory is low, throttling video";
// tp_status (ID 0x00B10000) takes status documents through mask 2.
const char *const STATUS_PLUGIN = "tp_status";
constexpr uint32_t STATUS_PLUGIN_ADDRESS = 0x0B100000;
constexpr uint32_t PLUGIN_PACKET = 20; // neither identity nor stop: forwarded
const char *const STATUS_WRITE = "tp_status Write source=0x80000000 tag=0 class=0x4 type=0x1000010";
const char *const CORE_MEMORY = "<Memory ID=\"-2147483648\" ";
// More than the 190 MiB limit, even before the core's own share.
const char *const ALLOCATE = "allocate 200";

// The "Time" attribute of a recorded status document.
long DocumentTime(const std::string &writeLine) {
    const auto at = writeLine.find("Time=\"");
    return at == std::string::npos ? -1 : std::stol(writeLine.substr(at + 6));
}

class Housekeeping : public ::testing::Test {
protected:
    void SetUp() override { installation.AddPlugin(STATUS_PLUGIN, std::string(STATUS_PLUGIN) + ".so"); }

    // Starts the core under a supervisor that identifies itself at once.
    void StartCore() {
        core.emplace(installation);
        core->SendIdentity("korvod", "2.1");
        ASSERT_TRUE(core->WaitForConsole(STARTED, Scaled(10)));
    }
    void SendToStatusPlugin(const std::string &commands) const {
        core->SendPacket(PLUGIN_PACKET, STATUS_PLUGIN_ADDRESS, commands);
    }
    // Stops the core and checks that it stopped cleanly.
    void StopCore() {
        core->SendStop();
        EXPECT_EQ(core->WaitForExit(Scaled(20)), 0);
    }

    Installation installation;
    std::optional<CoreProcess> core;
};

// ---- Status documents ----

TEST_F(Housekeeping, FirstStatusDocumentShowsTheCoreNotThrottlingAtTheCurrentTime) {
    const long before = static_cast<long>(std::time(nullptr));
    ASSERT_NO_FATAL_FAILURE(StartCore());
    const auto documents = WaitForCalls(installation, STATUS_WRITE, 1, Scaled(10));
    ASSERT_FALSE(documents.empty());
    EXPECT_NE(documents[0].find(std::string("data=<?xml ?><kDVR>") + CORE_MEMORY + "Throttling=\"0\" Time=\""),
              std::string::npos)
        << documents[0];
    EXPECT_GE(DocumentTime(documents[0]), before);
    EXPECT_LE(DocumentTime(documents[0]), static_cast<long>(std::time(nullptr)));
    StopCore();
}

// Needs core.xml to be read at start-up.
TEST_F(Housekeeping, ThrottlingDisabledInCoreXmlNeitherAnnouncesNorThrottles) {
    installation.WriteFile("core.xml", "<?xml ?>\n<kDVR Delta=\"0\">\n"
                                       "    <Memory ID=\"-2147483648\" Throttling=\"0\" />\n</kDVR>\n");
    ASSERT_NO_FATAL_FAILURE(StartCore());
    SendToStatusPlugin(ALLOCATE);
    ASSERT_EQ(WaitForCalls(installation, "allocated 200 ok", 1, Scaled(10)).size(), 1u);
    // With throttling enabled a reading would come within a second.
    std::this_thread::sleep_for(Scaled(2.5));
    SendToStatusPlugin("raise 0x1 0x1000000");
    EXPECT_EQ(WaitForCalls(installation, "tp_status result", 1, Scaled(10)),
              std::vector<std::string>({"tp_status result 0"}));
    EXPECT_EQ(core->Console().find(LOW_LINE), std::string::npos);
    EXPECT_EQ(CallsContaining(installation, STATUS_WRITE), std::vector<std::string>());
    SendToStatusPlugin("free");
    StopCore();
}

// ---- Throttling ----

TEST_F(Housekeeping, ResidentSizeOverTheLimitThrottlesCoreKindEventsOfClassBitZero) {
    ASSERT_NO_FATAL_FAILURE(StartCore());
    ASSERT_EQ(WaitForCalls(installation, STATUS_WRITE, 1, Scaled(10)).size(), 1u);
    SendToStatusPlugin(ALLOCATE);
    ASSERT_TRUE(core->WaitForConsole(LOW_LINE, Scaled(10)));
    const auto documents = WaitForCalls(installation, STATUS_WRITE, 2, Scaled(10));
    ASSERT_EQ(documents.size(), 2u);
    EXPECT_NE(documents[1].find(std::string(CORE_MEMORY) + "Throttling=\"1\""), std::string::npos) << documents[1];

    SendToStatusPlugin("raise 0x1 0x1000000\nraise 0x2 0x1000000\nraise 0x1 0x10");
    EXPECT_EQ(WaitForCalls(installation, "tp_status result", 3, Scaled(10)),
              std::vector<std::string>({"tp_status result 5", "tp_status result 0", "tp_status result 0"}));
    SendToStatusPlugin("free");
    StopCore();
    EXPECT_EQ(Count(core->Console(), LOW_LINE), 1u);
}

// ---- Clock changes ----

// A plugin holds the asio thread for 2.6 s: the ticks come late, the clock
// did not change. The allocation after the stall shows when a tick has run
// since: its memory reading logs the "low" line, after any clock line.
TEST_F(Housekeeping, AsioThreadHeldForSecondsIsNoClockChange) {
    ASSERT_NO_FATAL_FAILURE(StartCore());
    ASSERT_EQ(WaitForCalls(installation, STATUS_WRITE, 1, Scaled(10)).size(), 1u);
    SendToStatusPlugin(std::string("sleep 2600\n") + ALLOCATE);
    ASSERT_TRUE(core->WaitForConsole(LOW_LINE, Scaled(20)));
    EXPECT_EQ(core->Console().find("system time changed"), std::string::npos) << core->Console();
    SendToStatusPlugin("free");
    StopCore();
}

} // namespace
