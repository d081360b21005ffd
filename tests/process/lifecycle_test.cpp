// Opening, the modules report, closing and unloading, seen through
// plugins.xml, the documents plugins receive, their calls and the core's
// memory map.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"

using namespace coretest;

namespace {

const char *const STARTED = "successfully started core version ";
// The one line of text that contains part; empty if none or several.
std::string LineWith(const std::string &text, const std::string &part) {
    std::vector<std::string> found;
    for (const auto &line : Lines(text)) {
        if (line.find(part) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found.size() == 1 ? found[0] : std::string();
}

// The value of an attribute written name="value" in line, or "?".
std::string Attribute(const std::string &line, const std::string &name) {
    const std::string key = " " + name + "=\"";
    const auto found = line.find(key);
    if (found == std::string::npos) {
        return "?";
    }
    const auto start = found + key.size();
    return line.substr(start, line.find('"', start) - start);
}

// The compact form of a document in file form: the same nodes without the
// indentation and line feeds that the file form adds.
std::string CompactFormOf(const std::string &fileForm) {
    std::string compact;
    for (const auto &line : Lines(fileForm)) {
        compact += line.substr(line.find_first_not_of(' '));
    }
    return compact;
}

// Stems of the plugins whose calls.log lines contain call, in order.
std::vector<std::string> StemsCalling(const Installation &installation, const std::string &call) {
    std::vector<std::string> stems;
    for (const auto &line : CallsContaining(installation, " " + call + " ")) {
        stems.push_back(line.substr(0, line.find(' ')));
    }
    return stems;
}

// Position of the first line that begins with text, or -1.
long CallIndex(const std::vector<std::string> &calls, const std::string &text) {
    const auto found =
        std::find_if(calls.begin(), calls.end(), [&](const std::string &line) { return line.rfind(text, 0) == 0; });
    return found == calls.end() ? -1 : static_cast<long>(found - calls.begin());
}

bool WaitForCall(const Installation &installation, const std::string &text, Seconds timeout) {
    return WaitUntil([&] { return !CallsContaining(installation, text).empty(); }, timeout);
}

// Runs the core under a supervisor that identifies itself at once and sends
// the stop as soon as the core has started (a stop packet, unlike a signal,
// always reaches the core under ThreadSanitizer). Returns the console up to
// at least the stop line or the given later line: the console is read on a
// harness thread, which may still be catching up after the exit.
std::string StartAndStop(const Installation &installation, const std::string &lateLine = "stopping core version ") {
    CoreProcess core(installation);
    core.SendIdentity("korvod", "2.1");
    EXPECT_TRUE(core.WaitForConsole(STARTED, Scaled(10)));
    core.SendStop();
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
    EXPECT_TRUE(core.WaitForConsole(lateLine, Scaled(10))) << lateLine;
    return core.Console();
}

// The whole plugins.xml of a core that loaded no plugin, run by StartAndStop.
std::string ReportWithoutLoadedPlugins(const std::string &refusedPlugins, const std::string &refusedModules) {
    return "<?xml ?>\n"
           "<kDVR Delta=\"0\">\n"
           "    <Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
           "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"" +
           BuiltCoreVersion() +
           "\">\n"
           "            <Plugin ID=\"-2147483648\" Filename=\"core\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
           "OpenCode=\"0\" />\n"
           "            <Library Name=\"korvod\" Filename=\"korvod\" Version=\"2.1\" />\n" +
           refusedPlugins + "        </Module>\n" + refusedModules +
           "    </Modules>\n"
           "</kDVR>\n";
}

// The loader's message for a refused library, as the console shows it.
std::string LoaderMessage(const std::string &console, const std::string &fileName) {
    const std::string prefix = "Core: Failed to load plugin '" + fileName + "': ";
    const std::string line = LineWith(console, prefix);
    return line.empty() ? "?" : line.substr(line.find(prefix) + prefix.size());
}

} // namespace

// ---- The modules report ----

TEST(ModulesReport, WithoutPluginsHoldsOnlyTheCore) {
    Installation installation;

    StartAndStop(installation);

    EXPECT_EQ(installation.ReadFile("plugins.xml"), ReportWithoutLoadedPlugins("", ""));
    struct stat status {};
    ASSERT_EQ(stat((installation.Root() + "/plugins.xml").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_FALSE(installation.Exists("calls.log"));
}

TEST(ModulesReport, LibrariesRefusedByTheLoaderAreNumberedByFileName) {
    Installation installation;
    installation.WriteFile("plugins/b.so", "this text is not a shared library, b\n");
    installation.WriteFile("plugins/a.so", "this text is not a shared library, a\n");

    const std::string console = StartAndStop(installation);

    const std::string a = LoaderMessage(console, "a.so");
    const std::string b = LoaderMessage(console, "b.so");
    EXPECT_NE(a.find("/plugins/a.so"), std::string::npos) << console;
    EXPECT_NE(b.find("/plugins/b.so"), std::string::npos) << console;
    const std::string refused = "Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"79\" />\n";
    EXPECT_EQ(installation.ReadFile("plugins.xml"),
              ReportWithoutLoadedPlugins("            <Plugin ID=\"1\" Filename=\"a.so\" " + refused +
                                             "            <Plugin ID=\"2\" Filename=\"b.so\" " + refused,
                                         "        <Module ID=\"1\" Name=\"a.so\" Version=\"" + a + "\" />\n" +
                                             "        <Module ID=\"2\" Name=\"b.so\" Version=\"" + b + "\" />\n"));
}

TEST(ModulesReport, NamesTheExecutableEachPluginWithItsFactsAndTheSupervisor) {
    namespace fs = std::filesystem;
    Installation installation;
    // The executable's own name, reached through a link named "core".
    fs::create_directories(installation.Root() + "/sbin");
    fs::rename(installation.CorePath(), installation.Root() + "/sbin/kcore-arm");
    fs::create_symlink("sbin/kcore-arm", installation.CorePath());
    installation.AddPlugin("tp_negative_id", "negative.so", "sbin/plugins");
    installation.AddPlugin("tp_open_fails", "failing.so", "sbin/plugins");
    installation.AddPlugin("tp_basic", "slow.so", "sbin/plugins");
    installation.WriteFile("slow.open", "sleep 150\n");

    CoreProcess core(installation);
    core.SendIdentity("korvod", "3.0.2");
    ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(10)));
    core.SendStop();
    ASSERT_EQ(core.WaitForExit(Scaled(10)), 0);

    const std::string report = installation.ReadFile("plugins.xml");
    EXPECT_NE(report.find("<Plugin ID=\"-2147483648\" Filename=\"kcore-arm\" Opened=\"1\" LoadTimeMs=\"0\" "
                          "OpenTimeMs=\"0\" OpenCode=\"0\" />"),
              std::string::npos)
        << report;
    const std::string negative = LineWith(report, "Filename=\"negative.so\"");
    const std::string failing = LineWith(report, "Filename=\"failing.so\"");
    const std::string slow = LineWith(report, "Filename=\"slow.so\"");
    EXPECT_EQ(Attribute(negative, "ID"), "-65535") << report;
    EXPECT_EQ(Attribute(negative, "OpenCode"), "0") << report;
    EXPECT_EQ(Attribute(failing, "ID"), std::to_string(0x00D40000)) << report;
    EXPECT_EQ(Attribute(failing, "OpenCode"), "5") << report;
    EXPECT_GE(std::stol(Attribute(slow, "OpenTimeMs")), 150) << report;
    EXPECT_NE(report.find("        <Library Name=\"korvod\" Filename=\"korvod\" Version=\"3.0.2\" />\n"),
              std::string::npos)
        << report;
    const std::string modules = LineWith(report, "<Modules ");
    long loadTotal = 0;
    long openTotal = 0;
    for (const auto &line : {negative, failing, slow}) {
        EXPECT_EQ(Attribute(line, "Opened"), "1") << line;
        loadTotal += std::stol(Attribute(line, "LoadTimeMs"));
        openTotal += std::stol(Attribute(line, "OpenTimeMs"));
    }
    EXPECT_EQ(Attribute(modules, "TotalLoadTimeMs"), std::to_string(loadTotal)) << report;
    EXPECT_EQ(Attribute(modules, "TotalOpenTimeMs"), std::to_string(openTotal)) << report;
    // A failed Open is only recorded: the plugin is closed and unloaded as usual.
    EXPECT_EQ(CallsContaining(installation, "failing Close ").size(), 1u);
    EXPECT_EQ(CallsContaining(installation, "failing Unload ").size(), 1u);
}

TEST(ModulesReport, PluginsReceiveTheCompactFormOfTheFileBeforeTheConfiguration) {
    Installation installation;
    installation.AddPlugin("tp_config_copy", "copy.so");
    installation.AddPlugin("tp_basic", "other.so");

    StartAndStop(installation);

    const std::string report = CompactFormOf(installation.ReadFile("plugins.xml"));
    EXPECT_EQ(report.rfind("<?xml ?><kDVR Delta=\"0\"><Modules ", 0), 0u) << report;
    EXPECT_EQ(installation.ReadFile("copy.config1"), report);
    EXPECT_NE(installation.ReadFile("copy.config2").find("<Memory "), std::string::npos);
    EXPECT_FALSE(installation.Exists("copy.config3"));
    const auto otherConfigs = CallsContaining(installation, "other Config ");
    ASSERT_EQ(otherConfigs.size(), 2u);
    EXPECT_EQ(otherConfigs[0].rfind("other Config length=" + std::to_string(report.size()) + " data=<?xml ", 0), 0u)
        << otherConfigs[0];
}

// ---- Closing and unloading ----

TEST(PluginClosing, LargestMask5ClosesFirstAndUnloadingFollowsTheSameOrder) {
    Installation installation;
    installation.AddPlugin("tp_mask5_none", "a-none.so");
    installation.AddPlugin("tp_mask5_high", "b-high.so"); // with a worker and a reader
    installation.AddPlugin("tp_mask5_low", "c-low.so");   // with a reader

    StartAndStop(installation);

    const std::vector<std::string> loadingOrder = {"a-none", "b-high", "c-low"};
    const std::vector<std::string> closingOrder = {"b-high", "c-low", "a-none"};
    EXPECT_EQ(StemsCalling(installation, "Open"), loadingOrder);
    EXPECT_EQ(StemsCalling(installation, "Close"), closingOrder);
    EXPECT_EQ(StemsCalling(installation, "Unload"), closingOrder);
    const auto calls = installation.Calls();
    EXPECT_LT(CallIndex(calls, "a-none Close "), CallIndex(calls, "b-high Unload "));
    // Each plugin's threads end after its Close and are joined before its Unload.
    for (const auto &[stem, thread] : std::vector<std::pair<std::string, std::string>>{
             {"b-high", "Worker"}, {"b-high", "Reader"}, {"c-low", "Reader"}}) {
        const long end = CallIndex(calls, stem + " " + thread + " end");
        EXPECT_LT(CallIndex(calls, stem + " Close "), end) << stem << " " << thread;
        EXPECT_LT(end, CallIndex(calls, stem + " Unload ")) << stem << " " << thread;
    }
}

TEST(PluginClosing, FailingCloseAndUnloadAreLoggedAndTheRestGoesOn) {
    Installation installation;
    installation.AddPlugin("tp_link_fails", "fails.so"); // Close and Unload return 2 with Error 5
    installation.AddPlugin("tp_basic", "next.so");

    const std::string console = StartAndStop(installation, "plugin fails.so unload returned");

    // Level 0: magenta on the console.
    EXPECT_EQ(LineWith(console, "plugin fails.so close returned 2 error 5").rfind("\x1b[35m", 0), 0u) << console;
    EXPECT_EQ(LineWith(console, "plugin fails.so unload returned 2 error 5").rfind("\x1b[35m", 0), 0u) << console;
    EXPECT_EQ(StemsCalling(installation, "Unload"), (std::vector<std::string>{"fails", "next"}));
}

// The core is held inside the last plugin's Unload while its map is read.
TEST(PluginUnloading, LibraryOfId00470000StaysMappedAfterItsUnload) {
    Installation installation;
    installation.AddPlugin("tp_kept_mapped", "kept.so");   // mask 5 0x20: unloaded first
    installation.AddPlugin("tp_mask5_low", "released.so"); // then this one
    installation.AddPlugin("tp_mask5_none", "last.so");    // last, waiting for the test
    installation.WriteFile("last.unload", "await maps-read\n");
    const std::string plugins = std::filesystem::canonical(installation.Root()).string() + "/plugins/";

    CoreProcess core(installation);
    core.SendIdentity("korvod", "2.1");
    ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(10)));
    core.SendStop();
    ASSERT_TRUE(WaitForCall(installation, "last Unload ", Scaled(10)));
    std::ifstream mapsFile("/proc/" + std::to_string(core.Pid()) + "/maps");
    const std::string maps((std::istreambuf_iterator<char>(mapsFile)), std::istreambuf_iterator<char>());
    installation.WriteFile("maps-read", "");
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);

    EXPECT_EQ(StemsCalling(installation, "Unload"), (std::vector<std::string>{"kept", "released", "last"}));
    EXPECT_NE(maps.find(plugins + "kept.so"), std::string::npos) << maps;
    EXPECT_EQ(maps.find(plugins + "released.so"), std::string::npos) << maps;
    EXPECT_NE(maps.find(plugins + "last.so"), std::string::npos) << maps;
}

// The library stays mapped after the core is gone, with a thread that raises
// events all the while; its destructor raises one more when the process ends.
TEST(PluginUnloading, EventsFromALibraryThatOutlivesTheCoreAreRefused) {
    Installation installation;
    installation.AddPlugin("tp_kept_mapped", "kept.so");
    installation.WriteFile("kept.open", "linger\n");

    StartAndStop(installation);

    EXPECT_EQ(CallsContaining(installation, "kept late result"), std::vector<std::string>{"kept late result 1"});
}
