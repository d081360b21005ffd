#include "dvrcore.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>

#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "asio_thread.h"
#include "capability_sets.h"
#include "last_run.h"
#include "periodic_thread.h"
#include "stop_signals.h"
#include "log_message.h"

namespace {

constexpr auto IDENTITY_WAIT = std::chrono::seconds(10);
constexpr time_t WATCHDOG_SLEEP_SECONDS = 60;
// How often the calls into plugins are looked at: their lines come at most
// this late.
constexpr auto CALL_WATCH_PERIOD = std::chrono::milliseconds(100);

} // namespace

dvrcore::dvrcore(std::string exePath)
    : plugins(std::move(exePath), names, closed, mainThreadCall,
              {this, [this] { return now(); }, [this](void *library) { jobs.WaitForThreads(library); },
               [this](const WatchedCallReport &report) { ReportLongCallEnded(report); }, crashWatch}),
      bufferHolders(FlatPluginEvent, [this](uint32_t holder, std::size_t buffers, uint64_t bytes) {
          ReportLeakSummary(holder, buffers, bytes);
      }) {
    registration.Publish(this);
}

// Job threads are detached: none may still be on its way out of the core.
// Then no other thread may come in any more.
dvrcore::~dvrcore() {
    jobs.WaitForAllThreads();
    registration.Withdraw();
}

int64_t dvrcore::now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void dvrcore::Scheduler(const boost::system::error_code &error) { housekeeper.Tick(error); }

void dvrcore::LogSink(uint32_t source, uint32_t level, const char *text) { console.Write(source, level, text); }

bool dvrcore::Initialize(int descriptor) {
    names.Name(CORE_SOURCE, "core");
    umask(077);
    // Keep the capability sets across the coming change of user id.
    prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP);
    if (!ChangeIdentity()) {
        return false;
    }
    if (descriptor != -1 && !link.Attach(descriptor)) {
        CORE_LOG(LOG_LEVEL_ERROR, "failed to open ipc pipe");
        return false;
    }
    return true;
}

void dvrcore::Start() {
    const ThreadRoleScope mainThread({ThreadKind::Main, 0, 0, &mainThreadCall});
    configuration.SetVersion(CoreVersion());
    plugins.Clear();
    LoadConfiguration();
    TellLastRun();
    const StopSignals signals(io, [this] { RequestStop(); });
    std::optional<PeriodicThread> callWatch;
    std::optional<AsioThread> asioThread;
    try {
        StartUp(callWatch, asioThread);
    } catch (...) {
        // No thread, descriptor or memory for the start-up: what was loaded
        // is still closed and unloaded, and every thread joined, before the
        // failure ends the process.
        CloseAndUnloadPlugins(asioThread);
        throw;
    }
    DeliverEvents();
    CORE_LOG(LOG_LEVEL_INFO, "stopping core version %s...", configuration.Version().c_str());
    housekeeper.Stop();
    if (link.WasLost()) {
        SleepForWatchdogs();
    }
    CloseAndUnloadPlugins(asioThread);
    EndRun();
}

// The call watch starts before the first plugin call it watches (packets on
// the asio thread) and ends after the last (Unload).
void dvrcore::StartUp(std::optional<PeriodicThread> &callWatch, std::optional<AsioThread> &asioThread) {
    plugins.LoadAll();
    if (link.IsOpen()) {
        link.StartReceive();
    }
    callWatch.emplace(
        CALL_WATCH_PERIOD, [this] { ReportWatchedCalls(); }, ThreadRole{ThreadKind::Watcher});
    asioThread.emplace(io, asioThreadCall);
    WaitForSupervisorIdentity();
    plugins.OpenAll();
    PublishModulesReport();
    if (getuid() != 0) {
        DropCapabilities(CAPABILITIES_KEPT_ONCE_OPEN);
    }
    plugins.StartReaders();
    housekeeper.Start();
    PublishConfiguration();
    CORE_LOG(LOG_LEVEL_INFO, "successfully started core version %s", configuration.Version().c_str());
}

// The asio thread still serves packets and signals while the plugins close.
void dvrcore::CloseAndUnloadPlugins(std::optional<AsioThread> &asioThread) {
    plugins.CloseAll();
    asioThread.reset();
    link.DiscardUnsent();
    plugins.UnloadAll();
}

void dvrcore::RequestStop() {
    events.RequestStop();
    link.InterruptIdentityWait();
}

// The main thread hands queued events, in arrival order, to every plugin
// that wants them; a buffer no plugin kept is freed at once.
void dvrcore::DeliverEvents() {
    events.Run([this](const _EventParmsIn &event) {
        if (delivery.Deliver(event)) {
            FreeEventData(event.Data);
        }
    });
}

void dvrcore::WaitForSupervisorIdentity() {
    if (!link.IsOpen()) {
        return;
    }
    // Only the identity or a stop ends the wait early.
    link.WaitForIdentity(IDENTITY_WAIT, [this] { return events.StopRequested(); });
}

void dvrcore::SleepForWatchdogs() {
    timespec remaining{WATCHDOG_SLEEP_SECONDS, 0};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
