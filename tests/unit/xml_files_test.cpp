#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temporary_directory.h"
#include "xml/core_document.h"
#include "xml/document_printing.h"
#include "xml/safe_save.h"

namespace {

namespace fs = std::filesystem;

const std::string OLD_TEXT = "<kDVR Delta=\"0\">\n    <Memory Throttling=\"0\" />\n</kDVR>\n";

void WriteFile(const std::string &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

CoreDocument NewDocument() {
    CoreDocument document;
    document.Parse("<kDVR Delta=\"0\"><Memory Throttling=\"1\" /></kDVR>");
    return document;
}

SaveStep stepToDieAt;

void DieAtChosenStep(SaveStep step) {
    if (step == stepToDieAt)
        kill(getpid(), SIGKILL);
}

// The exit code of `body` run in a child process, or nothing when the child did not return from
// it within 20 seconds (it waited, crashed, or threw): a load that waits for ever on a FIFO or
// allocates a terabyte fails the test instead of hanging or ending it.
std::optional<int> ExitCodeInChild(const std::function<int()> &body) {
    constexpr int THROWN = 255;
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);
        try {
            _exit(body());
        } catch (...) {
            _exit(THROWN);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) == THROWN)
        return std::nullopt;
    return WEXITSTATUS(status);
}

// What a file name can hold besides a usable file.
enum class Unusable { Fifo, Directory, SparseTerabyte, OneByteOverTheLimit };

void MakeUnusable(const std::string &path, Unusable kind) {
    switch (kind) {
    case Unusable::Fifo:
        ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
        break;
    case Unusable::Directory:
        fs::create_directory(path);
        break;
    case Unusable::SparseTerabyte:
    case Unusable::OneByteOverTheLimit: {
        // 64 bits also where off_t has 32 (a 32-bit build without large-file support).
        const off64_t size = kind == Unusable::SparseTerabyte ? off64_t{1} << 40
                                                              : static_cast<off64_t>(CoreDocument::MAX_FILE_BYTES + 1);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_LARGEFILE, 0600);
        ASSERT_LE(0, fd);
        EXPECT_EQ(0, ftruncate64(fd, size));
        close(fd);
        break;
    }
    }
}

const Unusable ALL_UNUSABLE[] = {Unusable::Fifo, Unusable::Directory, Unusable::SparseTerabyte,
                                 Unusable::OneByteOverTheLimit};

class XmlFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory = temporary.Root();
        name = directory + "/core.xml";
        backup = name + ".bak";
        pending = name + ".pending";
    }

    std::set<std::string> Entries() const {
        std::set<std::string> entries;
        for (const fs::directory_entry &entry : fs::directory_iterator(directory))
            entries.insert(entry.path().filename());
        return entries;
    }

    testsupport::TemporaryDirectory temporary{"xml_files"};
    std::string directory, name, backup, pending;
};

} // namespace

// Loading with a fallback to the backup of an interrupted save.
TEST_F(XmlFilesTest, LoadPrefersTheFileAndDeletesAStaleBackup) {
    WriteFile(name, "<new/>");
    CoreDocument document;
    EXPECT_TRUE(document.LoadFileWithBackup(name));
    WriteFile(backup, "<old/>");
    EXPECT_TRUE(document.LoadFileWithBackup(name));
    EXPECT_EQ("<new />", PrintCompact(document));
    EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries());
}

TEST_F(XmlFilesTest, LoadRestoresTheBackupWhenTheFileIsMissingOrMalformed) {
    for (const char *file : {"", "<kDVR>"}) {
        if (*file != '\0')
            WriteFile(name, file);
        WriteFile(backup, "<old/>");
        CoreDocument document;
        EXPECT_TRUE(document.LoadFileWithBackup(name)) << file;
        EXPECT_EQ("<old />", PrintCompact(document));
        EXPECT_EQ("<old/>", ReadFile(name));
        EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries());
    }
}

TEST_F(XmlFilesTest, MalformedFileWithoutBackupFailsAndStaysInPlace) {
    WriteFile(name, "<kDVR>");
    CoreDocument document;
    EXPECT_FALSE(document.LoadFileWithBackup(name));
    EXPECT_TRUE(document.Error());
    EXPECT_EQ("<kDVR>", ReadFile(name));
    EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries());
}

TEST_F(XmlFilesTest, OnlyRegularFilesWithinTheLimitAreReadAndTheBackupStandsIn) {
    for (const Unusable kind : ALL_UNUSABLE) {
        const int kindNumber = static_cast<int>(kind);
        MakeUnusable(name, kind);
        EXPECT_EQ(TiXmlBase::TIXML_ERROR_OPENING_FILE, ExitCodeInChild([&] {
                      CoreDocument document;
                      return document.LoadFile(name) ? 0 : document.ErrorId();
                  }))
            << kindNumber;
        WriteFile(backup, "<old/>");
        EXPECT_EQ(0, ExitCodeInChild([&] {
                      CoreDocument document;
                      return document.LoadFileWithBackup(name) && PrintCompact(document) == "<old />" ? 0 : 1;
                  }))
            << kindNumber;
        fs::remove_all(name);
        fs::remove_all(backup);
    }
}

TEST_F(XmlFilesTest, FileAtTheLimitIsRead) {
    std::string text = "<kDVR/>";
    text.resize(CoreDocument::MAX_FILE_BYTES, ' ');
    WriteFile(name, text);
    CoreDocument document;
    EXPECT_TRUE(document.LoadFile(name));
    EXPECT_EQ("<kDVR />", PrintCompact(document));
}

// Loading files the core only reads: nothing is deleted or renamed.
TEST_F(XmlFilesTest, LoadOrBackupTakesTheFileOrElseTheBackupAndChangesNeither) {
    struct Case {
        std::optional<std::string> file;
        const char *loaded;
    };
    for (const Case &each : {Case{"<new/>", "<new />"}, Case{"<kDVR>", "<old />"}, Case{std::nullopt, "<old />"}}) {
        if (each.file)
            WriteFile(name, *each.file);
        WriteFile(backup, "<old/>");
        CoreDocument document;
        EXPECT_TRUE(document.LoadFileOrBackup(name)) << each.loaded;
        EXPECT_EQ(each.loaded, PrintCompact(document));
        EXPECT_EQ(each.file.value_or(""), ReadFile(name));
        EXPECT_EQ(each.file.has_value(), fs::exists(name));
        EXPECT_EQ("<old/>", ReadFile(backup));
        fs::remove(name);
        fs::remove(backup);
    }
}

// Saving through the pending file and the backup.
TEST_F(XmlFilesTest, SaveReplacesTheFileAndLeavesNothingElse) {
    WriteFile(name, OLD_TEXT);
    CoreDocument document = NewDocument();
    EXPECT_TRUE(document.SafeSaveFile(name));
    EXPECT_EQ(PrintFileForm(document), ReadFile(name));
    EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries());
}

TEST_F(XmlFilesTest, SaveWhereThePendingFileCannotBeCreatedReportsErrno) {
    WriteFile(directory + "/plain", "");
    CoreDocument document = NewDocument();
    EXPECT_FALSE(document.SafeSaveFile(directory + "/plain/core.xml"));
    EXPECT_EQ(2, document.ErrorId());
    EXPECT_STREQ("create error 20", document.ErrorDesc());
}

// A link at any of the names the save uses is replaced, never written through.
TEST_F(XmlFilesTest, SaveNeverWritesThroughALink) {
    const std::string target = directory + "/target";
    for (const std::string &linked : {pending, name, backup}) {
        WriteFile(target, "precious");
        fs::create_symlink(target, linked);
        CoreDocument document = NewDocument();
        EXPECT_TRUE(document.SafeSaveFile(name)) << linked;
        EXPECT_EQ("precious", ReadFile(target)) << linked;
        EXPECT_FALSE(fs::is_symlink(name)) << linked;
        EXPECT_EQ(PrintFileForm(document), ReadFile(name)) << linked;
        EXPECT_EQ((std::set<std::string>{"core.xml", "target"}), Entries()) << linked;
        fs::remove(name);
    }
}

TEST_F(XmlFilesTest, PendingFileIsCreatedAnewForTheOwnerOnly) {
    WriteFile(pending, "stale and longer than the new text, which must not keep its tail");
    chmod(pending.c_str(), 0666);
    EXPECT_EQ("", WritePendingFile(pending, "new"));
    EXPECT_EQ("new", ReadFile(pending));
    struct stat status {};
    ASSERT_EQ(0, lstat(pending.c_str(), &status));
    EXPECT_EQ(0600u, status.st_mode & 07777);
}

// The save of the modules report: a pending file and one rename, no backup.
TEST_F(XmlFilesTest, SaveByRenameReplacesTheFileOrLeavesItAsItWas) {
    const std::string target = directory + "/target";
    WriteFile(target, "precious");
    fs::create_symlink(target, name);
    fs::create_symlink(target, pending);
    EXPECT_TRUE(SaveByRename(name, "report"));
    EXPECT_EQ("report", ReadFile(name));
    EXPECT_EQ("precious", ReadFile(target));
    EXPECT_EQ((std::set<std::string>{"core.xml", "target"}), Entries());

    fs::remove(name);
    fs::create_directory(name);
    WriteFile(name + "/keep", "");
    EXPECT_FALSE(SaveByRename(name, "report"));
    EXPECT_TRUE(fs::is_directory(name));
    EXPECT_EQ((std::set<std::string>{"core.xml", "target"}), Entries());
}

TEST_F(XmlFilesTest, SaveIntoAReadOnlyDirectoryKeepsTheOldFile) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root may write into a read-only directory";
    WriteFile(name, OLD_TEXT);
    chmod(directory.c_str(), 0555);
    CoreDocument document = NewDocument();
    EXPECT_FALSE(document.SafeSaveFile(name));
    chmod(directory.c_str(), 0700);
    EXPECT_EQ(2, document.ErrorId());
    EXPECT_STREQ("create error 13", document.ErrorDesc());
    EXPECT_EQ(OLD_TEXT, ReadFile(name));
}

TEST_F(XmlFilesTest, SaveStopsWhenTheBackupNameIsADirectory) {
    WriteFile(name, OLD_TEXT);
    fs::create_directory(backup);
    WriteFile(backup + "/keep", "");
    CoreDocument document = NewDocument();
    EXPECT_FALSE(document.SafeSaveFile(name));
    EXPECT_EQ(2, document.ErrorId());
    EXPECT_STREQ("xml file swap failed", document.ErrorDesc());
    EXPECT_EQ(OLD_TEXT, ReadFile(name));
    EXPECT_EQ((std::set<std::string>{"core.xml", "core.xml.bak"}), Entries());
}

// A save killed at any step leaves the old or the new contents for the next load, and the next
// save cleans up what it left.
TEST_F(XmlFilesTest, SaveKilledAtAnyStepLeavesOldOrNewContents) {
    const std::string newText = PrintFileForm(NewDocument());
    for (SaveStep step : {SaveStep::PendingWritten, SaveStep::OldBackupDeleted, SaveStep::FileMovedToBackup,
                          SaveStep::PendingMovedToFile}) {
        const int stepNumber = static_cast<int>(step);
        WriteFile(name, OLD_TEXT);
        stepToDieAt = step;
        const pid_t child = fork();
        ASSERT_NE(-1, child);
        if (child == 0) {
            NewDocument().SafeSaveFile(name, DieAtChosenStep);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status)) << stepNumber;

        CoreDocument loaded;
        EXPECT_TRUE(loaded.LoadFileWithBackup(name)) << stepNumber;
        const bool swapped = step == SaveStep::PendingMovedToFile;
        EXPECT_EQ(swapped ? newText : OLD_TEXT, PrintFileForm(loaded)) << stepNumber;
        EXPECT_TRUE(NewDocument().SafeSaveFile(name)) << stepNumber;
        EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries()) << stepNumber;
    }
}
