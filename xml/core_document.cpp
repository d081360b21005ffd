#include "core_document.h"

#include <algorithm>
#include <utility>

#include "nesting_scan.h"
#include "padded_xml_text.h"

namespace {

// Where the library stopped reading `padded`, as a place in the caller's `text`.
const char *InCallerText(const char *text, const PaddedXmlText &padded, const char *stop) {
    if (stop == nullptr)
        return nullptr;
    const auto offset = static_cast<std::size_t>(stop - padded.c_str());
    return text + std::min(offset, padded.size());
}

} // namespace

const char *CoreDocument::Parse(const char *text, TiXmlParsingData *data, TiXmlEncoding encoding) {
    ownError.reset();
    if (text == nullptr || *text == '\0')
        return TiXmlDocument::Parse(text, data, encoding);

    const PaddedXmlText padded(text);
    const std::optional<NodeBeyondDepth> deepNode = FindNodeBeyondDepth(padded, maxParseDepth, encoding);
    if (!deepNode)
        return InCallerText(text, padded, TiXmlDocument::Parse(padded.c_str(), data, encoding));

    // The library keeps the first error of a parse: an error in the text before the deep node,
    // which the library then reads with the open elements closed, wins over the nesting limit.
    const PaddedXmlText before(TextBeforeNode(padded, *deepNode));
    TiXmlDocument::Parse(before.c_str(), data, encoding);
    if (!Error())
        RecordOwnError(TIXML_ERROR, {TIXML_ERROR_NESTING_TOO_DEEP, TIXML_ERROR_NESTING_TOO_DEEP_TEXT});
    return nullptr;
}

int CoreDocument::ErrorId() const { return ownError && Error() ? ownError->id : TiXmlDocument::ErrorId(); }

const char *CoreDocument::ErrorDesc() const {
    return ownError && Error() ? ownError->description.c_str() : TiXmlDocument::ErrorDesc();
}

void CoreDocument::ClearError() {
    ownError.reset();
    TiXmlDocument::ClearError();
}

void CoreDocument::RecordOwnError(int libraryId, OwnError error) {
    ClearError();
    SetError(libraryId, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
    ownError = std::move(error);
}
