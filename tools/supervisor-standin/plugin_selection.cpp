#include "plugin_selection.h"

#include <filesystem>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const char *const PLUGINS = "plugins";
const char *const PROTECTED_PLUGINS = "protected-plugins";

bool EndsWithPluginExtension(const std::string &name) {
    static const std::string EXTENSION = ".so";
    return name.size() > EXTENSION.size() &&
           name.compare(name.size() - EXTENSION.size(), EXTENSION.size(), EXTENSION) == 0;
}

// A directory stands for its entries whose names end in ".so": the core then
// applies its own rules to the links. A file stands for itself.
std::vector<fs::path> PluginFilesIn(const fs::path &source) {
    if (!fs::is_directory(source)) {
        return {source};
    }
    std::vector<fs::path> found;
    for (const fs::directory_entry &entry : fs::directory_iterator(source)) {
        if (EndsWithPluginExtension(entry.path().filename().string())) {
            found.push_back(entry.path());
        }
    }
    return found;
}

bool AddFiles(const std::vector<fs::path> &files, PluginDirectory &directory, std::string &error) {
    std::set<std::string> names;
    for (const std::string &file : directory.files) {
        names.insert(fs::path(file).filename().string());
    }
    for (const fs::path &file : files) {
        if (!names.insert(file.filename().string()).second) {
            error = "two plugins named " + file.filename().string() + " for one plugin directory";
            return false;
        }
        directory.files.push_back(fs::absolute(file).string());
    }
    return true;
}

bool AddSource(const fs::path &source, PluginDirectory &directory, std::string &error) {
    if (!fs::exists(source)) {
        error = "no such plugin file or directory: " + source.string();
        return false;
    }
    return AddFiles(PluginFilesIn(source), directory, error);
}

} // namespace

std::string BusMonitorPluginPath() {
    std::error_code failure;
    const fs::path program = fs::read_symlink("/proc/self/exe", failure);
    return (program.parent_path() / ".." / "lib" / "dvrplugin" / "monitor" / "bus_monitor.so")
        .lexically_normal()
        .string();
}

bool PlanPluginDirectories(const StandinOptions &options, std::vector<PluginDirectory> &directories,
                           std::string &error) {
    try {
        PluginDirectory plugins{PLUGINS, {}};
        PluginDirectory protectedPlugins{PROTECTED_PLUGINS, {}};
        const fs::path home = fs::canonical(options.corePath).parent_path();
        for (const std::string &source : options.pluginSources) {
            if (!AddSource(source, plugins, error)) {
                return false;
            }
        }
        if (options.pluginSources.empty()) {
            for (PluginDirectory *directory : {&plugins, &protectedPlugins}) {
                if (fs::is_directory(home / directory->name) && !AddSource(home / directory->name, *directory, error)) {
                    return false;
                }
            }
        }
        if (options.monitor && !AddSource(BusMonitorPluginPath(), plugins, error)) {
            error = "the bus monitor plugin is missing: " + error;
            return false;
        }
        directories = {plugins, protectedPlugins};
        return true;
    } catch (const fs::filesystem_error &failure) {
        error = failure.what();
        return false;
    }
}
