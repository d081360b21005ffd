// Crash reports of the real core: a test plugin crashes in each place where
// plugin code runs, and the report names the signal, the plugin, the thread
// and the call, and resolves with addr2line to the plugin's source line.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"
#include "tests/support/crash_in_core.h"
#include "tests/support/plugin_test_fixture.h"
#include "tests/support/private_system_log.h"

namespace coretest {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers report faults themselves: the core leaves SIGSEGV, SIGBUS
// and SIGFPE to them and takes only the signals they leave alone.
constexpr bool SANITIZER_REPORTS_FAULTS = true;
#else
constexpr bool SANITIZER_REPORTS_FAULTS = false;
#endif

const Variant CRASHING{"tp_crash", 0x00CA0000u};
const Variant BYSTANDER{"tp_crash_other", 0x00CB0000u};

// The newest report of core-crash.txt: its "key: value" lines and its frames.
struct Report {
    std::map<std::string, std::string> fields;
    std::vector<std::string> frames;

    std::string operator[](const std::string &key) const {
        const auto found = fields.find(key);
        return found != fields.end() ? found->second : "";
    }
};

Report NewestReport(const std::string &text) {
    Report report;
    std::istringstream lines(text);
    std::string line;
    bool inBacktrace = false;
    while (std::getline(lines, line) && line != "end of report") {
        if (inBacktrace) {
            report.frames.push_back(line);
        } else if (line.rfind("backtrace", 0) == 0) {
            inBacktrace = true;
        } else if (const auto colon = line.find(": "); colon != std::string::npos) {
            report.fields[line.substr(0, colon)] = line.substr(colon + 2);
        }
    }
    return report;
}

// The frame's library and offset, from "#N LIBRARY+0xOFFSET (SYMBOL+0x..) [...]".
bool SplitFrame(const std::string &frame, std::string &library, std::string &offset) {
    const auto space = frame.find(' ');
    const auto plus = frame.find("+0x", space);
    if (space == std::string::npos || plus == std::string::npos) {
        return false;
    }
    library = frame.substr(space + 1, plus - space - 1);
    const auto end = frame.find(' ', plus);
    offset = frame.substr(plus + 1, end == std::string::npos ? std::string::npos : end - plus - 1);
    return true;
}

// The source line addr2line gives for the frame, or 0.
int SourceLineOf(const std::string &frame) {
    std::string library;
    std::string offset;
    if (!SplitFrame(frame, library, offset)) {
        return 0;
    }
    const std::string command = std::string(ADDR2LINE) + " -e '" + library + "' " + offset;
    std::unique_ptr<FILE, int (*)(FILE *)> output(popen(command.c_str(), "r"), pclose);
    char answer[1024] = "";
    if (!output || std::fgets(answer, sizeof answer, output.get()) == nullptr) {
        return 0;
    }
    const std::string where(answer);
    const auto colon = where.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(where.c_str() + colon + 1);
}

// The lines of crash_plugin.c between "crash-site NAME begin" and "... end".
std::pair<int, int> CrashSite(const std::string &name) {
    std::ifstream source(CRASH_PLUGIN_SOURCE);
    std::string line;
    int number = 0;
    int begin = 0;
    while (std::getline(source, line)) {
        ++number;
        if (line.find("crash-site " + name + " begin") != std::string::npos) {
            begin = number;
        } else if (line.find("crash-site " + name + " end") != std::string::npos) {
            return {begin, number};
        }
    }
    return {0, 0};
}

// The frame the report blames, from its "blamed for" line.
std::string BlamedFrame(const Report &report) {
    const std::string blamed = report["blamed for"];
    const auto hash = blamed.find('#');
    if (hash == std::string::npos) {
        return "";
    }
    const std::string number = "#" + std::to_string(std::atoi(blamed.c_str() + hash + 1)) + " ";
    for (const std::string &frame : report.frames) {
        if (frame.rfind(number, 0) == 0) {
            return frame;
        }
    }
    return "";
}

class CrashReports : public ::testing::Test {
protected:
    // The crashing plugin, set to crash at `site`, and a bystander that runs.
    void InstallCrashing(const std::string &site) {
        installation.AddPlugin(CRASHING.name, "tp_crash.so");
        installation.WriteFile("tp_crash.crash", site + "\n");
        installation.AddPlugin(BYSTANDER.name, "tp_crash_other.so");
    }

    // No core file: a crash leaves only its report.
    void StartCore(std::function<void()> inChild = nullptr) {
        StartOptions options;
        options.beforeExec = [inChild] {
            const rlimit none{0, 0};
            setrlimit(RLIMIT_CORE, &none);
            if (inChild) {
                inChild();
            }
        };
        core.emplace(installation, options);
        core->SendIdentity("korvod", "2.1");
    }

    // The core's exit code once it has died.
    int ExitCode() {
        const std::optional<int> code = core->WaitForExit(Scaled(60));
        EXPECT_TRUE(code.has_value()) << "the core did not die";
        return code.value_or(-1);
    }

    Report ReadReport() const { return NewestReport(installation.ReadFile("core-crash.txt")); }

    // A fault the sanitizers report (UndefinedBehaviorSanitizer sees a null
    // store before it faults): the core still dies, by their hand, and they
    // say why on standard error.
    void ExpectSanitizerReport() {
        EXPECT_NE(ExitCode(), 0);
        const std::string errors = core->Errors();
        EXPECT_TRUE(errors.find("Sanitizer") != std::string::npos || errors.find("runtime error") != std::string::npos)
            << errors;
    }

    // What every report of a crash in plugin code says.
    void ExpectPluginCrash(int signal, const std::string &site, const std::string &thread, const std::string &call) {
        EXPECT_EQ(ExitCode(), 128 + signal);
        const Report report = ReadReport();
        EXPECT_EQ(report["signal"].rfind(signal == SIGABRT ? "SIGABRT (6)" : "SIGSEGV (11)", 0), 0u)
            << report["signal"];
        EXPECT_EQ(report["plugin"], "tp_crash.so");
        EXPECT_EQ(report["library"], installation.Root() + "/plugins/tp_crash.so");
        EXPECT_EQ(report["thread"].rfind(thread + ", task ", 0), 0u) << report["thread"];
        EXPECT_EQ(report["call"], call);
        const auto [begin, end] = CrashSite(site);
        const int line = SourceLineOf(BlamedFrame(report));
        EXPECT_TRUE(line > begin && line < end)
            << BlamedFrame(report) << " resolves to line " << line << ", not to the " << site << " site";
        EXPECT_NE(core->Errors().find("crash: "), std::string::npos);
    }

    Installation installation;
    std::optional<CoreProcess> core;
};

// ---- Where plugin code runs ----

TEST_F(CrashReports, WriteOnTheMainThread) {
    InstallCrashing("write");
    StartCore();
    if (SANITIZER_REPORTS_FAULTS) {
        return ExpectSanitizerReport();
    }
    ExpectPluginCrash(SIGSEGV, "write", "main thread", "Write to tp_crash.so (class 0x1 type 0x10)");
    EXPECT_EQ(ReadReport()["blamed for"], "the faulting instruction (frame #0)");
}

TEST_F(CrashReports, IoctlOnTheAsioThread) {
    InstallCrashing("ioctl");
    StartCore();
    ASSERT_TRUE(core->WaitForConsole("successfully started core version", Scaled(20)));
    core->SendPacket(100, AddressOf(CRASHING), "");
    if (SANITIZER_REPORTS_FAULTS) {
        return ExpectSanitizerReport();
    }
    ExpectPluginCrash(SIGSEGV, "ioctl", "asio thread",
                      "IOCTL code 4 (supervisor packet) to tp_crash.so (address 0xca00000 type 100)");
}

TEST_F(CrashReports, WorkerThread) {
    InstallCrashing("worker");
    StartCore();
    if (SANITIZER_REPORTS_FAULTS) {
        return ExpectSanitizerReport();
    }
    ExpectPluginCrash(SIGSEGV, "worker", "worker thread of tp_crash.so", "IOCTL code 1 (worker) of tp_crash.so");
}

TEST_F(CrashReports, JobThread) {
    InstallCrashing("job");
    StartCore();
    if (SANITIZER_REPORTS_FAULTS) {
        return ExpectSanitizerReport();
    }
    ExpectPluginCrash(SIGSEGV, "job", "job thread of tp_crash.so (tag 7)", "Read (job tag 7) of tp_crash.so");
}

TEST_F(CrashReports, Open) {
    InstallCrashing("open");
    StartCore();
    if (SANITIZER_REPORTS_FAULTS) {
        return ExpectSanitizerReport();
    }
    ExpectPluginCrash(SIGSEGV, "open", "main thread", "Open of tp_crash.so");
}

TEST_F(CrashReports, AThreadThePluginStartedItself) {
    InstallCrashing("thread");
    StartCore();
    if (SANITIZER_REPORTS_FAULTS) {
        return ExpectSanitizerReport();
    }
    ExpectPluginCrash(SIGSEGV, "thread", "thread of tp_crash.so (started by it, met when it raised an event)",
                      "none that the core knows of");
}

// abort() runs in the C library: the plugin is found further down the stack.
TEST_F(CrashReports, AbortInAPlugin) {
    InstallCrashing("abort");
    StartCore();
    ExpectPluginCrash(SIGABRT, "abort", "main thread", "Write to tp_crash.so (class 0x1 type 0x10)");
    EXPECT_NE(ReadReport()["blamed for"], "the faulting instruction (frame #0)");
}

// The handler runs on the thread's alternate signal stack.
TEST_F(CrashReports, StackOverflowInAPlugin) {
    InstallCrashing("overflow");
    StartCore();
    if (SANITIZER_REPORTS_FAULTS) {
        return ExpectSanitizerReport();
    }
    ExpectPluginCrash(SIGSEGV, "overflow", "worker thread of tp_crash.so", "IOCTL code 1 (worker) of tp_crash.so");
}

// A stack that cannot be walked: the walk is cut short (by a fault it
// causes, natively), the report still written. Under the sanitizers that
// fault is theirs to report.
TEST_F(CrashReports, AStackPointerIntoNowhereStillGivesAReport) {
    InstallCrashing("badstack");
    StartCore();
    if (SANITIZER_REPORTS_FAULTS) {
        return ExpectSanitizerReport();
    }
    EXPECT_EQ(ExitCode(), 128 + SIGILL);
    const Report report = ReadReport();
    EXPECT_EQ(report["signal"].rfind("SIGILL (4) ILL_", 0), 0u) << report["signal"];
    EXPECT_EQ(report["plugin"], "tp_crash.so");
    EXPECT_EQ(report["blamed for"], "the faulting instruction (frame #0)");
    const auto [begin, end] = CrashSite("badstack");
    const int line = SourceLineOf(BlamedFrame(report));
    EXPECT_TRUE(line > begin && line < end) << BlamedFrame(report) << " resolves to line " << line;
}

TEST_F(CrashReports, CrashInTheCoresOwnCodeBlamesTheCore) {
    installation.ReplaceCore(CORE_WITH_TEST_HOOKS);
    InstallCrashing("none");
    StartCore();
    ASSERT_TRUE(core->WaitForConsole("successfully started core version", Scaled(20)));
    core->SendPacket(CRASH_IN_CORE_PACKET, AddressOf(CRASHING), "");
    if (SANITIZER_REPORTS_FAULTS) {
        return ExpectSanitizerReport();
    }
    EXPECT_EQ(ExitCode(), 128 + SIGSEGV);
    const Report report = ReadReport();
    EXPECT_EQ(report["plugin"], "the core");
    EXPECT_EQ(report["library"], "");
    EXPECT_EQ(report["thread"].rfind("asio thread, task ", 0), 0u) << report["thread"];
    ASSERT_FALSE(report.frames.empty());
    EXPECT_NE(report.frames[0].find(installation.CorePath() + "+0x"), std::string::npos) << report.frames[0];
}

// A process a plugin forked inherits the handler, but is not the core. It
// aborts, which the core reports under the sanitizers too.
TEST_F(CrashReports, AForkedChildThatCrashesLeavesNoReport) {
    InstallCrashing("child");
    StartCore();
    ASSERT_TRUE(core->WaitForConsole("successfully started core version", Scaled(20)));
    EXPECT_EQ(CallsOf(installation, "tp_crash", "child ended by a signal").size(), 1u);
    core->SendStop();
    EXPECT_EQ(core->WaitForExit(Scaled(30)), 0);
    EXPECT_FALSE(installation.Exists("core-crash.txt"));
}

// ---- The next start ----

// The start after a crash says what happened on the console (and so to the
// system log and the plugins) and in a status document.
TEST_F(CrashReports, NextStartTellsTheCrashInALineAndAStatusDocument) {
    InstallCrashing("abort");
    StartCore();
    ASSERT_EQ(ExitCode(), 128 + SIGABRT);
    installation.WriteFile("tp_crash.crash", "none\n");
    installation.AddPlugin("tp_status", "tp_status.so");
    StartCore();
    ASSERT_TRUE(core->WaitForConsole("successfully started core version", Scaled(20)));
    EXPECT_NE(core->Console().find("the last run ended with SIGABRT in plugin tp_crash.so (thread: main thread; call: "
                                   "Write to tp_crash.so (class 0x1 type 0x10); 1 crashed run in a row; see "
                                   "core-crash.txt)"),
              std::string::npos)
        << core->Console();
    EXPECT_TRUE(WaitForCalls(installation, "tp_status",
                             "<kDVR><CrashReport signal=\"SIGABRT\" plugin=\"tp_crash.so\" library=\"", 1, Scaled(20)));
    core->SendStop();
    EXPECT_EQ(core->WaitForExit(Scaled(30)), 0);
}

TEST_F(CrashReports, TheReportReachesTheSystemLog) {
    std::string why;
    if (!testsupport::PrivateSystemLog::Possible(why)) {
        GTEST_SKIP() << why;
    }
    InstallCrashing("abort");
    testsupport::PrivateSystemLog log;
    StartCore(log.ChildSetup());
    ASSERT_EQ(ExitCode(), 128 + SIGABRT);
    // The handler writes its datagrams itself, without syslog(3)'s time stamp.
    std::vector<std::string> lines;
    for (const testsupport::SystemLogMessage &message : log.Messages()) {
        lines.push_back(message.datagram);
    }
    ASSERT_EQ(lines.size(), 4u);
    // LOG_USER | LOG_CRIT, the program's name and its process ID, as syslog sends them.
    const std::string head = "<10>core[" + std::to_string(core->Pid()) + "]: crash: ";
    EXPECT_EQ(lines[0].rfind(head + "SIGABRT (6) SI_TKILL (-6) in plugin tp_crash.so", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind(head + "thread main thread, task ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind(head + "frame #", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], head + "report in " + installation.Root() + "/core-crash.txt");
}

// A run that crashed keeps the reports of earlier runs behind its own. The
// quarantine is off, so the plugin crashes every run.
TEST_F(CrashReports, EarlierReportsAreKeptBehindTheNewest) {
    InstallCrashing("abort");
    installation.WriteFile("core.xml", "<kDVR><Memory Throttling=\"1\" /><Quarantine Crashes=\"0\" /></kDVR>");
    for (int run = 0; run < 5; ++run) {
        StartCore();
        ASSERT_EQ(ExitCode(), 128 + SIGABRT);
    }
    EXPECT_EQ(Count(installation.ReadFile("core-crash.txt"), "core crash report\n"), 4u);
    EXPECT_FALSE(installation.Exists("core-crash.txt.pending"));
    EXPECT_NE(installation.ReadFile("core.xml").find("<Quarantine Crashes=\"0\" />"), std::string::npos);
}

} // namespace
} // namespace coretest
