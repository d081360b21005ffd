#include "temporary_installation.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// A hard link where the file system allows one, else a copy with the same
// permissions.
void PlaceCore(const fs::path &core, const fs::path &target) {
    std::error_code linkError;
    fs::create_hard_link(core, target, linkError);
    if (linkError) {
        fs::copy_file(core, target);
    }
}

void LayOut(const fs::path &root, const fs::path &core, const std::vector<PluginDirectory> &directories) {
    PlaceCore(core, root / "core");
    const fs::path libraryDirectory = core.parent_path() / "lib";
    if (fs::is_directory(libraryDirectory)) {
        fs::create_directory_symlink(libraryDirectory, root / "lib");
    }
    for (const PluginDirectory &directory : directories) {
        fs::create_directory(root / directory.name);
        for (const std::string &file : directory.files) {
            fs::create_symlink(file, root / directory.name / fs::path(file).filename());
        }
    }
}

} // namespace

std::unique_ptr<TemporaryInstallation> TemporaryInstallation::Create(const std::string &corePath,
                                                                     const std::vector<PluginDirectory> &directories,
                                                                     std::string &error) {
    try {
        std::string pattern = (fs::temp_directory_path() / "dvrcore-standin-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            error = "cannot create a temporary directory for the core: " + pattern;
            return nullptr;
        }
        std::unique_ptr<TemporaryInstallation> installation(new TemporaryInstallation(pattern));
        LayOut(pattern, fs::canonical(corePath), directories);
        return installation;
    } catch (const fs::filesystem_error &failure) {
        error = failure.what();
        return nullptr;
    }
}

TemporaryInstallation::~TemporaryInstallation() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

std::string TemporaryInstallation::CorePath() const { return (fs::path(root) / "core").string(); }
