#pragma once

#include <cstddef>
#include <string>

// The name of the first element inside the root element of an XML document text, found by a
// scan that parses nothing (documents from plugins may be deep or malformed): "Memory" for the
// core's status document, "Modules" for its modules report. Empty when the text has no such
// element or its name is not made of ASCII letters, digits, '_', '-', '.' and ':' (at most 64).
std::string FirstElementInRoot(const char *text, std::size_t length);
