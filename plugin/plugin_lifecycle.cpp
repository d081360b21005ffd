// Opening, closing and unloading the loaded plugins. Runs on the main thread,
// the only writer of `plugins`; entries a library lacks are never called.
#include <algorithm>
#include <mutex>

#include <dlfcn.h>

#include "core/dvrcore.h"
#include "log/log_message.h"
#include "plugin_call_records.h"

namespace {

constexpr uint32_t KEPT_MAPPED_ID = 0x00470000u;
constexpr int CLOSING_ORDER_MASK = 5;

void JoinIfRunning(std::thread &thread) {
    if (thread.joinable()) {
        thread.join();
    }
}

} // namespace

void dvrcore::OpenPlugins() {
    for (auto &plugin : plugins) {
        _OpenParmsIn in = OpenInRecord();
        _OpenParmsOut out = OpenOutRecord();
        const int64_t start = now();
        if (plugin.Open != nullptr) {
            plugin.OpenCode = plugin.Open(&in, &out);
        }
        plugin.OpenTimeMs = (now() - start) / 1000000;
    }
    PublishModulesReport();
}

void dvrcore::ClosePlugins() {
    if (plugins.empty()) {
        return;
    }
    {
        // The asio thread may be walking the list to forward a packet.
        std::unique_lock<std::shared_mutex> lock(pluginsMutex);
        std::stable_sort(plugins.begin(), plugins.end(), [](const PLUGININFO &a, const PLUGININFO &b) {
            return a.Info.EventMasks[CLOSING_ORDER_MASK] > b.Info.EventMasks[CLOSING_ORDER_MASK];
        });
    }
    for (auto &plugin : plugins) {
        _CloseParmsIn in = CloseInRecord();
        _CloseParmsOut out = CloseOutRecord();
        const int32_t result = plugin.Close != nullptr ? plugin.Close(&in, &out) : 0;
        if (result != 0 || out.Error != 0) {
            CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s close returned %d error %d", plugin.Name.c_str(), result,
                     out.Error);
        }
    }
}

void dvrcore::UnloadPlugins() {
    for (auto &plugin : plugins) {
        JoinIfRunning(plugin.ReaderThread);
        JoinIfRunning(plugin.WorkerThread);
        WaitForJobThreads(plugin.Handle);
        CallUnload(plugin);
        if (plugin.Info.ID != KEPT_MAPPED_ID) {
            dlclose(plugin.Handle);
        }
    }
    std::unique_lock<std::shared_mutex> lock(pluginsMutex);
    plugins.clear();
}

void dvrcore::CallUnload(const PLUGININFO &plugin) {
    _UnloadParmsIn in = UnloadInRecord();
    _UnloadParmsOut out = UnloadOutRecord();
    const int32_t result = plugin.Unload != nullptr ? plugin.Unload(&in, &out) : 0;
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s unload returned %d error %d", plugin.Name.c_str(), result,
                 out.Error);
    }
}
