#pragma once

#include <cstddef>
#include <optional>
#include <string>

// The whole contents of `path` when it is a regular file of at most `limit` bytes (a link is
// followed); nothing when it is missing or unreadable, is anything else (a directory, a FIFO, a
// device), or is larger. Never waits for a writer, and never allocates more than `limit` bytes
// for the contents, however large the file claims or grows to be.
//
// Threads: any; no shared state.
std::optional<std::string> ReadRegularFile(const std::string &path, std::size_t limit);
