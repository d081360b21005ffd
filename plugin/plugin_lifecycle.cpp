// Opening, closing and unloading the loaded plugins. Runs on the main thread,
// the only writer of `plugins`; entries a library lacks are never called.
// While the core stops, the call watch sees what it waits for.
#include <algorithm>
#include <mutex>

#include <dlfcn.h>

#include "plugin_table.h"
#include "log_message.h"
#include "plugin_call_records.h"

namespace {

constexpr uint32_t KEPT_MAPPED_ID = 0x00470000u;
constexpr int CLOSING_ORDER_MASK = 5;

void JoinIfRunning(std::thread &thread) {
    if (thread.joinable()) {
        thread.join();
    }
}

// Open has no Error of its own: the word where Close and Unload keep theirs
// is shown, so that a plugin can tell why it failed.
int32_t OpenError(const _OpenParmsOut &out) { return static_cast<int32_t>(out.Reserved[0]); }

} // namespace

void PluginTable::OpenAll() {
    for (auto &plugin : plugins) {
        _OpenParmsIn in = OpenInRecord();
        _OpenParmsOut out = OpenOutRecord();
        const int64_t start = hooks.now();
        if (plugin.Open != nullptr) {
            mainThreadCall.Begin(plugin.Info.ID, WatchedCall::Open);
            plugin.OpenCode = plugin.Open(&in, &out);
            FinishCall();
        }
        plugin.OpenTimeMs = (hooks.now() - start) / 1000000;
        if (plugin.OpenCode != 0) {
            CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s open returned %d error %d", plugin.Name.c_str(), plugin.OpenCode,
                     OpenError(out));
        }
    }
}

void PluginTable::FinishCall() {
    if (const auto report = mainThreadCall.End()) {
        hooks.longCallEnded(*report);
    }
}

void PluginTable::CloseAll() {
    if (plugins.empty()) {
        return;
    }
    {
        // The asio thread may be walking the list to forward a packet.
        MutexLock lock(mutex);
        std::stable_sort(plugins.begin(), plugins.end(), [](const PLUGININFO &a, const PLUGININFO &b) {
            return a.Info.EventMasks[CLOSING_ORDER_MASK] > b.Info.EventMasks[CLOSING_ORDER_MASK];
        });
    }
    for (auto &plugin : plugins) {
        CallClose(plugin);
    }
}

// From its Close on, the plugin's events are refused: it is told once.
void PluginTable::CallClose(PLUGININFO &plugin) {
    closed.MarkClosed(plugin.Info.ID);
    _CloseParmsIn in = CloseInRecord();
    _CloseParmsOut out = CloseOutRecord();
    int32_t result = 0;
    if (plugin.Close != nullptr) {
        const StopWait wait(mainThreadCall, plugin.Info.ID, WatchedCall::Close);
        result = plugin.Close(&in, &out);
    }
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s close returned %d error %d", plugin.Name.c_str(), result, out.Error);
    }
}

void PluginTable::UnloadAll() {
    for (auto &plugin : plugins) {
        const uint32_t id = plugin.Info.ID;
        {
            const StopWait wait(mainThreadCall, id, WatchedCall::ReaderThread);
            JoinIfRunning(plugin.ReaderThread);
        }
        {
            const StopWait wait(mainThreadCall, id, WatchedCall::WorkerThread);
            JoinIfRunning(plugin.WorkerThread);
        }
        {
            const StopWait wait(mainThreadCall, id, WatchedCall::JobThreads);
            hooks.beforeUnload(plugin.Handle);
        }
        {
            const StopWait wait(mainThreadCall, id, WatchedCall::Unload);
            CallUnload(plugin);
        }
        if (plugin.Info.ID != KEPT_MAPPED_ID) {
            CloseLibrary(plugin.Handle);
        }
    }
    MutexLock lock(mutex);
    plugins.clear();
}

void PluginTable::CallUnload(const PLUGININFO &plugin) {
    _UnloadParmsIn in = UnloadInRecord();
    _UnloadParmsOut out = UnloadOutRecord();
    const int32_t result = plugin.Unload != nullptr ? plugin.Unload(&in, &out) : 0;
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s unload returned %d error %d", plugin.Name.c_str(), result, out.Error);
    }
}
