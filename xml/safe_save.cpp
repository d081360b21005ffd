#include "safe_save.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "file_descriptor.h"

namespace {

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Call right after the failing call, before anything else can change errno.
std::string WithErrno(const char *prefix) {
    const int error = errno;
    return prefix + std::to_string(error);
}

// fclose alone leaves the bytes in the page cache, and a power cut after the swap could then
// leave an empty file with its backup already deleted. A failing flush is the failure fclose
// would have reported, so it keeps that message; a failing fsync means the bytes may not be on
// the device, which is a write error.
std::string FlushToDevice(std::FILE *file) {
    if (std::fflush(file) != 0)
        return WithErrno("close error ");
    if (fsync(fileno(file)) != 0)
        return WithErrno("write error ");
    return {};
}

// Makes the renames in the directory of `path` durable before the backup is deleted. The
// renames are done either way and there is no message for this, so a failure only loses that
// hardening.
void SyncDirectoryOf(const std::string &path) {
    const std::string::size_type slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const FileDescriptor descriptor(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (descriptor.get() >= 0)
        fsync(descriptor.get());
}

void Reach(SaveStepHook hook, SaveStep step) {
    if (hook != nullptr)
        hook(step);
}

// A missing file is what deleting or moving it away was for.
bool FailedOtherThanMissing(int result) { return result != 0 && errno != ENOENT; }

bool Abandon(const std::string &pending) {
    unlink(pending.c_str());
    return false;
}

// Whatever has the name now (a stale pending file, or a link an attacker placed to have the core
// overwrite its target) is removed, and the file is made anew: never written through a link and
// never into a file that already exists.
FileHandle CreateFresh(const std::string &path) {
    unlink(path.c_str());
    FileDescriptor fd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        return nullptr;
    FileHandle file(fdopen(fd.get(), "wb"));
    if (file)
        fd.release();
    return file;
}

} // namespace

std::string WritePendingFile(const std::string &path, const std::string &text) {
    FileHandle file = CreateFresh(path);
    if (!file)
        return WithErrno("create error ");
    const std::size_t written = std::fwrite(text.data(), 1, text.size(), file.get());
    std::string failure = std::ferror(file.get()) ? WithErrno("write error ") : FlushToDevice(file.get());
    if (std::fclose(file.release()) != 0 && failure.empty())
        failure = WithErrno("close error ");
    if (failure.empty() && written != text.size())
        failure = "only wrote " + std::to_string(written) + " of " + std::to_string(text.size()) + " bytes";
    return failure;
}

bool SwapPendingIntoPlace(const std::string &name, const std::string &pending, const std::string &backup,
                          SaveStepHook hook) {
    Reach(hook, SaveStep::PendingWritten);
    if (FailedOtherThanMissing(unlink(backup.c_str())))
        return Abandon(pending);
    Reach(hook, SaveStep::OldBackupDeleted);
    if (FailedOtherThanMissing(std::rename(name.c_str(), backup.c_str())))
        return Abandon(pending);
    Reach(hook, SaveStep::FileMovedToBackup);
    if (std::rename(pending.c_str(), name.c_str()) != 0) {
        Abandon(pending);
        std::rename(backup.c_str(), name.c_str());
        return false;
    }
    Reach(hook, SaveStep::PendingMovedToFile);
    SyncDirectoryOf(name);
    unlink(backup.c_str());
    return true;
}

bool SaveByRename(const std::string &name, const std::string &text) {
    const std::string pending = name + ".pending";
    if (!WritePendingFile(pending, text).empty() || std::rename(pending.c_str(), name.c_str()) != 0)
        return Abandon(pending);
    return true;
}
