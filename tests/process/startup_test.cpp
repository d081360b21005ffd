// The entry point and the run sequence, seen from outside the process.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"
#include "tests/support/supervisor_packets.h"

using namespace coretest;

namespace {

const std::string STARTED = "successfully started core version " + BuiltCoreVersion();
const std::string STOPPING = "stopping core version " + BuiltCoreVersion() + "...";

const char *const FAILED_TO_START = "failed to start core: ";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
const int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};

StartOptions Arguments(std::vector<std::string> arguments) {
    StartOptions options;
    options.supervisor = false;
    options.arguments = std::move(arguments);
    return options;
}

// Whether the process has ended, without collecting its exit code.
bool HasEnded(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Waits until the core has started or ended; true when it started.
bool StartsBeforeItEnds(CoreProcess &core, Seconds timeout) {
    const auto started = [&] { return core.Console().find(STARTED) != std::string::npos; };
    WaitUntil([&] { return started() || HasEnded(core.Pid()); }, timeout);
    return started();
}

// Under ThreadSanitizer a signal can go unhandled: it is sent again until the
// core shows that it stops. Later stop signals change nothing.
bool SignalUntilStopping(CoreProcess &core, int signal, Seconds timeout) {
    return WaitUntil(
        [&] {
            core.Signal(signal);
            return core.WaitForConsole(STOPPING, Scaled(1));
        },
        timeout);
}

// Standard error is collected on its own thread: it may lag behind the exit.
bool WaitForErrors(const CoreProcess &core, const std::string &text, Seconds timeout) {
    return WaitUntil([&] { return core.Errors().find(text) != std::string::npos; }, timeout);
}

} // namespace

// ---- Command line ----

TEST(CommandLine, HelpNamesTheProgramAsInvokedAndInitialisesNothing) {
    Installation installation;
    for (const auto &arguments :
         std::vector<std::vector<std::string>>{{"-h"}, {"-help"}, {"-x", "-h", "7"}, {"--help"}, {"-x", "--help"}}) {
        StartOptions options = Arguments(arguments);
        options.argv0 = "./relative/../core";
        CoreProcess core(installation, options);
        EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
        EXPECT_EQ(core.Errors(), "core version " + BuiltCoreVersion() + "\nUsage: ./relative/../core <pipe>\n");
        EXPECT_EQ(core.Console(), "");
    }
    EXPECT_FALSE(installation.Exists("core.xml"));
}

// The version alone, on standard output, before anything is read or written.
TEST(CommandLine, VersionPrintsTheVersionAndInitialisesNothing) {
    Installation installation;
    for (const auto &arguments : std::vector<std::vector<std::string>>{{"--version"}, {"-x", "--version", "7"}}) {
        CoreProcess core(installation, Arguments(arguments));
        EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
        EXPECT_EQ(core.Console(), "core version " + BuiltCoreVersion() + "\n");
        EXPECT_EQ(core.Errors(), "");
    }
    EXPECT_FALSE(installation.Exists("core.xml"));
    EXPECT_FALSE(installation.Exists("plugins.xml"));
}

// Only the exact words are help and version; other options stay ignored, and
// scanning still stops at the descriptor.
TEST(CommandLine, ScanningStopsAtTheDescriptor) {
    Installation installation;
    for (const auto &arguments : std::vector<std::vector<std::string>>{
             {"99", "-h"}, {"99", "--help"}, {"99", "--version"}, {"--versions", "--help-me", "99"}}) {
        CoreProcess core(installation, Arguments(arguments)); // 99 is not open
        EXPECT_EQ(core.WaitForExit(Scaled(10)), 2) << arguments.back();
        EXPECT_EQ(core.Errors(), "failed to initialize core\n"
                                 "descriptor 99 is not a connected sequenced-packet socket: not open\n")
            << arguments.back();
    }
}

TEST(CommandLine, DescriptorThatIsNoSequencedPacketSocketFailsInitialisation) {
    Installation installation;
    // 99 is not open; "abc" means 0, which is /dev/null here.
    const std::pair<const char *, const char *> descriptors[] = {{"99", "descriptor 99 is not a connected "
                                                                        "sequenced-packet socket: not open\n"},
                                                                 {"abc", "descriptor 0 is not a connected "
                                                                         "sequenced-packet socket: not a socket\n"}};
    for (const auto &[argument, explanation] : descriptors) {
        CoreProcess core(installation, Arguments({argument}));
        EXPECT_EQ(core.WaitForExit(Scaled(10)), 2) << argument;
        EXPECT_EQ(core.Errors(), std::string("failed to initialize core\n") + explanation) << argument;
        EXPECT_NE(core.Console().find("failed to open ipc pipe"), std::string::npos) << argument;
    }
}

// A socket of the wrong kind, open and inherited, is named as such.
TEST(CommandLine, StreamSocketAsDescriptorIsNamedInTheFailure) {
    Installation installation;
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    constexpr int INHERITED = 50;
    StartOptions options = Arguments({std::to_string(INHERITED)});
    options.beforeExec = [&ends] { dup2(ends[1], INHERITED); };
    CoreProcess core(installation, options);
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 2);
    EXPECT_EQ(core.Errors(), "failed to initialize core\n"
                             "descriptor 50 is not a connected sequenced-packet socket: a stream socket\n");
    close(ends[0]);
    close(ends[1]);
}

// ---- Running without a supervisor ----

TEST(RunSequence, StopsWithExitCodeZeroOnEachStopSignal) {
    Installation installation;
    for (const int signal : STOP_SIGNALS) {
        CoreProcess core(installation, StartOptions{false, {}, {}});
        ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(5))) << signal;
        ASSERT_TRUE(SignalUntilStopping(core, signal, Scaled(5))) << signal;
        core.Signal(signal); // a second signal during the stop changes nothing
        EXPECT_EQ(core.WaitForExit(Scaled(10)), 0) << signal;
        EXPECT_EQ(core.Errors(), "");
    }
}

// A hang-up finishes what the plugins do, as every stop signal does.
TEST(RunSequence, HangUpClosesAndUnloadsThePluginsBeforeTheExit) {
    Installation installation;
    installation.AddPlugin("tp_threads", "threads.so");
    CoreProcess core(installation, StartOptions{false, {}, {}});
    ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(5)));
    ASSERT_TRUE(SignalUntilStopping(core, SIGHUP, Scaled(5)));
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
    EXPECT_EQ(CallsContaining(installation, "threads Close").size(), 1u);
    EXPECT_EQ(CallsContaining(installation, "threads Unload").size(), 1u);
}

// The moment the signal set is removed at the very end, exactly: a library
// preloaded into the core sends each stop signal as its handler is removed.
TEST(RunSequence, StopSignalWhileItsHandlerIsRemovedDoesNotKillTheCore) {
    if (Emulated()) {
        GTEST_SKIP() << "the emulator, a program of the build machine, would preload the library too";
    }
    Installation installation;
    for (const int signal : STOP_SIGNALS) {
        StartOptions options{false, {}, {}};
        options.beforeExec = [] {
            setenv("LD_PRELOAD", STOP_SIGNAL_GAP, 1);
            // The sanitizer runtimes expect to be loaded first.
            const char *asan = std::getenv("ASAN_OPTIONS");
            setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
        };
        CoreProcess core(installation, options);
        ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(5))) << signal;
        ASSERT_TRUE(SignalUntilStopping(core, signal, Scaled(5))) << signal;
        EXPECT_EQ(core.WaitForExit(Scaled(10)), 0) << signal;
    }
}

// The same moment as it comes about: signals sent without pause from the
// first until the core has exited, over many runs (fewer where each run is
// slow: the moment itself is caught by the test above).
TEST(RunSequence, StopSignalsUntilTheExitNeverKillTheCore) {
    Installation installation;
    const int RUNS = static_cast<int>(40 / TimeScale());
    std::map<int, int> outcomes; // exit code (-1: did not start): runs
    for (int run = 0; run < RUNS; ++run) {
        const int signal = STOP_SIGNALS[run % 4];
        CoreProcess core(installation, StartOptions{false, {}, {}});
        if (!core.WaitForConsole(STARTED, Scaled(10))) {
            ++outcomes[-1];
            continue;
        }
        // Bursts without a pause: the signals must keep coming through the exit.
        const auto signalBurstUntilEnded = [&] {
            for (int burst = 0; burst < 32; ++burst) {
                core.Signal(signal);
            }
            return HasEnded(core.Pid());
        };
        WaitUntil(signalBurstUntilEnded, Scaled(20), std::chrono::milliseconds(0));
        ++outcomes[core.WaitForExit(Scaled(5)).value_or(-2)];
    }
    EXPECT_EQ(outcomes, (std::map<int, int>{{0, RUNS}})) << "exit code: runs";
}

// ---- Start-up failures ----

// Each limit stops the core at another step: the dynamic loader (which is
// not the core), building the I/O service, the signal set, loading the
// plugin; from some limit on, it starts. Every run the core itself ends ends
// with its failure line and exit code 2, or starts and stops cleanly.
TEST(StartUpFailure, TooFewDescriptorsEndTheStartWithExitCodeTwo) {
    if (Emulated()) {
        GTEST_SKIP() << "the emulator opens descriptors of its own, before and beside the core";
    }
    if (SANITIZED) {
        GTEST_SKIP() << "the sanitizer runtimes need descriptors of their own and report inside Boost's "
                        "failure paths, which decide the outcome then";
    }
    Installation installation;
    installation.AddPlugin("tp_threads", "threads.so");
    std::size_t failed = 0;
    bool started = false;
    for (rlim_t limit = 3; !started && limit < 64; ++limit) {
        StartOptions options{false, {}, {}};
        options.beforeExec = [limit] {
            const rlimit descriptors{limit, limit};
            setrlimit(RLIMIT_NOFILE, &descriptors);
        };
        CoreProcess core(installation, options);
        if (StartsBeforeItEnds(core, Scaled(10))) {
            started = true;
            EXPECT_EQ(core.StopBySignal(SIGTERM, Scaled(10)), 0) << "limit " << limit;
            continue;
        }
        const std::optional<int> code = core.WaitForExit(Scaled(10));
        if (core.Errors().find("error while loading shared libraries") != std::string::npos) {
            continue;
        }
        EXPECT_EQ(code, 2) << "limit " << limit << ": " << core.Errors();
        EXPECT_TRUE(WaitForErrors(core, FAILED_TO_START, Scaled(5))) << "limit " << limit << ": " << core.Errors();
        ++failed;
    }
    EXPECT_TRUE(started);
    EXPECT_GT(failed, 0u);
}

// A user no account or process has: only the core's own threads count
// against its process limit.
uid_t UnusedUserId() {
    uid_t uid = 3000000 + static_cast<uid_t>(getpid() % 100000);
    while (getpwuid(uid) != nullptr) {
        ++uid;
    }
    return uid;
}

constexpr int NOT_THE_USER = 125;
constexpr int NO_ROOM_FOR_THE_CORE = 124;

// Becomes the user (root may set any process limit for it), then forks: the
// child goes on to become the core under the limit; this process stays its
// parent, as the supervisor would, and exits with the core's exit code.
std::function<void()> UnderProcessLimitAs(uid_t user, rlim_t limit) {
    return [user, limit] {
        const gid_t group = user;
        const rlimit processes{limit, limit};
        if (setgroups(1, &group) != 0 || setresgid(group, group, group) != 0 || setresuid(user, user, user) != 0 ||
            setrlimit(RLIMIT_NPROC, &processes) != 0) {
            _exit(NOT_THE_USER);
        }
        // The leak check at the exit needs a thread of its own.
        const char *asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(), 1);
        const pid_t child = fork();
        if (child == 0) {
            return;
        }
        int status = 0;
        while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        _exit(child < 0 ? NO_ROOM_FOR_THE_CORE : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    };
}

// The plugin's worker thread starts while loading; with one thread fewer the
// core gets no asio thread and must still close and unload the plugin, whose
// worker ends with the Close, and join it.
TEST(StartUpFailure, TooFewThreadsEndTheStartAfterClosingAndUnloadingThePlugins) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: runs the core as a user of its own, whose process limit counts only the core";
    }
    if (Emulated()) {
        GTEST_SKIP() << "the emulator starts threads of its own in the core's process";
    }
    const uid_t user = UnusedUserId();
    std::size_t failedWithWorker = 0;
    bool started = false;
    for (rlim_t limit = 2; !started && limit < 16; ++limit) {
        Installation installation;
        ASSERT_EQ(chown(installation.Root().c_str(), user, user), 0);
        installation.AddPlugin("tp_threads", "threads.so");
        StartOptions options;
        options.beforeExec = UnderProcessLimitAs(user, limit);
        CoreProcess core(installation, options);
        // Not checked: the core may already have failed and closed the link.
        const std::string identity = Packet(0, IPC_IDENTITY,
                                            std::string("korvod\0"
                                                        "2.1",
                                                        10));
        send(core.SupervisorSocket(), identity.data(), identity.size(), MSG_NOSIGNAL);
        if (StartsBeforeItEnds(core, Scaled(10))) {
            started = true;
            core.SendStop();
            EXPECT_EQ(core.WaitForExit(Scaled(10)), 0) << "limit " << limit;
            continue;
        }
        const std::optional<int> code = core.WaitForExit(Scaled(10));
        if (code == NO_ROOM_FOR_THE_CORE) {
            continue; // a sanitizer's own thread in the supervisor left none
        }
        ASSERT_EQ(code, 2) << "limit " << limit << ": " << core.Errors();
        EXPECT_TRUE(WaitForErrors(core, std::string(FAILED_TO_START) + "Resource temporarily unavailable\n", Scaled(5)))
            << "limit " << limit << ": " << core.Errors();
        const auto calls = installation.Calls();
        const auto at = [&calls](const std::string &call) {
            const auto found = std::find_if(calls.begin(), calls.end(), [&call](const std::string &line) {
                return line.rfind("threads " + call, 0) == 0;
            });
            return found == calls.end() ? -1L : static_cast<long>(found - calls.begin());
        };
        if (at("Load ") < 0) {
            continue; // the limit was reached before the plugin was loaded
        }
        EXPECT_LT(at("Load "), at("Close ")) << "limit " << limit;
        EXPECT_LT(at("Close "), at("Unload ")) << "limit " << limit;
        if (at("Worker start ") >= 0) {
            ++failedWithWorker;
            EXPECT_LT(at("Close "), at("Worker end")) << "limit " << limit;
            EXPECT_LT(at("Worker end"), at("Unload ")) << "limit " << limit;
        }
    }
    EXPECT_TRUE(started);
    EXPECT_GT(failedWithWorker, 0u);
}

// ---- Under a supervisor ----

TEST(RunSequence, StartsAsSoonAsTheIdentityArrivesAndStopsOnTheStopPacket) {
    Installation installation;
    CoreProcess core(installation);
    core.SendIdentity("korvod", "2.1");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, Scaled(5));
    core.SendStop();
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
    EXPECT_NE(core.Console().find(STOPPING), std::string::npos);
}

TEST(RunSequence, WithoutIdentityWaitsTenSecondsBeforeOpening) {
    Installation installation;
    const auto start = std::chrono::steady_clock::now();
    CoreProcess core(installation);
    ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(10) + Seconds(15)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, Seconds(9.9));
    core.SendStop();
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
}
