#pragma once

#include <cstdint>
#include <string>

// What the crash reports and the quarantine learn from the plugin table
// about plugin libraries, all on the main thread while it loads and unloads.
class LibraryObserver {
public:
    virtual ~LibraryObserver() = default;

    // Before the library at `path` is opened: a reason to refuse it, or empty.
    virtual std::string Admit(const std::string &path) = 0;
    // Libraries were mapped into the process or unmapped from it.
    virtual void LibrariesChanged() = 0;
    // The plugin of the library at `path` holds `id`.
    virtual void Accepted(const std::string &path, uint32_t id) = 0;
};
