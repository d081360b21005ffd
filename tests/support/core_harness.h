#pragma once

// Runs the real `core` executable from a temporary installation, with a
// pseudo-terminal as its standard output and, when asked, a test-held end of
// a sequenced-packet socket pair as its supervisor link.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "tests/support/temporary_directory.h"
#include "tests/support/wait_until.h"

namespace coretest {

using testsupport::Seconds;
using testsupport::WaitUntil;

// Timing bounds grow by this factor under emulation and sanitizers.
double TimeScale();
Seconds Scaled(double seconds);
// Whether the core runs under an emulator, whose own threads and descriptors
// share the core's process.
bool Emulated();
// The directory the emulator takes the core's loader and libraries from
// ("" natively).
std::string EmulatorRoot();

std::string TestPluginPath(const std::string &variant);
// The version the core under test was built as.
std::string BuiltCoreVersion();

// Under the sanitizers the core allocates through the sanitizer's allocator,
// which keeps freed memory (quarantine, caches) whatever the core does: the
// return of memory is checked with the C library's allocator only.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED_ALLOCATOR = true;
#else
constexpr bool SANITIZED_ALLOCATOR = false;
#endif

// A process's resident size in KiB, or 0 when it cannot be read.
long ResidentKib(pid_t pid);

// A temporary directory laid out like an installation: the executable, its
// plugin directories beside it; also the core's working directory.
class Installation {
public:
    Installation();

    const std::string &Root() const { return root.Root(); }
    std::string CorePath() const { return root.Path("core"); }
    // Installs another build of the core in place of the one under test.
    void ReplaceCore(const std::string &executable) const;
    // Copies a built test plugin variant in under the given file name.
    void AddPlugin(const std::string &variant, const std::string &fileName,
                   const std::string &directory = "plugins") const;
    void WriteFile(const std::string &relative, const std::string &content) const;
    std::string ReadFile(const std::string &relative) const;
    bool Exists(const std::string &relative) const;
    // Lines the test plugins appended to calls.log.
    std::vector<std::string> Calls() const;

private:
    testsupport::TemporaryDirectory root{"core-test"};
};

struct StartOptions {
    bool supervisor = true;             // pass a socket-pair end as the descriptor
    std::vector<std::string> arguments; // replaces the descriptor argument when set
    std::string argv0;                  // the program name as invoked; the core path when empty
    // Runs in the child process just before it becomes the core.
    std::function<void()> beforeExec{};
};

class CoreProcess {
public:
    explicit CoreProcess(const Installation &installation, const StartOptions &options = {});
    ~CoreProcess();
    CoreProcess(const CoreProcess &) = delete;
    CoreProcess &operator=(const CoreProcess &) = delete;

    pid_t Pid() const { return pid; }
    int SupervisorSocket() const { return supervisor; }
    void SendPacket(uint32_t type, uint32_t address, const std::string &payload) const;
    void SendIdentity(const std::string &fileName, const std::string &version) const;
    void SendStop() const;
    // The next packet from the core, or nothing within the timeout.
    std::optional<std::string> ReceivePacket(Seconds timeout) const;
    void CloseSupervisor();

    void Signal(int signal) const;
    // Sends a stop signal to the core, or to `core` when this process is its
    // supervisor, and waits for this process to end: its exit code, or
    // nothing within the timeout.
    std::optional<int> StopBySignal(int signal, Seconds timeout, pid_t core = -1);
    // The exit code (128 + signal when killed), or nothing within the timeout.
    std::optional<int> WaitForExit(Seconds timeout);
    bool WaitForConsole(const std::string &text, Seconds timeout);
    std::string Console() const;
    std::string Errors() const;

private:
    void CollectOutput(int console, int errors);
    void WaitForOutputClosed();

    pid_t pid = -1;
    int supervisor = -1;
    std::optional<int> exitCode;
    mutable std::mutex outputMutex;
    std::condition_variable outputChanged;
    std::string console;
    std::string errors;
    bool outputClosed = false;
    std::thread outputReader;
};

std::vector<std::string> Lines(const std::string &text);
// How often `part` occurs in `text`, overlaps counted.
std::size_t Count(const std::string &text, const std::string &part);

// Occurrences of text in the installation's calls.log lines, in order.
std::vector<std::string> CallsContaining(const Installation &installation, const std::string &text);
// Polls calls.log until `count` lines contain text; returns those seen.
std::vector<std::string> WaitForCalls(const Installation &installation, const std::string &text, std::size_t count,
                                      Seconds timeout);

} // namespace coretest
