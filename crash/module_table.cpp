#include "module_table.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include <elf.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include "safe_memory.h"

#ifndef PT_ARM_EXIDX
#define PT_ARM_EXIDX 0x70000001
#endif

namespace {

ModuleTable crashModules;

void CopyText(char *target, std::size_t bytes, const char *text) {
    std::size_t length = 0;
    while (text != nullptr && text[length] != '\0' && length + 1 < bytes) {
        target[length] = text[length];
        ++length;
    }
    target[length] = '\0';
}

const char *FileNameOf(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool Holds(const ModuleTable::Module &module, uintptr_t address, bool codeOnly) {
    for (uint32_t i = 0; i < module.segmentCount; ++i) {
        const ModuleTable::Segment &segment = module.segments[i];
        if (address >= segment.start && address < segment.end && (!codeOnly || segment.executable)) {
            return true;
        }
    }
    return false;
}

// Loaders relocate the dynamic section in place for most libraries but not
// for all (the vDSO): an address below the library's bias is still relative.
uintptr_t Absolute(uintptr_t value, uintptr_t bias) { return value < bias ? value + bias : value; }

// The number of symbols of a GNU hash table: one past the last symbol of the
// last chain of the fullest bucket.
uint32_t GnuHashSymbolCount(const uint32_t *table) {
    const uint32_t buckets = table[0];
    const uint32_t firstSymbol = table[1];
    const uint32_t bloomWords = table[2];
    const uint32_t *bucket = table + 4 + bloomWords * (sizeof(ElfW(Addr)) / 4);
    const uint32_t *chain = bucket + buckets;
    uint32_t last = 0;
    for (uint32_t i = 0; i < buckets; ++i) {
        last = bucket[i] > last ? bucket[i] : last;
    }
    if (last < firstSymbol) {
        return firstSymbol;
    }
    while ((chain[last - firstSymbol] & 1) == 0) {
        ++last;
    }
    return last + 1;
}

void ReadDynamicSection(ModuleTable::Module &module, const ElfW(Dyn) * dynamic) {
    uintptr_t hash = 0;
    uintptr_t gnuHash = 0;
    for (; dynamic->d_tag != DT_NULL; ++dynamic) {
        const uintptr_t value = static_cast<uintptr_t>(dynamic->d_un.d_ptr);
        switch (dynamic->d_tag) {
        case DT_SYMTAB:
            module.symbols = Absolute(value, module.bias);
            break;
        case DT_STRTAB:
            module.strings = Absolute(value, module.bias);
            break;
        case DT_STRSZ:
            module.stringBytes = static_cast<uint32_t>(dynamic->d_un.d_val);
            break;
        case DT_HASH:
            hash = Absolute(value, module.bias);
            break;
        case DT_GNU_HASH:
            gnuHash = Absolute(value, module.bias);
            break;
        default:
            break;
        }
    }
    const bool inside = Holds(module, module.symbols, false) && Holds(module, module.strings, false);
    if (inside && hash != 0 && Holds(module, hash, false)) {
        module.symbolCount = reinterpret_cast<const uint32_t *>(hash)[1];
    } else if (inside && gnuHash != 0 && Holds(module, gnuHash, false)) {
        module.symbolCount = GnuHashSymbolCount(reinterpret_cast<const uint32_t *>(gnuHash));
    }
    if (module.symbolCount == 0) {
        module.symbols = 0;
        module.strings = 0;
    }
}

} // namespace

ModuleTable &CrashModules() { return crashModules; }

struct ModuleTable::Scan {
    ModuleTable &table;
    Module *modules;
    uint32_t count;
    char *paths;
    std::size_t pathBytesUsed;
    const char *executablePath;
    unsigned long long adds;
    unsigned long long removals;

    // Into the pool, cut to PATH_BYTES; a path that no longer fits is empty.
    const char *CopyPath(const char *source) {
        const std::size_t length = std::min(std::strlen(source), PATH_BYTES - 1);
        if (pathBytesUsed + length + 1 > PATH_POOL_BYTES) {
            return "";
        }
        char *path = paths + pathBytesUsed;
        std::memcpy(path, source, length);
        path[length] = '\0';
        pathBytesUsed += length + 1;
        return path;
    }
};

int ModuleTable::AddModule(struct dl_phdr_info *info, std::size_t size, void *context) {
    Scan &scan = *static_cast<Scan *>(context);
    if (size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
        scan.adds = info->dlpi_adds;
        scan.removals = info->dlpi_subs;
    }
    if (scan.count >= MAX_MODULES) {
        return 1;
    }
    Module &module = scan.modules[scan.count];
    module = Module{};
    module.bias = info->dlpi_addr;
    const bool executable = info->dlpi_name == nullptr || info->dlpi_name[0] == '\0';
    module.path = scan.CopyPath(executable ? scan.executablePath : info->dlpi_name);
    const ElfW(Dyn) *dynamic = nullptr;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &header = info->dlpi_phdr[i];
        const uintptr_t start = info->dlpi_addr + header.p_vaddr;
        if (header.p_type == PT_LOAD && module.segmentCount < MAX_SEGMENTS) {
            module.segments[module.segmentCount++] = {start, start + header.p_memsz, (header.p_flags & PF_X) != 0};
        } else if (header.p_type == PT_DYNAMIC) {
            dynamic = reinterpret_cast<const ElfW(Dyn) *>(start);
        } else if (header.p_type == PT_ARM_EXIDX) {
            module.exidx = start;
            module.exidxCount = static_cast<uint32_t>(header.p_memsz / 8);
        }
    }
    if (dynamic != nullptr) {
        ReadDynamicSection(module, dynamic);
    }
    module.plugin = scan.table.PluginIndex(module.path);
    ++scan.count;
    return 0;
}

void ModuleTable::Refresh() {
    MutexLock lock(mutex);
    if (executablePath[0] == '\0') {
        const ssize_t length = readlink("/proc/self/exe", executablePath, sizeof executablePath - 1);
        executablePath[length > 0 ? length : 0] = '\0';
    }
    const uint32_t target = 1 - published.load(std::memory_order_relaxed);
    Scan scan{*this, tables[target], 0, paths[target], 0, executablePath, 0, 0};
    dl_iterate_phdr(AddModule, &scan);
    counts[target].store(scan.count, std::memory_order_relaxed);
    published.store(target, std::memory_order_release);
    seenAdds = scan.adds;
    seenRemovals = scan.removals;
}

void ModuleTable::RefreshIfChanged() {
    struct Counters {
        unsigned long long adds;
        unsigned long long removals;
    } now{0, 0};
    dl_iterate_phdr(
        [](struct dl_phdr_info *info, std::size_t size, void *context) {
            auto &counters = *static_cast<Counters *>(context);
            if (size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
                counters.adds = info->dlpi_adds;
                counters.removals = info->dlpi_subs;
            }
            return 1;
        },
        &now);
    {
        MutexLock lock(mutex);
        if (now.adds == seenAdds && now.removals == seenRemovals) {
            return;
        }
    }
    Refresh();
}

void ModuleTable::AddPlugin(const std::string &path, const LibraryFile *file) {
    MutexLock lock(mutex);
    const uint32_t count = pluginCount.load(std::memory_order_relaxed);
    if (count >= MAX_PLUGINS) {
        loading.store(NO_PLUGIN, std::memory_order_release);
        return;
    }
    Plugin &plugin = plugins[count];
    plugin.id.store(0, std::memory_order_relaxed);
    plugin.hasId.store(false, std::memory_order_relaxed);
    plugin.fileKnown = file != nullptr;
    plugin.file = file != nullptr ? *file : LibraryFile{};
    CopyText(plugin.path, sizeof plugin.path, path.c_str());
    CopyText(plugin.name, sizeof plugin.name, FileNameOf(plugin.path));
    pluginCount.store(count + 1, std::memory_order_release);
    loading.store(static_cast<int32_t>(count), std::memory_order_release);
}

void ModuleTable::SetPluginId(const std::string &path, uint32_t id) {
    MutexLock lock(mutex);
    const int32_t index = PluginIndex(path.c_str());
    if (index != NO_PLUGIN) {
        plugins[index].id.store(id, std::memory_order_relaxed);
        plugins[index].hasId.store(true, std::memory_order_release);
    }
    loading.store(NO_PLUGIN, std::memory_order_release);
}

// The latest entry for the path: a path opened twice is the later library.
int32_t ModuleTable::PluginIndex(const char *path) const {
    for (uint32_t i = pluginCount.load(std::memory_order_acquire); i > 0; --i) {
        if (std::strncmp(plugins[i - 1].path, path, PATH_BYTES) == 0) {
            return static_cast<int32_t>(i - 1);
        }
    }
    return NO_PLUGIN;
}

const ModuleTable::Module *ModuleTable::Find(uintptr_t address) const {
    const uint32_t table = published.load(std::memory_order_acquire);
    const uint32_t count = counts[table].load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < count && i < MAX_MODULES; ++i) {
        if (Holds(tables[table][i], address, false)) {
            return &tables[table][i];
        }
    }
    return nullptr;
}

bool ModuleTable::InCode(uintptr_t address) const {
    const Module *module = Find(address);
    return module != nullptr && Holds(*module, address, true);
}

const ModuleTable::Plugin *ModuleTable::PluginAt(int32_t index) const {
    if (index < 0 || static_cast<uint32_t>(index) >= pluginCount.load(std::memory_order_acquire)) {
        return nullptr;
    }
    return &plugins[index];
}

const ModuleTable::Plugin *ModuleTable::PluginWithId(uint32_t id) const {
    for (uint32_t i = pluginCount.load(std::memory_order_acquire); i > 0; --i) {
        const Plugin &plugin = plugins[i - 1];
        if (plugin.hasId.load(std::memory_order_acquire) && plugin.id.load(std::memory_order_relaxed) == id) {
            return &plugin;
        }
    }
    return nullptr;
}

const ModuleTable::Plugin *ModuleTable::Loading() const { return PluginAt(loading.load(std::memory_order_acquire)); }

// Thumb functions have bit 0 of their symbol value set. Of aliases (getpid
// and __getpid), the name without a leading underscore is the one people use.
bool ModuleTable::FunctionAt(const Module &module, uintptr_t address, SafeMemory &memory, uint32_t &nameOffset,
                             uintptr_t &distance) {
    bool found = false;
    bool foundPublicName = false;
    for (uint32_t i = 0; i < module.symbolCount; ++i) {
        ElfW(Sym) symbol;
        if (!memory.ReadValue(module.symbols + i * sizeof symbol, symbol)) {
            return found;
        }
        const unsigned type = ELF32_ST_TYPE(symbol.st_info); // the same for 64-bit symbols
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || symbol.st_shndx == SHN_UNDEF || symbol.st_size == 0 ||
            symbol.st_name >= module.stringBytes) {
            continue;
        }
        const uintptr_t start = (module.bias + static_cast<uintptr_t>(symbol.st_value)) & ~static_cast<uintptr_t>(1);
        if (address < start || address - start >= symbol.st_size || (found && address - start > distance)) {
            continue;
        }
        char first = '_';
        const bool publicName = memory.ReadValue(module.strings + symbol.st_name, first) && first != '_';
        if (!found || address - start < distance || (publicName && !foundPublicName)) {
            nameOffset = symbol.st_name;
            distance = address - start;
            found = true;
            foundPublicName = publicName;
        }
    }
    return found;
}
