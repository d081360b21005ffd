// The nesting limit against the library's own reading. The text is parsed by a CoreDocument with
// a small maxParseDepth and by a plain TiXmlDocument, which has no limit. The CoreDocument must
// report TIXML_ERROR_NESTING_TOO_DEEP exactly when the plain library began to read a node starting
// with "<" deeper than the limit (every node it began is in its tree, finished or not), and
// otherwise the library's own result: the same error at the same place, or the same tree.
//
// Input: byte 0 chooses the limit (bits 0-2: 1 to 8; all bits set: the default 100) and the
// encoding (bits 3-4); the rest is the text, up to its first NUL as Parse reads it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "xml/core_document.h"
#include "xml/document_printing.h"
#include "xml/padded_xml_text.h"

namespace {

// The plain library recurses once per level; this keeps its deepest reading well inside the
// stack, so that only the code under test can fail.
constexpr std::size_t MAX_TEXT = 16 * 1024;

// Whether the library began a node starting with "<" below `parent` deeper than `limit`; the
// children of `parent` are at `depth`.
bool HasMarkupDeeperThan(const TiXmlNode &parent, int depth, int limit) {
    for (const TiXmlNode *node = parent.FirstChild(); node != nullptr; node = node->NextSibling()) {
        const bool markup = node->ToText() == nullptr || node->ToText()->CDATA();
        if ((markup && depth > limit) || HasMarkupDeeperThan(*node, depth + 1, limit))
            return true;
    }
    return false;
}

TiXmlEncoding EncodingFrom(uint8_t choice) {
    switch ((choice >> 3) & 3) {
    case 1:
        return TIXML_ENCODING_UTF8;
    case 2:
        return TIXML_ENCODING_LEGACY;
    default:
        return TIXML_ENCODING_UNKNOWN;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0 || size > MAX_TEXT)
        return 0;
    const int limit = data[0] == 0xFF ? 100 : 1 + (data[0] & 7);
    const TiXmlEncoding encoding = EncodingFrom(data[0]);
    const char *const bytes = reinterpret_cast<const char *>(data + 1);
    const std::string text(bytes, strnlen(bytes, size - 1));

    // The library may read up to three bytes past a character cut by the end: give it padding.
    const PaddedXmlText padded(text);
    TiXmlDocument library;
    library.Parse(padded.c_str(), nullptr, encoding);
    CoreDocument core;
    core.maxParseDepth = limit;
    core.Parse(text.c_str(), nullptr, encoding);

    if (HasMarkupDeeperThan(library, 1, limit)) {
        Require(core.Error() && core.ErrorId() == CoreDocument::TIXML_ERROR_NESTING_TOO_DEEP,
                "a node beyond the limit accepted, or another error reported for it");
        Require(std::strcmp(core.ErrorDesc(), CoreDocument::TIXML_ERROR_NESTING_TOO_DEEP_TEXT) == 0,
                "nesting error with another text");
        Require(core.ErrorRow() == 0 && core.ErrorCol() == 0, "nesting error with a location");
        return 0;
    }
    Require(core.Error() == library.Error() && core.ErrorId() == library.ErrorId(),
            "a result other than the library's within the limit");
    Require(std::strcmp(core.ErrorDesc(), library.ErrorDesc()) == 0, "an error text other than the library's");
    Require(core.ErrorRow() == library.ErrorRow() && core.ErrorCol() == library.ErrorCol(),
            "an error location other than the library's");
    Require(PrintCompact(core) == PrintCompact(library), "a tree other than the library's");
    return 0;
}
