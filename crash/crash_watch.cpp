#include "crash_watch.h"

#include <optional>

#include "kept_reports.h"
#include "module_table.h"
#include "quarantine.h"

// A file that cannot be examined is not refused here: the loader says what
// is wrong with it.
std::string CrashWatch::Admit(const std::string &path) {
    const std::optional<LibraryFile> file = ExamineLibraryFile(path);
    if (file) {
        std::string refusal = QuarantineRefusal(quarantine, path, *file, CRASH_REPORT_FILE);
        if (!refusal.empty()) {
            return refusal;
        }
    }
    CrashModules().AddPlugin(path, file ? &*file : nullptr);
    return {};
}

void CrashWatch::LibrariesChanged() { CrashModules().Refresh(); }

void CrashWatch::Accepted(const std::string &path, uint32_t id) { CrashModules().SetPluginId(path, id); }
