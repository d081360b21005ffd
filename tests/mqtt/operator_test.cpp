// The bridge as a fleet operator meets it, in the real core against the fleet broker recipe:
// errors in the system log and the bridge document, JSON parsed by a standard parser, answers to
// commands, the info topic, Home Assistant discovery, reloading, and the faults a red team found.
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "tests/mqtt/programs.h"
#include "tests/mqtt/test_broker.h"
#include "tests/mqtt/test_client.h"
#include "tests/support/core_harness.h"
#include "tests/support/plugin_test_fixture.h"
#include "tests/support/private_system_log.h"

namespace {

using coretest::Scaled;
using mqtttest::TestBroker;

const coretest::Variant ANY{"tp_bus_any", 0x00C10000u};
const coretest::Variant ANSWERER{"tp_bridge_answerer", 0x00C50000u};
constexpr uint32_t COMMAND_PACKET = 100;
const std::string BASE = "dvr/hall/";

// `filter` applied by jq to a JSON text: its compact output, or "<invalid>" when jq refuses it.
std::string Jq(const coretest::Installation &installation, const std::string &json, const std::string &filter) {
    installation.WriteFile("jq.in", json);
    const std::string output = installation.Root() + "/jq.out";
    unlink(output.c_str());
    const int status = mqtttest::RunProgram({JQ_PROGRAM, "-c", "-e", filter, installation.Root() + "/jq.in"}, output);
    std::string shown = mqtttest::ReadText(output);
    while (!shown.empty() && shown.back() == '\n') {
        shown.pop_back();
    }
    return status == 0 ? shown : "<invalid> " + shown;
}

class BridgeForOperators : public ::testing::Test {
protected:
    BridgeForOperators() {
        boost::filesystem::create_directories(installation.Root() + "/plugins");
        boost::filesystem::copy_file(MQTT_BRIDGE_PLUGIN, installation.Root() + "/plugins/mqtt_bridge.so");
        installation.AddPlugin(ANY.name, "any.so");
        installation.AddPlugin(ANSWERER.name, "answerer.so");
        installation.WriteFile("mqtt_bridge.password", std::string(TestBroker::RECORDER_PASSWORD) + "\n");
        chmod((installation.Root() + "/mqtt_bridge.password").c_str(), 0600);
    }

    void WriteSettings(const std::string &extra, const std::string &commands = "") const {
        installation.WriteFile(
            "mqtt_bridge.xml",
            "<?xml version=\"1.0\" ?>\n<kDVR>\n<Broker Host=\"127.0.0.1\" Port=\"" + std::to_string(broker.Port()) +
                "\" KeepAlive=\"10\" />\n<Device Name=\"hall\" />\n" + "<TLS CAFile=\"" + broker.CaFile() +
                "\" />\n<Authentication User=\"" + TestBroker::RECORDER_USER +
                "\" PasswordFile=\"mqtt_bridge.password\" />\n" +
                "<Events><Publish Class=\"0x10\" Types=\"0x20\" /></Events>\n" + "<Commands" + commands + ">\n" +
                "<Command Name=\"poke\" Class=\"0x1\" Type=\"0x40\" />\n" +
                "<Command Name=\"ask\" Class=\"0x1\" Type=\"0x80\" AnswerSeconds=\"30\" />\n" +
                "<Command Name=\"silence\" Class=\"0x1\" Type=\"0x41\" AnswerSeconds=\"1\" />\n" +
                "</Commands>\n<Reconnect MinimumSeconds=\"1\" MaximumSeconds=\"1\" />\n" + extra + "</kDVR>\n");
    }

    void StartCore(const coretest::StartOptions &options = {}) {
        core.emplace(installation, options);
        core->SendIdentity("korvod", "2.1");
        ASSERT_TRUE(core->WaitForConsole("successfully started core version", Scaled(20)));
    }

    void Watch(const std::string &filter = BASE + "#", bool mqtt5 = false) {
        mqtttest::ClientLogin login;
        login.mqtt5 = mqtt5;
        watcher.emplace(broker, filter, login);
    }

    std::optional<mqtttest::TestClient::Message> Arrives(const std::string &topic, const std::string &part) {
        return watcher->WaitFor(topic, part, Scaled(20));
    }

    void InAny(const std::string &commands, const std::string &done, std::size_t count = 1) {
        core->SendPacket(COMMAND_PACKET, coretest::AddressOf(ANY), commands);
        ASSERT_TRUE(coretest::WaitForCalls(installation, "any", done, count, Scaled(60))) << commands;
    }

    std::size_t ConsoleCount(const std::string &text) const {
        std::size_t count = 0;
        for (const std::string &line : coretest::Lines(core->Console())) {
            count += line.find(text) != std::string::npos;
        }
        return count;
    }

    coretest::Installation installation;
    TestBroker broker;
    std::optional<mqtttest::TestClient> watcher;
    std::optional<coretest::CoreProcess> core;
};

// ---- Errors an operator can see ----

TEST_F(BridgeForOperators, AWrongPasswordReachesTheSystemLogAndTheBridgeDocument) {
    std::string why;
    if (!testsupport::PrivateSystemLog::Possible(why)) {
        GTEST_SKIP() << why;
    }
    WriteSettings("");
    broker.AllowRecorder(false);
    testsupport::PrivateSystemLog systemLog;
    coretest::StartOptions options;
    options.beforeExec = systemLog.ChildSetup();
    StartCore(options);
    const std::string refusal =
        "the broker at 127.0.0.1:" + std::to_string(broker.Port()) + " refused the connection: not authorised";
    ASSERT_TRUE(systemLog.WaitFor(refusal, Scaled(20)));
    for (const testsupport::SystemLogMessage &message : systemLog.Messages()) {
        const std::string &line = message.datagram;
        EXPECT_EQ(line.rfind("<12>", 0), 0u) << line; // LOG_USER | LOG_WARNING
        EXPECT_NE(line.find(" dvrcore-mqtt-bridge[" + std::to_string(core->Pid())), std::string::npos) << line;
        EXPECT_EQ(line.find(TestBroker::RECORDER_PASSWORD), std::string::npos) << line;
    }
    Watch();
    broker.AllowRecorder(true);
    const auto bridge = Arrives(BASE + "bridge", "LastError=\"" + refusal + "\" LastErrorTime=\"20");
    ASSERT_TRUE(bridge);
    EXPECT_NE(bridge->payload.find(" Reconnects=\"0\""), std::string::npos) << bridge->payload;
}

TEST_F(BridgeForOperators, AMissingCaFileTurnsTheBridgeOffAtOpenNamingIt) {
    WriteSettings("");
    std::string settings = installation.ReadFile("mqtt_bridge.xml");
    settings.replace(settings.find(broker.CaFile()), broker.CaFile().size(), installation.Root() + "/gone.crt");
    installation.WriteFile("mqtt_bridge.xml", settings);
    StartCore();
    EXPECT_TRUE(core->WaitForConsole(
        "the bridge is off: CA file " + installation.Root() + "/gone.crt: No such file or directory", Scaled(20)));
    EXPECT_NE(installation.ReadFile("plugins.xml").find("OpenCode=\"1\""), std::string::npos);
    EXPECT_EQ(broker.LogCount("New connection"), 0u);
}

// ---- JSON ----

TEST_F(BridgeForOperators, JsonDocumentsAndEnvelopesParseWithAStandardParser) {
    WriteSettings("<Payload Documents=\"json\" Events=\"json\" />\n");
    Watch(BASE + "#", true);
    StartCore();
    const auto memory = Arrives(BASE + "status/80000000/Memory", "");
    ASSERT_TRUE(memory);
    EXPECT_EQ(Jq(installation, memory->payload, ".Memory[0].ID"), "-2147483648");
    EXPECT_EQ(Jq(installation, memory->payload, ".Memory[0].Throttling | type"), "\"number\"");
    const auto modules = Arrives(BASE + "modules", "");
    ASSERT_TRUE(modules);
    EXPECT_EQ(
        Jq(installation, modules->payload, "[.Modules[0].Module[0].Plugin[].Filename] | index(\"mqtt_bridge.so\") > 0"),
        "true");
    const auto bridge = Arrives(BASE + "bridge", "");
    ASSERT_TRUE(bridge);
    EXPECT_EQ(Jq(installation, bridge->payload, ".Bridge[0].Dropped"), "0");

    InAny("repeat 1 0x10 0x20 clip\nraise 0x40 0x2 0 50 line \"quoted\"\n", "result");
    const auto event = Arrives(BASE + "event/00C10000/00000010/00000020", "");
    ASSERT_TRUE(event);
    EXPECT_EQ(Jq(installation, event->payload, "[.source, .class, .type, .data, .encoding]"),
              "[\"00C10000\",\"00000010\",\"00000020\",\"clip 0\",\"text\"]");
    EXPECT_EQ(Jq(installation, event->payload,
                 ".time | test(\"^20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-9:]{8}\\\\.[0-9]{3}Z$\")"),
              "true");
    const std::string sequence = Jq(installation, event->payload, ".sequence");
    const auto line = Arrives(BASE + "log/00C10000/50", "");
    ASSERT_TRUE(line);
    EXPECT_EQ(Jq(installation, line->payload, "[.level, .text]"), "[50,\"line \\\"quoted\\\"\"]");
    EXPECT_EQ(Jq(installation, line->payload, ".sequence > " + sequence), "true");
    // MQTT 5 carries the same time and sequence beside the message.
    std::vector<std::string> names;
    for (const auto &property : event->userProperties) {
        names.push_back(property.first);
        if (property.first == "sequence") {
            EXPECT_EQ(property.second, sequence);
        }
    }
    EXPECT_EQ(names, std::vector<std::string>({"time", "sequence"}));
}

// ---- Commands and their answers ----

TEST_F(BridgeForOperators, AnMqtt5CommandIsAnsweredOnItsResponseTopicWithItsCorrelationData) {
    WriteSettings("<Payload Documents=\"json\" />\n");
    Watch(BASE + "#", true);
    StartCore();
    ASSERT_TRUE(Arrives(BASE + "state", "online"));
    watcher->Publish(BASE + "command/poke", "poke 1", false, BASE + "answers/me", "c-42");
    auto answer = Arrives(BASE + "answers/me", "poke");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->correlation, "c-42");
    EXPECT_EQ(Jq(installation, answer->payload, "[.command, .status, .result]"), "[\"poke\",\"accepted\",0]");
    // A plugin's answer, through the answer event.
    watcher->Publish(BASE + "command/ask", "status please", false, BASE + "answers/me", "c-43");
    answer = Arrives(BASE + "answers/me", "answered");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->correlation, "c-43");
    EXPECT_EQ(Jq(installation, answer->payload, "[.status, .source, .data, .encoding]"),
              "[\"answered\",\"00C50000\",\"answer to status please\",\"text\"]");
    // Nobody answers: the bridge says so when the time is up.
    watcher->Publish(BASE + "command/silence", "", false, BASE + "answers/me", "c-44");
    answer = Arrives(BASE + "answers/me", "unanswered");
    ASSERT_TRUE(answer);
    EXPECT_EQ(Jq(installation, answer->payload, ".reason"), "\"no answer within 1 s\"");
    // Refused, with its reason; and without a response topic, on the result topic.
    watcher->Publish(BASE + "command/nosuch", "x");
    answer = Arrives(BASE + "command/nosuch/result", "refused");
    ASSERT_TRUE(answer);
    EXPECT_EQ(Jq(installation, answer->payload, ".reason"), "\"unknown command\"");
}

TEST_F(BridgeForOperators, AnMqtt311BridgeAnswersOnTheResultTopicAndIgnoresItsOwnAnswers) {
    WriteSettings("");
    std::string settings = installation.ReadFile("mqtt_bridge.xml");
    settings.replace(settings.find("KeepAlive"), 0, "Protocol=\"3.1.1\" ");
    installation.WriteFile("mqtt_bridge.xml", settings);
    Watch();
    StartCore();
    ASSERT_TRUE(Arrives(BASE + "state", "online"));
    watcher->Publish(BASE + "command/poke", "poke 1");
    ASSERT_TRUE(Arrives(BASE + "command/poke/result",
                        "<?xml ?><kDVR><Answer Command=\"poke\" Status=\"accepted\" Result=\"0\" /></kDVR>"));
    watcher->Publish(BASE + "command/poke", "poke 2");
    ASSERT_TRUE(coretest::WaitForCalls(installation, "any", "data=poke 2", 1, Scaled(20)));
    EXPECT_EQ(ConsoleCount("refused the command"), 0u);
}

// ---- Faults a red team found ----

TEST_F(BridgeForOperators, ARetainedCommandIsRefusedAndNeverCarriedOut) {
    WriteSettings("");
    Watch();
    // Left on the broker, it is handed to the bridge at every connection.
    watcher->Publish(BASE + "command/poke", "reboot", true);
    StartCore();
    ASSERT_TRUE(core->WaitForConsole("refused the command on dvr/hall/command/poke: a retained command is never "
                                     "carried out (publish commands without the retain flag) (1 refused so far)",
                                     Scaled(20)));
    ASSERT_TRUE(Arrives(BASE + "bridge", "RefusedCommands=\"1\""));
    ASSERT_TRUE(Arrives(BASE + "command/poke/result", "Status=\"refused\""));
    watcher->Publish(BASE + "command/poke", "after");
    ASSERT_TRUE(coretest::WaitForCalls(installation, "any", "data=after", 1, Scaled(20)));
    EXPECT_TRUE(coretest::CallsContaining(installation, "data=reboot").empty());
    watcher->Publish(BASE + "command/poke", "", true); // the operator clears it
}

TEST_F(BridgeForOperators, NumericCommandsCannotForgeStatusDocumentsNorEscapeTheConsole) {
    WriteSettings("", " Numeric=\"1\"");
    Watch();
    StartCore();
    ASSERT_TRUE(Arrives(BASE + "state", "online"));
    watcher->Publish(BASE + "command/4/10", "<?xml ?><kDVR><Memory Throttling=\"1\" /></kDVR>");
    ASSERT_TRUE(core->WaitForConsole(
        "refused the command on dvr/hall/command/4/10: class or type not allowed for commands", Scaled(20)));
    EXPECT_EQ(watcher->Count(BASE + "status/004D0000/Memory", ""), 0u);
    // Escapes in a log command's text are made harmless before the console.
    watcher->Publish(BASE + "command/40/2", "\x1b]0;owned\x07 hello");
    ASSERT_TRUE(core->WaitForConsole("?]0;owned? hello", Scaled(20)));
    EXPECT_EQ(core->Console().find("\x1b]0;owned"), std::string::npos);
}

TEST_F(BridgeForOperators, ACommandLargerThanTheBridgeTakesNeverReachesIt) {
    WriteSettings("");
    Watch();
    StartCore();
    ASSERT_TRUE(Arrives(BASE + "state", "online"));
    const long before = coretest::ResidentKib(core->Pid());
    // Below the broker's limit, above the maximum packet size the bridge told it.
    watcher->Publish(BASE + "command/poke", std::string(600000, 'p'));
    watcher->Publish(BASE + "command/poke", "small");
    ASSERT_TRUE(coretest::WaitForCalls(installation, "any", "data=small", 1, Scaled(20)));
    EXPECT_EQ(ConsoleCount("payload of 600000 bytes"), 0u);
    EXPECT_EQ(coretest::CallsContaining(installation, "length=600000").size(), 0u);
    if (!coretest::SANITIZED_ALLOCATOR) {
        EXPECT_LT(coretest::ResidentKib(core->Pid()) - before, 512);
    }
}

TEST_F(BridgeForOperators, ARecorderCannotPublishUnderAnotherRecordersPrefix) {
    WriteSettings("");
    Watch("dvr/#");
    mqtttest::ClientLogin yard;
    yard.user = TestBroker::OTHER_RECORDER_USER;
    yard.password = TestBroker::OTHER_RECORDER_PASSWORD;
    yard.mqtt5 = true;
    mqtttest::TestClient other(broker, "dvr/yard/#", yard);
    EXPECT_EQ(other.Publish("dvr/hall/command/poke", "forged"), 135); // not authorised
    EXPECT_EQ(other.Publish("dvr/hall/state", "offline"), 135);
    EXPECT_EQ(other.Publish("dvr/yard/state", "online"), 0);
    ASSERT_TRUE(Arrives("dvr/yard/state", "online"));
    EXPECT_EQ(watcher->Count("dvr/hall/state", "offline"), 0u);
    EXPECT_EQ(watcher->Count("dvr/hall/command/poke", ""), 0u);
}

// ---- Health and discovery ----

TEST_F(BridgeForOperators, TheInfoTopicShowsVersionsPluginsThrottlingAndTheLastCrashReport) {
    WriteSettings("");
    Watch();
    StartCore();
    auto info = Arrives(BASE + "info", "PluginsLoaded=\"3\" PluginsOpened=\"3\" PluginsRefused=\"0\" Throttling=\"0\"");
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->retained || true);
    EXPECT_NE(info->payload.find("CoreVersion=\"" + coretest::BuiltCoreVersion()), std::string::npos) << info->payload;
    EXPECT_NE(info->payload.find(" Device=\"hall\" StartTime=\"20"), std::string::npos) << info->payload;
    // The core's crash report arrives as a status document; here a plugin plays the core.
    InAny("raise 0x4 0x10 0 0 <?xml ?><kDVR><CrashReport signal=\"SIGSEGV\" plugin=\"camera.so\" thread=\"main\" "
          "call=\"Write\" time=\"1700000000\" /></kDVR>",
          "result");
    info =
        Arrives(BASE + "info", "<CrashReport signal=\"SIGSEGV\" plugin=\"camera.so\" thread=\"main\" call=\"Write\"");
    EXPECT_TRUE(info);
}

TEST_F(BridgeForOperators, DiscoveryFollowsHomeAssistantsSchemaAndIsRemovedWhenTurnedOff) {
    WriteSettings("<Payload Documents=\"json\" />\n<Discovery Enabled=\"1\" />\n");
    Watch("homeassistant/#");
    mqtttest::TestClient device(broker, BASE + "#");
    StartCore();
    const std::vector<std::string> configs = {"binary_sensor/hall/connection", "binary_sensor/hall/throttling",
                                              "sensor/hall/uptime", "sensor/hall/refused_plugins",
                                              "sensor/hall/last_crash"};
    const auto info = device.WaitFor(BASE + "info", "Uptime", Scaled(20));
    ASSERT_TRUE(info);
    for (const std::string &config : configs) {
        const auto message = Arrives("homeassistant/" + config + "/config", "");
        ASSERT_TRUE(message) << config;
        // What the schema requires for a device's entity, and that the templates read the state.
        EXPECT_EQ(Jq(installation, message->payload,
                     "(.name|type==\"string\") and (.unique_id|startswith(\"dvr-hall-\")) and "
                     "(.state_topic|startswith(\"dvr/hall/\")) and .availability_topic==\"dvr/hall/state\" and "
                     ".payload_available==\"online\" and .payload_not_available==\"offline\" and "
                     "(.device.identifiers|length>0) and .device.name==\"hall\""),
                  "true")
            << message->payload;
    }
    mqtttest::TestClient late(broker, "homeassistant/#");
    const auto retained = late.WaitFor("homeassistant/sensor/hall/uptime/config", "", Scaled(20));
    ASSERT_TRUE(retained);
    EXPECT_TRUE(retained->retained);
    const auto uptime = Arrives("homeassistant/sensor/hall/uptime/config", "");
    EXPECT_EQ(Jq(installation, uptime->payload, "[.unit_of_measurement, .device_class]"), "[\"s\",\"duration\"]");
    EXPECT_EQ(Jq(installation, info->payload, ".Info[0].Uptime | type"), "\"number\"");
    // Off, and the settings read again: each configuration is cleared.
    WriteSettings("<Payload Documents=\"json\" />\n");
    device.Publish(BASE + "command/reload-settings", "");
    for (const std::string &config : configs) {
        EXPECT_TRUE(coretest::WaitUntil(
            [&] {
                for (const auto &message : watcher->Received()) {
                    if (message.topic == "homeassistant/" + config + "/config" && message.payload.empty()) {
                        return true;
                    }
                }
                return false;
            },
            Scaled(20)))
            << config;
    }
}

// ---- Reloading ----

TEST_F(BridgeForOperators, ASettingsFileThatDoesNotParseLeavesTheRunningSettingsInPlace) {
    WriteSettings("");
    Watch();
    StartCore();
    ASSERT_TRUE(Arrives(BASE + "state", "online"));
    installation.WriteFile("mqtt_bridge.xml", "<kDVR><Broker");
    watcher->Publish(BASE + "command/reload-settings", "");
    ASSERT_TRUE(Arrives(BASE + "command/reload-settings/result", "Status=\"refused\""));
    EXPECT_TRUE(core->WaitForConsole("the settings were not reloaded; the running ones stay: ", Scaled(20)));
    // A change that needs no new connection: log lines become JSON at once.
    WriteSettings("<Payload Events=\"json\" />\n");
    watcher->Publish(BASE + "command/reload-settings", "");
    ASSERT_TRUE(Arrives(BASE + "command/reload-settings/result", "Status=\"accepted\""));
    InAny("raise 0x40 0x2 0 50 after the reload", "result");
    EXPECT_TRUE(Arrives(BASE + "log/00C10000/50", "\"text\":\"after the reload\""));
    EXPECT_EQ(ConsoleCount("connected to the broker"), 1u);
}

} // namespace
