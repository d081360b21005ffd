#pragma once

#include <string>

// `text` with every control character that XML 1.0 cannot carry, even as a character reference
// (below 0x20 except tab, line feed and carriage return), replaced by '?'. Texts from outside the
// core (the supervisor's identity, file names, loader messages, product.xml) pass through here
// before they enter a document, so that every XML parser still reads the document.
//
// Threads: pure, for any thread.
std::string XmlSafeText(std::string text);
