#include "xml_text.h"

namespace {

bool IsForbiddenInXml(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 && c != '\t' && c != '\n' && c != '\r';
}

} // namespace

std::string XmlSafeText(std::string text) {
    for (char &c : text) {
        if (IsForbiddenInXml(c))
            c = '?';
    }
    return text;
}
