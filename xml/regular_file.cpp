#include "regular_file.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_descriptor.h"

namespace {

// The size that fstat reports, when the file is a regular one within `limit`.
std::optional<std::size_t> RegularFileSize(int fd, std::size_t limit) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || static_cast<unsigned long long>(status.st_size) > limit)
        return std::nullopt;
    return static_cast<std::size_t>(status.st_size);
}

// Reads until the end of the file or one byte beyond `limit`, whichever comes first: the file
// may have grown since it was measured.
std::optional<std::string> ReadUpTo(int fd, std::size_t expected, std::size_t limit) {
    std::string contents;
    contents.reserve(expected);
    char chunk[16384];
    while (contents.size() <= limit) {
        const ssize_t count = read(fd, chunk, sizeof chunk);
        if (count == 0)
            return contents;
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return std::nullopt;
        contents.append(chunk, std::min(static_cast<std::size_t>(count), limit + 1 - contents.size()));
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> ReadRegularFile(const std::string &path, std::size_t limit) {
    // Without O_NONBLOCK, opening a FIFO for reading waits for a writer, for ever.
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0)
        return std::nullopt;
    const std::optional<std::size_t> size = RegularFileSize(file.get(), limit);
    if (!size)
        return std::nullopt;
    return ReadUpTo(file.get(), *size, limit);
}
