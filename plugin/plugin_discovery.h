#pragma once

#include <string>
#include <vector>

// The plugin libraries in one directory: regular files (links followed)
// whose extension, from the last dot on, is exactly ".so". A missing or
// unreadable directory adds nothing; an entry that cannot be examined is
// skipped.
//
// Threads: any; no shared state (the main thread uses them while loading).
std::vector<std::string> FindPluginLibraries(const std::string &directory);

// Loading order: paths containing "tDVRpi" first, then ascending path order
// compared component by component, bytewise.
void SortInLoadingOrder(std::vector<std::string> &paths);

// "Example.so" gives "example": the file name without its last extension,
// lower-cased byte by byte.
std::string ModuleName(const std::string &fileName);
