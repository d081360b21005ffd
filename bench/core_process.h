#pragma once

// The real `core` run from a temporary installation, with a pseudo-terminal
// as its console and the benchmark holding the supervisor end of its socket.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include <thread>

#include <sys/types.h>

#include "bench/bare_baselines.h"
#include "tests/support/temporary_directory.h"

namespace bench {

// How long any wait for the core may take before the benchmark gives up.
Seconds Patience();

// A temporary directory laid out like an installation; also the core's
// working directory. Removed with everything in it.
// Plugins and working-directory files that every installation gets besides the bench's own
// (a plugin measured as a guest, such as the MQTT bridge with its settings); set before any
// installation is made.
void AddGuestPlugin(const std::string &path);
void AddGuestFile(const std::string &path);

class Installation {
public:
    Installation();

    const std::string &Root() const { return root.Root(); }
    // Copies a built bench plugin in under the given file name.
    void AddPlugin(const std::string &library, const std::string &fileName) const;

private:
    testsupport::TemporaryDirectory root{"core-bench"};
};

class CoreProcess {
public:
    // Starts the core and sends the supervisor's identity at once.
    explicit CoreProcess(const Installation &installation);
    // Stops the core with the stop packet (killing it if it does not go);
    // a core that does not exit with 0 is counted and its console shown.
    ~CoreProcess();
    CoreProcess(const CoreProcess &) = delete;
    CoreProcess &operator=(const CoreProcess &) = delete;

    pid_t Pid() const { return pid; }
    int Supervisor() const { return supervisor; }
    // Time from the fork to the start-up line, or nothing within Patience().
    std::optional<Seconds> WaitUntilStarted();
    void SendPacket(uint32_t type, uint32_t address, const void *payload, std::size_t length) const;
    // Cores of this run that did not stop cleanly.
    static int Failures();

private:
    void ReadConsole(int console);

    pid_t pid = -1;
    int supervisor = -1;
    Clock::time_point forkedAt;
    std::mutex mutex;
    std::condition_variable startedSignal;
    std::optional<Clock::time_point> startedAt;
    std::string console;
    std::thread consoleReader;
};

// CPU seconds (user and system) the process has used so far.
double CpuSeconds(pid_t pid);
// Its resident set size in bytes, and the anonymous part of it (the rest is
// pages of the executable and its libraries).
uint64_t ResidentBytes(pid_t pid);
uint64_t AnonymousBytes(pid_t pid);

} // namespace bench
