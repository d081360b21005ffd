#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "annotated_mutex.h"
#include "quarantine_element.h"

class SafeMemory;
struct dl_phdr_info;

// The libraries mapped into the process and which of them are plugins, in
// fixed memory, so that a fatal-signal handler can name the module of an
// address and the plugin it belongs to without a lock, an allocation or the
// loader (dladdr takes the loader's lock).
//
// Threads: the writers (Refresh, AddPlugin, SetPluginId) run outside any
// handler, on any thread, one at a time under `mutex`; the plugin table's
// main thread and the call watch's thread call them. The readers run in the
// handler. Refresh fills the table not published and then publishes it, so a
// reader sees one whole scan (only a second refresh during one crash report
// could tear it, which the readers survive: every field is bounded). The
// plugins are appended and published by their count.
class ModuleTable {
public:
    static constexpr std::size_t MAX_MODULES = 256;
    static constexpr std::size_t MAX_SEGMENTS = 6;
    static constexpr std::size_t MAX_PLUGINS = 256;
    static constexpr std::size_t PATH_BYTES = 256;
    // The modules' paths, packed: what a scan writes is all that becomes resident.
    static constexpr std::size_t PATH_POOL_BYTES = 16 * 1024;
    static constexpr std::size_t NAME_BYTES = 64;
    static constexpr int NO_PLUGIN = -1;

    struct Segment {
        uintptr_t start;
        uintptr_t end;
        bool executable;
    };

    struct Module {
        uintptr_t bias; // what addr2line's addresses are relative to
        Segment segments[MAX_SEGMENTS];
        uint32_t segmentCount;
        // The ARM exception tables (.ARM.exidx), 8-byte entries.
        uintptr_t exidx;
        uint32_t exidxCount;
        // The exported symbols (.dynsym, .dynstr).
        uintptr_t symbols;
        uintptr_t strings;
        uint32_t symbolCount;
        uint32_t stringBytes;
        int32_t plugin;   // index of its plugin, or NO_PLUGIN
        const char *path; // in its table's pool
    };

    struct Plugin {
        std::atomic<uint32_t> id;
        std::atomic<bool> hasId;
        bool fileKnown;
        LibraryFile file; // as it was when opened
        char path[PATH_BYTES];
        char name[NAME_BYTES]; // the file name
    };

    // Constant-initialised: the process's table costs no work at start and
    // no memory until it is written.
    constexpr ModuleTable() = default;
    ModuleTable(const ModuleTable &) = delete;
    ModuleTable &operator=(const ModuleTable &) = delete;

    // ---- Outside the handler ----
    // Scans the mapped libraries again.
    void Refresh() EXCLUDES(mutex);
    // Scans again only when libraries were mapped or unmapped since the last
    // scan: one look at the loader's counters.
    void RefreshIfChanged() EXCLUDES(mutex);
    // A plugin library about to be opened, and the file it is (null when it
    // could not be examined). The library is the one being loaded until the
    // next one. Libraries beyond MAX_PLUGINS are not told apart.
    void AddPlugin(const std::string &path, const LibraryFile *file) EXCLUDES(mutex);
    void SetPluginId(const std::string &path, uint32_t id) EXCLUDES(mutex);

    // ---- In the handler ----
    // The module with a segment holding `address`, or null.
    const Module *Find(uintptr_t address) const;
    // Whether `address` lies in an executable segment of a module.
    bool InCode(uintptr_t address) const;
    const Plugin *PluginAt(int32_t index) const;
    const Plugin *PluginWithId(uint32_t id) const;
    // The plugin whose library was opened last, while it loads.
    const Plugin *Loading() const;
    // The exported function holding `address` in `module`: the offset of its
    // name in the module's strings and the address's distance from its
    // start. False when none does.
    static bool FunctionAt(const Module &module, uintptr_t address, SafeMemory &memory, uint32_t &nameOffset,
                           uintptr_t &distance);

private:
    struct Scan;
    static int AddModule(struct dl_phdr_info *info, std::size_t size, void *scan);
    int32_t PluginIndex(const char *path) const;

    Mutex mutex;
    // The table being written is the one not published.
    Module tables[2][MAX_MODULES] = {};
    char paths[2][PATH_POOL_BYTES] = {};
    std::atomic<uint32_t> counts[2] = {};
    std::atomic<uint32_t> published{0};
    unsigned long long seenAdds GUARDED_BY(mutex) = 0;
    unsigned long long seenRemovals GUARDED_BY(mutex) = 0;
    char executablePath[PATH_BYTES] GUARDED_BY(mutex) = {};

    Plugin plugins[MAX_PLUGINS] = {};
    std::atomic<uint32_t> pluginCount{0};
    std::atomic<int32_t> loading{NO_PLUGIN};
};

// The process's one table, which the crash handler reads.
ModuleTable &CrashModules();
