// How the last run ended, told once at start, before any plugin is loaded:
// a crash as a level-100 line (so it reaches the system log and, once the
// delivery loop runs, the plugins) and as a status document; and counted for
// the quarantine, whose change is saved at once, since this run may crash
// before core.xml is rewritten.
#include <string>

#include "dvrcore.h"
#include "crash_document.h"
#include "crash_handler.h"
#include "kept_reports.h"
#include "last_run.h"
#include "log_message.h"
#include "quarantine.h"

namespace {

std::string InARowText(uint32_t crashesInARow, bool quarantined) {
    if (crashesInARow == 0) {
        return "";
    }
    std::string text = std::to_string(crashesInARow) + (crashesInARow == 1 ? " crashed run" : " crashed runs");
    return text + " in a row" + (quarantined ? ", now quarantined; " : "; ");
}

} // namespace

void dvrcore::TellLastRun() {
    const LastRun last = BeginRun(CrashRunId());
    QuarantineSettings &quarantine = configuration.Quarantine();
    bool changed = false;
    if (last.ending == RunEnding::Crashed) {
        const ReportedCrash &crash = *last.crash;
        uint32_t inARow = 0;
        if (crash.plugin.empty()) {
            changed = CountRunWithoutBlame(quarantine);
        } else {
            inARow = CountCrashedRun(quarantine, crash.library, crash.file ? &*crash.file : nullptr, changed);
        }
        TellCrash(crash, inARow, inARow != 0 && quarantine.crashes != 0 && inARow >= quarantine.crashes);
    } else if (last.ending == RunEnding::Clean) {
        changed = CountRunWithoutBlame(quarantine);
    }
    if (changed) {
        configuration.SaveFile(housekeeper.ThrottlingEnabled());
    }
}

void dvrcore::TellCrash(const ReportedCrash &crash, uint32_t crashesInARow, bool quarantined) {
    const std::string where = crash.plugin.empty() ? "the core" : "plugin " + crash.plugin;
    CORE_LOG(LOG_LEVEL_ERROR, "the last run ended with %s in %s (thread: %s; call: %s; %ssee %s)", crash.signal.c_str(),
             where.c_str(), crash.thread.c_str(), crash.call.c_str(), InARowText(crashesInARow, quarantined).c_str(),
             CRASH_REPORT_FILE);
    PublishDocument(CrashReportDocument(crash, crashesInARow, quarantined), CLASS_STATUS);
}
