// The bridge's settings: the document's meaning, and the files read as the core reads XML.
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "mqtt_bridge/settings.h"
#include "mqtt_bridge/settings_file.h"
#include "tests/mqtt/temporary_directory.h"

namespace {

const char *const MINIMAL = "<kDVR><Broker Host=\"broker.example\" /><TLS CAFile=\"ca.crt\" /></kDVR>";

ParsedSettings Parse(const std::string &text) {
    TiXmlDocument document;
    document.Parse(text.c_str());
    return ParseSettings(document, "unit7");
}

// A minimal document with `inside` added to its root.
std::string With(const std::string &inside) {
    return "<kDVR><Broker Host=\"broker.example\" /><TLS CAFile=\"ca.crt\" />" + inside + "</kDVR>";
}

std::string ErrorOf(const std::string &text) {
    const ParsedSettings parsed = Parse(text);
    EXPECT_FALSE(parsed.settings) << text;
    return parsed.error;
}

// ---- The document ----

TEST(BridgeSettings, MinimalDocumentTakesTheDefaults) {
    const ParsedSettings parsed = Parse(MINIMAL);
    ASSERT_TRUE(parsed.settings) << parsed.error;
    const BridgeSettings &s = *parsed.settings;
    EXPECT_EQ(s.host, "broker.example");
    EXPECT_EQ(s.port, 8883);
    EXPECT_EQ(s.device, "unit7");
    EXPECT_EQ(s.clientId, "dvr-unit7");
    EXPECT_EQ(s.topicPrefix, "dvr");
    EXPECT_EQ(s.qos, 1);
    EXPECT_EQ(s.keepAliveSeconds, 30);
    EXPECT_TRUE(s.tls.enabled);
    EXPECT_EQ(s.tls.caFile, "ca.crt");
    EXPECT_TRUE(s.user.empty());
    EXPECT_TRUE(s.publishLog);
    EXPECT_EQ(s.minimumLogLevel, 25u);
    EXPECT_TRUE(s.events.empty());
    EXPECT_TRUE(s.commands.empty());
    EXPECT_FALSE(s.numericCommands);
    EXPECT_EQ(s.queueMessages, 1000u);
    EXPECT_EQ(s.queueBytes, 1024u * 1024u);
    EXPECT_EQ(s.reconnectMinimumSeconds, 1);
    EXPECT_EQ(s.reconnectMaximumSeconds, 60);
}

TEST(BridgeSettings, EverySettingIsRead) {
    const ParsedSettings parsed =
        Parse("<kDVR><Broker Host=\"10.0.0.2\" Port=\"1884\" ClientID=\"cam-1\" KeepAlive=\"15\" QoS=\"0\" />"
              "<Device Name=\"hall\" TopicPrefix=\"site/dvr\" />"
              "<TLS CAFile=\"ca.crt\" CertFile=\"me.crt\" KeyFile=\"me.key\" />"
              "<Authentication User=\"hall\" PasswordFile=\"secret\" />"
              "<Log MinimumLevel=\"50\" />"
              "<Events><Publish Class=\"0x8\" Types=\"0x100\" Source=\"0x00E40000\" /><Publish Class=\"0x400\" "
              "Types=\"4\" /></Events>"
              "<Commands Numeric=\"1\"><Command Name=\"frame\" Class=\"0x8\" Type=\"0x100\" /></Commands>"
              "<Queue Messages=\"10\" Bytes=\"4096\" /><Reconnect MinimumSeconds=\"2\" MaximumSeconds=\"5\" /></kDVR>");
    ASSERT_TRUE(parsed.settings) << parsed.error;
    const BridgeSettings &s = *parsed.settings;
    EXPECT_EQ(s.port, 1884);
    EXPECT_EQ(s.clientId, "cam-1");
    EXPECT_EQ(s.keepAliveSeconds, 15);
    EXPECT_EQ(s.qos, 0);
    EXPECT_EQ(s.device, "hall");
    EXPECT_EQ(s.topicPrefix, "site/dvr");
    EXPECT_EQ(s.tls.certFile, "me.crt");
    EXPECT_EQ(s.tls.keyFile, "me.key");
    EXPECT_EQ(s.user, "hall");
    EXPECT_EQ(s.passwordFile, "secret");
    EXPECT_EQ(s.minimumLogLevel, 50u);
    ASSERT_EQ(s.events.size(), 2u);
    EXPECT_EQ(s.events[0].classBits, 0x8u);
    EXPECT_EQ(s.events[0].types, 0x100u);
    EXPECT_EQ(s.events[0].source, 0x00E40000u);
    EXPECT_FALSE(s.events[1].source);
    ASSERT_EQ(s.commands.size(), 1u);
    EXPECT_EQ(s.commands[0].name, "frame");
    EXPECT_EQ(s.commands[0].eventClass, 0x8u);
    EXPECT_EQ(s.commands[0].eventType, 0x100u);
    EXPECT_TRUE(s.numericCommands);
    EXPECT_EQ(s.queueMessages, 10u);
    EXPECT_EQ(s.queueBytes, 4096u);
    EXPECT_EQ(s.reconnectMinimumSeconds, 2);
    EXPECT_EQ(s.reconnectMaximumSeconds, 5);
}

TEST(BridgeSettings, PlainConnectionsNeedTlsDisabledExplicitlyAndALoopbackBroker) {
    EXPECT_NE(ErrorOf("<kDVR><Broker Host=\"h\" /></kDVR>").find("TLS element is required"), std::string::npos);
    for (const char *host : {"127.0.0.1", "127.1.2.3", "localhost", "::1"}) {
        const ParsedSettings plain =
            Parse(std::string("<kDVR><Broker Host=\"") + host + "\" /><TLS Disabled=\"1\" /></kDVR>");
        ASSERT_TRUE(plain.settings) << host << ": " << plain.error;
        EXPECT_FALSE(plain.settings->tls.enabled);
        EXPECT_EQ(plain.settings->port, 1883);
    }
    // A broker elsewhere would get the password and everything else in the clear.
    for (const char *host : {"broker.example", "10.0.0.2", "128.0.0.1", "localhost.example"}) {
        EXPECT_EQ(ErrorOf(std::string("<kDVR><Broker Host=\"") + host + "\" /><TLS Disabled=\"1\" /></kDVR>"),
                  std::string("Broker: TLS may be disabled only for a broker on the loopback interface, not ") + host);
    }
}

TEST(BridgeSettings, PayloadFormsInfoDiscoveryAndProtocol) {
    const ParsedSettings parsed =
        Parse(With("<Payload Documents=\"json\" Events=\"json\" /><Info IntervalSeconds=\"30\" />"
                   "<Discovery Enabled=\"1\" Prefix=\"ha\" />"));
    ASSERT_TRUE(parsed.settings) << parsed.error;
    EXPECT_EQ(parsed.settings->documentForm, DocumentForm::Json);
    EXPECT_EQ(parsed.settings->eventForm, EventForm::Json);
    EXPECT_EQ(parsed.settings->infoIntervalSeconds, 30u);
    EXPECT_TRUE(parsed.settings->discovery);
    EXPECT_EQ(parsed.settings->discoveryPrefix, "ha");
    EXPECT_EQ(parsed.settings->protocol, Protocol::Mqtt5);
    EXPECT_EQ(Parse("<kDVR><Broker Host=\"h\" Protocol=\"3.1.1\" /><TLS CAFile=\"ca\" /></kDVR>").settings->protocol,
              Protocol::Mqtt311);
    EXPECT_NE(ErrorOf(With("<Discovery Enabled=\"1\" />")).find("discovery needs <Payload Documents=\"json\" />"),
              std::string::npos);
    EXPECT_NE(ErrorOf(With("<Payload Documents=\"yaml\" />")).find("Documents \"yaml\""), std::string::npos);
    EXPECT_NE(ErrorOf("<kDVR><Broker Host=\"h\" Protocol=\"4\" /><TLS CAFile=\"ca\" /></kDVR>").find("Protocol"),
              std::string::npos);
}

TEST(BridgeSettings, MisspeltOrMissingSettingsAreErrors) {
    EXPECT_EQ(ErrorOf(With("<Authentication User=\"u\" PasswordFlie=\"p\" />")),
              "Authentication: unknown attribute PasswordFlie");
    EXPECT_EQ(ErrorOf(With("<Brokers />")), "Brokers: unknown element");
    EXPECT_EQ(ErrorOf("<kDVR><TLS CAFile=\"ca\" /></kDVR>"), "the Broker element is required");
    EXPECT_EQ(ErrorOf("<kDVR><Broker /><TLS CAFile=\"ca\" /></kDVR>"), "Broker: Host is required");
    EXPECT_EQ(ErrorOf("<kDVR><Broker Host=\"h\" /><TLS CAFile=\"ca\" CertFile=\"c\" /></kDVR>"),
              "TLS: CertFile and KeyFile go together");
    EXPECT_EQ(ErrorOf(With("<Events><Forward Class=\"1\" Types=\"1\" /></Events>")),
              "Forward: unknown element in Events");
}

TEST(BridgeSettings, NumbersOutOfRangeAreErrors) {
    EXPECT_EQ(ErrorOf("<kDVR><Broker Host=\"h\" Port=\"65536\" /><TLS CAFile=\"ca\" /></kDVR>"),
              "Broker: Port \"65536\" is not a number from 1 to 65535");
    EXPECT_NE(ErrorOf("<kDVR><Broker Host=\"h\" Port=\"88x\" /><TLS CAFile=\"ca\" /></kDVR>").find("Port"),
              std::string::npos);
    EXPECT_NE(ErrorOf("<kDVR><Broker Host=\"h\" QoS=\"3\" /><TLS CAFile=\"ca\" /></kDVR>").find("QoS"),
              std::string::npos);
    EXPECT_NE(ErrorOf(With("<Reconnect MinimumSeconds=\"10\" MaximumSeconds=\"5\" />")).find("MaximumSeconds"),
              std::string::npos);
    EXPECT_NE(ErrorOf(With("<Queue Bytes=\"100\" />")).find("Bytes"), std::string::npos);
}

TEST(BridgeSettings, TopicNamesMustBeUsableLevels) {
    EXPECT_NE(ErrorOf(With("<Device Name=\"a/b\" />")).find("Name \"a/b\""), std::string::npos);
    EXPECT_NE(ErrorOf(With("<Device Name=\"a+\" />")).find("Name"), std::string::npos);
    EXPECT_NE(ErrorOf(With("<Device TopicPrefix=\"dvr/#\" />")).find("TopicPrefix"), std::string::npos);
    EXPECT_NE(ErrorOf(With("<Device TopicPrefix=\"/dvr\" />")).find("TopicPrefix"), std::string::npos);
    EXPECT_NE(ErrorOf(With("<Commands><Command Name=\"a\" Class=\"1\" Type=\"1\" /><Command Name=\"a\" "
                           "Class=\"2\" Type=\"1\" /></Commands>"))
                  .find("used once"),
              std::string::npos);
}

TEST(BridgeSettings, CommandsAndRulesMaySelectMasksOnly) {
    // A configuration document, a release, a supervisor packet, a status document, or the core's
    // own type bit.
    for (const char *command :
         {"Class=\"0x100\" Type=\"1\"", "Class=\"0x200\" Type=\"1\"", "Class=\"0x2000\" Type=\"1\"",
          "Class=\"0\" Type=\"1\"", "Class=\"0x1\" Type=\"0x1000000\"", "Class=\"0x4\" Type=\"0x10\"",
          "Class=\"0x5\" Type=\"0x10\""}) {
        EXPECT_NE(ErrorOf(With(std::string("<Commands><Command Name=\"c\" ") + command + " /></Commands>"))
                      .find("Class must have class bits 0-7 or 10 only"),
                  std::string::npos)
            << command;
    }
    EXPECT_NE(ErrorOf(With("<Events><Publish Class=\"0x100\" Types=\"0x10\" /></Events>")).find("Class"),
              std::string::npos);
}

TEST(BridgeSettings, TheInstalledExampleShowsTlsAndAuthenticationWithoutAClientCertificate) {
    TiXmlDocument example;
    ASSERT_TRUE(example.LoadFile(MQTT_BRIDGE_EXAMPLE)) << example.ErrorDesc();
    const ParsedSettings parsed = ParseSettings(example, "unit7");
    ASSERT_TRUE(parsed.settings) << parsed.error;
    EXPECT_TRUE(parsed.settings->tls.enabled);
    // None is the default: a copied example must not name files an operator does not have.
    EXPECT_TRUE(parsed.settings->tls.certFile.empty());
    EXPECT_TRUE(parsed.settings->tls.keyFile.empty());
    EXPECT_FALSE(parsed.settings->user.empty());
    EXPECT_FALSE(parsed.settings->passwordFile.empty());
}

// ---- The files ----

class BridgeSettingsFile : public ::testing::Test {
protected:
    BridgeSettingsFile() { directory.Write("ca.crt", "authority"); }
    LoadedSettings Load() const { return LoadSettings(directory.Path("mqtt_bridge.xml"), "unit7"); }
    // Files named "ca.crt" are the directory's.
    std::string Local(std::string text) const {
        for (std::size_t at = text.find("\"ca.crt\""); at != std::string::npos; at = text.find("\"ca.crt\"", at + 2)) {
            text.replace(at + 1, 6, directory.Path("ca.crt"));
        }
        return text;
    }
    std::string WriteSettings(const std::string &text) const { return directory.Write("mqtt_bridge.xml", Local(text)); }
    std::string WithPassword(const std::string &passwordFile) const {
        return With("<Authentication User=\"u\" PasswordFile=\"" + passwordFile + "\" />");
    }

    mqtttest::TemporaryDirectory directory;
};

TEST_F(BridgeSettingsFile, NoFileLeavesTheBridgeOffWithoutAnError) {
    EXPECT_EQ(Load().state, LoadedSettings::State::Absent);
}

TEST_F(BridgeSettingsFile, OnlyRegularFilesAreRead) {
    ASSERT_EQ(mkdir(directory.Path("mqtt_bridge.xml").c_str(), 0700), 0);
    LoadedSettings loaded = Load();
    EXPECT_EQ(loaded.state, LoadedSettings::State::Broken);
    EXPECT_NE(loaded.problem.find("not a regular file"), std::string::npos) << loaded.problem;
    rmdir(directory.Path("mqtt_bridge.xml").c_str());
    // A FIFO nobody writes to: opened without blocking, then refused.
    ASSERT_EQ(mkfifo(directory.Path("mqtt_bridge.xml").c_str(), 0600), 0);
    loaded = Load();
    EXPECT_EQ(loaded.state, LoadedSettings::State::Broken);
    EXPECT_NE(loaded.problem.find("not a regular file"), std::string::npos) << loaded.problem;
}

TEST_F(BridgeSettingsFile, FilesAboveTheSizeLimitAreRefused) {
    const std::string settings = Local(MINIMAL);
    WriteSettings(settings + std::string(SETTINGS_SIZE_LIMIT - settings.size(), ' '));
    EXPECT_EQ(Load().state, LoadedSettings::State::Ready);
    WriteSettings(settings + std::string(SETTINGS_SIZE_LIMIT - settings.size() + 1, ' '));
    const LoadedSettings loaded = Load();
    EXPECT_EQ(loaded.state, LoadedSettings::State::Broken);
    EXPECT_NE(loaded.problem.find("larger than " + std::to_string(SETTINGS_SIZE_LIMIT) + " bytes"), std::string::npos)
        << loaded.problem;
}

TEST_F(BridgeSettingsFile, NestingBeyondTheCoresLimitIsRefusedBeforeParsing) {
    std::string deep;
    for (int level = 0; level < 5000; ++level) {
        deep += "<a>";
    }
    WriteSettings("<kDVR>" + deep + "</kDVR>");
    const LoadedSettings loaded = Load();
    EXPECT_EQ(loaded.state, LoadedSettings::State::Broken);
    EXPECT_NE(loaded.problem.find("Elements nested too deeply"), std::string::npos) << loaded.problem;
}

TEST_F(BridgeSettingsFile, PasswordIsTheFirstLineOfAPrivateFile) {
    directory.Write("password", "s3cret\r\nsecond line\n", 0600);
    WriteSettings(WithPassword(directory.Path("password")));
    const LoadedSettings loaded = Load();
    ASSERT_EQ(loaded.state, LoadedSettings::State::Ready) << loaded.problem;
    EXPECT_EQ(loaded.password, "s3cret");
    directory.Write("password", "\nlater\n", 0400);
    EXPECT_EQ(Load().state, LoadedSettings::State::Broken);
}

TEST_F(BridgeSettingsFile, SecretsOthersMayReadAreRefusedWithoutShowingThem) {
    directory.Write("password", "s3cret\n", 0640);
    WriteSettings(WithPassword(directory.Path("password")));
    LoadedSettings loaded = Load();
    EXPECT_EQ(loaded.state, LoadedSettings::State::Broken);
    EXPECT_NE(loaded.problem.find("mode 0600 or 0400"), std::string::npos) << loaded.problem;
    EXPECT_EQ(loaded.problem.find("s3cret"), std::string::npos);

    directory.Write("client.key", "key", 0604);
    directory.Write("c.crt", "certificate");
    WriteSettings("<kDVR><Broker Host=\"h\" /><TLS CAFile=\"ca.crt\" CertFile=\"" + directory.Path("c.crt") +
                  "\" KeyFile=\"" + directory.Path("client.key") + "\" /></kDVR>");
    loaded = Load();
    EXPECT_EQ(loaded.state, LoadedSettings::State::Broken);
    EXPECT_NE(loaded.problem.find("key file"), std::string::npos) << loaded.problem;
}

TEST_F(BridgeSettingsFile, TlsFilesAreCheckedAtOnceAndNamed) {
    directory.Write("c.crt", "certificate");
    directory.Write("c.key", "key", 0600);
    const std::string tls = "<TLS CAFile=\"" + directory.Path("other-ca.crt") + "\" /></kDVR>";
    WriteSettings("<kDVR><Broker Host=\"h\" />" + tls);
    LoadedSettings loaded = Load();
    EXPECT_EQ(loaded.state, LoadedSettings::State::Broken);
    EXPECT_EQ(loaded.problem, "CA file " + directory.Path("other-ca.crt") + ": No such file or directory");
    // A FIFO would hold the network thread for ever: refused before anything opens it.
    ASSERT_EQ(mkfifo(directory.Path("fifo.crt").c_str(), 0600), 0);
    WriteSettings("<kDVR><Broker Host=\"h\" /><TLS CAFile=\"ca.crt\" CertFile=\"" + directory.Path("fifo.crt") +
                  "\" KeyFile=\"" + directory.Path("c.key") + "\" /></kDVR>");
    loaded = Load();
    EXPECT_EQ(loaded.state, LoadedSettings::State::Broken);
    EXPECT_EQ(loaded.problem, "certificate file " + directory.Path("fifo.crt") + ": not a regular file");
    WriteSettings("<kDVR><Broker Host=\"h\" /><TLS CAFile=\"" + directory.Path("fifo.crt") + "\" /></kDVR>");
    EXPECT_NE(Load().problem.find("CA file"), std::string::npos);
    WriteSettings("<kDVR><Broker Host=\"h\" /><TLS CAFile=\"ca.crt\" CertFile=\"" + directory.Path("c.crt") +
                  "\" KeyFile=\"" + directory.Path("c.key") + "\" /></kDVR>");
    EXPECT_EQ(Load().state, LoadedSettings::State::Ready) << Load().problem;
}

// The core's trust rule applies when the core runs as root.
TEST_F(BridgeSettingsFile, ARootCoreTrustsOnlyFilesThatOnlyRootCouldHaveWritten) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the rule applies to a core running as root";
    }
    directory.Write("password", "s3cret\n", 0600);
    const std::string settings = WriteSettings(WithPassword(directory.Path("password")));
    ASSERT_EQ(Load().state, LoadedSettings::State::Ready) << Load().problem;
    chmod(settings.c_str(), 0666);
    LoadedSettings loaded = Load();
    EXPECT_EQ(loaded.state, LoadedSettings::State::Broken);
    EXPECT_EQ(loaded.problem, settings + ": untrusted: file is writable by group or others");
    chmod(settings.c_str(), 0644);
    ASSERT_EQ(chown(settings.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Load().problem, settings + ": untrusted: file is owned by another user (uid 65534)");
    ASSERT_EQ(chown(settings.c_str(), 0, 0), 0);
    // A file the settings name: here the CA file in a directory everyone may write to.
    ASSERT_EQ(mkdir(directory.Path("open").c_str(), 0777), 0);
    chmod(directory.Path("open").c_str(), 0777);
    directory.Write("open/ca.crt", "authority");
    WriteSettings("<kDVR><Broker Host=\"h\" /><TLS CAFile=\"" + directory.Path("open/ca.crt") + "\" /></kDVR>");
    EXPECT_EQ(Load().problem, "CA file " + directory.Path("open/ca.crt") + ": untrusted: directory '" +
                                  directory.Path("open") + "' is writable by group or others");
}

TEST_F(BridgeSettingsFile, SecretsOfAnotherUserAreRefused) {
    const std::string password = directory.Write("password", "s3cret\n", 0600);
    if (chown(password.c_str(), geteuid() + 1, static_cast<gid_t>(-1)) != 0) {
        GTEST_SKIP() << "giving a file away needs root";
    }
    WriteSettings(WithPassword(password));
    EXPECT_EQ(Load().state, LoadedSettings::State::Broken);
}

} // namespace
