// The XML documents the core raises itself: its configuration, its modules
// report and its memory status.
#include <ctime>
#include <optional>
#include <string>

#include <boost/filesystem/path.hpp>

#include "dvrcore.h"
#include "status_document.h"
#include "modules_report.h"
#include "plugin_call_records.h"
#include "document_printing.h"
#include "safe_save.h"

namespace {

const char *const REPORT_FILE = "plugins.xml";

} // namespace

// The event carries the text without a NUL. PluginEvent copies it; a
// document refused while stopping is dropped without a word.
void dvrcore::PublishDocument(const TiXmlDocument &document, uint32_t eventClass) {
    std::string text = PrintCompact(document);
    _EventParmsIn in = EventRecord(CORE_SOURCE, eventClass, TYPE_FROM_CORE | TYPE_DOCUMENT,
                                   static_cast<uint32_t>(text.size()), text.data());
    _EventParmsOut out = EventResultRecord();
    PluginEvent(&in, &out);
}

void dvrcore::ReportStatus() {
    PublishDocument(MemoryStatusDocument(housekeeper.Throttling(), std::time(nullptr)), CLASS_STATUS);
}

// Before any other thread runs. A throttling setting in core.xml replaces
// the built-in one.
void dvrcore::LoadConfiguration() {
    if (const std::optional<bool> enabled = configuration.Load()) {
        housekeeper.SetThrottlingEnabled(*enabled);
    }
    console.CopyDiagnosticsToSystemLog(configuration.DiagnosticsToSystemLog());
}

void dvrcore::PublishConfiguration() {
    configuration.Save(housekeeper.ThrottlingEnabled(), [this](const TiXmlDocument &document, uint32_t eventClass) {
        PublishDocument(document, eventClass);
    });
}

// On the main thread, the only writer of the plugin list: it reads the list
// without a lock. The supervisor strings may change on the asio thread.
void dvrcore::PublishModulesReport() {
    ModulesReportFacts facts;
    facts.coreFileName = boost::filesystem::path(plugins.ExePath()).filename().string();
    facts.coreVersion = configuration.Version();
    for (const PLUGININFO &plugin : plugins.List()) {
        facts.plugins.push_back({plugin.Info.ID, plugin.Name, plugin.LoadTimeMs, plugin.OpenTimeMs, plugin.OpenCode});
    }
    const SupervisorIdentity::Strings identity = link.Identity();
    facts.supervisorFileName = identity.fileName;
    facts.supervisorVersion = identity.version;
    facts.refusedLibraries = plugins.Refused();

    TiXmlDocument report = ModulesReportDocument(facts);
    // Rewritten at every start, so no backup is kept, and a failure loses only
    // the file; but never written through a link, nor seen half written.
    SaveByRename(REPORT_FILE, PrintFileForm(report));
    PublishDocument(report, CLASS_CONFIG);
}
