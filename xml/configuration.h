#pragma once

#include <optional>
#include <string>

#include <tinyxml.h>

// product.xml and core.xml: what the core reads from them at start, and the documents it writes
// back and sends to plugins. The readers take the first element as the root, whatever its name.
//
// Threads: pure, for any thread.

// Copies the "Family" and "Version" attributes of the root's first "Product" element into
// `family` and `version`, each only where the attribute exists.
void ReadProductSettings(const TiXmlDocument &productXml, std::string &family, std::string &version);

// Whether the root's first "Memory" element asks for throttling: its "Throttling" attribute read
// as a decimal integer, non-zero meaning yes. Nothing when the element, the attribute or the
// integer is missing.
std::optional<bool> ReadThrottlingSetting(const TiXmlDocument &coreXml);

// What "%d" would read at the beginning of `text`, reduced to zero or not: optional white space,
// an optional sign, at least one digit. Values beyond the range of int count as non-zero, which
// a "%d" scan would leave undefined.
std::optional<bool> ScanNonZeroInteger(const char *text);

// Fills an empty document with core.xml as the core writes it: the declaration, and the root
// "kDVR" ("Delta" 0) holding "Memory" with the core's ID and the throttling setting.
void BuildCoreConfiguration(TiXmlDocument &document, bool throttlingEnabled);

// Appends "Product" to the root of a core.xml document, after "Memory": the form plugins get.
void AddProductElement(TiXmlDocument &document, const std::string &family, const std::string &version);
