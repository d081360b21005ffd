// Loading the plugin libraries found beside the executable.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include <dlfcn.h>
#include <unistd.h>

#include <boost/filesystem/path.hpp>

#include "plugin_table.h"
#include "log_message.h"
#include "plugin_call_records.h"
#include "plugin_discovery.h"
#include "plugin_trust.h"

namespace {

template <typename Entry>
Entry Resolve(void *handle, const char *name) {
    return reinterpret_cast<Entry>(dlsym(handle, name));
}

// The loader's own words when Load is missing: they name the symbol it
// looked for.
std::string ResolveEntries(PLUGININFO &plugin) {
    dlerror();
    plugin.Load = Resolve<LoadEntryPoint>(plugin.Handle, ENTRY_LOAD);
    const char *loadError = plugin.Load == nullptr ? dlerror() : nullptr;
    std::string missingLoad = loadError != nullptr ? loadError : "";
    plugin.Unload = Resolve<UnloadEntryPoint>(plugin.Handle, ENTRY_UNLOAD);
    plugin.Open = Resolve<OpenEntryPoint>(plugin.Handle, ENTRY_OPEN);
    plugin.Close = Resolve<CloseEntryPoint>(plugin.Handle, ENTRY_CLOSE);
    plugin.Read = Resolve<ReadEntryPoint>(plugin.Handle, ENTRY_READ);
    plugin.Write = Resolve<WriteEntryPoint>(plugin.Handle, ENTRY_WRITE);
    plugin.Seek = Resolve<SeekEntryPoint>(plugin.Handle, ENTRY_SEEK);
    plugin.IOCTL = Resolve<IoctlEntryPoint>(plugin.Handle, ENTRY_IOCTL);
    return missingLoad;
}

// "plugins/x.so": the file name with the plugin directory it lies in.
std::string InstalledName(const std::string &path) {
    const boost::filesystem::path library(path);
    return (library.parent_path().filename() / library.filename()).string();
}

// Whoever can change a library that a root core loads runs code as root;
// another user's core can be given nothing its user could not run anyway.
std::string TrustProblemAsRoot(const std::string &path) {
    return geteuid() == 0 ? PluginTrustProblem(path, getuid()) : std::string();
}

} // namespace

PluginTable::PluginTable(std::string exePath, SourceNames &names, ClosedPlugins &closed, CallSlot &mainThreadCall,
                         Hooks hooks)
    : exePath(std::move(exePath)), names(names), closed(closed), mainThreadCall(mainThreadCall),
      hooks(std::move(hooks)) {}

void PluginTable::Clear() {
    MutexLock lock(mutex);
    plugins.clear();
}

void PluginTable::LoadAll() {
    const auto home = boost::filesystem::path(exePath).parent_path();
    std::vector<std::string> paths = FindPluginLibraries((home / "plugins").string());
    const auto protectedPaths = FindPluginLibraries((home / "protected-plugins").string());
    paths.insert(paths.end(), protectedPaths.begin(), protectedPaths.end());
    SortInLoadingOrder(paths);
    for (const auto &path : paths) {
        Load(path);
    }
}

void PluginTable::Load(const std::string &path) {
    PLUGININFO plugin;
    plugin.Name = boost::filesystem::path(path).filename().string();
    const char *name = plugin.Name.c_str();
    // Checked before dlopen, which already runs the library's constructors.
    const std::string untrusted = TrustProblemAsRoot(path);
    if (!untrusted.empty()) {
        Refuse(plugin.Name, untrusted);
        return;
    }
    const std::string inadmissible = hooks.libraries.Admit(path);
    if (!inadmissible.empty()) {
        Refuse(plugin.Name, inadmissible);
        return;
    }
    plugin.Handle = dlopen(path.c_str(), RTLD_NOW);
    if (plugin.Handle == nullptr) {
        Refuse(plugin.Name, dlerror());
        return;
    }
    // Before Load runs, so that a crash in it names the library.
    hooks.libraries.LibrariesChanged();
    CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "Core: Loaded plugin: %s", name);
    const std::string missingLoad = ResolveEntries(plugin);
    if (plugin.Load == nullptr) {
        CloseLibrary(plugin.Handle);
        CORE_LOG(LOG_LEVEL_ERROR, "Core: Failed to load plugin: %s (missing symbol)", name);
        // A C++ compiler mangles a name that is not declared extern "C".
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC,
                 "plugin %s: %s (a plugin written in C++ declares its entry points extern \"C\", or defines "
                 "DVRPLUGIN_DECLARE_ENTRY_POINTS before it includes dvrplugin.h)",
                 name, missingLoad.c_str());
        return;
    }
    if (!CallLoad(plugin)) {
        CloseLibrary(plugin.Handle);
        return;
    }
    if (!ClaimId(plugin, path)) {
        // Its Load may have started threads that run in the library.
        CallUnload(plugin);
        CloseLibrary(plugin.Handle);
        return;
    }
    hooks.libraries.Accepted(path, plugin.Info.ID);
    if (plugin.Info.WorkerThread != 0) {
        ProvideWorkerThread(plugin);
    }
    MutexLock lock(mutex);
    plugins.push_back(std::move(plugin));
}

void PluginTable::CloseLibrary(void *handle) {
    dlclose(handle);
    hooks.libraries.LibrariesChanged();
}

void PluginTable::Refuse(const std::string &fileName, const std::string &reason) {
    CORE_LOG(LOG_LEVEL_ERROR, "Core: Failed to load plugin '%s': %s", fileName.c_str(), reason.c_str());
    refused[fileName] = reason;
}

bool PluginTable::CallLoad(PLUGININFO &plugin) {
    _LoadParmsIn in = LoadInRecord(hooks.core, FlatPluginEvent);
    _LoadParmsOut out = LoadOutRecord();
    const int64_t start = hooks.now();
    mainThreadCall.Begin(0, WatchedCall::Load);
    const int32_t result = plugin.Load(&in, &out);
    FinishCall();
    plugin.LoadTimeMs = (hooks.now() - start) / 1000000;
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_ERROR, "plugin %s load returned %d error %d", plugin.Name.c_str(), result, out.Error);
        return false;
    }
    plugin.Info = out;
    return true;
}

// Claims the plugin's ID for its module name; the first holder of an ID,
// the core included, keeps it. ID 0 marks job control: a plugin holding it
// would have its log lines dropped and its events taken for job starts.
bool PluginTable::ClaimId(const PLUGININFO &plugin, const std::string &path) {
    if (plugin.Info.ID == JOB_CONTROL_SOURCE) {
        CORE_LOG(LOG_LEVEL_WARNING, "plugin %s ID 0x%08lX is reserved for job control", plugin.Name.c_str(),
                 static_cast<unsigned long>(plugin.Info.ID));
        return false;
    }
    if (names.Claim(plugin.Info.ID, ModuleName(plugin.Name), plugin.Name)) {
        claimedBy[plugin.Info.ID] = InstalledName(path);
        return true;
    }
    CORE_LOG(LOG_LEVEL_WARNING, "plugin %s ID 0x%08lX already loaded", plugin.Name.c_str(),
             static_cast<unsigned long>(plugin.Info.ID));
    NameIdHolder(plugin, path);
    return false;
}

// Which library keeps the ID a refused plugin asked for: the loading order
// decided, and the refused one may well be the plugin its author meant. Both
// are named with their directory: the same file name may lie in both.
void PluginTable::NameIdHolder(const PLUGININFO &refused, const std::string &path) const {
    const auto id = static_cast<unsigned long>(refused.Info.ID);
    const std::string refusedName = InstalledName(path);
    const auto holder = claimedBy.find(refused.Info.ID);
    if (holder == claimedBy.end()) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s: ID 0x%08lX is the core's own (CORE_SOURCE)", refusedName.c_str(),
                 id);
        return;
    }
    CORE_LOG(LOG_LEVEL_DIAGNOSTIC,
             "plugin %s: ID 0x%08lX is held by %s, which loaded first (the loading order decides)", refusedName.c_str(),
             id, holder->second.c_str());
}
