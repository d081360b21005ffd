#pragma once

#include <optional>

#include <tinyxml.h>

// The integrator's switch in core.xml that copies the core's console-only
// diagnostics (level 0) to the system log:
//
//     <SystemLog Diagnostics="1" />
//
// a child of the root, beside "Memory". Unlike the rest of core.xml, which
// the core rewrites from scratch, the element is kept when the core rewrites
// the file, so that the setting lasts; a core that does not know it ignores
// it.
//
// Threads: pure, for any thread.

// The root's first "SystemLog" element's "Diagnostics" attribute, read as a
// decimal integer, non-zero meaning yes; a missing or unreadable attribute
// means no. Nothing when there is no such element.
std::optional<bool> ReadDiagnosticsToSystemLog(const TiXmlDocument &coreXml);

// Appends the element with the setting to the root of a core.xml document.
void AddSystemLogElement(TiXmlDocument &document, bool diagnosticsToSystemLog);
