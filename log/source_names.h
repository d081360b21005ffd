#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "annotated_mutex.h"

// The name of every event source: a short name printed in each log line,
// and for plugins the library file name that the core's diagnostics name.
//
// Threads: the main thread names the core and claims the plugins' IDs while
// loading; every thread that logs reads.
//
// Locks: `mutex` guards both maps; readers share it. The copies allocate
// nothing, so the sink cannot throw into a plugin that logs.
class SourceNames {
public:
    // What a diagnostic line names a plugin by: its file name, or its ID in
    // hex when it has none; cut to fit.
    using FileName = char[256];
    // The printed part of a short name.
    static constexpr std::size_t SHORT_NAME_LENGTH = 6;
    using ShortName = char[SHORT_NAME_LENGTH + 1];

    void Name(uint32_t source, const std::string &shortName) EXCLUDES(mutex);
    // The first holder of an ID keeps it: false when it is taken.
    bool Claim(uint32_t id, const std::string &shortName, const std::string &fileName) EXCLUDES(mutex);

    void CopyShortName(uint32_t source, ShortName &name) const EXCLUDES(mutex);
    void CopyFileName(uint32_t id, FileName &name) const EXCLUDES(mutex);

private:
    mutable SharedMutex mutex;
    std::map<uint32_t, std::string> shortNames GUARDED_BY(mutex);
    std::map<uint32_t, std::string> fileNames GUARDED_BY(mutex); // accepted plugins only
};
