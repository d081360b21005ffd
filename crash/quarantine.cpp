#include "quarantine.h"

#include <algorithm>

#include <sys/stat.h>

namespace {

// Drops the libraries below the limit but `kept`; true when any went.
bool DropUnquarantined(QuarantineSettings &settings, const std::string *kept) {
    auto &libraries = settings.libraries;
    const auto end = std::remove_if(libraries.begin(), libraries.end(), [&](const CrashedLibrary &library) {
        return !IsQuarantined(settings, library) && (kept == nullptr || library.path != *kept);
    });
    const bool dropped = end != libraries.end();
    libraries.erase(end, libraries.end());
    return dropped;
}

} // namespace

std::optional<LibraryFile> ExamineLibraryFile(const std::string &path) {
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

bool IsQuarantined(const QuarantineSettings &settings, const CrashedLibrary &library) {
    return settings.crashes != 0 && library.crashes >= settings.crashes;
}

uint32_t CountCrashedRun(QuarantineSettings &settings, const std::string &path, const LibraryFile *file,
                         bool &changed) {
    changed = false;
    if (settings.crashes == 0 || file == nullptr) {
        return 0;
    }
    changed = DropUnquarantined(settings, &path);
    auto listed = std::find_if(settings.libraries.begin(), settings.libraries.end(),
                               [&](const CrashedLibrary &library) { return library.path == path; });
    if (listed == settings.libraries.end()) {
        settings.libraries.push_back({path, *file, 0});
        listed = settings.libraries.end() - 1;
    } else if (listed->file != *file) {
        *listed = {path, *file, 0};
    }
    ++listed->crashes;
    changed = true;
    return listed->crashes;
}

bool CountRunWithoutBlame(QuarantineSettings &settings) {
    return settings.crashes != 0 && DropUnquarantined(settings, nullptr);
}

std::string QuarantineRefusal(QuarantineSettings &settings, const std::string &path, const LibraryFile &file,
                              const std::string &reportFile) {
    auto &libraries = settings.libraries;
    const auto listed = std::find_if(libraries.begin(), libraries.end(),
                                     [&](const CrashedLibrary &library) { return library.path == path; });
    if (listed == libraries.end()) {
        return {};
    }
    if (listed->file != file) {
        libraries.erase(listed);
        return {};
    }
    if (!IsQuarantined(settings, *listed)) {
        return {};
    }
    return "quarantined after " + std::to_string(listed->crashes) + " crashes (see " + reportFile + ")";
}
