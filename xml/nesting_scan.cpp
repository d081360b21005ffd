#include "nesting_scan.h"

#include <cstring>
#include <memory>
#include <utility>

// How far the scan mirrors TiXmlDocument::Parse: it retraces the library's control flow at the
// document level, in Identify, through an element's start tag, content (ReadValue) and end tag,
// with a stack of open elements in place of the recursion, and it leaves every decision about
// bytes to the library's own code. SkipWhiteSpace, ReadName, StringEqual and IsAlpha are called
// as they are; TiXmlAttribute::Parse reads attributes, so quoted values may hold '<' and '>';
// the Parse of a library TiXmlText, TiXmlComment, TiXmlUnknown or TiXmlDeclaration reads every
// other node: text up to the next '<' (a UTF-8 lead byte may swallow it, as in the library),
// comments up to "-->", CDATA up to "]]>", "<!DOCTYPE" and other unknown markup up to the first
// '>', declarations with their quoted values. A self-closing tag opens nothing. The encoding
// follows a byte-order mark and the first top-level declaration, as in the library. The scan
// stops wherever the library's reading stops. The one check left out is the library's error for
// a repeated attribute name; the parse of the text cut at the deep node reports it instead.

namespace {

// The library's reading primitives are protected members of its base class.
struct LibraryReading : TiXmlBase {
    using TiXmlBase::IsAlpha;
    using TiXmlBase::ReadName;
    using TiXmlBase::SkipWhiteSpace;
    using TiXmlBase::StringEqual;
};

enum class NodeKind { Element, Declaration, Comment, Cdata, Unknown };

// TiXmlNode::Identify, for a text that starts with "<".
NodeKind Identify(const char *p, TiXmlEncoding encoding) {
    if (LibraryReading::StringEqual(p, "<?xml", true, encoding))
        return NodeKind::Declaration;
    if (LibraryReading::StringEqual(p, "<!--", false, encoding))
        return NodeKind::Comment;
    if (LibraryReading::StringEqual(p, "<![CDATA[", false, encoding))
        return NodeKind::Cdata;
    if (LibraryReading::StringEqual(p, "<!", false, encoding))
        return NodeKind::Unknown;
    const auto next = static_cast<unsigned char>(p[1]);
    if (LibraryReading::IsAlpha(next, encoding) || next == '_')
        return NodeKind::Element;
    return NodeKind::Unknown;
}

// A library node that reads a node of `kind`, which is not an element.
std::unique_ptr<TiXmlNode> NewLeaf(NodeKind kind) {
    switch (kind) {
    case NodeKind::Declaration:
        return std::make_unique<TiXmlDeclaration>();
    case NodeKind::Comment:
        return std::make_unique<TiXmlComment>();
    case NodeKind::Cdata: {
        auto text = std::make_unique<TiXmlText>("");
        text->SetCDATA(true);
        return text;
    }
    default:
        return std::make_unique<TiXmlUnknown>();
    }
}

bool StartsWithByteOrderMark(const char *text) { return std::strncmp(text, "\xEF\xBB\xBF", 3) == 0; }

// The encoding TiXmlDocument::Parse switches to after a top-level declaration.
TiXmlEncoding EncodingNamedBy(const TiXmlDeclaration &declaration) {
    const char *name = declaration.Encoding();
    if (*name == '\0' || LibraryReading::StringEqual(name, "UTF-8", true, TIXML_ENCODING_UNKNOWN) ||
        LibraryReading::StringEqual(name, "UTF8", true, TIXML_ENCODING_UNKNOWN))
        return TIXML_ENCODING_UTF8;
    return TIXML_ENCODING_LEGACY;
}

class NestingScan {
public:
    NestingScan(const char *text, int maxDepth, TiXmlEncoding encoding)
        : text(text), maxDepth(maxDepth), encoding(encoding) {}

    // TiXmlDocument::Parse.
    std::optional<NodeBeyondDepth> Run() {
        if (encoding == TIXML_ENCODING_UNKNOWN && StartsWithByteOrderMark(text))
            encoding = TIXML_ENCODING_UTF8;
        const char *p = LibraryReading::SkipWhiteSpace(text, encoding);
        while (p != nullptr && *p == '<') {
            p = ReadTopLevelNode(p);
            p = LibraryReading::SkipWhiteSpace(p, encoding);
        }
        return std::move(deepNode);
    }

private:
    const char *ReadTopLevelNode(const char *p) {
        const NodeKind kind = Identify(p, encoding);
        if (kind == NodeKind::Element)
            return ReadElement(p);
        const std::unique_ptr<TiXmlNode> leaf = NewLeaf(kind);
        p = leaf->Parse(p, nullptr, encoding);
        if (encoding == TIXML_ENCODING_UNKNOWN && leaf->ToDeclaration() != nullptr)
            encoding = EncodingNamedBy(*leaf->ToDeclaration());
        return p;
    }

    // TiXmlElement::Parse with ReadValue, for a top-level element and everything inside it.
    const char *ReadElement(const char *p) {
        p = ReadStartTag(p);
        while (p != nullptr && !openElements.empty()) {
            p = LibraryReading::SkipWhiteSpace(p, encoding);
            if (p == nullptr || *p == '\0')
                return nullptr;
            if (*p != '<')
                p = ReadText(p);
            else if (LibraryReading::StringEqual(p, "</", false, encoding))
                p = ReadEndTag(p);
            else
                p = ReadChildNode(p);
        }
        return p;
    }

    // The name and attributes up to "/>", or up to ">", which opens the element.
    const char *ReadStartTag(const char *p) {
        std::string name;
        p = LibraryReading::ReadName(LibraryReading::SkipWhiteSpace(p + 1, encoding), &name, encoding);
        while (p != nullptr && *p != '\0') {
            p = LibraryReading::SkipWhiteSpace(p, encoding);
            if (*p == '\0')
                return nullptr;
            if (*p == '/')
                return p[1] == '>' ? p + 2 : nullptr;
            if (*p == '>') {
                openElements.push_back(std::move(name));
                return p + 1;
            }
            TiXmlAttribute attribute;
            p = attribute.Parse(p, nullptr, encoding);
        }
        return nullptr;
    }

    // Where the text ends does not depend on whether the library condenses white space.
    const char *ReadText(const char *p) {
        TiXmlText textNode("");
        return textNode.Parse(p, nullptr, encoding);
    }

    const char *ReadEndTag(const char *p) {
        const std::string endTag = "</" + openElements.back();
        if (!LibraryReading::StringEqual(p, endTag.c_str(), false, encoding))
            return nullptr;
        p = LibraryReading::SkipWhiteSpace(p + endTag.size(), encoding);
        if (p == nullptr || *p != '>')
            return nullptr;
        openElements.pop_back();
        return p + 1;
    }

    // The depth check comes before the node is identified, so nothing deeper is ever read.
    const char *ReadChildNode(const char *p) {
        const long long depth = static_cast<long long>(openElements.size()) + 1;
        if (depth > maxDepth) {
            deepNode = NodeBeyondDepth{static_cast<std::size_t>(p - text), openElements};
            return nullptr;
        }
        const NodeKind kind = Identify(p, encoding);
        if (kind == NodeKind::Element)
            return ReadStartTag(p);
        return NewLeaf(kind)->Parse(p, nullptr, encoding);
    }

    const char *const text;
    const int maxDepth;
    TiXmlEncoding encoding;
    std::vector<std::string> openElements;
    std::optional<NodeBeyondDepth> deepNode;
};

} // namespace

std::optional<NodeBeyondDepth> FindNodeBeyondDepth(const PaddedXmlText &text, int maxDepth, TiXmlEncoding encoding) {
    return NestingScan(text.c_str(), maxDepth, encoding).Run();
}

std::string TextBeforeNode(const PaddedXmlText &text, const NodeBeyondDepth &node) {
    std::string before(text.c_str(), node.offset);
    for (auto name = node.openElements.rbegin(); name != node.openElements.rend(); ++name)
        before += "</" + *name + ">";
    return before;
}
