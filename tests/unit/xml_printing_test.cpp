#include <limits>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "xml/core_document.h"
#include "xml/document_printing.h"

namespace {

// Built the way the core builds its configuration document.
CoreDocument CoreConfiguration() {
    auto memory = std::make_unique<TiXmlElement>("Memory");
    memory->SetAttribute("ID", std::numeric_limits<int>::min());
    memory->SetAttribute("Throttling", 1);
    auto root = std::make_unique<TiXmlElement>("kDVR");
    root->SetAttribute("Delta", 0);
    root->LinkEndChild(memory.release());
    CoreDocument document;
    document.InsertEndChild(TiXmlDeclaration("", "", ""));
    document.LinkEndChild(root.release());
    return document;
}

} // namespace

TEST(XmlPrinting, FileFormHasOneIndentedNodePerLine) {
    EXPECT_EQ("<?xml ?>\n"
              "<kDVR Delta=\"0\">\n"
              "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
              "</kDVR>\n",
              PrintFileForm(CoreConfiguration()));
}

TEST(XmlPrinting, CompactFormIsOneLineWithoutLineFeed) {
    EXPECT_EQ("<?xml ?><kDVR Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\" /></kDVR>",
              PrintCompact(CoreConfiguration()));
}
