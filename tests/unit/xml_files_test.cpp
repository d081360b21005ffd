#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "xml/core_document.h"
#include "xml/document_printing.h"

namespace {

namespace fs = std::filesystem;

const std::string OLD_TEXT = "<kDVR Delta=\"0\">\n    <Memory Throttling=\"0\" />\n</kDVR>\n";

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

CoreDocument NewDocument()
{
    CoreDocument document;
    document.Parse("<kDVR Delta=\"0\"><Memory Throttling=\"1\" /></kDVR>");
    return document;
}

SaveStep stepToDieAt;

void DieAtChosenStep(SaveStep step)
{
    if (step == stepToDieAt)
        kill(getpid(), SIGKILL);
}

class XmlFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = fs::temp_directory_path() / "xml_files_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        directory = pattern;
        name = directory + "/core.xml";
        backup = name + ".bak";
        pending = name + ".pending";
    }
    void TearDown() override { fs::remove_all(directory); }

    std::set<std::string> Entries() const
    {
        std::set<std::string> entries;
        for (const fs::directory_entry& entry : fs::directory_iterator(directory))
            entries.insert(entry.path().filename());
        return entries;
    }

    std::string directory, name, backup, pending;
};

} // namespace

// Loading with a fallback to the backup of an interrupted save.
TEST_F(XmlFilesTest, LoadPrefersTheFileAndDeletesAStaleBackup)
{
    WriteFile(name, "<new/>");
    CoreDocument document;
    EXPECT_TRUE(document.LoadFileWithBackup(name));
    WriteFile(backup, "<old/>");
    EXPECT_TRUE(document.LoadFileWithBackup(name));
    EXPECT_EQ("<new />", PrintCompact(document));
    EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries());
}

TEST_F(XmlFilesTest, LoadRestoresTheBackupWhenTheFileIsMissingOrMalformed)
{
    for (const char* file : {"", "<kDVR>"}) {
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

TEST_F(XmlFilesTest, MalformedFileWithoutBackupFailsAndStaysInPlace)
{
    WriteFile(name, "<kDVR>");
    CoreDocument document;
    EXPECT_FALSE(document.LoadFileWithBackup(name));
    EXPECT_TRUE(document.Error());
    EXPECT_EQ("<kDVR>", ReadFile(name));
    EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries());
}

// Saving through the pending file and the backup.
TEST_F(XmlFilesTest, SaveReplacesTheFileAndLeavesNothingElse)
{
    WriteFile(name, OLD_TEXT);
    CoreDocument document = NewDocument();
    EXPECT_TRUE(document.SafeSaveFile(name));
    EXPECT_EQ(PrintFileForm(document), ReadFile(name));
    EXPECT_EQ(std::set<std::string>{"core.xml"}, Entries());
}

TEST_F(XmlFilesTest, SaveWhereThePendingFileCannotBeCreatedReportsErrno)
{
    WriteFile(directory + "/plain", "");
    CoreDocument document = NewDocument();
    EXPECT_FALSE(document.SafeSaveFile(directory + "/plain/core.xml"));
    EXPECT_EQ(2, document.ErrorId());
    EXPECT_STREQ("create error 20", document.ErrorDesc());
}

TEST_F(XmlFilesTest, SaveIntoAReadOnlyDirectoryKeepsTheOldFile)
{
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

TEST_F(XmlFilesTest, SaveStopsWhenTheBackupNameIsADirectory)
{
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
TEST_F(XmlFilesTest, SaveKilledAtAnyStepLeavesOldOrNewContents)
{
    const std::string newText = PrintFileForm(NewDocument());
    for (SaveStep step : {SaveStep::PendingWritten, SaveStep::OldBackupDeleted,
                          SaveStep::FileMovedToBackup, SaveStep::PendingMovedToFile}) {
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
