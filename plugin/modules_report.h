#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <tinyxml.h>

// The modules report: what the core loaded, how long loading and opening
// took, and which libraries the loader refused. Written to plugins.xml and
// sent to every plugin. Texts keep everything but the control characters
// that XML cannot carry, which become '?'.
//
// Threads: pure, for any thread; the core gathers the facts on the main thread.

struct ReportedPlugin {
    uint32_t id = 0;
    std::string fileName;
    int64_t loadTimeMs = 0;
    int64_t openTimeMs = 0;
    int32_t openCode = 0;
};

struct ModulesReportFacts {
    std::string coreFileName; // of the executable
    std::string coreVersion;
    std::vector<ReportedPlugin> plugins; // in list order
    // The supervisor is listed only once its version is known.
    std::string supervisorFileName;
    std::string supervisorVersion;
    // File name to the loader's error text; numbered from 1 in this order.
    std::map<std::string, std::string> refusedLibraries;
};

TiXmlDocument ModulesReportDocument(const ModulesReportFacts &facts);
