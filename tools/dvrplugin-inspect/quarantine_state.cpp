#include "quarantine_state.h"

#include <algorithm>

#include <boost/filesystem.hpp>

#include "crash/kept_reports.h"
#include "crash/quarantine.h"
#include "xml/core_document.h"
#include "xml/quarantine_element.h"

namespace {

// The same path however it was named: the core lists the path it loaded.
std::string Canonical(const std::string &path) {
    boost::system::error_code error;
    const boost::filesystem::path canonical = boost::filesystem::canonical(path, error);
    return error ? path : canonical.string();
}

std::string RunsInARow(uint32_t crashes) {
    return std::to_string(crashes) + (crashes == 1 ? " crashed run" : " crashed runs") + " in a row";
}

} // namespace

QuarantineState ReadQuarantineState(const std::string &coreDirectory, const std::string &libraryPath) {
    const std::string coreXml = (boost::filesystem::path(coreDirectory) / "core.xml").string();
    CoreDocument document;
    if (!document.LoadFileOrBackup(coreXml)) {
        return {"none: no readable " + coreXml, ""};
    }
    QuarantineSettings settings = ReadQuarantineElement(document);
    const std::string path = Canonical(libraryPath);
    const auto listed = std::find_if(settings.libraries.begin(), settings.libraries.end(),
                                     [&](const CrashedLibrary &library) { return Canonical(library.path) == path; });
    if (listed == settings.libraries.end()) {
        return {"not listed in " + coreXml, ""};
    }
    const std::optional<LibraryFile> file = ExamineLibraryFile(libraryPath);
    if (!file || listed->file != *file) {
        return {"listed in " + coreXml + " for " + RunsInARow(listed->crashes) +
                    " of an earlier file: this one loads and the entry goes",
                ""};
    }
    if (settings.crashes == 0) {
        return {RunsInARow(listed->crashes) + ", but the quarantine is off in " + coreXml, ""};
    }
    if (!IsQuarantined(settings, *listed)) {
        return {RunsInARow(listed->crashes) + " of " + std::to_string(settings.crashes) + " that quarantine it (" +
                    coreXml + ")",
                ""};
    }
    const std::string reason = QuarantineRefusal(settings, listed->path, *file, CRASH_REPORT_FILE);
    return {"quarantined after " + RunsInARow(listed->crashes) + ": replace the library or remove its entry from " +
                coreXml + " to lift it",
            reason};
}
