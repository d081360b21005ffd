// The bridge plugin in the real core, with example and test plugins, against a real mosquitto
// broker on loopback (TLS, client certificates, a password file), watched by a real client.
#include <csignal>
#include <optional>
#include <string>

#include <sys/stat.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "tests/mqtt/closing_listener.h"
#include "tests/mqtt/programs.h"
#include "tests/mqtt/test_broker.h"
#include "tests/mqtt/test_client.h"
#include "tests/support/core_harness.h"
#include "tests/support/plugin_test_fixture.h"

namespace {

using coretest::Scaled;
using mqtttest::TestBroker;

// The test plugin that runs commands sent to it; it takes every class 0x1 event and log line.
const coretest::Variant ANY{"tp_bus_any", 0x00C10000u};
const std::string ANY_STEM = "any";
constexpr uint32_t COMMAND_PACKET = 100;
const std::string BASE = "dvr/hall/";
constexpr std::size_t FLOODS = 4;

class BridgeInTheCore : public ::testing::Test {
protected:
    BridgeInTheCore() {
        CopyPlugin(MQTT_BRIDGE_PLUGIN, "mqtt_bridge.so");
        CopyPlugin(CONSUMER_PLUGIN, "consumer.so");
        CopyPlugin(LOGGER_PLUGIN, "logger.so");
        installation.AddPlugin(ANY.name, ANY_STEM + ".so");
        WritePassword(TestBroker::RECORDER_PASSWORD, 0600);
        WriteSettings();
    }

    void CopyPlugin(const char *built, const std::string &name) const {
        boost::filesystem::create_directories(installation.Root() + "/plugins");
        boost::filesystem::copy_file(built, installation.Root() + "/plugins/" + name);
    }

    void WritePassword(const std::string &password, mode_t mode) const {
        installation.WriteFile("mqtt_bridge.password", password + "\n");
        chmod((installation.Root() + "/mqtt_bridge.password").c_str(), mode);
    }

    void WriteSettings() const {
        installation.WriteFile("mqtt_bridge.xml",
                               "<?xml version=\"1.0\" ?>\n<kDVR>\n"
                               "    <Broker Host=\"127.0.0.1\" Port=\"" +
                                   std::to_string(broker.Port()) +
                                   "\" KeepAlive=\"10\" />\n"
                                   "    <Device Name=\"hall\" />\n"
                                   "    <TLS CAFile=\"" +
                                   broker.CaFile() + "\" CertFile=\"" + broker.ClientCertificate() + "\" KeyFile=\"" +
                                   broker.ClientKey() +
                                   "\" />\n"
                                   "    <Authentication User=\"" +
                                   TestBroker::RECORDER_USER +
                                   "\" PasswordFile=\"mqtt_bridge.password\" />\n"
                                   "    <Events><Publish Class=\"0x10\" Types=\"0x20\" /></Events>\n"
                                   "    <Commands>\n"
                                   "        <Command Name=\"poke\" Class=\"0x1\" Type=\"0x40\" />\n"
                                   "        <Command Name=\"frame\" Class=\"0x8\" Type=\"0x100\" />\n"
                                   "    </Commands>\n"
                                   "    <Queue Messages=\"100\" />\n"
                                   "    <Reconnect MinimumSeconds=\"1\" MaximumSeconds=\"1\" />\n"
                                   "</kDVR>\n");
    }

    void StartCore() {
        core.emplace(installation);
        core->SendIdentity("korvod", "2.1");
        ASSERT_TRUE(core->WaitForConsole("successfully started core version", Scaled(20)));
    }

    void Watch() { watcher.emplace(broker, BASE + "#"); }

    bool Arrives(const std::string &topic, const std::string &part) {
        return watcher->WaitFor(BASE + topic, part, Scaled(20)).has_value();
    }

    // Runs test plugin commands (testplugins/test_plugin.c) and waits for their last record.
    void InAny(const std::string &commands, const std::string &done, std::size_t count = 1) {
        core->SendPacket(COMMAND_PACKET, coretest::AddressOf(ANY), commands);
        ASSERT_TRUE(coretest::WaitForCalls(installation, ANY_STEM, done, count, Scaled(60))) << commands;
    }

    std::size_t ConsoleCount(const std::string &text) const {
        std::size_t count = 0;
        for (const std::string &line : coretest::Lines(core->Console())) {
            count += line.find(text) != std::string::npos;
        }
        return count;
    }

    std::string BrokerName() const { return "the broker at 127.0.0.1:" + std::to_string(broker.Port()); }

    coretest::Installation installation;
    TestBroker broker;
    std::optional<mqtttest::TestClient> watcher;
    std::optional<coretest::CoreProcess> core;
};

// ---- Publishing ----

TEST_F(BridgeInTheCore, PublishesItsStateTheDocumentsLogLinesAndChosenEvents) {
    Watch();
    StartCore();
    EXPECT_TRUE(Arrives("state", "online"));
    EXPECT_TRUE(Arrives("modules", "Filename=\"mqtt_bridge.so\""));
    EXPECT_TRUE(Arrives("status/80000000/Memory", "<Memory ID=\"-2147483648\" Throttling=\"0\""));
    EXPECT_TRUE(Arrives("log/80000000/25", "successfully started core version"));
    InAny("raise 0x40 0x2 0 10 below the minimum level\n"
          "raise 0x40 0x2 0 50 from the test plugin\n"
          "repeat 2 0x10 0x20 clip\n"
          "repeat 1 0x10 0x21 not chosen\n"
          "raise 0x40 0x2 0 100 after the events",
          "result", 3);
    EXPECT_TRUE(Arrives("log/00C10000/50", "from the test plugin"));
    EXPECT_TRUE(Arrives("event/00C10000/00000010/00000020", "clip 1"));
    ASSERT_TRUE(Arrives("log/00C10000/100", "after the events"));
    // One thread publishes in delivery order: what did not come before the last line never will.
    EXPECT_EQ(watcher->Count(BASE + "log/00C10000/10", ""), 0u);
    EXPECT_EQ(watcher->Count(BASE + "event/00C10000/00000010/00000021", ""), 0u);

    mqtttest::TestClient late(broker, BASE + "#");
    for (const char *topic : {"state", "modules", "status/80000000/Memory", "bridge"}) {
        const auto retained = late.WaitFor(BASE + topic, "", Scaled(20));
        ASSERT_TRUE(retained) << topic;
        EXPECT_TRUE(retained->retained) << topic;
    }
}

TEST_F(BridgeInTheCore, TheDocumentedWatchCommandShowsTheDevice) {
    Watch();
    StartCore();
    ASSERT_TRUE(Arrives("status/80000000/Memory", "<Memory"));
    const std::string output = installation.Root() + "/mosquitto_sub.out";
    // The retained state, counters, health, modules report and status document.
    const int exitCode = mqtttest::RunProgram({MOSQUITTO_SUB_PROGRAM,
                                               "-h",
                                               "127.0.0.1",
                                               "-p",
                                               std::to_string(broker.Port()),
                                               "--cafile",
                                               broker.CaFile(),
                                               "--cert",
                                               broker.ClientCertificate(),
                                               "--key",
                                               broker.ClientKey(),
                                               "-u",
                                               TestBroker::WATCHER_USER,
                                               "-P",
                                               TestBroker::WATCHER_PASSWORD,
                                               "-t",
                                               "dvr/hall/#",
                                               "-v",
                                               "-C",
                                               "5",
                                               "-W",
                                               std::to_string(static_cast<int>(Scaled(30).count()))},
                                              output);
    const std::string shown = mqtttest::ReadText(output);
    EXPECT_EQ(exitCode, 0) << shown;
    EXPECT_NE(shown.find("dvr/hall/state online\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("dvr/hall/modules <?xml ?><kDVR Delta=\"0\"><Modules"), std::string::npos) << shown;
    EXPECT_NE(shown.find("dvr/hall/status/80000000/Memory <?xml ?><kDVR><Memory"), std::string::npos) << shown;
    EXPECT_NE(shown.find("dvr/hall/bridge <?xml ?><kDVR><Bridge Published=\""), std::string::npos) << shown;
    EXPECT_NE(shown.find("Dropped=\"0\" Reconnects=\"0\" RefusedCommands=\"0\" /></kDVR>"), std::string::npos) << shown;
    EXPECT_NE(shown.find("dvr/hall/info <?xml ?><kDVR><Info CoreVersion=\""), std::string::npos) << shown;
}

// ---- Commands ----

TEST_F(BridgeInTheCore, CommandsReachOtherPluginsAsEvents) {
    Watch();
    StartCore();
    ASSERT_TRUE(Arrives("state", "online"));
    watcher->Publish(BASE + "command/poke", "poke 1");
    EXPECT_TRUE(coretest::WaitForCalls(
        installation, ANY_STEM,
        "Write source=0x004d0000 tag=0 class=0x1 type=0x40 level=0 length=6 null=0 layout=ok data=poke 1", 1,
        Scaled(20)));
    // The consumer example keeps the frame and gives it back with a log line, which the logger
    // example writes down and the bridge publishes.
    watcher->Publish(BASE + "command/frame", "frame 77");
    EXPECT_TRUE(Arrives("log/00E50000/25", "consumer releases frame 77"));
    EXPECT_NE(installation.ReadFile("example-logger.log").find("00E50000 25 consumer releases frame 77"),
              std::string::npos);
}

TEST_F(BridgeInTheCore, MalformedCommandsAreCountedAndLoggedAndNothingElseHappens) {
    Watch();
    StartCore();
    ASSERT_TRUE(Arrives("state", "online"));
    watcher->Publish(BASE + "command/nosuch", "x");
    watcher->Publish(BASE + "command/1/40", "x");
    watcher->Publish(BASE + "command/poke", std::string(70000, 'p'));
    ASSERT_TRUE(core->WaitForConsole("(3 refused so far)", Scaled(20)));
    EXPECT_EQ(ConsoleCount("refused the command on dvr/hall/command/nosuch: unknown command (1 refused so far)"), 1u);
    EXPECT_EQ(ConsoleCount("refused the command on dvr/hall/command/1/40: numeric commands are not allowed "
                           "(2 refused so far)"),
              1u);
    EXPECT_EQ(ConsoleCount("refused the command on dvr/hall/command/poke: payload of 70000 bytes is above 65536 "
                           "(3 refused so far)"),
              1u);
    EXPECT_TRUE(Arrives("bridge", "RefusedCommands=\"3\""));
    watcher->Publish(BASE + "command/poke", "poke 2");
    EXPECT_TRUE(coretest::WaitForCalls(installation, ANY_STEM, "data=poke 2", 1, Scaled(20)));
    EXPECT_EQ(coretest::CallsOf(installation, ANY_STEM, "source=0x004d0000").size(), 1u);
}

// ---- Authentication ----

TEST_F(BridgeInTheCore, AWrongPasswordIsRefusedWithOneClearLine) {
    WritePassword("not-the-password", 0600);
    StartCore();
    const std::string refusal = BrokerName() + " refused the connection: not authorised";
    EXPECT_TRUE(core->WaitForConsole(refusal, Scaled(20)));
    // However often the bridge tries again, it says so once.
    EXPECT_TRUE(broker.WaitForLog("disconnected, not authorised", 4, Scaled(30).count()));
    EXPECT_EQ(ConsoleCount(refusal), 1u);
    EXPECT_EQ(ConsoleCount("cannot reach"), 0u);
    EXPECT_EQ(core->Console().find("not-the-password"), std::string::npos);
    InAny("raise 0x1 0x40", "Write source=0x00c10000"); // and the core runs on
}

TEST_F(BridgeInTheCore, APasswordFileOthersMayReadKeepsTheBridgeOff) {
    WritePassword(TestBroker::RECORDER_PASSWORD, 0644);
    StartCore();
    const std::string console = core->Console();
    EXPECT_NE(console.find("the bridge is off: password file "), std::string::npos) << console;
    EXPECT_NE(console.find("no permission to group or others (mode 0600 or 0400)"), std::string::npos);
    EXPECT_EQ(console.find(TestBroker::RECORDER_PASSWORD), std::string::npos);
    EXPECT_NE(installation.ReadFile("plugins.xml").find("Filename=\"mqtt_bridge.so\" Opened=\"1\" LoadTimeMs"),
              std::string::npos);
    EXPECT_NE(installation.ReadFile("plugins.xml").find("OpenCode=\"1\""), std::string::npos);
    EXPECT_EQ(broker.LogCount("New connection"), 0u);
}

// ---- Outages ----

TEST_F(BridgeInTheCore, ReconnectsAfterTheBrokerRestartsWhileTheCoreRunsOnInBoundedMemory) {
    Watch();
    StartCore();
    ASSERT_TRUE(Arrives("state", "online"));
    watcher.reset();
    broker.Stop();
    const std::string lost = "lost " + BrokerName() + ": ";
    ASSERT_TRUE(core->WaitForConsole(lost, Scaled(20)));
    {
        // While the broker is away the bridge keeps trying, and says nothing more about it.
        mqtttest::ClosingListener away(broker.Port());
        ASSERT_TRUE(coretest::WaitUntil([&] { return away.Accepted() >= 3; }, Scaled(30)));
        // The core runs on: plugins raise and get events, and the bridge keeps only the newest.
        // Each flood is delivered whole before the next: the test plugin's own event comes last.
        const std::string flood = "repeat 20000 0x10 0x20 " + std::string(100, 'f') + "\nraise 0x1 0x40";
        InAny(flood, "Write source=0x00c10000", 1);
        const long warm = coretest::ResidentKib(core->Pid());
        for (std::size_t round = 2; round <= FLOODS; ++round) {
            InAny(flood, "Write source=0x00c10000", round);
        }
        if (!coretest::SANITIZED_ALLOCATOR) {
            // Kept unbounded, these floods would take some 15 MiB.
            EXPECT_LT(coretest::ResidentKib(core->Pid()) - warm, 4096) << "KiB more after the floods";
        }
        EXPECT_EQ(ConsoleCount(lost), 1u);
        EXPECT_EQ(ConsoleCount("cannot reach"), 0u);
    }
    // The broker comes back without the retained messages; the watcher is there before the bridge.
    broker.AllowRecorder(false);
    broker.Start();
    Watch();
    broker.AllowRecorder(true);
    EXPECT_TRUE(Arrives("state", "online"));
    EXPECT_TRUE(Arrives("modules", "Filename=\"mqtt_bridge.so\""));
    EXPECT_TRUE(Arrives("event/00C10000/00000010/00000020", std::string(100, 'f') + " 19999"));
    EXPECT_TRUE(core->WaitForConsole("connected to " + BrokerName() + " again; ", Scaled(20)));
    EXPECT_EQ(watcher->Count(BASE + "event/00C10000/00000010/00000020", std::string(100, 'f') + " 0"), 0u);
    InAny("raise 0x40 0x2 0 50 after the outage", "result");
    EXPECT_TRUE(Arrives("log/00C10000/50", "after the outage"));
}

// ---- Stopping ----

TEST_F(BridgeInTheCore, TheLastWillMarksTheDeviceOfflineWhenTheCoreIsKilled) {
    Watch();
    StartCore();
    ASSERT_TRUE(Arrives("state", "online"));
    core->Signal(SIGKILL);
    ASSERT_TRUE(core->WaitForExit(Scaled(20)));
    EXPECT_TRUE(Arrives("state", "offline"));
}

TEST_F(BridgeInTheCore, AStoppingCoreSaysOfflineAndDisconnects) {
    Watch();
    StartCore();
    ASSERT_TRUE(Arrives("state", "online"));
    EXPECT_EQ(core->StopBySignal(SIGTERM, Scaled(30)), 0);
    EXPECT_TRUE(Arrives("state", "offline"));
    EXPECT_EQ(ConsoleCount("lost the broker"), 0u);
}

} // namespace
