// The crash report's text, composed inside the fatal-signal handler: nothing
// here allocates, locks or calls the C library's formatting.
#include "crash_report.h"

#include "report_text.h"
#include "safe_memory.h"
#include "signal_names.h"

namespace {

constexpr std::size_t MAX_SYMBOL_BYTES = 160;

// The plugin the thread works for: its own, or the one the core is calling
// on it.
const ModuleTable::Plugin *ContextPlugin(const CrashFacts &facts, const ModuleTable &modules) {
    switch (facts.role.kind) {
    case ThreadKind::PluginWorker:
    case ThreadKind::PluginReader:
    case ThreadKind::Job:
    case ThreadKind::PluginOwn:
        return modules.PluginWithId(facts.role.plugin);
    default:
        break;
    }
    if (!facts.inCall) {
        return nullptr;
    }
    return facts.call.call == WatchedCall::Load ? modules.Loading() : modules.PluginWithId(facts.call.plugin);
}

const ModuleTable::Plugin *PluginOfFrame(const StackFrame &frame, const ModuleTable &modules) {
    const ModuleTable::Module *module = modules.Find(LookupAddress(frame));
    return module != nullptr ? modules.PluginAt(module->plugin) : nullptr;
}

void AddPluginName(ReportText &text, uint32_t id, const ModuleTable &modules) {
    if (const ModuleTable::Plugin *plugin = modules.PluginWithId(id)) {
        text.Add(plugin->name);
    } else {
        text.Add("plugin ID ").Hex(id);
    }
}

void AddThread(ReportText &text, const CrashFacts &facts, const ModuleTable &modules) {
    const ThreadRole &role = facts.role;
    switch (role.kind) {
    case ThreadKind::Main:
        text.Add("main thread");
        break;
    case ThreadKind::Asio:
        text.Add("asio thread");
        break;
    case ThreadKind::Watcher:
        text.Add("call watch thread");
        break;
    case ThreadKind::PluginWorker:
        text.Add("worker thread of ");
        AddPluginName(text, role.plugin, modules);
        break;
    case ThreadKind::PluginReader:
        text.Add("reader thread of ");
        AddPluginName(text, role.plugin, modules);
        break;
    case ThreadKind::Job:
        text.Add("job thread of ");
        AddPluginName(text, role.plugin, modules);
        text.Add(" (tag ").Decimal(role.jobTag).Char(')');
        break;
    case ThreadKind::PluginOwn:
        text.Add("thread of ");
        if (role.plugin != 0) {
            AddPluginName(text, role.plugin, modules);
        } else {
            text.Add("a plugin");
        }
        text.Add(" (started by it, met when it raised an event)");
        break;
    case ThreadKind::Unknown:
        text.Add("a thread the core did not start");
        break;
    }
    text.Add(", task ").Signed(facts.thread).Add(" of process ").Signed(facts.process);
}

void AddSlotCall(ReportText &text, const WatchedCallReport &call, const ModuleTable &modules) {
    const auto to = [&](const char *what) {
        text.Add(what);
        AddPluginName(text, call.plugin, modules);
    };
    switch (call.call) {
    case WatchedCall::Write:
        to("Write to ");
        text.Add(" (class ").Hex(call.first).Add(" type ").Hex(call.second).Char(')');
        return;
    case WatchedCall::UpdateConfig:
        to("IOCTL code 2 (configuration document) to ");
        text.Add(" (class ").Hex(call.first).Add(" type ").Hex(call.second).Char(')');
        return;
    case WatchedCall::IpcIoctl:
        to("IOCTL code 4 (supervisor packet) to ");
        text.Add(" (address ").Hex(call.first).Add(" type ").Decimal(call.second).Char(')');
        return;
    case WatchedCall::Load:
        text.Add("Load of ");
        text.Add(modules.Loading() != nullptr ? modules.Loading()->name : "a plugin");
        return;
    case WatchedCall::Open:
        return to("Open of ");
    case WatchedCall::Close:
        return to("Close of ");
    case WatchedCall::Unload:
        return to("Unload of ");
    case WatchedCall::ReaderThread:
        return to("waiting for the reader thread of ");
    case WatchedCall::WorkerThread:
        return to("waiting for the worker thread of ");
    case WatchedCall::JobThreads:
        return to("waiting for the job threads of ");
    }
}

void AddCall(ReportText &text, const CrashFacts &facts, const ModuleTable &modules) {
    const ThreadRole &role = facts.role;
    if (facts.inCall) {
        AddSlotCall(text, facts.call, modules);
    } else if (role.kind == ThreadKind::PluginWorker) {
        text.Add("IOCTL code 1 (worker) of ");
        AddPluginName(text, role.plugin, modules);
    } else if (role.kind == ThreadKind::PluginReader) {
        text.Add("Read (asynchronous reader) of ");
        AddPluginName(text, role.plugin, modules);
    } else if (role.kind == ThreadKind::Job) {
        text.Add("Read (job tag ").Decimal(role.jobTag).Add(") of ");
        AddPluginName(text, role.plugin, modules);
    } else {
        text.Add("none that the core knows of");
    }
}

void AddSignal(ReportText &text, const CrashFacts &facts) {
    const char *name = SignalName(facts.signal);
    text.Add(name != nullptr ? name : "signal").Add(" (").Decimal(static_cast<unsigned>(facts.signal)).Add(")");
    const char *code = SignalCodeName(facts.signal, facts.code);
    text.Add(" ").Add(code != nullptr ? code : "code").Add(" (").Signed(facts.code).Add(")");
    if (SignalHasFaultAddress(facts.signal, facts.code)) {
        text.Add(", address ").Hex(facts.faultAddress);
    }
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void AddUtcTime(ReportText &text, int64_t seconds) {
    const int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const int64_t secondOfDay = seconds - days * 86400;
    const int64_t shifted = days + 719468;
    const int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const int64_t dayOfEra = shifted - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const int64_t month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    text.Signed(year).Char('-').Padded(static_cast<uint64_t>(month), 2).Char('-').Padded(static_cast<uint64_t>(day), 2);
    text.Char(' ').Padded(static_cast<uint64_t>(secondOfDay / 3600), 2).Char(':');
    text.Padded(static_cast<uint64_t>(secondOfDay / 60 % 60), 2).Char(':');
    text.Padded(static_cast<uint64_t>(secondOfDay % 60), 2).Add(" UTC");
}

// The exported name of the function, read from the library byte by byte.
void AddSymbol(ReportText &text, const ModuleTable::Module &module, uintptr_t address, SafeMemory &memory) {
    uint32_t nameOffset = 0;
    uintptr_t distance = 0;
    if (!ModuleTable::FunctionAt(module, address, memory, nameOffset, distance)) {
        return;
    }
    text.Add(" (");
    for (std::size_t i = 0; i < MAX_SYMBOL_BYTES && nameOffset + i < module.stringBytes; ++i) {
        char character;
        if (!memory.ReadValue(module.strings + nameOffset + i, character) || character == '\0') {
            break;
        }
        text.Char(character > ' ' && character < 127 ? character : '?');
    }
    text.Char('+').Hex(distance).Char(')');
}

void AddFrame(ReportText &text, std::size_t index, const StackFrame &frame, const ModuleTable &modules,
              SafeMemory &memory) {
    const uintptr_t address = LookupAddress(frame);
    text.Char('#').Decimal(index).Char(' ');
    const ModuleTable::Module *module = modules.Find(address);
    if (module == nullptr) {
        text.Hex(address).Add(" in no module");
    } else {
        text.Add(module->path).Char('+').Hex(address - module->bias);
        AddSymbol(text, *module, address, memory);
    }
    if (frame.kind == FrameKind::LinkRegister) {
        text.Add(" [link register]");
    } else if (frame.kind == FrameKind::Scanned) {
        text.Add(" [scanned]");
    }
}

void AddBlame(ReportText &text, const CrashFacts &facts, const Blame &blame) {
    if (blame.plugin == nullptr) {
        text.Add("plugin: the core\nblamed for: no frame lies in a plugin's library\n");
        return;
    }
    const ModuleTable::Plugin &plugin = *blame.plugin;
    text.Add("plugin: ").Add(plugin.name).Char('\n');
    text.Add("blamed for: ");
    if (blame.frame == 0) {
        text.Add("the faulting instruction (frame #0)");
    } else {
        text.Add("frame #").Decimal(blame.frame);
        if (facts.frames[blame.frame].kind == FrameKind::Scanned) {
            text.Add(", found by a scan of the stack of a thread working for it");
        }
    }
    text.Add("\nlibrary: ").Add(plugin.path).Char('\n');
    if (plugin.fileKnown) {
        const LibraryFile &file = plugin.file;
        text.Add("file: device ").Decimal(file.device).Add(" inode ").Decimal(file.inode);
        text.Add(" size ").Decimal(file.size).Add(" modified ").Signed(file.modifiedSeconds).Char('.');
        text.Padded(static_cast<uint64_t>(file.modifiedNanoseconds), 9).Char('\n');
    }
}

} // namespace

Blame BlamePlugin(const CrashFacts &facts, const ModuleTable &modules) {
    for (std::size_t i = 0; i < facts.frameCount; ++i) {
        const StackFrame &frame = facts.frames[i];
        const ModuleTable::Plugin *plugin = PluginOfFrame(frame, modules);
        if (plugin != nullptr && frame.kind != FrameKind::Scanned) {
            return {plugin, i};
        }
    }
    const ModuleTable::Plugin *context = ContextPlugin(facts, modules);
    for (std::size_t i = 0; context != nullptr && i < facts.frameCount; ++i) {
        if (PluginOfFrame(facts.frames[i], modules) == context) {
            return {context, i};
        }
    }
    return {};
}

void ComposeReport(const CrashFacts &facts, const Blame &blame, const ModuleTable &modules, SafeMemory &memory,
                   ReportText &text) {
    text.Add(REPORT_FIRST_LINE).Char('\n');
    text.Add("run: ").Add(facts.runId).Char('\n');
    text.Add("time: ").Signed(facts.wallSeconds).Add(" (");
    AddUtcTime(text, facts.wallSeconds);
    text.Add(")\nsignal: ");
    AddSignal(text, facts);
    text.Char('\n');
    AddBlame(text, facts, blame);
    text.Add("thread: ");
    AddThread(text, facts, modules);
    text.Add("\ncall: ");
    AddCall(text, facts, modules);
    text.Add("\nbacktrace (addr2line -f -e LIBRARY OFFSET):\n");
    for (std::size_t i = 0; i < facts.frameCount;) {
        AddFrame(text, i, facts.frames[i], modules, memory);
        text.Char('\n');
        // A recursion is one line, not a screenful.
        std::size_t same = i + 1;
        while (same < facts.frameCount && facts.frames[same].address == facts.frames[i].address) {
            ++same;
        }
        if (same > i + 2) {
            text.Char('#').Decimal(i + 1).Add(" to #").Decimal(same - 1).Add(" are #").Decimal(i).Char('\n');
            i = same;
        } else {
            ++i;
        }
    }
    text.Add(REPORT_LAST_LINE).Char('\n');
}

bool ComposeLogLine(std::size_t index, const CrashFacts &facts, const Blame &blame, const ModuleTable &modules,
                    SafeMemory &memory, const char *reportPath, ReportText &line) {
    line.Clear();
    switch (index) {
    case 0:
        line.Add("crash: ");
        AddSignal(line, facts);
        line.Add(blame.plugin != nullptr ? " in plugin " : " in the core");
        line.Add(blame.plugin != nullptr ? blame.plugin->name : "");
        return true;
    case 1:
        line.Add("crash: thread ");
        AddThread(line, facts, modules);
        line.Add("; call ");
        AddCall(line, facts, modules);
        return true;
    case 2:
        if (facts.frameCount == 0) {
            line.Add("crash: no backtrace");
            return true;
        }
        line.Add("crash: frame ");
        AddFrame(line, blame.frame, facts.frames[blame.frame], modules, memory);
        return true;
    case 3:
        line.Add("crash: report in ").Add(reportPath);
        return true;
    default:
        return false;
    }
}
