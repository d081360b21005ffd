// Console-only lines about plugins that keep the core waiting: a call on the
// main or asio thread that runs for over a second, and while the core stops,
// every two seconds that it waits for a plugin's Close, Unload or threads;
// plugins that hold many buffers for long, while the core runs; and, at the
// end, the buffers each plugin never gave back.
#include <cinttypes>
#include <cstdio>
#include <mutex>

#include "dvrcore.h"
#include "log_message.h"
#include "module_table.h"

namespace {

// How often the copies are walked for plugins that hold many for long.
constexpr uint32_t HOLDING_CHECK_SECONDS = 10;

// What the core waits for, as the lines name it, with the words that tell
// which event or packet a call is about.
void DescribeCall(const WatchedCallReport &report, char (&text)[96]) {
    switch (report.call) {
    case WatchedCall::Write:
        std::snprintf(text, sizeof text, "write (class 0x%X type 0x%X)", report.first, report.second);
        return;
    case WatchedCall::UpdateConfig:
        std::snprintf(text, sizeof text, "update config (class 0x%X type 0x%X)", report.first, report.second);
        return;
    case WatchedCall::IpcIoctl:
        std::snprintf(text, sizeof text, "ipc ioctl (address 0x%08X type %u)", report.first, report.second);
        return;
    case WatchedCall::Load:
        std::snprintf(text, sizeof text, "load");
        return;
    case WatchedCall::Open:
        std::snprintf(text, sizeof text, "open");
        return;
    case WatchedCall::Close:
        std::snprintf(text, sizeof text, "close");
        return;
    case WatchedCall::Unload:
        std::snprintf(text, sizeof text, "unload");
        return;
    case WatchedCall::ReaderThread:
        std::snprintf(text, sizeof text, "reader thread");
        return;
    case WatchedCall::WorkerThread:
        std::snprintf(text, sizeof text, "worker thread");
        return;
    case WatchedCall::JobThreads:
        std::snprintf(text, sizeof text, "job threads");
        return;
    }
    std::snprintf(text, sizeof text, "call %u", static_cast<unsigned>(report.call));
}

} // namespace

// The call watch's tick, on its own thread. It also keeps the crash
// handler's table of libraries up to date with those that plugins map
// themselves.
void dvrcore::ReportWatchedCalls() {
    CrashModules().RefreshIfChanged();
    const int64_t now = CallSlot::CoarseMonotonicNs();
    const auto report = [this](const WatchedCallReport &watched) { ReportWatchedCall(watched); };
    mainThreadCall.Check(now, report);
    asioThreadCall.Check(now, report);
    WatchHoldings(now);
}

// The copies' clock follows the tick, and with it their idle memory goes
// back; the walk over every copy is rarer.
void dvrcore::WatchHoldings(int64_t nowNs) {
    const auto seconds = static_cast<uint32_t>(nowNs / 1000000000);
    bufferHolders.AdvanceClock(seconds);
    if (seconds < nextHoldingCheck) {
        return;
    }
    nextHoldingCheck = seconds + HOLDING_CHECK_SECONDS;
    holdingWatch.Check(bufferHolders, seconds,
                       [&](const HoldingWatch::Holdings &held) { ReportHoldings(held, seconds); });
}

void dvrcore::ReportHoldings(const HoldingWatch::Holdings &held, uint32_t nowSeconds) {
    SourceNames::FileName name;
    names.CopyFileName(held.holder, name);
    CORE_LOG(LOG_LEVEL_DIAGNOSTIC,
             "plugin %s has held %zu buffers, %" PRIu64 " bytes, for over %u s; the oldest, class 0x%X type 0x%X, "
             "for %u s",
             name, held.buffers, held.bytes, HoldingWatch::AGE_SECONDS, held.oldestClass, held.oldestType,
             nowSeconds - held.oldestMadeAt);
}

void dvrcore::ReportWatchedCall(const WatchedCallReport &report) {
    SourceNames::FileName name;
    names.CopyFileName(report.plugin, name);
    char call[96];
    DescribeCall(report, call);
    if (report.call >= WatchedCall::Close) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "stop has waited %" PRId64 " s for plugin %s: %s", report.elapsedMs / 1000, name,
                 call);
    } else if (report.call != WatchedCall::Write && report.call != WatchedCall::UpdateConfig) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s %s running for over 1 s", name, call);
    } else {
        // The delivery loop waits for this call: how far it has fallen behind.
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s %s running for over 1 s, %zu events waiting", name, call,
                 events.Waiting());
    }
}

void dvrcore::FinishWatchedCall(CallSlot &slot) {
    if (const auto report = slot.End()) {
        ReportLongCallEnded(*report);
    }
}

void dvrcore::ReportLongCallEnded(const WatchedCallReport &report) {
    SourceNames::FileName name;
    names.CopyFileName(report.plugin, name);
    char call[96];
    DescribeCall(report, call);
    CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s %s returned after %" PRId64 " ms", name, call, report.elapsedMs);
}

// After the leak lines, per plugin that never gave buffers back.
void dvrcore::ReportLeakSummary(uint32_t holder, std::size_t buffers, uint64_t bytes) {
    SourceNames::FileName name;
    names.CopyFileName(holder, name);
    CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s leaked %zu buffers, %" PRIu64 " bytes", name, buffers, bytes);
}
