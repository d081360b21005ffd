#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "annotated_mutex.h"
#include "dvrplugin.h"
#include "source_names.h"
#include "call_watch.h"
#include "closed_plugins.h"
#include "library_observer.h"
#include "plugin_info.h"

// The loaded plugins and their life: discovery and loading beside the
// executable, opening, the threads they ask for, closing and unloading; and
// the libraries the loader refused.
//
// Threads: the main thread alone loads, opens, closes and unloads, and is
// the only writer of the list; it reads the list without the lock. Other
// threads (the asio thread forwarding packets, raisers starting jobs) read
// it only through Read, under the shared lock, and never call a plugin while
// they hold it.
//
// Locks: `mutex`, taken exclusively by the main thread for every change of
// the list (growing, sorting, clearing) and shared by other readers. The
// refused libraries are the main thread's alone.
class PluginTable {
public:
    struct Hooks {
        void *core;                               // what Load hands plugins as the core object
        std::function<int64_t()> now;             // monotonic nanoseconds (the core's virtual clock)
        std::function<void(void *)> beforeUnload; // job threads in the library have left
        // A call on the main thread that was reported as running long has ended.
        std::function<void(const WatchedCallReport &)> longCallEnded;
        LibraryObserver &libraries;
    };

    PluginTable(std::string exePath, SourceNames &names, ClosedPlugins &closed, CallSlot &mainThreadCall, Hooks hooks);
    PluginTable(const PluginTable &) = delete;
    PluginTable &operator=(const PluginTable &) = delete;

    // Main thread.
    void Clear() EXCLUDES(mutex);
    void LoadAll() EXCLUDES(mutex);
    void OpenAll();
    void StartReaders();
    void CloseAll() EXCLUDES(mutex);
    void UnloadAll() EXCLUDES(mutex);
    const std::vector<PLUGININFO> &List() const { return plugins; }
    const std::map<std::string, std::string> &Refused() const { return refused; }
    const std::string &ExePath() const { return exePath; }

    // Any thread: read(list) under the shared lock. `read` must not call a plugin.
    template <typename Reader>
    auto Read(Reader read) const EXCLUDES(mutex) {
        ReaderLock lock(mutex);
        return read(static_cast<const std::vector<PLUGININFO> &>(plugins));
    }

private:
    void Load(const std::string &path) EXCLUDES(mutex);
    void Refuse(const std::string &fileName, const std::string &reason);
    void CloseLibrary(void *handle);
    bool CallLoad(PLUGININFO &plugin);
    void CallUnload(const PLUGININFO &plugin);
    bool ClaimId(const PLUGININFO &plugin, const std::string &path);
    void NameIdHolder(const PLUGININFO &refused, const std::string &path) const;
    void ProvideWorkerThread(PLUGININFO &plugin);
    void StartReader(PLUGININFO &plugin);
    void CallClose(PLUGININFO &plugin);
    void FinishCall();

    // Constant after construction.
    const std::string exePath;
    SourceNames &names;
    ClosedPlugins &closed;
    CallSlot &mainThreadCall;
    const Hooks hooks;

    // Written by the main thread under `mutex`; read by it without.
    std::vector<PLUGININFO> plugins;
    mutable SharedMutex mutex;

    // Main thread only: file name to the loader's error text.
    std::map<std::string, std::string> refused;
    // Main thread only, while loading: each claimed ID's library, as
    // "plugins/x.so", for the line that names it to a refused duplicate.
    std::map<uint32_t, std::string> claimedBy;
};
