// Faults injected into the safe save: a full file system, a write that stops part-way, renames
// that fail, and a process killed before each system call of the save. After each, the next
// LoadFileWithBackup must find the old or the new document, never an empty or half-written one,
// and a failed save reports its failure message.
#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temporary_directory.h"
#include "xml/core_document.h"
#include "xml/document_printing.h"

namespace {

// Items the next fwrite call writes at most, leaving the stream's error flag clear.
constexpr std::size_t UNLIMITED = SIZE_MAX;
std::atomic<std::size_t> nextWriteLimit{UNLIMITED};

} // namespace

// Stands in for the C library's fwrite in this test program. Through glibc's stdio a write that
// stops short always sets the error flag, yet the save must not trust a short count either; this
// is the one way to show it. Every call passes through, the armed one shortened.
extern "C" std::size_t fwrite(const void *data, std::size_t size, std::size_t count, std::FILE *file) {
    using Fwrite = std::size_t (*)(const void *, std::size_t, std::size_t, std::FILE *);
    static const auto libraryFwrite = reinterpret_cast<Fwrite>(dlsym(RTLD_NEXT, "fwrite"));
    return libraryFwrite(data, size, std::min(count, nextWriteLimit.exchange(UNLIMITED)), file);
}

namespace {

namespace fs = std::filesystem;

CoreDocument DocumentOf(const std::string &text) {
    CoreDocument document;
    document.Parse(text.c_str());
    return document;
}

CoreDocument OldDocument() { return DocumentOf("<kDVR Delta=\"0\"><Memory Throttling=\"0\" /></kDVR>"); }

CoreDocument NewDocument() { return DocumentOf("<kDVR Delta=\"1\"><Memory Throttling=\"1\" /></kDVR>"); }

// Larger than stdio's buffer, so that it reaches the file in more than one write.
CoreDocument LargeDocument(int cameras) {
    std::string text = "<kDVR>";
    for (int index = 0; index < cameras; ++index)
        text += "<Camera Index=\"" + std::to_string(index) + "\" Name=\"camera at the gate\" />";
    return DocumentOf(text + "</kDVR>");
}

void WriteFile(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// What the next save does when it reaches a step, for a fault that a test puts in its way.
SaveStep faultStep;
std::function<void()> faultAction;

void InjectFault(SaveStep step) {
    if (step == faultStep && faultAction)
        faultAction();
}

// A tmpfs of a few pages over a directory, mounted in a mount namespace of this process's own so
// that nothing stays mounted whatever becomes of the test.
class SmallFileSystem {
public:
    // Empty when mounted; otherwise why not.
    std::string Mount(const std::string &directory) {
        static const int privateNamespaceError = EnterPrivateMountNamespace();
        if (privateNamespaceError != 0)
            return "no mount namespace of our own: " + std::to_string(privateNamespaceError);
        if (mount("tmpfs", directory.c_str(), "tmpfs", 0, "size=256k,mode=0700") != 0)
            return "tmpfs not mounted: " + std::to_string(errno);
        mountPoint = directory;
        return {};
    }

    ~SmallFileSystem() {
        if (!mountPoint.empty())
            umount2(mountPoint.c_str(), MNT_DETACH);
    }

    bool SetReadOnly(bool readOnly) const {
        const unsigned long flags = MS_REMOUNT | (readOnly ? MS_RDONLY : 0);
        return mount(nullptr, mountPoint.c_str(), nullptr, flags, nullptr) == 0;
    }

    // Writes `path` until no block is left, then frees `spareBytes` of it again.
    static void Fill(const std::string &path, off_t spareBytes) {
        const int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_LE(0, descriptor);
        const std::vector<char> block(4096, 'f');
        off_t size = 0;
        ssize_t written;
        while ((written = write(descriptor, block.data(), block.size())) > 0)
            size += written;
        EXPECT_EQ(ENOSPC, errno);
        EXPECT_EQ(0, ftruncate(descriptor, size - spareBytes));
        close(descriptor);
    }

private:
    static int EnterPrivateMountNamespace() {
        if (unshare(CLONE_NEWNS) != 0)
            return errno;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return errno;
        return 0;
    }

    std::string mountPoint;
};

class XmlFaultInjectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory = temporary.Root();
        UseStore(directory + "/store");
    }

    void TearDown() override {
        faultAction = nullptr;
        nextWriteLimit = UNLIMITED;
        fileSystem.reset();
    }

    // Mounts a small tmpfs over the test's directory, or skips the test when it cannot.
    void MountSmallFileSystem() {
        fileSystem = std::make_unique<SmallFileSystem>();
        const std::string failure = fileSystem->Mount(directory);
        if (!failure.empty())
            GTEST_SKIP() << "needs root to mount a small tmpfs (" << failure << ")";
        UseStore(directory + "/store");
    }

    void UseStore(const std::string &path) {
        store = path;
        fs::create_directories(store);
        name = store + "/core.xml";
        backup = name + ".bak";
        pending = name + ".pending";
    }

    std::set<std::string> Entries() const {
        std::set<std::string> entries;
        for (const fs::directory_entry &entry : fs::directory_iterator(store))
            entries.insert(entry.path().filename());
        return entries;
    }

    void WriteOldFile() const { WriteFile(name, PrintFileForm(OldDocument())); }

    // A failed save: its message, and the old file where it was, alone.
    void ExpectFailedSaveKeptTheOldFile(const CoreDocument &saved, const std::string &message) const {
        EXPECT_EQ(TiXmlBase::TIXML_ERROR_OPENING_FILE, saved.ErrorId());
        EXPECT_EQ(message, saved.ErrorDesc());
        EXPECT_EQ(PrintFileForm(OldDocument()), ReadFile(name));
        EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries());
        ExpectLoadFinds(OldDocument());
    }

    void ExpectLoadFinds(const CoreDocument &expected) const {
        CoreDocument loaded;
        EXPECT_TRUE(loaded.LoadFileWithBackup(name)) << loaded.ErrorDesc();
        EXPECT_EQ(PrintFileForm(expected), PrintFileForm(loaded));
    }

    testsupport::TemporaryDirectory temporary{"xml_faults"};
    std::string directory, store, name, backup, pending;
    std::unique_ptr<SmallFileSystem> fileSystem;
};

} // namespace

// A full file system: the buffered text fails when it is flushed, a larger one part-way through
// the write; either way the pending file goes and the old file stays.
TEST_F(XmlFaultInjectionTest, FullFileSystemKeepsTheOldFile) {
    MountSmallFileSystem();
    if (IsSkipped())
        return;
    WriteOldFile();
    SmallFileSystem::Fill(directory + "/filler", 0);
    CoreDocument small = NewDocument();
    EXPECT_FALSE(small.SafeSaveFile(name));
    ExpectFailedSaveKeptTheOldFile(small, "close error " + std::to_string(ENOSPC));

    SmallFileSystem::Fill(directory + "/filler", 8192);
    CoreDocument large = LargeDocument(1000);
    ASSERT_GT(PrintFileForm(large).size(), 4 * 8192u);
    EXPECT_FALSE(large.SafeSaveFile(name));
    ExpectFailedSaveKeptTheOldFile(large, "write error " + std::to_string(ENOSPC));
}

TEST_F(XmlFaultInjectionTest, WriteStoppingShortWithoutAnErrorKeepsTheOldFile) {
    WriteOldFile();
    CoreDocument document = LargeDocument(100);
    const std::size_t length = PrintFileForm(document).size();
    nextWriteLimit = length / 2;
    EXPECT_FALSE(document.SafeSaveFile(name));
    ExpectFailedSaveKeptTheOldFile(document, "only wrote " + std::to_string(length / 2) + " of " +
                                                 std::to_string(length) + " bytes");
}

// Renames that fail.
TEST_F(XmlFaultInjectionTest, FailingRenameIntoPlacePutsTheOldFileBack) {
    WriteOldFile();
    faultStep = SaveStep::FileMovedToBackup;
    faultAction = [this] { unlink(pending.c_str()); };
    CoreDocument document = NewDocument();
    EXPECT_FALSE(document.SafeSaveFile(name, InjectFault));
    ExpectFailedSaveKeptTheOldFile(document, "xml file swap failed");
}

TEST_F(XmlFaultInjectionTest, FailingMoveOfTheOldFileSwapsNothing) {
    WriteOldFile();
    faultStep = SaveStep::OldBackupDeleted;
    faultAction = [this] {
        fs::create_directory(backup);
        WriteFile(backup + "/keep", "");
    };
    CoreDocument document = NewDocument();
    EXPECT_FALSE(document.SafeSaveFile(name, InjectFault));
    EXPECT_STREQ("xml file swap failed", document.ErrorDesc());
    EXPECT_EQ(PrintFileForm(OldDocument()), ReadFile(name));
    EXPECT_EQ((std::set<std::string>{"core.xml", "core.xml.bak"}), Entries());
    ExpectLoadFinds(OldDocument());
}

// With the file system read-only after the old file became the backup, neither the new file nor
// the old one can take the name: the old contents wait in the backup for the next load.
TEST_F(XmlFaultInjectionTest, FailingRenameAndFailingUndoLeaveTheOldFileInTheBackup) {
    MountSmallFileSystem();
    if (IsSkipped())
        return;
    WriteOldFile();
    faultStep = SaveStep::FileMovedToBackup;
    faultAction = [this] { ASSERT_TRUE(fileSystem->SetReadOnly(true)) << errno; };
    CoreDocument document = NewDocument();
    EXPECT_FALSE(document.SafeSaveFile(name, InjectFault));
    ASSERT_TRUE(fileSystem->SetReadOnly(false)) << errno;
    EXPECT_STREQ("xml file swap failed", document.ErrorDesc());
    EXPECT_EQ((std::set<std::string>{"core.xml.bak", "core.xml.pending"}), Entries());

    ExpectLoadFinds(OldDocument());
    EXPECT_EQ((std::set<std::string>{"core.xml", "core.xml.pending"}), Entries());
    EXPECT_TRUE(NewDocument().SafeSaveFile(name));
    EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries());
    ExpectLoadFinds(NewDocument());
}

namespace {

bool IsRename(long long systemCall) {
    return systemCall == SYS_rename || systemCall == SYS_renameat || systemCall == SYS_renameat2;
}

// A child process that saves a document under the parent's tracing and is killed on the way.
class TracedSave {
public:
    struct Outcome {
        bool killed;
        int renames;    // made before the kill: the second puts the new file in place
        int exitStatus; // of a child that was not killed
    };

    TracedSave(const CoreDocument &document, const std::string &name) {
        child = fork();
        if (child == 0) {
            if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
                _exit(1);
            raise(SIGSTOP);
            _exit(CoreDocument(document).SafeSaveFile(name) ? 0 : 1);
        }
    }

    ~TracedSave() {
        if (child > 0 && !finished) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
    }

    // Waits for the child's first stop; false when it could not be traced.
    bool Started() {
        int status = 0;
        if (child <= 0 || waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) {
            finished = true;
            return false;
        }
        const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL;
        return ptrace(PTRACE_SETOPTIONS, child, nullptr, options) == 0;
    }

    // Lets the child run up to the entry of its `count`-th system call and kills it there, before
    // the call takes effect, unless it finishes first.
    Outcome KillAtSystemCall(int count) {
        Outcome outcome{false, 0, 0};
        int entries = 0;
        int signal = 0;
        while (ptrace(PTRACE_SYSCALL, child, nullptr, signal) == 0) {
            int status = 0;
            waitpid(child, &status, 0);
            if (WIFEXITED(status) || WIFSIGNALED(status)) {
                finished = true;
                outcome.exitStatus = status;
                return outcome;
            }
            signal = WSTOPSIG(status) == (SIGTRAP | 0x80) ? 0 : WSTOPSIG(status);
            __ptrace_syscall_info call{};
            if (signal != 0 || !Read(&call) || call.op != PTRACE_SYSCALL_INFO_ENTRY)
                continue;
            if (++entries == count) {
                outcome.killed = true;
                break;
            }
            outcome.renames += IsRename(static_cast<long long>(call.entry.nr)) ? 1 : 0;
        }
        kill(child, SIGKILL);
        waitpid(child, &outcome.exitStatus, 0);
        finished = true;
        return outcome;
    }

private:
    bool Read(__ptrace_syscall_info *call) const {
        return ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof *call, call) > 0;
    }

    pid_t child = -1;
    bool finished = false;
};

} // namespace

// A process killed anywhere in the save, before each system call, leaves the old document until
// the new file is renamed into place and the new document from then on; the file it loads is
// never empty or half written.
TEST_F(XmlFaultInjectionTest, SaveKilledBeforeEverySystemCallLeavesOldOrNewDocument) {
    const CoreDocument newDocument = LargeDocument(200);
    ASSERT_GT(PrintFileForm(newDocument).size(), 2 * 4096u);
    int oldLoads = 0;
    int newLoads = 0;
    for (int count = 1;; ++count) {
        ASSERT_LT(count, 2000) << "the save never finished";
        fs::remove_all(store);
        fs::create_directory(store);
        WriteOldFile();

        TracedSave save(newDocument, name);
        if (!save.Started())
            GTEST_SKIP() << "needs ptrace to stop the save at every system call"
                         << " (not available under qemu-user)";
        const TracedSave::Outcome outcome = save.KillAtSystemCall(count);

        SCOPED_TRACE("killed before system call " + std::to_string(count) + " after " +
                     std::to_string(outcome.renames) + " renames");
        const bool newInPlace = outcome.renames >= 2 || !outcome.killed;
        CoreDocument loaded;
        ASSERT_TRUE(loaded.LoadFileWithBackup(name)) << loaded.ErrorDesc();
        EXPECT_EQ(PrintFileForm(newInPlace ? newDocument : OldDocument()), PrintFileForm(loaded));
        ++(newInPlace ? newLoads : oldLoads);
        EXPECT_TRUE(NewDocument().SafeSaveFile(name));
        EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries());
        if (!outcome.killed) {
            EXPECT_TRUE(WIFEXITED(outcome.exitStatus) && WEXITSTATUS(outcome.exitStatus) == 0) << outcome.exitStatus;
            break;
        }
    }
    EXPECT_GT(oldLoads, 3);
    EXPECT_GT(newLoads, 1);
}
