#include "crash_watch.h"

#include <optional>

#include <sys/stat.h>

#include "kept_reports.h"
#include "module_table.h"
#include "quarantine.h"

namespace {

std::optional<LibraryFile> ExamineFile(const std::string &path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return std::nullopt;
    }
    LibraryFile file;
    file.device = static_cast<uint64_t>(status.st_dev);
    file.inode = static_cast<uint64_t>(status.st_ino);
    file.size = static_cast<uint64_t>(status.st_size);
    file.modifiedSeconds = static_cast<int64_t>(status.st_mtim.tv_sec);
    file.modifiedNanoseconds = static_cast<int64_t>(status.st_mtim.tv_nsec);
    return file;
}

} // namespace

// A file that cannot be examined is not refused here: the loader says what
// is wrong with it.
std::string CrashWatch::Admit(const std::string &path) {
    const std::optional<LibraryFile> file = ExamineFile(path);
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
