#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <tinyxml.h>

#include "quarantine_element.h"

// The product and core configuration: product.xml and core.xml read once at
// start, core.xml rewritten from the current settings, and the settings sent
// to every plugin. The crash quarantine has an element of its own in
// core.xml, kept in every rewrite but not sent to plugins.
//
// Threads: the main thread alone, before other threads read the product
// strings (the version in the start and stop lines, the modules report),
// which are constant from then on. Locks: none.
class CoreConfiguration {
public:
    using Publish = std::function<void(const TiXmlDocument &document, uint32_t eventClass)>;

    // The version the core reports unless product.xml names another.
    void SetVersion(const std::string &version) { productVersion = version; }
    // Reads both files; missing or unusable files and attributes leave the
    // built-in values. core.xml's throttling setting, when it has one.
    std::optional<bool> Load();
    // Saves core.xml and publishes it, with the product added, as the
    // configuration document.
    void Save(bool throttlingEnabled, const Publish &publish) const;
    // Saves core.xml alone, for a quarantine that changed before the plugins
    // are loaded. False when the file could not be replaced.
    bool SaveFile(bool throttlingEnabled) const;

    // As read from core.xml; written back by every save.
    QuarantineSettings &Quarantine() { return quarantine; }

    const std::string &Version() const { return productVersion; }
    // Whether core.xml asks for level-0 lines in the system log (off without
    // the setting).
    bool DiagnosticsToSystemLog() const { return diagnosticsToSystemLog.value_or(false); }

private:
    std::string productFamily = "korvoSight";
    std::string productVersion;
    // Written back when core.xml held it, so that the integrator's setting lasts.
    std::optional<bool> diagnosticsToSystemLog;
    QuarantineSettings quarantine;
};
