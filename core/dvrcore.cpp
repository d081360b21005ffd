#include "core/dvrcore.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <optional>
#include <thread>

#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/signal_set.hpp>

#include "log/log_message.h"

dvrcore *coreInstance = nullptr;

namespace {

constexpr auto SCHEDULER_PERIOD = std::chrono::milliseconds(100);
constexpr auto IDENTITY_WAIT = std::chrono::seconds(10);
constexpr time_t WATCHDOG_SLEEP_SECONDS = 60;
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGQUIT};

// Construction time plus one period, saturating at the clock's maximum.
std::chrono::steady_clock::time_point FirstSchedulerExpiry() {
    const auto start = std::chrono::steady_clock::now();
    if (std::chrono::steady_clock::time_point::max() - start < SCHEDULER_PERIOD) {
        return std::chrono::steady_clock::time_point::max();
    }
    return start + SCHEDULER_PERIOD;
}

} // namespace

dvrcore::dvrcore(std::string exePath)
    : schedulerTimer(io, FirstSchedulerExpiry()),
      ipcSocket(io),
      ipcBuffer(IPC_MAX_PACKET_LENGTH),
      bufferHolders(FlatPluginEvent),
      exePath(std::move(exePath)) {
    coreInstance = this;
}

// Job threads are detached: none may still be on its way out of the core.
dvrcore::~dvrcore() {
    WaitForAllJobThreads();
    // Events never delivered (initialisation failed before the loop ran)
    // still own their data copies.
    for (const auto &event : eventQueue) {
        std::free(event.Data);
    }
}

int64_t dvrcore::now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool dvrcore::Initialize(int descriptor) {
    {
        std::unique_lock<std::shared_mutex> lock(sourceNamesMutex);
        sourceNames[CORE_SOURCE] = "core";
    }
    umask(077);
    // Keep the capability sets across the coming change of user id.
    prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP);
    if (!ChangeIdentity()) {
        return false;
    }
    if (descriptor != -1 && !OpenIpcSocket(descriptor)) {
        CORE_LOG(LOG_LEVEL_ERROR, "failed to open ipc pipe");
        return false;
    }
    return true;
}

void dvrcore::Start() {
    productVersion = CoreVersion();
    plugins.clear();
    LoadConfiguration();

    std::optional<boost::asio::signal_set> signals(std::in_place, io);
    for (const int signal : STOP_SIGNALS) {
        signals->add(signal);
    }
    // Not renewed: later signals are absorbed by the set and change nothing.
    signals->async_wait([this](const boost::system::error_code &, int) { RequestStop(); });

    LoadPlugins();
    if (ipcOpen) {
        StartIpcReceive();
    }
    auto work = boost::asio::make_work_guard(io);
    std::thread asioThread([this] {
        try {
            io.run();
        } catch (const std::exception &error) {
            std::fprintf(stderr, "asio thread failed: %s\n", error.what());
            std::abort();
        }
    });
    WaitForSupervisorIdentity();
    OpenPlugins();
    if (getuid() != 0) {
        DropCapabilities(0x3000);
    }
    StartAsyncReaders();
    StartScheduler();
    PublishConfiguration();
    CORE_LOG(LOG_LEVEL_INFO, "successfully started core version %s", productVersion.c_str());

    DeliverEvents();

    CORE_LOG(LOG_LEVEL_INFO, "stopping core version %s...", productVersion.c_str());
    StopScheduler();
    if (waitForWatchdogs) {
        SleepForWatchdogs();
    }
    ClosePlugins();
    io.stop();
    asioThread.join();
    DiscardIpcSendQueue();
    UnloadPlugins();
    signals.reset();
    // Destroying the set restored the default actions; a stop signal from now
    // until the process exits must not kill a core that is already stopping.
    for (const int signal : STOP_SIGNALS) {
        std::signal(signal, SIG_IGN);
    }
}

void dvrcore::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(coreMutex);
        stopRequested = true;
    }
    coreWakeup.notify_one();
}

void dvrcore::WaitForSupervisorIdentity() {
    if (!ipcOpen) {
        return;
    }
    // Only the identity or a stop ends the wait early; events queued and
    // buffers released meanwhile wake it too. Measured on the monotonic
    // clock, so that setting the time neither shortens nor stretches it.
    std::unique_lock<std::mutex> lock(coreMutex);
    coreWakeup.wait_until(lock, std::chrono::steady_clock::now() + IDENTITY_WAIT,
                          [this] { return identityReceived || stopRequested; });
}

void dvrcore::SleepForWatchdogs() {
    timespec remaining{WATCHDOG_SLEEP_SECONDS, 0};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
