#include "mqtt_bridge/file_reading.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int Get() const { return fd; }

private:
    int fd;
};

std::string SystemError(const std::string &path, const char *what) {
    return path + ": " + what + ": " + std::strerror(errno);
}

// Why the opened file may not be read under `access`, or empty.
std::string Problem(const std::string &path, const struct stat &status, std::size_t limit, FileAccess access) {
    if (!S_ISREG(status.st_mode)) {
        return path + ": not a regular file";
    }
    if (static_cast<unsigned long long>(status.st_size) > limit) {
        return path + ": larger than " + std::to_string(limit) + " bytes";
    }
    if (access == FileAccess::Private && (status.st_uid != geteuid() || (status.st_mode & 077) != 0)) {
        return path + ": must belong to user " + std::to_string(geteuid()) +
               " and give no permission to group or others (mode 0600 or 0400)";
    }
    return "";
}

} // namespace

FileText ReadFileText(const std::string &path, std::size_t limit, FileAccess access) {
    FileText result;
    const Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.Get() < 0) {
        result.missing = errno == ENOENT;
        result.error = SystemError(path, "cannot open");
        return result;
    }
    struct stat status;
    if (fstat(file.Get(), &status) != 0) {
        result.error = SystemError(path, "cannot examine");
        return result;
    }
    result.error = Problem(path, status, limit, access);
    if (!result.error.empty()) {
        return result;
    }
    // One byte more than allowed tells a file that grew since fstat.
    std::string text(limit + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        const ssize_t count = read(file.Get(), &text[length], text.size() - length);
        if (count == 0) {
            break;
        }
        if (count < 0 && errno != EINTR) {
            result.error = SystemError(path, "cannot read");
            return result;
        }
        length += count > 0 ? static_cast<std::size_t>(count) : 0;
    }
    if (length > limit) {
        result.error = path + ": larger than " + std::to_string(limit) + " bytes";
        return result;
    }
    text.resize(length);
    result.text = std::move(text);
    return result;
}

std::string PrivateFileProblem(const std::string &path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return SystemError(path, "cannot examine");
    }
    return Problem(path, status, static_cast<std::size_t>(status.st_size), FileAccess::Private);
}
