#include "source_names.h"

#include <cstdio>

void SourceNames::Name(uint32_t source, const std::string &shortName) {
    MutexLock lock(mutex);
    shortNames[source] = shortName;
}

bool SourceNames::Claim(uint32_t id, const std::string &shortName, const std::string &fileName) {
    MutexLock lock(mutex);
    if (shortNames.count(id) != 0) {
        return false;
    }
    shortNames[id] = shortName;
    fileNames[id] = fileName;
    return true;
}

void SourceNames::CopyShortName(uint32_t source, ShortName &name) const {
    ReaderLock lock(mutex);
    const auto found = shortNames.find(source);
    std::snprintf(name, sizeof name, "%s", found != shortNames.end() ? found->second.c_str() : "?");
}

void SourceNames::CopyFileName(uint32_t id, FileName &name) const {
    ReaderLock lock(mutex);
    const auto found = fileNames.find(id);
    if (found != fileNames.end()) {
        std::snprintf(name, sizeof name, "%s", found->second.c_str());
    } else {
        std::snprintf(name, sizeof name, "%08lX", static_cast<unsigned long>(id));
    }
}
