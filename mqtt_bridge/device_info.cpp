#include "mqtt_bridge/device_info.h"

#include <utility>

#include "include/dvrplugin.h"
#include "mqtt_bridge/xml_writing.h"
#include "xml/core_document.h"

namespace {

constexpr int32_t REFUSED_OPEN_CODE = 79;

// The first element inside the root of a document text, parsed with the core's nesting limit.
bool ParseFirstElement(const std::string &text, CoreDocument &document, const TiXmlElement *&element) {
    document.Parse(text.c_str());
    const TiXmlElement *root = document.RootElement();
    element = root ? root->FirstChildElement() : nullptr;
    return !document.Error() && element;
}

struct PluginCounts {
    int loaded = 0;
    int opened = 0;
    std::string coreVersion;
    std::string refused; // <Refused /> elements
    int refusedCount = 0;
};

PluginCounts CountPlugins(const std::string &report) {
    PluginCounts counts;
    CoreDocument document;
    const TiXmlElement *modules = nullptr;
    if (!ParseFirstElement(report, document, modules)) {
        return counts;
    }
    const TiXmlElement *core = modules->FirstChildElement("Module");
    if (core && core->Attribute("Version")) {
        counts.coreVersion = core->Attribute("Version");
    }
    for (const TiXmlElement *plugin = core ? core->FirstChildElement("Plugin") : nullptr; plugin;
         plugin = plugin->NextSiblingElement("Plugin")) {
        int id = 0, openCode = 0;
        plugin->Attribute("ID", &id);
        plugin->Attribute("OpenCode", &openCode);
        if (static_cast<uint32_t>(id) == CORE_SOURCE || openCode == REFUSED_OPEN_CODE) {
            continue;
        }
        ++counts.loaded;
        counts.opened += openCode == 0;
    }
    for (const TiXmlElement *module = core ? core->NextSiblingElement("Module") : nullptr; module;
         module = module->NextSiblingElement("Module")) {
        XmlElementText refused("Refused");
        refused.Attribute("Filename", module->Attribute("Name") ? module->Attribute("Name") : "");
        refused.Attribute("Reason", module->Attribute("Version") ? module->Attribute("Version") : "");
        counts.refused += refused.Closed();
        ++counts.refusedCount;
    }
    return counts;
}

std::string Throttling(const std::string &status) {
    CoreDocument document;
    const TiXmlElement *memory = nullptr;
    if (!ParseFirstElement(status, document, memory) || !memory->Attribute("Throttling")) {
        return "0";
    }
    return memory->Attribute("Throttling");
}

std::string CrashElement(const std::string &report) {
    CoreDocument document;
    const TiXmlElement *crash = nullptr;
    if (report.empty() || !ParseFirstElement(report, document, crash)) {
        return "";
    }
    XmlElementText element(DeviceInfo::CRASH_REPORT_ELEMENT);
    for (const TiXmlAttribute *a = crash->FirstAttribute(); a; a = a->Next()) {
        element.Attribute(a->NameTStr(), a->ValueStr());
    }
    return element.Closed();
}

std::string Trimmed(const char *text, std::size_t length) {
    while (length > 0 && text[length - 1] == '\0') {
        --length;
    }
    return std::string(text, length);
}

} // namespace

DeviceInfo::DeviceInfo(std::string device, std::time_t startTime) : device(std::move(device)), startTime(startTime) {}

void DeviceInfo::SetModulesReport(const char *text, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    modulesReport = Trimmed(text, length);
    changed = true;
}

void DeviceInfo::SetMemoryStatus(const char *text, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    memoryStatus = Trimmed(text, length);
    changed = true;
}

void DeviceInfo::SetCrashReport(const char *text, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    crashReport = Trimmed(text, length);
    changed = true;
}

bool DeviceInfo::Changed() const {
    std::lock_guard<std::mutex> lock(mutex);
    return changed;
}

std::string DeviceInfo::Text(std::time_t now) {
    std::string report, status, crash;
    {
        std::lock_guard<std::mutex> lock(mutex);
        report = modulesReport;
        status = memoryStatus;
        crash = crashReport;
        changed = false;
    }
    const PluginCounts counts = CountPlugins(report);
    XmlElementText info("Info");
    info.Attribute("CoreVersion", counts.coreVersion);
    info.Attribute("BridgeVersion", DVRPLUGIN_VERSION_STRING);
    info.Attribute("Device", device);
    info.Attribute("StartTime", UtcTimeText(startTime));
    info.Attribute("Uptime", static_cast<int64_t>(now >= startTime ? now - startTime : 0));
    info.Attribute("PluginsLoaded", counts.loaded);
    info.Attribute("PluginsOpened", counts.opened);
    info.Attribute("PluginsRefused", counts.refusedCount);
    info.Attribute("Throttling", Throttling(status));
    if (!counts.refused.empty()) {
        info.Child(counts.refused);
    }
    if (const std::string element = CrashElement(crash); !element.empty()) {
        info.Child(element);
    }
    return XmlDocumentText(info.Closed());
}
