#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <tinyxml.h>

#include "padded_xml_text.h"

// TinyXML's parser recurses once per element level, so a deeply nested text exhausts the stack.
// These functions find the first node beyond a depth limit before the library parses anything.
//
// Threads: pure, for any thread.

// A node that starts with "<" and lies deeper than the limit.
struct NodeBeyondDepth {
    std::size_t offset;                    // of its "<" in the text
    std::vector<std::string> openElements; // names of the elements around it, root first
};

// The first such node when the text is read as TiXmlDocument::Parse reads it with `encoding`;
// the root element has depth 1, and nodes at the document level are not checked. None when the
// text has no such node or the library's reading stops before one.
std::optional<NodeBeyondDepth> FindNodeBeyondDepth(const PaddedXmlText &text, int maxDepth, TiXmlEncoding encoding);

// The text before `node`, followed by the end tags of the elements open there.
std::string TextBeforeNode(const PaddedXmlText &text, const NodeBeyondDepth &node);
