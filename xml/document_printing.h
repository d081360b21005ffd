#pragma once

#include <string>

#include <tinyxml.h>

// The file form: one node per line, four spaces of indentation per level, every line ending with
// "\n", childless elements closed with " />".
//
// Threads: pure, for any thread.
std::string PrintFileForm(const TiXmlDocument &document);

// The compact form for events: the whole document on one line, no indentation, no line feed.
std::string PrintCompact(const TiXmlDocument &document);
