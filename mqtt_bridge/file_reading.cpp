#include "mqtt_bridge/file_reading.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "xml/regular_file.h"

namespace {

// Why the core's reader would not read the file. It says only that it did not, so the reason is
// looked up afterwards, for the message alone.
std::string RefusalReason(const std::string &path, std::size_t limit) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return path + ": " + std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return path + ": not a regular file";
    }
    if (static_cast<unsigned long long>(status.st_size) > limit) {
        return path + ": larger than " + std::to_string(limit) + " bytes";
    }
    return path + ": cannot be read";
}

} // namespace

FileText ReadFileText(const std::string &path, std::size_t limit, FileAccess access) {
    FileText result;
    if (access == FileAccess::Private) {
        result.error = PrivateFileProblem(path);
    }
    std::optional<std::string> contents;
    if (result.error.empty()) {
        contents = ReadRegularFile(path, limit);
    }
    if (contents) {
        result.text = std::move(*contents);
        return result;
    }
    struct stat status;
    result.missing = stat(path.c_str(), &status) != 0 && errno == ENOENT;
    if (result.error.empty()) {
        result.error = RefusalReason(path, limit);
    }
    return result;
}

std::string PrivateFileProblem(const std::string &path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return path + ": " + std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != geteuid() || (status.st_mode & 077) != 0) {
        return path + ": must be a regular file of user " + std::to_string(geteuid()) +
               " that gives no permission to group or others (mode 0600 or 0400)";
    }
    return "";
}
