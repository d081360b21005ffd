// The modules report, built after every plugin has been opened.
#include "modules_report.h"

#include "dvrplugin.h"
#include "kdvr_document.h"
#include "xml_text.h"

namespace {

constexpr int32_t REFUSED_OPEN_CODE = 79;

// Readers expect IDs and durations as signed 32-bit decimals: the low 32 bits.
int32_t Low32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

// Summed as the 32-bit readers add, wrapping instead of overflowing.
struct Totals {
    uint32_t loadTimeMs = 0;
    uint32_t openTimeMs = 0;
};

TiXmlElement ModuleElement(int32_t id, const std::string &name, const std::string &version) {
    TiXmlElement module("Module");
    module.SetAttribute("ID", id);
    module.SetAttribute("Name", XmlSafeText(name));
    module.SetAttribute("Version", XmlSafeText(version));
    return module;
}

TiXmlElement PluginElement(int32_t id, const std::string &fileName, int32_t loadTimeMs, int32_t openTimeMs,
                           int32_t openCode) {
    TiXmlElement plugin("Plugin");
    plugin.SetAttribute("ID", id);
    plugin.SetAttribute("Filename", XmlSafeText(fileName));
    plugin.SetAttribute("Opened", 1);
    plugin.SetAttribute("LoadTimeMs", loadTimeMs);
    plugin.SetAttribute("OpenTimeMs", openTimeMs);
    plugin.SetAttribute("OpenCode", openCode);
    return plugin;
}

TiXmlElement SupervisorElement(const std::string &fileName, const std::string &version) {
    TiXmlElement library("Library");
    library.SetAttribute("Name", "korvod");
    library.SetAttribute("Filename", XmlSafeText(fileName));
    library.SetAttribute("Version", XmlSafeText(version));
    return library;
}

TiXmlElement CoreModuleElement(const ModulesReportFacts &facts, Totals &totals) {
    const auto coreId = static_cast<int32_t>(CORE_SOURCE);
    TiXmlElement core = ModuleElement(coreId, "Core", facts.coreVersion);
    core.InsertEndChild(PluginElement(coreId, facts.coreFileName, 0, 0, 0));
    for (const ReportedPlugin &plugin : facts.plugins) {
        const int32_t loadTimeMs = Low32(plugin.loadTimeMs);
        const int32_t openTimeMs = Low32(plugin.openTimeMs);
        core.InsertEndChild(
            PluginElement(static_cast<int32_t>(plugin.id), plugin.fileName, loadTimeMs, openTimeMs, plugin.openCode));
        totals.loadTimeMs += static_cast<uint32_t>(loadTimeMs);
        totals.openTimeMs += static_cast<uint32_t>(openTimeMs);
    }
    if (!facts.supervisorVersion.empty()) {
        core.InsertEndChild(SupervisorElement(facts.supervisorFileName, facts.supervisorVersion));
    }
    int32_t number = 0;
    for (const auto &refused : facts.refusedLibraries) {
        core.InsertEndChild(PluginElement(++number, refused.first, 0, 0, REFUSED_OPEN_CODE));
    }
    return core;
}

TiXmlElement ModulesElement(const ModulesReportFacts &facts) {
    TiXmlElement modules("Modules");
    Totals totals;
    modules.InsertEndChild(CoreModuleElement(facts, totals));
    int32_t number = 0;
    for (const auto &[fileName, loaderError] : facts.refusedLibraries) {
        modules.InsertEndChild(ModuleElement(++number, fileName, loaderError));
    }
    modules.SetAttribute("TotalLoadTimeMs", static_cast<int32_t>(totals.loadTimeMs));
    modules.SetAttribute("TotalOpenTimeMs", static_cast<int32_t>(totals.openTimeMs));
    return modules;
}

} // namespace

TiXmlDocument ModulesReportDocument(const ModulesReportFacts &facts) {
    TiXmlDocument document = KdvrDocument(ModulesElement(facts));
    document.RootElement()->SetAttribute("Delta", 0);
    return document;
}
