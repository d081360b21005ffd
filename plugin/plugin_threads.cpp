// The long-lived threads that plugins ask for: a worker running IOCTL with
// the worker request and a reader running Read. Each makes one call and ends
// when the plugin returns from it; both are joined at unload.
#include <exception>
#include <thread>

#include "plugin_table.h"
#include "log_message.h"
#include "plugin_call_records.h"
#include "thread_role.h"

namespace {

void RunWorker(IoctlEntryPoint ioctl, uint32_t plugin) {
    const ThreadRoleScope role({ThreadKind::PluginWorker, plugin, 0, nullptr});
    _IoctlParmsIn in = WorkerIoctlInRecord();
    _IoctlParmsOut out = IoctlOutRecord(WORKER_THREAD);
    ioctl(&in, &out);
}

void RunReader(ReadEntryPoint read, uint32_t plugin) {
    const ThreadRoleScope role({ThreadKind::PluginReader, plugin, 0, nullptr});
    _ReadParmsIn in = ReadInRecord(0, nullptr, 0);
    _ReadParmsOut out = ReadOutRecord();
    read(&in, &out);
}

// The thread gets a copy of the entry, never the record, which may move.
template <typename Body>
void StartPluginThread(std::thread &slot, const std::string &pluginName, Body body) {
    try {
        slot = std::thread(body);
    } catch (const std::exception &error) { // no thread resources, or no memory for its state
        CORE_LOG(LOG_LEVEL_ERROR, "plugin %s thread could not be started: %s", pluginName.c_str(), error.what());
    }
}

} // namespace

// A plugin that asks for a worker without exporting IOCTL gets none.
void PluginTable::ProvideWorkerThread(PLUGININFO &plugin) {
    if (plugin.IOCTL != nullptr) {
        StartPluginThread(plugin.WorkerThread, plugin.Name,
                          [ioctl = plugin.IOCTL, id = plugin.Info.ID] { RunWorker(ioctl, id); });
    }
}

// A plugin that asks for a reader without exporting Read gets none.
void PluginTable::StartReader(PLUGININFO &plugin) {
    if (plugin.Read != nullptr) {
        StartPluginThread(plugin.ReaderThread, plugin.Name,
                          [read = plugin.Read, id = plugin.Info.ID] { RunReader(read, id); });
    }
}

void PluginTable::StartReaders() {
    for (auto &plugin : plugins) {
        if (plugin.Info.ReadEvents != 0) {
            StartReader(plugin);
        }
    }
}
