#include "monitor_view.h"

#include <cstdio>
#include <cstring>

#include "packet_text.h"
#include "tools/bus-monitor/bus_monitor_packet.h"

namespace {

// The summary and the bytes it shows, which follow it.
bool ReadSummary(const uint8_t *packet, std::size_t length, BusMonitorSummary &summary, const uint8_t *&shown) {
    IpcHeader header;
    if (length < sizeof header + sizeof summary) {
        return false;
    }
    std::memcpy(&header, packet, sizeof header);
    if (header.PacketType != BUS_MONITOR_PACKET_TYPE || header.PacketLength != length) {
        return false;
    }
    std::memcpy(&summary, packet + sizeof header, sizeof summary);
    shown = packet + sizeof header + sizeof summary;
    return summary.ShownLength == length - sizeof header - sizeof summary;
}

} // namespace

bool MonitorView::Describe(const uint8_t *packet, std::size_t length, std::vector<std::string> &lines) {
    BusMonitorSummary summary;
    const uint8_t *shown = nullptr;
    if (!ReadSummary(packet, length, summary, shown)) {
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
        std::snprintf(text, sizeof text, "%s (0x%08X) class 0x%08X type 0x%08X", plugins.NameOf(summary.Source).c_str(),
                      static_cast<unsigned>(summary.Source), static_cast<unsigned>(summary.EventClass),
                      static_cast<unsigned>(summary.EventType));
        line += text;
        if (summary.JobTag != 0) {
            line += " tag " + std::to_string(summary.JobTag);
        }
    }
    line += " length " + std::to_string(summary.DataLength);
    if (summary.ShownLength != 0) {
        line += ": \"" + EscapedBytes(shown, summary.ShownLength) +
                (summary.ShownLength < summary.DataLength ? "\" ..." : "\"");
    }
    lines.push_back(line);
    return true;
}
