// The resident set size, from the kernel's page counts of this process.
#include "resident_memory.h"

#include <cstdio>

#include <unistd.h>

// Read every second while plugins run: close-on-exec ("e"), so that no
// program a plugin starts meanwhile inherits it.
uint64_t ResidentMemoryBytes() {
    FILE *statm = std::fopen("/proc/self/statm", "re");
    if (statm == nullptr) {
        return 0;
    }
    unsigned long programPages = 0;
    unsigned long residentPages = 0;
    if (std::fscanf(statm, "%lu %lu", &programPages, &residentPages) < 2) {
        residentPages = 0;
    }
    std::fclose(statm);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pageSize > 0 ? static_cast<uint64_t>(residentPages) * static_cast<uint64_t>(pageSize) : 0;
}
