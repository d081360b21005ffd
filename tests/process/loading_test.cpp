// Plugin discovery, loading and refusals, and the threads plugins ask for,
// seen through the console and the calls the test plugins record.
#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "tests/support/core_harness.h"

using namespace coretest;

namespace {

const char *const STARTED = "successfully started core version";
const char *const LOADED = "Core: Loaded plugin: ";

// Console colour digits of the levels the loader uses.
constexpr char LEVEL_0 = '5';
constexpr char LEVEL_50 = '3';
constexpr char LEVEL_100 = '1';

std::vector<std::string> LinesWith(const std::vector<std::string> &lines, const std::string &text) {
    std::vector<std::string> found;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(found),
                 [&](const std::string &line) { return line.find(text) != std::string::npos; });
    return found;
}

int Occurrences(const std::string &text, const std::string &what) {
    int count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++count;
    }
    return count;
}

// Each console line opens with "ESC [ 3 <digit> m": the digit tells the level.
char LevelColour(const std::string &line) { return line.compare(0, 3, "\x1b[3") == 0 ? line[3] : '?'; }

// The level colour of the one console line that carries message.
char LevelColourOf(const std::string &console, const std::string &message) {
    const auto lines = LinesWith(Lines(console), message);
    return lines.size() == 1 ? LevelColour(lines[0]) : '?';
}

// The line that carries message is followed at once by a level-0 line that
// carries next.
bool FollowedByDiagnostic(const std::string &console, const std::string &message, const std::string &next) {
    const auto lines = Lines(console);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].find(message) != std::string::npos) {
            return lines[i + 1].find(next) != std::string::npos && LevelColour(lines[i + 1]) == LEVEL_0;
        }
    }
    return false;
}

// The file names of the "Core: Loaded plugin" lines, in console order.
std::vector<std::string> LoadedNames(const std::string &console) {
    std::vector<std::string> names;
    for (const auto &line : LinesWith(Lines(console), LOADED)) {
        names.push_back(line.substr(line.find(LOADED) + std::string(LOADED).size()));
    }
    return names;
}

// A calls.log line reads "<stem> <entry> ...": the plugin's file stem, then
// what it was called for. Document texts in a line may hold any word later.
std::pair<std::string, std::string> StemAndCall(const std::string &line) {
    std::istringstream words(line);
    std::pair<std::string, std::string> stemAndCall;
    words >> stemAndCall.first >> stemAndCall.second;
    return stemAndCall;
}

// The stems of the plugins that received call, in calls.log order.
std::vector<std::string> StemsCalled(const std::vector<std::string> &calls, const std::string &call) {
    std::vector<std::string> stems;
    for (const auto &line : calls) {
        const auto [stem, called] = StemAndCall(line);
        if (called == call) {
            stems.push_back(stem);
        }
    }
    return stems;
}

long CallCount(const std::vector<std::string> &calls, const std::string &stem, const std::string &call) {
    return std::count_if(calls.begin(), calls.end(),
                         [&](const std::string &line) { return StemAndCall(line) == std::make_pair(stem, call); });
}

// Position of the first calls.log line that begins with text, or -1.
long CallIndex(const std::vector<std::string> &calls, const std::string &text) {
    const auto found = std::find_if(calls.begin(), calls.end(),
                                    [&](const std::string &line) { return line.compare(0, text.size(), text) == 0; });
    return found == calls.end() ? -1 : static_cast<long>(found - calls.begin());
}

// The calls.log lines of the plugin loaded from "<stem>.so".
std::vector<std::string> CallsOf(const Installation &installation, const std::string &stem) {
    std::vector<std::string> found;
    for (const auto &line : installation.Calls()) {
        if (line.compare(0, stem.size() + 1, stem + " ") == 0) {
            found.push_back(line);
        }
    }
    return found;
}

// The entries the plugin loaded from "<stem>.so" recorded, in order.
std::vector<std::string> CalledEntries(const Installation &installation, const std::string &stem) {
    std::vector<std::string> entries;
    for (const auto &line : CallsOf(installation, stem)) {
        entries.push_back(StemAndCall(line).second);
    }
    return entries;
}

bool WaitForCall(const Installation &installation, const std::string &text, Seconds timeout) {
    return WaitUntil([&] { return CallIndex(installation.Calls(), text) >= 0; }, timeout);
}

// Starts the core, lets it start up at once, stops it; returns its start-up console.
std::string StartAndStop(const Installation &installation) {
    CoreProcess core(installation);
    core.SendIdentity("korvod", "2.1");
    EXPECT_TRUE(core.WaitForConsole(STARTED, Scaled(10)));
    const std::string console = core.Console();
    core.SendStop();
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
    return console;
}

} // namespace

// ---- Discovery and order ----

TEST(PluginLoading, MarkedFileFirstThenPluginsThenProtectedEachByFileName) {
    Installation installation;
    installation.AddPlugin("tp_basic", "c.so");
    installation.AddPlugin("tp_second", "Z.so");
    installation.AddPlugin("tp_plain7", "real-d.so", "elsewhere");
    boost::filesystem::create_symlink(installation.Root() + "/elsewhere/real-d.so",
                                      installation.Root() + "/plugins/d.so");
    installation.AddPlugin("tp_basic", "upper.SO");
    installation.AddPlugin("tp_basic", "versioned.so.1");
    boost::filesystem::create_directories(installation.Root() + "/plugins/b.so");
    installation.AddPlugin("tp_plain8", "a.so", "protected-plugins");
    installation.AddPlugin("tp_plain9", "tDVRpi-first.so", "protected-plugins");
    // The module name (lower-cased stem) shows on the lines the plugin logs.
    installation.WriteFile("Z.open", "raise 0x40 0x2 0 25 hello from Z\n");

    const std::string console = StartAndStop(installation);

    EXPECT_EQ(LoadedNames(console), (std::vector<std::string>{"tDVRpi-first.so", "Z.so", "c.so", "d.so", "a.so"}));
    EXPECT_EQ(LevelColourOf(console, "Core: Loaded plugin: c.so"), LEVEL_0);
    EXPECT_EQ(console.find("Failed"), std::string::npos);
    EXPECT_NE(console.find("\x1b[36m z     \x1b[0m hello from Z"), std::string::npos);
    const auto calls = installation.Calls();
    const std::vector<std::string> order = {"tDVRpi-first", "Z", "c", "d", "a"};
    EXPECT_EQ(StemsCalled(calls, "Load"), order);
    EXPECT_EQ(StemsCalled(calls, "Open"), order);
    EXPECT_TRUE(CallsOf(installation, "upper").empty());
    EXPECT_TRUE(CallsOf(installation, "versioned.so").empty());
}

TEST(PluginLoading, NoPluginsDirectoryAndEmptyProtectedDirectoryStartWithoutPlugins) {
    Installation installation;
    boost::filesystem::create_directories(installation.Root() + "/protected-plugins");
    const std::string console = StartAndStop(installation);
    EXPECT_EQ(console.find("plugin"), std::string::npos);
    EXPECT_FALSE(installation.Exists("calls.log"));
}

// ---- The same file name in both directories ----

TEST(PluginLoading, SameFileNameInBothDirectories) {
    Installation installation;
    installation.AddPlugin("tp_basic", "twin.so");
    installation.AddPlugin("tp_second", "twin.so", "protected-plugins");
    installation.AddPlugin("tp_plain7", "same.so");
    // Same ID, and it asks for a worker: refused, so it must get none.
    installation.AddPlugin("tp_worker_id7", "same.so", "protected-plugins");
    installation.WriteFile("plugins/x.so", "not a library\n");
    installation.WriteFile("protected-plugins/x.so", "not a library either\n");

    const std::string console = StartAndStop(installation);

    // Different IDs: both stay.
    const auto calls = installation.Calls();
    EXPECT_EQ(CallCount(calls, "twin", "Open"), 2);
    EXPECT_EQ(CallCount(calls, "twin", "Unload"), 2);
    // Same ID: the one from "plugins" stays; the other is unloaded at once.
    EXPECT_EQ(LevelColourOf(console, "plugin same.so ID 0x00070000 already loaded"), LEVEL_50);
    EXPECT_TRUE(FollowedByDiagnostic(console, "plugin same.so ID 0x00070000 already loaded",
                                     "plugin protected-plugins/same.so: ID 0x00070000 is held by plugins/same.so, "
                                     "which loaded first (the loading order decides)"))
        << console;
    EXPECT_EQ(CallCount(calls, "same", "Load"), 2);
    EXPECT_EQ(CallCount(calls, "same", "Open"), 1);
    EXPECT_EQ(CallCount(calls, "same", "Unload"), 2);
    EXPECT_EQ(CallCount(calls, "same", "Worker"), 0);
    // Refused by the loader in both: both lines, the later one kept.
    const std::string plugins = installation.Root() + "/plugins/x.so";
    const std::string protectedPlugins = installation.Root() + "/protected-plugins/x.so";
    const auto failed = LinesWith(Lines(console), "Core: Failed to load plugin 'x.so': ");
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(LevelColour(failed[0]), LEVEL_100);
    EXPECT_NE(failed[0].find(plugins + ":"), std::string::npos);
    EXPECT_NE(failed[1].find(protectedPlugins + ":"), std::string::npos);
    // One refused library in the modules report, with the later message.
    const std::string report = installation.ReadFile("plugins.xml");
    EXPECT_EQ(Occurrences(report, "Name=\"x.so\""), 1) << report;
    EXPECT_EQ(Occurrences(report, "Filename=\"x.so\""), 1) << report;
    EXPECT_EQ(Occurrences(report, plugins + ":"), 0) << report;
    EXPECT_EQ(Occurrences(report, protectedPlugins + ":"), 1) << report;
}

// ---- Refusals after Load ----

// Only a plugin whose Load succeeded gets an Unload when it is refused.
TEST(PluginLoading, FailedLoadsAndTheCoreIdAreRefusedAfterTheirLoadedLine) {
    Installation installation;
    installation.AddPlugin("tp_core_id", "tDVRpi-core.so", "protected-plugins");
    installation.AddPlugin("tp_load_fails", "fails.so");
    installation.AddPlugin("tp_load_error", "errs.so");
    installation.AddPlugin("tp_no_load", "noload.so");
    installation.AddPlugin("tp_basic", "ok.so");

    const std::string console = StartAndStop(installation);

    EXPECT_EQ(LoadedNames(console),
              (std::vector<std::string>{"tDVRpi-core.so", "errs.so", "fails.so", "noload.so", "ok.so"}));
    const std::vector<std::pair<std::string, std::string>> refusals = {
        {"tDVRpi-core.so", "plugin tDVRpi-core.so ID 0x80000000 already loaded"},
        {"fails.so", "plugin fails.so load returned 3 error 0"},
        {"errs.so", "plugin errs.so load returned 0 error 9"},
        {"noload.so", "Core: Failed to load plugin: noload.so (missing symbol)"},
    };
    for (const auto &[file, message] : refusals) {
        EXPECT_EQ(LevelColourOf(console, message), file == "tDVRpi-core.so" ? LEVEL_50 : LEVEL_100) << message;
        EXPECT_LT(console.find(LOADED + file), console.find(message)) << message;
    }
    EXPECT_TRUE(FollowedByDiagnostic(console, "plugin tDVRpi-core.so ID 0x80000000 already loaded",
                                     "plugin protected-plugins/tDVRpi-core.so: ID 0x80000000 is the core's own "
                                     "(CORE_SOURCE)"))
        << console;
    const auto calls = installation.Calls();
    for (const auto *stem : {"fails", "errs"}) {
        EXPECT_EQ(CallsOf(installation, stem).size(), 1u) << stem << ": Load and nothing else";
        EXPECT_EQ(CallCount(calls, stem, "Load"), 1) << stem;
    }
    EXPECT_EQ(CalledEntries(installation, "tDVRpi-core"), (std::vector<std::string>{"Load", "Unload"}));
    EXPECT_EQ(CallCount(calls, "ok", "Unload"), 1);
}

// ID 0 marks job control events, so a plugin that leaves it is refused as one
// taking the core's ID is. A plugin refused after its Load succeeded is
// unloaded before its library is closed: the thread that Load started would
// otherwise run on in unmapped code and take the core down.
TEST(PluginLoading, IdZeroAndTakenIdsAreRefusedAndUnloadedBeforeTheLibraryIsClosed) {
    Installation installation;
    installation.AddPlugin("tp_second", "a.so");
    installation.AddPlugin("tp_load_thread", "b.so");
    installation.AddPlugin("tp_id_zero", "zero.so");

    const std::string console = StartAndStop(installation);

    EXPECT_EQ(LevelColourOf(console, "plugin b.so ID 0x00020000 already loaded"), LEVEL_50);
    EXPECT_TRUE(FollowedByDiagnostic(console, "plugin b.so ID 0x00020000 already loaded",
                                     "plugin plugins/b.so: ID 0x00020000 is held by plugins/a.so, which loaded first "
                                     "(the loading order decides)"))
        << console;
    EXPECT_EQ(LevelColourOf(console, "plugin zero.so ID 0x00000000 is reserved for job control"), LEVEL_50);
    EXPECT_EQ(CalledEntries(installation, "b"),
              (std::vector<std::string>{"Load", "LoadThread", "Unload", "LoadThread"}));
    EXPECT_EQ(CallsOf(installation, "b").back(), "b LoadThread stopped");
    EXPECT_EQ(CalledEntries(installation, "zero"), (std::vector<std::string>{"Load", "Unload"}));
    const std::string report = installation.ReadFile("plugins.xml");
    EXPECT_NE(report.find("Filename=\"a.so\""), std::string::npos) << report;
    EXPECT_EQ(report.find("Filename=\"b.so\""), std::string::npos) << report;
    EXPECT_EQ(report.find("Filename=\"zero.so\""), std::string::npos) << report;
}

// ---- Worker and reader threads ----

TEST(PluginThreads, WorkerRunsBeforeOpenAndReaderOnlyAfterEveryPluginIsOpened) {
    Installation installation;
    installation.AddPlugin("tp_only_load_threads", "onlyload.so"); // asks for both, exports neither entry
    installation.AddPlugin("tp_threads", "threads.so");
    installation.AddPlugin("tp_basic", "zz.so");
    // Logs while later plugins are still loading, under its module name.
    installation.WriteFile("threads.worker", "raise 0x40 0x2 0 50 worker says hello\n");

    CoreProcess core(installation);
    // Opening waits for the identity: hold it back until the worker has run.
    ASSERT_TRUE(WaitForCall(installation, "threads Worker start", Scaled(5)));
    core.SendIdentity("korvod", "2.1");
    ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(10)));
    EXPECT_TRUE(core.WaitForConsole("\x1b[36m thread\x1b[0m worker says hello", Scaled(5)));
    core.SendStop();
    ASSERT_EQ(core.WaitForExit(Scaled(10)), 0);

    const auto calls = installation.Calls();
    const long load = CallIndex(calls, "threads Load");
    const long worker = CallIndex(calls, "threads Worker start block=8");
    const long open = CallIndex(calls, "threads Open");
    const long lastOpen = CallIndex(calls, "zz Open");
    const long reader = CallIndex(calls, "threads Reader start flag=1");
    const long close = CallIndex(calls, "threads Close");
    const long unload = CallIndex(calls, "threads Unload");
    EXPECT_GE(load, 0);
    EXPECT_LT(load, worker);
    EXPECT_LT(worker, open);
    EXPECT_LT(open, lastOpen);
    EXPECT_LT(lastOpen, reader);
    EXPECT_LT(lastOpen, close);
    EXPECT_LT(close, CallIndex(calls, "threads Worker end"));
    EXPECT_LT(close, CallIndex(calls, "threads Reader end"));
    EXPECT_LT(CallIndex(calls, "threads Worker end"), unload);
    EXPECT_LT(CallIndex(calls, "threads Reader end"), unload);
    const auto onlyLoad = CallsOf(installation, "onlyload");
    ASSERT_EQ(onlyLoad.size(), 1u);
    EXPECT_EQ(onlyLoad[0].rfind("onlyload Load ", 0), 0u);
}
