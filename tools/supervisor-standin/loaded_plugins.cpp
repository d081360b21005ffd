#include "loaded_plugins.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <system_error>

#include <sys/stat.h>

namespace {

// Libraries the loader refused are listed after the plugins, numbered from
// 1 in place of an ID with OpenCode 79, and again as a Module of their own.
constexpr const char *REFUSED_OPEN_CODE = "79";
// The report lists the core itself first; it takes no packets.
constexpr uint32_t CORE_ID = 0x80000000u;

std::string WithoutExtension(const std::string &name) {
    const std::string extension = ".so";
    return name.size() > extension.size() &&
                   name.compare(name.size() - extension.size(), extension.size(), extension) == 0
               ? name.substr(0, name.size() - extension.size())
               : name;
}

} // namespace

LoadedPlugins::LoadedPlugins(std::string reportPath) : reportPath(std::move(reportPath)), earlierRun(Current()) {}

LoadedPlugins::Stamp LoadedPlugins::Current() const {
    Stamp stamp;
    struct stat status {};
    std::error_code failure;
    if (stat(reportPath.c_str(), &status) != 0) {
        return stamp;
    }
    stamp.written = std::filesystem::last_write_time(reportPath, failure);
    stamp.inode = status.st_ino;
    stamp.exists = !failure;
    return stamp;
}

bool LoadedPlugins::ReportWritten() {
    Refresh();
    return lastRead.exists && !(lastRead == earlierRun);
}

// The report lists each plugin as <Plugin ID="signed decimal" Filename="..."
// Opened=".." LoadTimeMs=".." OpenTimeMs=".." OpenCode=".." />.
void LoadedPlugins::Refresh() {
    const Stamp now = Current();
    if (now == lastRead) {
        return;
    }
    lastRead = now;
    std::ifstream file(reportPath, std::ios::binary);
    const std::string report((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    static const std::regex PLUGIN("<Plugin ID=\"(-?[0-9]+)\" Filename=\"([^\"]*)\"[^>]* OpenCode=\"(-?[0-9]+)\"");
    static const std::regex REFUSED("<Module ID=\"[0-9]+\" Name=\"([^\"]*)\"");
    std::set<std::string> refused;
    for (std::sregex_iterator match(report.begin(), report.end(), REFUSED), end; match != end; ++match) {
        refused.insert((*match)[1].str());
    }
    names.clear();
    for (std::sregex_iterator match(report.begin(), report.end(), PLUGIN), end; match != end; ++match) {
        const std::string fileName = (*match)[2].str();
        if ((*match)[3].str() == REFUSED_OPEN_CODE && refused.count(fileName) != 0) {
            continue;
        }
        const auto id = static_cast<uint32_t>(std::strtoll((*match)[1].str().c_str(), nullptr, 10));
        names.emplace(id, fileName);
    }
}

std::optional<uint32_t> LoadedPlugins::IdOf(const std::string &library) {
    Refresh();
    for (const auto &[id, fileName] : names) {
        if (id != CORE_ID && (fileName == library || WithoutExtension(fileName) == library)) {
            return id;
        }
    }
    return std::nullopt;
}

bool LoadedPlugins::AnyAddressedBy(uint32_t address) {
    Refresh();
    for (const auto &entry : names) {
        if (entry.first != CORE_ID && AddressOfId(entry.first) == (address & 0xFFF00000u)) {
            return true;
        }
    }
    return false;
}

std::string LoadedPlugins::NameOf(uint32_t id) {
    if (names.count(id) == 0) {
        Refresh();
    }
    const auto known = names.find(id);
    return known != names.end() ? known->second : "?";
}
