#include "crash_document.h"

#include <string>

#include "kept_reports.h"
#include "xml_text.h"

TiXmlDocument CrashReportDocument(const ReportedCrash &crash, uint32_t crashesInARow, bool quarantined) {
    TiXmlElement report("CrashReport");
    report.SetAttribute("Signal", XmlSafeText(crash.signal));
    report.SetAttribute("Plugin", XmlSafeText(crash.plugin.empty() ? "core" : crash.plugin));
    report.SetAttribute("Library", XmlSafeText(crash.library));
    report.SetAttribute("Thread", XmlSafeText(crash.thread));
    report.SetAttribute("Call", XmlSafeText(crash.call));
    report.SetAttribute("Cause", XmlSafeText(crash.cause));
    // Like the "Memory" document's, a signed 32-bit count of seconds.
    report.SetAttribute("Time", static_cast<int32_t>(crash.wallSeconds));
    report.SetAttribute("Run", XmlSafeText(crash.runId));
    report.SetAttribute("Crashes", std::to_string(crashesInARow));
    report.SetAttribute("Quarantined", quarantined ? 1 : 0);
    report.SetAttribute("File", CRASH_REPORT_FILE);
    for (const std::string &line : crash.frames) {
        TiXmlElement frame("Frame");
        frame.SetAttribute("Text", XmlSafeText(line));
        report.InsertEndChild(frame);
    }
    TiXmlElement root("kDVR");
    root.InsertEndChild(report);
    TiXmlDocument document;
    document.InsertEndChild(TiXmlDeclaration("", "", ""));
    document.InsertEndChild(root);
    return document;
}
