#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

// The retained `info` document, the device's health at a glance:
//   <?xml ?><kDVR><Info CoreVersion=".." BridgeVersion=".." Device=".." StartTime="..Z"
//   Uptime="seconds" PluginsLoaded="n" PluginsOpened="n" PluginsRefused="n" Throttling="0|1">
//   <Refused Filename=".." Reason=".." />... <CrashReport ... /></Info></kDVR>
// from what the core publishes: the modules report (plugins and the core's version), the
// memory status (throttling) and, when the core provides one, its last crash report: a status
// document whose first element is CRASH_REPORT_ELEMENT, shown with its attributes as they came.
//
// Thread-safe: the core's thread stores documents, the network thread builds the text; both
// under the object's own lock. Parsing happens while building, on the network thread.
class DeviceInfo {
public:
    // The name of the core's crash report element, in a CLASS_STATUS document.
    static constexpr const char *CRASH_REPORT_ELEMENT = "CrashReport";

    DeviceInfo(std::string device, std::time_t startTime);

    void SetModulesReport(const char *text, std::size_t length);
    void SetMemoryStatus(const char *text, std::size_t length);
    void SetCrashReport(const char *text, std::size_t length);
    // Whether a document changed since the last Text().
    bool Changed() const;
    // The document as of `now`.
    std::string Text(std::time_t now);

private:
    const std::string device;
    const std::time_t startTime;
    mutable std::mutex mutex;
    // Guarded by mutex.
    std::string modulesReport;
    std::string memoryStatus;
    std::string crashReport;
    bool changed = true;
};
