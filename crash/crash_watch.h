#pragma once

#include <cstdint>
#include <string>

#include "library_observer.h"
#include "quarantine_element.h"

// The plugin table's observer for the crash reports and the quarantine:
// every plugin library is entered in the crash handler's module table with
// its file before it is opened, refused when quarantined, and the table is
// scanned again whenever libraries come or go.
//
// Threads: the main thread (the plugin table calls it while loading and
// unloading), which alone touches the quarantine settings.
class CrashWatch final : public LibraryObserver {
public:
    explicit CrashWatch(QuarantineSettings &quarantine) : quarantine(quarantine) {}

    std::string Admit(const std::string &path) override;
    void LibrariesChanged() override;
    void Accepted(const std::string &path, uint32_t id) override;

private:
    QuarantineSettings &quarantine;
};
