#include "kept_reports.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "crash_report.h"
#include "signal_safe_write.h"

namespace {

constexpr const char *PENDING_FILE = "core-crash.txt.pending";

// Where a report starts at or after `from`: its first line at a line start.
std::size_t NextReport(const char *text, std::size_t length, std::size_t from) {
    const std::size_t headLength = std::strlen(REPORT_FIRST_LINE);
    for (std::size_t at = from; at + headLength <= length; ++at) {
        const bool lineStart = at == 0 || text[at - 1] == '\n';
        if (lineStart && std::memcmp(text + at, REPORT_FIRST_LINE, headLength) == 0 &&
            (at + headLength == length || text[at + headLength] == '\n')) {
            return at;
        }
    }
    return length;
}

std::size_t ReadOld(int directory, char *scratch) {
    const int file = openat(directory, CRASH_REPORT_FILE, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (file < 0) {
        return 0;
    }
    std::size_t length = 0;
    while (length < MAX_REPORT_FILE_BYTES) {
        const ssize_t got = read(file, scratch + length, MAX_REPORT_FILE_BYTES - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        length += static_cast<std::size_t>(got);
    }
    close(file);
    return length;
}

} // namespace

std::size_t KeptOldReports(const char *old, std::size_t oldLength, std::size_t newLength, std::size_t &from) {
    from = NextReport(old, oldLength, 0);
    const std::size_t room = newLength + 1 < MAX_REPORT_FILE_BYTES ? MAX_REPORT_FILE_BYTES - newLength - 1 : 0;
    std::size_t end = from;
    for (std::size_t kept = 0; kept + 1 < MAX_KEPT_REPORTS && end < oldLength; ++kept) {
        const std::size_t next = NextReport(old, oldLength, end + 1);
        if (next - from > room) {
            break;
        }
        end = next;
    }
    // The blank line before a report left out goes with it.
    while (end > from + 1 && old[end - 1] == '\n' && old[end - 2] == '\n') {
        --end;
    }
    return end - from;
}

// The pending file is created anew, so that nothing is written through a
// link left in its place; it reaches the disk before it takes the name.
bool KeepCrashReport(int directory, const char *report, std::size_t length, char *scratch) {
    const std::size_t oldLength = ReadOld(directory, scratch);
    std::size_t from = 0;
    const std::size_t kept = KeptOldReports(scratch, oldLength, length, from);
    unlinkat(directory, PENDING_FILE, 0);
    const int file = openat(directory, PENDING_FILE, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0) {
        return false;
    }
    bool written = WriteAll(file, report, length);
    if (written && kept > 0) {
        written = WriteAll(file, "\n", 1) && WriteAll(file, scratch + from, kept);
    }
    written = fsync(file) == 0 && written;
    written = close(file) == 0 && written;
    if (!written || renameat(directory, PENDING_FILE, directory, CRASH_REPORT_FILE) != 0) {
        unlinkat(directory, PENDING_FILE, 0);
        return false;
    }
    return true;
}
