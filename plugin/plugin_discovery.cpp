#include "plugin_discovery.h"

#include <algorithm>

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace {

bool HasPluginExtension(const std::string &fileName) {
    const auto dot = fileName.rfind('.');
    return dot != std::string::npos && fileName.compare(dot, std::string::npos, ".so") == 0;
}

bool IsLoadedFirst(const std::string &path) { return path.find("tDVRpi") != std::string::npos; }

// ASCII only, whatever locale the process or a plugin has set: module names
// must not depend on it.
char LowerCaseByte(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

std::vector<std::string> FindPluginLibraries(const std::string &directory) {
    std::vector<std::string> found;
    boost::system::error_code error;
    fs::directory_iterator entry(directory, error);
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        boost::system::error_code statusError;
        const auto status = fs::status(entry->path(), statusError);
        if (!statusError && fs::is_regular_file(status) && HasPluginExtension(entry->path().filename().string())) {
            found.push_back(entry->path().string());
        }
    }
    return found;
}

void SortInLoadingOrder(std::vector<std::string> &paths) {
    std::stable_sort(paths.begin(), paths.end(), [](const std::string &a, const std::string &b) {
        if (IsLoadedFirst(a) != IsLoadedFirst(b)) {
            return IsLoadedFirst(a);
        }
        return fs::path(a).compare(fs::path(b)) < 0;
    });
}

std::string ModuleName(const std::string &fileName) {
    std::string name = fileName.substr(0, fileName.rfind('.'));
    std::transform(name.begin(), name.end(), name.begin(), LowerCaseByte);
    return name;
}
