#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// The bus monitor plugin's summaries as lines: when a delivered event came,
// from which plugin, of which class and type, how long, and its first bytes.
// Plugins are named by their file names from the modules report
// "plugins.xml" in the working directory, which the core shares with this
// program and writes before it delivers any event.
class MonitorView {
public:
    // Whether the packet is a bus monitor summary; if so, its lines (the
    // events the rate limit left out before it, then the event) in `lines`.
    bool Describe(const uint8_t *packet, std::size_t length, std::vector<std::string> &lines);

private:
    std::string SourceName(uint32_t id);
    // Reads the report again when it changed since it was last read.
    void RefreshNames();

    std::map<uint32_t, std::string> names;
    std::filesystem::file_time_type reportWritten{};
};
