// LoadFileWithBackup over arbitrary file and backup contents. Each content is first loaded alone
// with LoadFile from a separate directory, which tells whether the library takes it and what tree
// it gives. Then: a file that loads wins, and its backup is deleted; otherwise a backup that loads
// wins and becomes the file; otherwise the load fails and both stay as they were. A successful
// load holds exactly the winner's tree, even in a document that held another one before, and
// nothing but the file is left behind.
//
// Input, as FuzzedDataProvider reads it: the last byte is a set of flags (bit 0: the file exists;
// bit 1: the backup exists; bit 2: the document holds a tree before the load); from the front,
// the file's contents up to a backslash followed by another byte (two backslashes stand for one),
// then the backup's contents.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>

#include "fuzz/fuzz_check.h"
#include "xml/core_document.h"
#include "xml/document_printing.h"

namespace {

namespace fs = std::filesystem;

// The files of one process's runs: "store" holds the file and its backup, "probe" the single
// files loaded to learn what the library makes of a content.
class Workspace {
public:
    Workspace() {
        std::string pattern = BaseDirectory() / "xml_load_fuzz_XXXXXX";
        Require(mkdtemp(pattern.data()) != nullptr, "no temporary directory");
        root = pattern;
        fs::create_directory(Store());
        fs::create_directory(root / "probe");
    }
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path Store() const { return root / "store"; }
    fs::path Probe() const { return root / "probe" / "core.xml"; }

    void EmptyStore() const {
        for (const fs::directory_entry &entry : fs::directory_iterator(Store()))
            fs::remove_all(entry.path());
    }

    std::set<std::string> StoreEntries() const {
        std::set<std::string> entries;
        for (const fs::directory_entry &entry : fs::directory_iterator(Store()))
            entries.insert(entry.path().filename());
        return entries;
    }

private:
    // Memory when there is a place for files there: on a disk, replacing files makes the file
    // system write them out at once, and every run would wait for the device.
    static fs::path BaseDirectory() {
        std::error_code error;
        const fs::path memory = "/dev/shm";
        return fs::is_directory(memory, error) ? memory : fs::temp_directory_path();
    }

    fs::path root;
};

void WriteFile(const fs::path &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

std::string ReadFile(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// What the library makes of one content on its own: the tree, or nothing when it does not load.
std::optional<std::string> TreeOf(const Workspace &workspace, const std::optional<std::string> &content) {
    if (!content)
        return std::nullopt;
    WriteFile(workspace.Probe(), *content);
    CoreDocument document;
    if (!document.LoadFile(workspace.Probe().string()))
        return std::nullopt;
    return PrintCompact(document);
}

void CheckLoadedFrom(const CoreDocument &document, const std::string &tree, const Workspace &workspace,
                     const fs::path &name, const std::string &content) {
    Require(!document.Error(), "a successful load with an error recorded");
    Require(PrintCompact(document) == tree, "a tree other than the winning file's");
    Require(workspace.StoreEntries() == std::set<std::string>{"core.xml"}, "files other than the loaded one left");
    Require(ReadFile(name) == content, "the file does not hold the loaded contents");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    static const Workspace workspace;
    FuzzedDataProvider input(data, size);
    const uint8_t flags = input.ConsumeIntegral<uint8_t>();
    const std::string fileText = input.ConsumeRandomLengthString();
    const std::string backupText = input.ConsumeRemainingBytesAsString();
    const auto file = (flags & 1) ? std::optional(fileText) : std::nullopt;
    const auto backup = (flags & 2) ? std::optional(backupText) : std::nullopt;

    const std::optional<std::string> fileTree = TreeOf(workspace, file);
    const std::optional<std::string> backupTree = TreeOf(workspace, backup);
    workspace.EmptyStore();
    const fs::path name = workspace.Store() / "core.xml";
    const fs::path backupName = workspace.Store() / "core.xml.bak";
    if (file)
        WriteFile(name, *file);
    if (backup)
        WriteFile(backupName, *backup);
    const std::set<std::string> entriesBefore = workspace.StoreEntries();

    CoreDocument document;
    if (flags & 4)
        document.Parse("<held before=\"1\"><child /></held>");
    const bool loaded = document.LoadFileWithBackup(name.string());

    if (fileTree) {
        Require(loaded, "a file that loads on its own refused");
        CheckLoadedFrom(document, *fileTree, workspace, name, *file);
    } else if (backupTree) {
        Require(loaded, "a backup that loads on its own refused");
        CheckLoadedFrom(document, *backupTree, workspace, name, *backup);
    } else {
        Require(!loaded, "a load succeeded with neither file loading on its own");
        Require(workspace.StoreEntries() == entriesBefore, "files changed by a failed load");
        Require(!file || ReadFile(name) == *file, "the file changed by a failed load");
        Require(!backup || ReadFile(backupName) == *backup, "the backup changed by a failed load");
    }
    return 0;
}
