// product.xml and core.xml read at start, core.xml rewritten, and the
// settings sent to plugins, seen through the files, the console and a test
// plugin's calls.
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"

using namespace coretest;

namespace {

const char *const STARTED = "successfully started core version ";

std::string CoreXml(int throttling) {
    return "<?xml ?>\n"
           "<kDVR Delta=\"0\">\n"
           "    <Memory ID=\"-2147483648\" Throttling=\"" +
           std::to_string(throttling) +
           "\" />\n"
           "</kDVR>\n";
}

std::string SentConfiguration(int throttling, const std::string &family, const std::string &version) {
    return "<?xml ?><kDVR Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"" + std::to_string(throttling) +
           "\" /><Product Family=\"" + family + "\" Version=\"" + version + "\" /></kDVR>";
}

// The calls.log line in which the plugin "p" shows the configuration document.
std::string ConfigLineOf(const std::string &document) {
    return "p Config length=" + std::to_string(document.size()) + " data=" + document;
}

// Runs the core under a supervisor that identifies itself at once and sends
// the stop as soon as the core has started (a stop packet, unlike a signal,
// always reaches the core under ThreadSanitizer). Returns the console up to
// at least the stop line: the console is read on a harness thread, which may
// still be catching up after the exit.
std::string StartAndStop(const Installation &installation) {
    CoreProcess core(installation);
    core.SendIdentity("korvod", "2.1");
    EXPECT_TRUE(core.WaitForConsole(STARTED, Scaled(10)));
    core.SendStop();
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
    EXPECT_TRUE(core.WaitForConsole("stopping core version ", Scaled(10)));
    return core.Console();
}

// The configuration documents plugin "p" was given: those holding "Memory".
std::vector<std::string> ConfigurationsReceived(const Installation &installation) {
    std::vector<std::string> lines;
    for (const auto &line : CallsContaining(installation, "p Config ")) {
        if (line.find("<Memory") != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

unsigned Permissions(const Installation &installation, const std::string &file) {
    struct stat status {};
    if (stat((installation.Root() + "/" + file).c_str(), &status) != 0) {
        return 0;
    }
    return status.st_mode & 07777;
}

// A fresh installation with the plugin "p" that records what it is sent.
struct ConfiguredInstallation : Installation {
    ConfiguredInstallation() { AddPlugin("tp_basic", "p.so"); }
};

} // namespace

// ---- Without files ----

TEST(Configuration, WithoutFilesTheBuiltInValuesAreUsedWrittenAndSent) {
    ConfiguredInstallation installation;

    const std::string console = StartAndStop(installation);

    EXPECT_NE(console.find("successfully started core version " + BuiltCoreVersion() + "\n"), std::string::npos);
    EXPECT_NE(console.find("stopping core version " + BuiltCoreVersion() + "...\n"), std::string::npos);
    EXPECT_EQ(installation.ReadFile("core.xml"), CoreXml(1));
    EXPECT_EQ(Permissions(installation, "core.xml"), 0600u);
    EXPECT_FALSE(installation.Exists("core.xml.bak"));
    EXPECT_FALSE(installation.Exists("core.xml.pending"));
    EXPECT_FALSE(installation.Exists("product.xml"));
    EXPECT_EQ(ConfigurationsReceived(installation),
              std::vector<std::string>{ConfigLineOf(SentConfiguration(1, "korvoSight", BuiltCoreVersion()))});
}

// ---- product.xml ----

TEST(Configuration, ProductVersionAloneNamesTheCoreAndKeepsTheFamily) {
    ConfiguredInstallation installation;
    const std::string product = "<?xml version=\"1.0\" ?>\n<kDVR>\n    <Product Version=\"8.2-beta\" />\n</kDVR>\n";
    installation.WriteFile("product.xml", product);

    const std::string console = StartAndStop(installation);

    EXPECT_NE(console.find("successfully started core version 8.2-beta\n"), std::string::npos);
    EXPECT_NE(console.find("stopping core version 8.2-beta...\n"), std::string::npos);
    const std::string coreModule = "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"8.2-beta\">";
    EXPECT_NE(installation.ReadFile("plugins.xml").find(coreModule), std::string::npos);
    EXPECT_EQ(ConfigurationsReceived(installation),
              std::vector<std::string>{ConfigLineOf(SentConfiguration(1, "korvoSight", "8.2-beta"))});
    EXPECT_EQ(installation.ReadFile("product.xml"), product);
}

// ---- core.xml ----

TEST(Configuration, ThrottlingIsReadFromCoreXmlAndWrittenBackInTheFourLineForm) {
    struct Case {
        const char *coreXml;
        int throttling;
    };
    const Case cases[] = {
        {"<?xml ?>\n<kDVR Delta=\"0\">\n    <Memory ID=\"-2147483648\" Throttling=\"0\" />\n</kDVR>\n", 0},
        {"<kDVR><Memory Throttling=\"no\" /></kDVR>", 1},
        // Any root name is read; what else the file held is dropped.
        {"<settings Delta=\"3\"><Other /><Memory ID=\"5\" Throttling=\"0\" Extra=\"x\" /></settings>", 0},
        {"<kDVR><Memory Throttling=\"7\" /></kDVR>", 1},
    };
    for (const Case &each : cases) {
        ConfiguredInstallation installation;
        installation.WriteFile("core.xml", each.coreXml);

        StartAndStop(installation);

        EXPECT_EQ(installation.ReadFile("core.xml"), CoreXml(each.throttling)) << each.coreXml;
        EXPECT_EQ(Permissions(installation, "core.xml"), 0600u) << each.coreXml;
        EXPECT_EQ(ConfigurationsReceived(installation), std::vector<std::string>{ConfigLineOf(SentConfiguration(
                                                            each.throttling, "korvoSight", BuiltCoreVersion()))})
            << each.coreXml;
    }
}

TEST(Configuration, BackupLeftByAnInterruptedSaveIsReadAndReplaced) {
    ConfiguredInstallation installation;
    installation.WriteFile("core.xml.bak", CoreXml(0));
    installation.WriteFile("core.xml.pending", "<kDVR><Memory Throttling=\"1\"");

    StartAndStop(installation);

    EXPECT_EQ(installation.ReadFile("core.xml"), CoreXml(0));
    EXPECT_FALSE(installation.Exists("core.xml.bak"));
    EXPECT_FALSE(installation.Exists("core.xml.pending"));
    EXPECT_EQ(ConfigurationsReceived(installation),
              std::vector<std::string>{ConfigLineOf(SentConfiguration(0, "korvoSight", BuiltCoreVersion()))});
}
