// Reading product.xml and core.xml, and the documents the core writes back
// and sends to plugins.
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/dvrcore.h"
#include "xml/configuration.h"
#include "xml/core_document.h"
#include "xml/document_printing.h"
#include "xml/system_log_setting.h"

namespace {

CoreDocument Parsed(const std::string &text) {
    CoreDocument document;
    document.Parse(text.c_str());
    EXPECT_FALSE(document.Error()) << text;
    return document;
}

struct Product {
    std::string family = "korvoSight";
    std::string version = CoreVersion();
};

Product ReadProduct(const std::string &text) {
    Product product;
    ReadProductSettings(Parsed(text), product.family, product.version);
    return product;
}

std::optional<bool> ReadThrottling(const std::string &text) { return ReadThrottlingSetting(Parsed(text)); }

} // namespace

// ---- product.xml ----

TEST(ProductSettings, AttributesOfTheRootsFirstProductReplaceOnlyWhatIsPresent) {
    const Product both =
        ReadProduct("<x><Other /><Product Family=\"F\" Version=\"2.0\" /><Product Family=\"G\" /></x>");
    EXPECT_EQ(both.family, "F");
    EXPECT_EQ(both.version, "2.0");

    const Product versionOnly = ReadProduct("<?xml version=\"1.0\"?><kDVR><Product Version=\"7.1\" /></kDVR>");
    EXPECT_EQ(versionOnly.family, "korvoSight");
    EXPECT_EQ(versionOnly.version, "7.1");

    EXPECT_EQ(ReadProduct("<kDVR><Product Family=\"\" /></kDVR>").family, "");
}

TEST(ProductSettings, ProductElsewhereThanUnderTheRootIsIgnored) {
    for (const char *text : {"<kDVR><Inner><Product Family=\"F\" /></Inner></kDVR>", "<Product Family=\"F\" />"}) {
        const Product product = ReadProduct(text);
        EXPECT_EQ(product.family, "korvoSight") << text;
        EXPECT_EQ(product.version, CoreVersion()) << text;
    }
}

// ---- core.xml ----

TEST(ThrottlingSetting, ReadAsTheIntegerAtTheValuesBeginningUnderARootOfAnyName) {
    EXPECT_EQ(ReadThrottling("<kDVR Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"0\" /></kDVR>"), false);
    EXPECT_EQ(ReadThrottling("<kDVR><Memory Throttling=\"1\" /></kDVR>"), true);
    EXPECT_EQ(ReadThrottling("<settings><Memory Throttling=\"7\" /></settings>"), true);
    EXPECT_EQ(ReadThrottling("<kDVR><Memory Throttling=\" -0 apples\" /></kDVR>"), false);
    EXPECT_EQ(ReadThrottling("<kDVR><Other /><Memory Throttling=\"0\" /><Memory Throttling=\"1\" /></kDVR>"), false);
}

TEST(ThrottlingSetting, NothingWithoutAReadableValueUnderTheRoot) {
    EXPECT_EQ(ReadThrottling("<kDVR><Memory Throttling=\"no\" /></kDVR>"), std::nullopt);
    EXPECT_EQ(ReadThrottling("<kDVR><Memory ID=\"1\" /></kDVR>"), std::nullopt);
    EXPECT_EQ(ReadThrottling("<kDVR><Inner><Memory Throttling=\"0\" /></Inner></kDVR>"), std::nullopt);
    EXPECT_EQ(ReadThrottling("<Memory Throttling=\"0\" />"), std::nullopt);
}

TEST(ThrottlingSetting, ScanFollowsDecimalIntegerReading) {
    EXPECT_EQ(ScanNonZeroInteger("0"), false);
    EXPECT_EQ(ScanNonZeroInteger("000"), false);
    EXPECT_EQ(ScanNonZeroInteger("\t+0x5"), false); // "%d" stops at the x
    EXPECT_EQ(ScanNonZeroInteger("-12"), true);
    EXPECT_EQ(ScanNonZeroInteger("3 4"), true);
    for (const char *text : {"", " ", "-", "+ 1", "x1", "- 1"}) {
        EXPECT_EQ(ScanNonZeroInteger(text), std::nullopt) << '"' << text << '"';
    }
    EXPECT_EQ(ScanNonZeroInteger(nullptr), std::nullopt);
}

// Beyond int: never mistaken for 0 by a value wrapping into range.
TEST(ThrottlingSetting, OutOfRangeValuesAreNonZero) {
    EXPECT_EQ(ScanNonZeroInteger("4294967296"), true);
    EXPECT_EQ(ScanNonZeroInteger("-18446744073709551616"), true);
    EXPECT_EQ(ScanNonZeroInteger("0000000000000000000000000"), false);
}

// ---- core.xml: the system-log switch ----

TEST(SystemLogSetting, DiagnosticsReadAsAnIntegerUnderARootOfAnyName) {
    EXPECT_EQ(ReadDiagnosticsToSystemLog(Parsed("<kDVR><SystemLog Diagnostics=\"1\" /></kDVR>")), true);
    EXPECT_EQ(ReadDiagnosticsToSystemLog(Parsed("<x><Memory /><SystemLog Diagnostics=\" 7x\" /></x>")), true);
    EXPECT_EQ(ReadDiagnosticsToSystemLog(Parsed("<kDVR><SystemLog Diagnostics=\"0\" /></kDVR>")), false);
}

// The element alone keeps the switch off, and so does a value it cannot
// read: only an element that is missing gives nothing.
TEST(SystemLogSetting, AnElementWithoutAReadableValueMeansOff) {
    for (const char *text : {"<kDVR><SystemLog /></kDVR>", "<kDVR><SystemLog Diagnostics=\"yes\" /></kDVR>"}) {
        EXPECT_EQ(ReadDiagnosticsToSystemLog(Parsed(text)), false) << text;
    }
    for (const char *text :
         {"<kDVR><Memory Throttling=\"1\" /></kDVR>", "<kDVR><Inner><SystemLog Diagnostics=\"1\" /></Inner></kDVR>"}) {
        EXPECT_EQ(ReadDiagnosticsToSystemLog(Parsed(text)), std::nullopt) << text;
    }
}

// ---- The document sent ----

TEST(ConfigurationDocument, TheSystemLogSwitchFollowsMemoryAndPrecedesProduct) {
    CoreDocument document;
    BuildCoreConfiguration(document, true);
    AddSystemLogElement(document, true);
    EXPECT_EQ(PrintFileForm(document), "<?xml ?>\n<kDVR Delta=\"0\">\n"
                                       "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
                                       "    <SystemLog Diagnostics=\"1\" />\n</kDVR>\n");
    AddProductElement(document, "korvoSight", "1");
    EXPECT_EQ(PrintCompact(document), "<?xml ?><kDVR Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\" />"
                                      "<SystemLog Diagnostics=\"1\" /><Product Family=\"korvoSight\" Version=\"1\" />"
                                      "</kDVR>");
}

TEST(ConfigurationDocument, ProductFollowsMemoryUnderTheRoot) {
    CoreDocument document;
    BuildCoreConfiguration(document, false);
    AddProductElement(document, "korvoSight", "");
    EXPECT_EQ(PrintCompact(document), "<?xml ?><kDVR Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"0\" />"
                                      "<Product Family=\"korvoSight\" Version=\"\" /></kDVR>");
}

TEST(ConfigurationDocument, ControlCharactersOfTheProductBecomeQuestionMarks) {
    CoreDocument document;
    BuildCoreConfiguration(document, true);
    AddProductElement(document, "korvo\x01Sight",
                      "8.\x1f"
                      "2");
    EXPECT_NE(PrintCompact(document).find("<Product Family=\"korvo?Sight\" Version=\"8.?2\" />"), std::string::npos);
}
