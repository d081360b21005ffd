#include "monitor_view.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <system_error>

#include "packet_text.h"
#include "tools/bus-monitor/bus_monitor_packet.h"

namespace {

const char *const MODULES_REPORT = "plugins.xml";

bool ReadSummary(const uint8_t *packet, std::size_t length, BusMonitorSummary &summary) {
    IpcHeader header;
    if (length != sizeof header + sizeof summary) {
        return false;
    }
    std::memcpy(&header, packet, sizeof header);
    if (header.PacketType != BUS_MONITOR_PACKET_TYPE || header.PacketLength != length) {
        return false;
    }
    std::memcpy(&summary, packet + sizeof header, sizeof summary);
    return summary.ShownLength <= BUS_MONITOR_SHOWN_BYTES;
}

} // namespace

bool MonitorView::Describe(const uint8_t *packet, std::size_t length, std::vector<std::string> &lines) {
    BusMonitorSummary summary;
    if (!ReadSummary(packet, length, summary)) {
        return false;
    }
    char text[160];
    lines.clear();
    if (summary.Skipped != 0) {
        std::snprintf(text, sizeof text, "bus: %u events left out (rate limit)",
                      static_cast<unsigned>(summary.Skipped));
        lines.push_back(text);
    }
    std::string line = "bus: ";
    if (summary.Via == BUS_MONITOR_VIA_UPDATE_CONFIG) {
        line += "configuration document (IOCTL)";
    } else {
        std::snprintf(text, sizeof text, "%s (0x%08X) class 0x%08X type 0x%08X", SourceName(summary.Source).c_str(),
                      static_cast<unsigned>(summary.Source), static_cast<unsigned>(summary.EventClass),
                      static_cast<unsigned>(summary.EventType));
        line += text;
        if (summary.JobTag != 0) {
            line += " tag " + std::to_string(summary.JobTag);
        }
    }
    line += " length " + std::to_string(summary.DataLength);
    if (summary.ShownLength != 0) {
        line += ": \"" + EscapedBytes(summary.Shown, summary.ShownLength) +
                (summary.ShownLength < summary.DataLength ? "\" ..." : "\"");
    }
    lines.push_back(line);
    return true;
}

std::string MonitorView::SourceName(uint32_t id) {
    if (names.count(id) == 0) {
        RefreshNames();
    }
    const auto known = names.find(id);
    return known != names.end() ? known->second : "?";
}

// The report lists each loaded plugin as <Plugin ID="signed decimal"
// Filename="..." .../>; refused libraries follow, numbered from 1, and must
// not hide a loaded plugin with such an ID.
void MonitorView::RefreshNames() {
    std::error_code failure;
    const auto written = std::filesystem::last_write_time(MODULES_REPORT, failure);
    if (failure || written == reportWritten) {
        return;
    }
    reportWritten = written;
    std::ifstream file(MODULES_REPORT, std::ios::binary);
    const std::string report((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    static const std::regex PLUGIN("<Plugin ID=\"(-?[0-9]+)\" Filename=\"([^\"]*)\"");
    names.clear();
    for (std::sregex_iterator match(report.begin(), report.end(), PLUGIN), end; match != end; ++match) {
        const auto id = static_cast<uint32_t>(std::strtoll((*match)[1].str().c_str(), nullptr, 10));
        names.emplace(id, (*match)[2].str());
    }
}
