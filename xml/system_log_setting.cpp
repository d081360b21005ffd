#include "system_log_setting.h"

#include "configuration.h"

namespace {

const char *const ELEMENT = "SystemLog";
const char *const DIAGNOSTICS = "Diagnostics";

} // namespace

std::optional<bool> ReadDiagnosticsToSystemLog(const TiXmlDocument &coreXml) {
    const TiXmlElement *root = coreXml.FirstChildElement();
    const TiXmlElement *setting = root != nullptr ? root->FirstChildElement(ELEMENT) : nullptr;
    if (setting == nullptr) {
        return std::nullopt;
    }
    return ScanNonZeroInteger(setting->Attribute(DIAGNOSTICS)).value_or(false);
}

void AddSystemLogElement(TiXmlDocument &document, bool diagnosticsToSystemLog) {
    TiXmlElement *root = document.RootElement();
    if (root == nullptr) {
        return;
    }
    TiXmlElement setting(ELEMENT);
    setting.SetAttribute(DIAGNOSTICS, diagnosticsToSystemLog ? 1 : 0);
    root->InsertEndChild(setting);
}
