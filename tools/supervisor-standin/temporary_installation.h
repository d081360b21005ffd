#pragma once

#include <memory>
#include <string>
#include <vector>

// A plugin directory of an installation ("plugins" or "protected-plugins")
// and the plugin files it is to hold, by absolute path.
struct PluginDirectory {
    std::string name;
    std::vector<std::string> files;
};

// A temporary directory laid out as an installation of the core, so that the
// core runs with chosen plugins and no file is copied into a real
// installation: a copy of the core executable (the core finds its plugins
// beside its own resolved path, so a link to it would not do), a link to
// the core's library directory when it has one, and plugin directories of
// links to the chosen files. Removed with everything in it when destroyed.
class TemporaryInstallation {
public:
    // Returns null and says why in `error` when the directory cannot be laid out.
    static std::unique_ptr<TemporaryInstallation>
    Create(const std::string &corePath, const std::vector<PluginDirectory> &directories, std::string &error);
    ~TemporaryInstallation();
    TemporaryInstallation(const TemporaryInstallation &) = delete;
    TemporaryInstallation &operator=(const TemporaryInstallation &) = delete;

    const std::string &Root() const { return root; }
    std::string CorePath() const;

private:
    explicit TemporaryInstallation(std::string root) : root(std::move(root)) {}

    std::string root;
};
