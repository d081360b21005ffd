// The product and core configuration: read once at start, core.xml rewritten from the current
// settings, and the settings sent to every plugin.
#include "configuration.h"

#include <cctype>
#include <cstdint>

#include "dvrplugin.h"
#include "core_document.h"
#include "xml_text.h"

namespace {

const TiXmlElement *FirstUnderRoot(const TiXmlDocument &document, const char *name) {
    const TiXmlElement *root = document.FirstChildElement();
    return root != nullptr ? root->FirstChildElement(name) : nullptr;
}

void CopyAttribute(const TiXmlElement &element, const char *name, std::string &value) {
    if (const char *found = element.Attribute(name))
        value = found;
}

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

} // namespace

void ReadProductSettings(const TiXmlDocument &productXml, std::string &family, std::string &version) {
    const TiXmlElement *product = FirstUnderRoot(productXml, "Product");
    if (product == nullptr)
        return;
    CopyAttribute(*product, "Family", family);
    CopyAttribute(*product, "Version", version);
}

std::optional<bool> ReadThrottlingSetting(const TiXmlDocument &coreXml) {
    const TiXmlElement *memory = FirstUnderRoot(coreXml, "Memory");
    if (memory == nullptr)
        return std::nullopt;
    return ScanNonZeroInteger(memory->Attribute("Throttling"));
}

std::optional<bool> ScanNonZeroInteger(const char *text) {
    if (text == nullptr)
        return std::nullopt;
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    if (*text == '+' || *text == '-')
        ++text;
    if (!IsDigit(*text))
        return std::nullopt;
    bool nonZero = false;
    for (; IsDigit(*text); ++text)
        nonZero = nonZero || *text != '0';
    return nonZero;
}

void BuildCoreConfiguration(TiXmlDocument &document, bool throttlingEnabled) {
    TiXmlElement memory("Memory");
    // Readers expect the core's ID as a signed decimal.
    memory.SetAttribute("ID", static_cast<int32_t>(CORE_SOURCE));
    memory.SetAttribute("Throttling", throttlingEnabled ? 1 : 0);
    TiXmlElement root("kDVR");
    root.SetAttribute("Delta", 0);
    root.InsertEndChild(memory);
    document.InsertEndChild(TiXmlDeclaration("", "", ""));
    document.InsertEndChild(root);
}

void AddProductElement(TiXmlDocument &document, const std::string &family, const std::string &version) {
    TiXmlElement *root = document.RootElement();
    if (root == nullptr)
        return;
    TiXmlElement product("Product");
    product.SetAttribute("Family", XmlSafeText(family));
    product.SetAttribute("Version", XmlSafeText(version));
    root->InsertEndChild(product);
}
