#include "inspection_report.h"

#include <cinttypes>

#include <boost/filesystem/path.hpp>

#include "mask_description.h"
#include "plugin/plugin_discovery.h"
#include "plugin_set.h"
#include "refusal_checks.h"
#include "tools/bus-monitor/bus_monitor_packet.h"

namespace {

constexpr int CLOSING_ORDER_MASK = 5;
constexpr std::size_t SHOWN_LOG_LINES = 10;
constexpr uint32_t ADDRESS_BITS = 0x0FFF0000u; // the ID bits that make the address

void PrintIdentity(const PluginFacts &facts, std::FILE *out) {
    const std::string fileName = boost::filesystem::path(facts.path).filename().string();
    std::fprintf(out, "  Module name    %s\n", ModuleName(fileName).c_str());
    // The modules report writes IDs as signed 32-bit decimals.
    std::fprintf(out, "  ID             0x%08" PRIX32 " (in plugins.xml: %" PRId32 ")\n", facts.info.ID,
                 static_cast<int32_t>(facts.info.ID));
}

// Which supervisor packets reach the plugin, and IDs that trouble that.
void PrintAddress(const PluginFacts &facts, std::FILE *out) {
    const uint32_t id = facts.info.ID;
    std::fprintf(out, "  Address        0x%08" PRIX32 ": supervisor packets to it reach its IOCTL%s\n",
                 SupervisorAddressOf(id), facts.Exports(ENTRY_IOCTL) ? "" : " (it exports none: they are dropped)");
    if ((id & ADDRESS_BITS) == 0) {
        std::fprintf(out, "  Warning        its ID bits 16-27 are zero: every plugin with such an ID shares address "
                          "0x00000000, and only the first in loading order gets its packets\n");
    }
    if (id == BUS_MONITOR_ID) {
        std::fprintf(out, "  Warning        its ID is the bus monitor's (supervisor-standin --monitor): in a monitored "
                          "run the core refuses one of the two\n");
    } else if ((id & ADDRESS_BITS) == (BUS_MONITOR_ID & ADDRESS_BITS)) {
        std::fprintf(out, "  Warning        its address is the bus monitor's (supervisor-standin --monitor): in a "
                          "monitored run one of the two gets no packets\n");
    }
}

void PrintEntries(const PluginFacts &facts, std::FILE *out) {
    if (!facts.entriesKnown) {
        std::fprintf(out, "  Entry points   unknown: the file has no symbol table\n");
        return;
    }
    std::fprintf(out, "  Entry points  ");
    for (const std::string &entry : facts.entries) {
        std::fprintf(out, " %s", entry.c_str());
    }
    std::fprintf(out, "%s\n", facts.entries.empty() ? " none" : "");
    for (const auto &[entry, cxxName] : facts.cxxEntries) {
        std::fprintf(out, "  Note           exports %s only under the C++ name %s, which the core never looks up\n",
                     entry.c_str(), cxxName.c_str());
    }
}

void PrintFlags(const _LoadParmsOut &info, std::FILE *out) {
    std::fprintf(out, "  Worker thread  %s\n", info.WorkerThread != 0 ? "yes: IOCTL WORKER_THREAD from Load on" : "no");
    std::fprintf(out, "  Read events    %s\n",
                 info.ReadEvents != 0 ? "yes: a reader thread, and jobs its masks take" : "no");
    std::fprintf(out, "  Write events   %s\n", info.WriteEvents != 0 ? "yes: events its masks take reach Write" : "no");
}

void PrintMasks(const _LoadParmsOut &info, std::FILE *out) {
    bool any = false;
    for (int index = 0; index < EVENT_MASK_COUNT; ++index) {
        const uint32_t value = info.EventMasks[index];
        if (value == 0) {
            continue;
        }
        if (!any) {
            std::fprintf(out, "  Event masks\n");
            any = true;
        }
        const uint32_t classBits = ClassBitsSelecting(index);
        const std::string names = ClassBitNames(classBits);
        std::fprintf(out, "    mask %d = 0x%08" PRIX32 ", selected by class bit 0x%08" PRIX32 "%s%s%s\n", index, value,
                     classBits, names.empty() ? "" : " (", names.c_str(), names.empty() ? "" : ")");
        for (const std::string &note : MaskNotes(index, value)) {
            std::fprintf(out, "        %s\n", note.c_str());
        }
        if (index == CLOSING_ORDER_MASK) {
            std::fprintf(out, "        is also the closing order key: larger values are closed first\n");
        }
    }
    if (!any) {
        std::fprintf(out, "  Event masks    none set\n");
    }
}

// Flags the entries cannot serve: the core skips what is not exported.
void PrintMismatches(const PluginFacts &facts, std::FILE *out) {
    const _LoadParmsOut &info = facts.info;
    if (info.WorkerThread != 0 && !facts.Exports(ENTRY_IOCTL)) {
        std::fprintf(out, "  Note           asks for a worker thread but exports no IOCTL: the core starts none\n");
    }
    if (info.ReadEvents != 0 && !facts.Exports(ENTRY_READ)) {
        std::fprintf(out, "  Note           sets ReadEvents but exports no Read: no reader thread, no jobs\n");
    }
    if (info.WriteEvents != 0 && !facts.Exports(ENTRY_WRITE)) {
        std::fprintf(out, "  Note           sets WriteEvents but exports no Write: no events are delivered\n");
    }
}

void PrintRun(const PluginFacts &facts, std::FILE *out) {
    if (!facts.notRun.empty()) {
        std::fprintf(out, "  Not run        its code was not run: %s\n", facts.notRun.c_str());
    } else if (!facts.ranAs.empty()) {
        std::fprintf(out, "  Run as         %s\n", facts.ranAs.c_str());
    }
}

void PrintRaised(const PluginFacts &facts, std::FILE *out) {
    for (std::size_t i = 0; i < facts.logLines.size() && i < SHOWN_LOG_LINES; ++i) {
        std::fprintf(out, "  Logged         \"%s\"\n", facts.logLines[i].c_str());
    }
    if (facts.logLines.size() > SHOWN_LOG_LINES) {
        std::fprintf(out, "  Logged         %zu lines more\n", facts.logLines.size() - SHOWN_LOG_LINES);
    }
    if (facts.otherEvents != 0) {
        std::fprintf(out, "  Raised         %zu other events\n", facts.otherEvents);
    }
}

bool PrintVerdict(const PluginFacts &facts, std::FILE *out) {
    const std::vector<std::string> reasons = RefusalReasons(facts);
    if (reasons.empty() && !facts.Loaded()) {
        std::fprintf(out, "  Verdict        unknown: its Load was not run\n");
        return false;
    }
    std::fprintf(out, "  Verdict        the core %s\n", reasons.empty() ? "loads it" : "refuses it:");
    for (const std::string &reason : reasons) {
        std::fprintf(out, "                 - %s\n", reason.c_str());
    }
    return reasons.empty();
}

} // namespace

bool PrintInspection(const PluginFacts &facts, std::FILE *out) {
    if (facts.fileProblem.empty() && facts.elf.elf) {
        PrintEntries(facts, out);
    }
    if (facts.fileProblem.empty()) {
        PrintRun(facts, out);
    }
    if (facts.Loaded()) {
        PrintIdentity(facts, out);
        PrintAddress(facts, out);
        PrintFlags(facts.info, out);
        PrintMasks(facts.info, out);
        PrintMismatches(facts, out);
    }
    PrintRaised(facts, out);
    return PrintVerdict(facts, out);
}
