#pragma once

#include <string>

// The file steps of saving a document: the text goes to a freshly created pending file first and
// only then takes the name (CoreDocument::SafeSaveFile swaps it in through a backup), so that an
// interrupted save leaves the old or the new contents and nothing is written through a link.
//
// Threads: any, one save of a file at a time (the main thread's in the core).

// Points of a save after which the process may die; tests stop a child process there.
enum class SaveStep {
    PendingWritten,     // the pending file is complete, nothing swapped yet
    OldBackupDeleted,   // a backup of an earlier save is gone
    FileMovedToBackup,  // the old file is the backup and no file has the name
    PendingMovedToFile, // the new file has the name, its backup still exists
};
using SaveStepHook = void (*)(SaveStep step);

// Writes `text` to `path`, created anew with mode 0600 after whatever had the name is removed (a
// link there is never followed), and flushes it to the storage device.
// Returns an empty string, or the failure message: "create error N", "write error N",
// "close error N" (N is errno) or "only wrote COUNT of LENGTH bytes".
std::string WritePendingFile(const std::string &path, const std::string &text);

// Replaces `name` with `pending`, keeping the old file as `backup` until the new one has the name.
// On failure the pending file is deleted and the old contents are in `name` again (or, if even
// that rename failed, in `backup`). `hook`, when given, is called at each SaveStep.
bool SwapPendingIntoPlace(const std::string &name, const std::string &pending, const std::string &backup,
                          SaveStepHook hook);

// Writes `text` to `name`.pending and renames that to `name`, without a backup: a reader sees the
// old file or the whole new one. On failure the pending file is deleted and `name` is untouched.
bool SaveByRename(const std::string &name, const std::string &text);
