// A core running as root loads only plugins that nobody but root (or its own
// user) can change: whoever can write a plugin or its directory would run
// code as root.
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "tests/support/core_harness.h"

using namespace coretest;
namespace fs = boost::filesystem;

namespace {

constexpr uid_t ANOTHER_USER = 65534;

std::string Refusal(const std::string &fileName, const std::string &reason) {
    return "Core: Failed to load plugin '" + fileName + "': " + reason;
}

// As the report writes an attribute value.
std::string Escaped(const std::string &text) {
    std::string escaped;
    for (const char c : text) {
        escaped += c == '\'' ? std::string("&apos;") : std::string(1, c);
    }
    return escaped;
}

} // namespace

TEST(UntrustedPlugins, RootCoreRefusesPluginsOthersCanChangeAndLoadsTheWellKeptOnes) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the checks apply to a core running as root";
    }
    Installation installation;
    const std::string plugins = installation.Root() + "/plugins";
    const std::string protectedPlugins = installation.Root() + "/protected-plugins";
    const std::string elsewhere = installation.Root() + "/elsewhere";
    installation.AddPlugin("tp_basic", "kept.so");
    installation.AddPlugin("tp_second", "open.so");
    installation.AddPlugin("tp_plain7", "foreign.so");
    installation.AddPlugin("tp_plain8", "inside.so", "protected-plugins");
    installation.AddPlugin("tp_plain9", "kept-target.so", "elsewhere");
    installation.AddPlugin("tp_mask5_none", "open-target.so", "elsewhere");
    chmod((plugins + "/open.so").c_str(), 0666);
    ASSERT_EQ(chown((plugins + "/foreign.so").c_str(), ANOTHER_USER, 0), 0);
    chmod(protectedPlugins.c_str(), 0777);
    chmod((elsewhere + "/open-target.so").c_str(), 0666);
    // A link's own mode means nothing: each is judged by its target.
    fs::create_symlink(elsewhere + "/kept-target.so", plugins + "/kept-link.so");
    fs::create_symlink(elsewhere + "/open-target.so", plugins + "/open-link.so");

    CoreProcess core(installation);
    core.SendIdentity("korvod", "2.1");
    ASSERT_TRUE(core.WaitForConsole("successfully started core version", Scaled(10)));
    const std::string console = core.Console();
    core.SendStop();
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);

    const std::vector<std::pair<std::string, std::string>> refused = {
        {"open.so", "file is writable by group or others"},
        {"foreign.so", "file is owned by another user (uid 65534)"},
        {"inside.so", "directory '" + protectedPlugins + "' is writable by group or others"},
        {"open-link.so", "file is writable by group or others"},
    };
    const std::string report = installation.ReadFile("plugins.xml");
    for (const auto &[fileName, reason] : refused) {
        EXPECT_NE(console.find(Refusal(fileName, reason)), std::string::npos) << fileName << "\n" << console;
        EXPECT_EQ(console.find("Core: Loaded plugin: " + fileName + "\n"), std::string::npos) << fileName;
        EXPECT_NE(report.find("Name=\"" + fileName + "\" Version=\"" + Escaped(reason) + "\""), std::string::npos)
            << fileName << "\n"
            << report;
    }
    for (const char *stem : {"open", "foreign", "inside", "open-link"}) {
        EXPECT_TRUE(CallsContaining(installation, std::string(stem) + " Load").empty()) << stem;
    }
    for (const char *stem : {"kept", "kept-link"}) {
        EXPECT_EQ(CallsContaining(installation, std::string(stem) + " Open").size(), 1u) << stem;
    }
}
