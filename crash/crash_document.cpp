#include "crash_document.h"

#include <string>

#include "kdvr_document.h"
#include "kept_reports.h"
#include "xml_text.h"

TiXmlDocument CrashReportDocument(const ReportedCrash &crash, uint32_t crashesInARow, bool quarantined) {
    TiXmlElement report("CrashReport");
    report.SetAttribute("signal", XmlSafeText(crash.signal));
    report.SetAttribute("plugin", XmlSafeText(crash.plugin.empty() ? "core" : crash.plugin));
    report.SetAttribute("library", XmlSafeText(crash.library));
    report.SetAttribute("thread", XmlSafeText(crash.thread));
    report.SetAttribute("call", XmlSafeText(crash.call));
    report.SetAttribute("cause", XmlSafeText(crash.cause));
    // Like the "Memory" document's, a signed 32-bit count of seconds.
    report.SetAttribute("time", static_cast<int32_t>(crash.wallSeconds));
    report.SetAttribute("run", XmlSafeText(crash.runId));
    report.SetAttribute("crashes", std::to_string(crashesInARow));
    report.SetAttribute("quarantined", quarantined ? 1 : 0);
    report.SetAttribute("file", CRASH_REPORT_FILE);
    for (const std::string &line : crash.frames) {
        TiXmlElement frame("Frame");
        frame.SetAttribute("text", XmlSafeText(line));
        report.InsertEndChild(frame);
    }
    return KdvrDocument(report);
}
