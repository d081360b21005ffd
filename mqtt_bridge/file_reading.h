#pragma once

#include <cstddef>
#include <string>

// Reading the bridge's own files with the core's reader (xml/regular_file.h): regular files
// only, opened without blocking (a FIFO or a device never stalls the core), up to a size limit.

enum class FileAccess {
    Any,
    // The file holds a secret: it must belong to the process's effective user, and neither its
    // group nor others may have any permission on it (mode 0600 or 0400).
    Private,
};

struct FileText {
    bool missing = false; // there is no such file: not an error for optional files
    std::string error;    // empty when `text` holds the whole file; names the file and the reason
    std::string text;
};

FileText ReadFileText(const std::string &path, std::size_t limit, FileAccess access);

// The reason a file that another library reads (a TLS key) may not be used, or empty: the
// checks of FileAccess::Private, without reading it.
std::string PrivateFileProblem(const std::string &path);
