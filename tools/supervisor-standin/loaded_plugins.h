#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

// The plugins the core loaded, read from the modules report "plugins.xml"
// in the working directory, which the core shares with this program and
// writes once its plugins are open, before it delivers any event. A report
// already there when the stand-in starts is an earlier run's: the core
// replaces the file (a new file renamed over it), and only then is the
// report this run's.
class LoadedPlugins {
public:
    // Notes the report as it is now, so that an earlier run's is told apart.
    explicit LoadedPlugins(std::string reportPath = "plugins.xml");

    // Whether this run's report has been written; reads it when it changed.
    bool ReportWritten();

    // The plugin loaded from this file name ("x.so", or "x" for "x.so").
    std::optional<uint32_t> IdOf(const std::string &library);
    // Whether a plugin takes packets to this address: its ID bits 16-27 are
    // the address's bits 20-31.
    bool AnyAddressedBy(uint32_t address);
    // The file name of the plugin with this ID ("core" for the core's), from
    // whichever report is there, or "?".
    std::string NameOf(uint32_t id);

private:
    struct Stamp {
        bool exists = false;
        std::filesystem::file_time_type written{};
        uintmax_t inode = 0;
        bool operator==(const Stamp &other) const {
            return exists == other.exists && written == other.written && inode == other.inode;
        }
    };
    Stamp Current() const;
    void Refresh();

    const std::string reportPath;
    const Stamp earlierRun;
    Stamp lastRead;
    std::map<uint32_t, std::string> names; // loaded plugins and the core, by ID
};

// The address at which a plugin with this ID takes supervisor packets.
constexpr uint32_t AddressOfId(uint32_t id) { return ((id >> 16) & 0xFFFu) << 20; }
