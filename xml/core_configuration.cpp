#include "core_configuration.h"

#include "dvrplugin.h"
#include "configuration.h"
#include "core_document.h"
#include "system_log_setting.h"

namespace {

const char *const PRODUCT_FILE = "product.xml";
const char *const CORE_FILE = "core.xml";

} // namespace

// product.xml may lie on a read-only or factory partition: it and its backup
// are only read.
std::optional<bool> CoreConfiguration::Load() {
    CoreDocument document;
    if (document.LoadFileOrBackup(PRODUCT_FILE)) {
        ReadProductSettings(document, productFamily, productVersion);
    }
    if (!document.LoadFileWithBackup(CORE_FILE)) {
        return std::nullopt;
    }
    diagnosticsToSystemLog = ReadDiagnosticsToSystemLog(document);
    quarantine = ReadQuarantineElement(document);
    return ReadThrottlingSetting(document);
}

// A failed save keeps the previous file; the plugins are told the settings
// all the same.
void CoreConfiguration::Save(bool throttlingEnabled, const Publish &publish) const {
    SaveFile(throttlingEnabled);
    CoreDocument document;
    BuildCoreConfiguration(document, throttlingEnabled);
    if (diagnosticsToSystemLog) {
        AddSystemLogElement(document, *diagnosticsToSystemLog);
    }
    AddProductElement(document, productFamily, productVersion);
    publish(document, CLASS_CONFIG);
}

// The quarantine is the core's own record: kept in the file, never sent to
// plugins. The system-log switch is the integrator's setting, sent like the
// others.
bool CoreConfiguration::SaveFile(bool throttlingEnabled) const {
    CoreDocument document;
    BuildCoreConfiguration(document, throttlingEnabled);
    if (diagnosticsToSystemLog) {
        AddSystemLogElement(document, *diagnosticsToSystemLog);
    }
    AddQuarantineElement(document, quarantine);
    return document.SafeSaveFile(CORE_FILE);
}
