// The core's user, groups and capabilities, taken from the user its parent
// (the supervisor) runs as. Most cases need root: the test starts the core
// as root under a parent that has become another user.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/core_harness.h"

using namespace coretest;

namespace {

const char *const STARTED = "successfully started core version";
const char *const NOT_ROOT = "needs root: starts the core as root under a parent running as another user";
// tp_threads (ID 0x00030000) has a worker and a reader thread.
constexpr uint32_t THREADS_PLUGIN_ADDRESS = 0x00300000;
constexpr uint32_t PLUGIN_PACKET = 20;
constexpr uint64_t NETWORK = CAP_TO_MASK(CAP_NET_ADMIN) | CAP_TO_MASK(CAP_NET_RAW);
constexpr uint64_t NETWORK_AND_RAW_IO = NETWORK | CAP_TO_MASK(CAP_SYS_RAWIO);

struct Account {
    uid_t uid;
    gid_t gid;
};

Account Nobody() {
    const passwd *account = getpwnam("nobody");
    return account ? Account{account->pw_uid, account->pw_gid} : Account{65534, 65534};
}

// A user id that has no account on this machine.
uid_t UnknownUserId() {
    uid_t uid = 54321;
    while (getpwuid(uid) != nullptr) {
        ++uid;
    }
    return uid;
}

// In a child process: take on the user for good, or give up.
void BecomeUser(const Account &user) {
    if (setgroups(1, &user.gid) != 0 || setresgid(user.gid, user.gid, user.gid) != 0 ||
        setresuid(user.uid, user.uid, user.uid) != 0) {
        _exit(125);
    }
}

// Makes the harness's child a supervisor running as `user` whose own child
// becomes the core: as root, or as the user too when coreAsUser is set. The
// supervisor changes user before the core starts, writes the core's process
// id to corePidPipe and exits with the core's exit code.
std::function<void()> SupervisedBy(Account user, bool coreAsUser, int corePidPipe) {
    return [=] {
        if (coreAsUser) {
            BecomeUser(user);
        }
        int go[2];
        if (pipe(go) != 0) {
            _exit(125);
        }
        const pid_t corePid = fork();
        if (corePid < 0) {
            _exit(125);
        }
        if (corePid == 0) {
            close(go[1]);
            char ready = 0;
            if (read(go[0], &ready, 1) != 1) {
                _exit(125);
            }
            close(go[0]);
            return; // on to become the core
        }
        close(go[0]);
        if (!coreAsUser) {
            BecomeUser(user);
        }
        if (write(corePidPipe, &corePid, sizeof corePid) != sizeof corePid || write(go[1], "g", 1) != 1) {
            _exit(125);
        }
        int status = 0;
        while (waitpid(corePid, &status, 0) < 0 && errno == EINTR) {
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    };
}

// Under the emulator a core started as `user` loads its C library from the
// emulator's root: where that user may not enter it (a build under root's
// home, say), no such core can start, whatever the core does. Says so, or "".
std::string EmulatorRootClosedTo(const Account &user) {
    const std::string root = EmulatorRoot();
    if (root.empty()) {
        return "";
    }
    const pid_t child = fork();
    if (child == 0) {
        BecomeUser(user);
        _exit(access((root + "/lib").c_str(), R_OK | X_OK) == 0 ? 0 : 1);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return "";
    }
    return "user " + std::to_string(user.uid) + " cannot enter the emulator's root " + root +
           ": build where every user can read";
}

std::string ReadText(const std::string &path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The value of one "Name:\tvalue" line of a /proc status file.
std::string StatusField(const std::string &statusPath, const std::string &name) {
    std::istringstream lines(ReadText(statusPath));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            const auto first = line.find_first_not_of(" \t", name.size() + 1);
            const auto last = line.find_last_not_of(" \t");
            return first == std::string::npos ? std::string() : line.substr(first, last + 1 - first);
        }
    }
    return "?";
}

struct Capabilities {
    uint64_t effective;
    uint64_t permitted;
    uint64_t inheritable;
};

Capabilities ThreadCapabilities(pid_t pid, long thread) {
    const std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(thread) + "/status";
    const auto hex = [&](const char *name) { return std::stoull(StatusField(path, name), nullptr, 16); };
    return {hex("CapEff"), hex("CapPrm"), hex("CapInh")};
}

// Standard error is collected on its own thread: it may lag behind the exit.
bool WaitForErrors(const CoreProcess &core, const std::string &text, Seconds timeout) {
    return WaitUntil([&] { return core.Errors() == text; }, timeout);
}

// Kernel thread ids the plugin recorded with "thread NAME", by name.
std::map<std::string, long> RecordedThreads(const Installation &installation, std::size_t count, Seconds timeout) {
    std::map<std::string, long> threads;
    WaitUntil(
        [&] {
            for (const auto &line : CallsContaining(installation, " thread ")) {
                char name[32] = "";
                long thread = 0;
                if (std::sscanf(line.c_str(), "%*s thread %31s %ld", name, &thread) == 2) {
                    threads[name] = thread;
                }
            }
            return threads.size() >= count;
        },
        timeout);
    return threads;
}

// A core started through a supervisor child: the process id comes through a pipe.
class SupervisedCore {
public:
    SupervisedCore(const Installation &installation, Account user, bool coreAsUser) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return;
        }
        StartOptions options;
        options.beforeExec = SupervisedBy(user, coreAsUser, ends[1]);
        supervisor.emplace(installation, options);
        close(ends[1]);
        pollfd readable{ends[0], POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(Scaled(10).count() * 1000)) != 1 ||
            read(ends[0], &corePid, sizeof corePid) != sizeof corePid) {
            ADD_FAILURE() << "the supervisor did not start the core";
        }
        close(ends[0]);
    }
    // A core left running by a failed test must not outlive it.
    ~SupervisedCore() {
        if (corePid > 0 && !supervisor->WaitForExit(Seconds(0))) {
            kill(corePid, SIGKILL);
        }
    }
    SupervisedCore(const SupervisedCore &) = delete;
    SupervisedCore &operator=(const SupervisedCore &) = delete;

    CoreProcess &Supervisor() { return *supervisor; }
    pid_t CorePid() const { return corePid; }
    std::string Status(const std::string &name) const {
        return StatusField("/proc/" + std::to_string(corePid) + "/status", name);
    }
    std::optional<int> Stop() { return supervisor->StopBySignal(SIGTERM, Scaled(20), corePid); }

private:
    std::optional<CoreProcess> supervisor;
    pid_t corePid = -1;
};

// The core runs as the parent's user and writes into the installation.
void GiveInstallationTo(const Installation &installation, const Account &user) {
    ASSERT_EQ(chown(installation.Root().c_str(), user.uid, user.gid), 0) << std::strerror(errno);
}

// ---- A root core under an unprivileged parent ----

TEST(Identity, RootCoreTakesTheParentsUserAndGroupsAndKeepsOnlyNetworkCapabilitiesPerThread) {
    if (geteuid() != 0) {
        GTEST_SKIP() << NOT_ROOT;
    }
    const Account nobody = Nobody();
    Installation installation;
    ASSERT_NO_FATAL_FAILURE(GiveInstallationTo(installation, nobody));
    installation.AddPlugin("tp_threads", "tp_threads.so");
    installation.WriteFile("tp_threads.worker", "thread worker\n");
    installation.WriteFile("tp_threads.reader", "thread reader\n");

    SupervisedCore core(installation, nobody, false);
    ASSERT_GT(core.CorePid(), 0);
    core.Supervisor().SendIdentity("korvod", "2.1");
    ASSERT_TRUE(core.Supervisor().WaitForConsole(STARTED, Scaled(10)));
    // Supervisor packets reach plugins on the asio thread.
    core.Supervisor().SendPacket(PLUGIN_PACKET, THREADS_PLUGIN_ADDRESS, "thread asio");
    auto threads = RecordedThreads(installation, 3, Scaled(10));
    ASSERT_EQ(threads.size(), 3u);
    threads["main"] = core.CorePid();

    const std::string uid = std::to_string(nobody.uid);
    const std::string gid = std::to_string(nobody.gid);
    EXPECT_EQ(core.Status("Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(core.Status("Gid"), gid + "\t" + gid + "\t" + gid + "\t" + gid);
    EXPECT_EQ(core.Status("Groups"), gid);
    // Threads started before the plugins were open keep the raw I/O capability.
    const std::map<std::string, uint64_t> expected = {
        {"main", NETWORK}, {"asio", NETWORK_AND_RAW_IO}, {"worker", NETWORK_AND_RAW_IO}, {"reader", NETWORK}};
    for (const auto &[name, mask] : expected) {
        const Capabilities sets = ThreadCapabilities(core.CorePid(), threads[name]);
        EXPECT_EQ(sets.effective, mask) << name;
        EXPECT_EQ(sets.permitted, mask) << name;
        EXPECT_EQ(sets.inheritable, 0u) << name;
    }
    EXPECT_EQ(Count(core.Supervisor().Console(), "capset failed"), 0u);
    EXPECT_EQ(core.Stop(), 0);
}

// ---- Unprivileged cores ----

TEST(Identity, CoreAndParentAsTheSameUserChangeNothingAndLogTheRefusedCapabilitiesTwice) {
    if (geteuid() != 0) {
        GTEST_SKIP() << NOT_ROOT;
    }
    const Account nobody = Nobody();
    if (const std::string closed = EmulatorRootClosedTo(nobody); !closed.empty()) {
        GTEST_SKIP() << closed;
    }
    Installation installation;
    ASSERT_NO_FATAL_FAILURE(GiveInstallationTo(installation, nobody));
    SupervisedCore core(installation, nobody, true);
    ASSERT_GT(core.CorePid(), 0);
    core.Supervisor().SendIdentity("korvod", "2.1");
    ASSERT_TRUE(core.Supervisor().WaitForConsole(STARTED, Scaled(10)));
    EXPECT_EQ(Count(core.Supervisor().Console(), "capset failed: Operation not permitted"), 2u);
    const std::string uid = std::to_string(nobody.uid);
    EXPECT_EQ(core.Status("Uid"), uid + "\t" + uid + "\t" + uid + "\t" + uid);
    EXPECT_EQ(ThreadCapabilities(core.CorePid(), core.CorePid()).effective, 0u);
    EXPECT_EQ(core.Stop(), 0);
}

TEST(Identity, ParentUserWithoutAnAccountFailsInitialisation) {
    if (geteuid() != 0) {
        GTEST_SKIP() << NOT_ROOT;
    }
    const uid_t unknown = UnknownUserId();
    Installation installation;
    SupervisedCore core(installation, Account{unknown, unknown}, false);
    EXPECT_EQ(core.Supervisor().WaitForExit(Scaled(10)), 2);
    EXPECT_TRUE(core.Supervisor().WaitForConsole("getpwuid failed: ", Scaled(10)));
    EXPECT_TRUE(WaitForErrors(core.Supervisor(), "failed to initialize core\n", Scaled(10)));
}

TEST(Identity, UnprivilegedCoreUnderARootParentCannotBecomeRoot) {
    if (geteuid() != 0) {
        GTEST_SKIP() << NOT_ROOT;
    }
    const Account nobody = Nobody();
    if (const std::string closed = EmulatorRootClosedTo(nobody); !closed.empty()) {
        GTEST_SKIP() << closed;
    }
    Installation installation;
    ASSERT_NO_FATAL_FAILURE(GiveInstallationTo(installation, nobody));
    StartOptions options;
    options.supervisor = false;
    options.beforeExec = [nobody] { BecomeUser(nobody); };
    CoreProcess core(installation, options);
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 2);
    EXPECT_TRUE(core.WaitForConsole("setuid/gid failed: Operation not permitted", Scaled(10)));
    EXPECT_TRUE(WaitForErrors(core, "failed to initialize core\n", Scaled(10)));
}

// ---- Files ----

TEST(Identity, FilesTheCoreWritesHaveNoGroupOrOtherPermissions) {
    Installation installation;
    CoreProcess core(installation, StartOptions{false, {}, {}});
    ASSERT_TRUE(core.WaitForConsole(STARTED, Scaled(10)));
    for (const char *file : {"core.xml", "plugins.xml"}) {
        struct stat status {};
        ASSERT_EQ(stat((installation.Root() + "/" + file).c_str(), &status), 0) << file;
        EXPECT_EQ(status.st_mode & 077, 0u) << file;
    }
    EXPECT_EQ(core.StopBySignal(SIGTERM, Scaled(10)), 0);
}

} // namespace
