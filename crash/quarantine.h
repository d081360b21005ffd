#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "quarantine_element.h"

// The quarantine's counting: per plugin library, the crashed runs in a row
// blamed on it; a library blamed for `crashes` of them in a row (the
// settings' limit; 0 turns the quarantine off) is not loaded again until its
// file changes or its entry is removed from core.xml.
//
// A crashed run blamed on a library adds one to its count (a library not
// listed, or listed with another file, starts at one). Every other library
// below the limit leaves the list, since it ran and was not blamed, as do
// all of them after a run blamed on the core or a clean run. Quarantined
// libraries stay: they did not run. A run whose end is unknown (killed)
// changes nothing.
//
// Threads: pure, for the main thread's settings; ExamineLibraryFile reads
// the file system, from any thread.

// The file at `path` as the quarantine tells files apart; nothing when it
// cannot be examined.
std::optional<LibraryFile> ExamineLibraryFile(const std::string &path);

// The count of the blamed library after the run; 0 when none was counted.
// True in `changed` when the settings changed.
uint32_t CountCrashedRun(QuarantineSettings &settings, const std::string &path, const LibraryFile *file, bool &changed);
// A crashed run blamed on the core, or a clean run. True when the settings changed.
bool CountRunWithoutBlame(QuarantineSettings &settings);

// Before a library is opened: the reason it is refused ("quarantined after
// N crashes (see REPORT)"), or empty. A listed library whose file changed
// leaves the list and loads.
std::string QuarantineRefusal(QuarantineSettings &settings, const std::string &path, const LibraryFile &file,
                              const std::string &reportFile);

bool IsQuarantined(const QuarantineSettings &settings, const CrashedLibrary &library);
