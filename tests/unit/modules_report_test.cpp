// The modules report built from the facts the core gathers after opening.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "core/dvrcore.h"
#include "plugin/modules_report.h"
#include "xml/document_printing.h"

namespace {

ModulesReportFacts CoreOnly() {
    ModulesReportFacts facts;
    facts.coreFileName = "core";
    facts.coreVersion = CoreVersion();
    return facts;
}

// The "Modules" start tag of the report's file form.
std::string ModulesLine(const ModulesReportFacts &facts) {
    const std::string file = PrintFileForm(ModulesReportDocument(facts));
    const auto start = file.find("<Modules");
    return file.substr(start, file.find('\n', start) - start);
}

} // namespace

TEST(ModulesReport, EverySectionInItsOrder) {
    ModulesReportFacts facts = CoreOnly();
    facts.coreFileName = "core-arm";
    facts.coreVersion = "7.1";
    facts.plugins = {{0x00020000u, "z.so", 3, 40, 0}, {0xFFFF0001u, "neg.so", 0, 2, 5}};
    facts.supervisorFileName = "korvod.bin";
    facts.supervisorVersion = "2.1";
    facts.refusedLibraries = {{"b.so", "b: invalid ELF header"}, {"a.so", "a: file \"too\" short & <odd>"}};

    EXPECT_EQ(PrintFileForm(ModulesReportDocument(facts)),
              "<?xml ?>\n"
              "<kDVR Delta=\"0\">\n"
              "    <Modules TotalLoadTimeMs=\"3\" TotalOpenTimeMs=\"42\">\n"
              "        <Module ID=\"-2147483648\" Name=\"Core\" Version=\"7.1\">\n"
              "            <Plugin ID=\"-2147483648\" Filename=\"core-arm\" Opened=\"1\" LoadTimeMs=\"0\" "
              "OpenTimeMs=\"0\" OpenCode=\"0\" />\n"
              "            <Plugin ID=\"131072\" Filename=\"z.so\" Opened=\"1\" LoadTimeMs=\"3\" OpenTimeMs=\"40\" "
              "OpenCode=\"0\" />\n"
              "            <Plugin ID=\"-65535\" Filename=\"neg.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"2\" "
              "OpenCode=\"5\" />\n"
              "            <Library Name=\"korvod\" Filename=\"korvod.bin\" Version=\"2.1\" />\n"
              "            <Plugin ID=\"1\" Filename=\"a.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
              "OpenCode=\"79\" />\n"
              "            <Plugin ID=\"2\" Filename=\"b.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
              "OpenCode=\"79\" />\n"
              "        </Module>\n"
              // A value holding a double quote is quoted with single quotes.
              "        <Module ID=\"1\" Name=\"a.so\" Version='a: file &quot;too&quot; short &amp; &lt;odd&gt;' />\n"
              "        <Module ID=\"2\" Name=\"b.so\" Version=\"b: invalid ELF header\" />\n"
              "    </Modules>\n"
              "</kDVR>\n");
}

TEST(ModulesReport, SupervisorListedOnlyWithAVersion) {
    ModulesReportFacts facts = CoreOnly();
    facts.supervisorFileName = "korvod";
    EXPECT_EQ(PrintCompact(ModulesReportDocument(facts)).find("Library"), std::string::npos);
    facts.supervisorFileName = "";
    facts.supervisorVersion = "2.1";
    const std::string library = "<Library Name=\"korvod\" Filename=\"\" Version=\"2.1\" />";
    EXPECT_NE(PrintCompact(ModulesReportDocument(facts)).find(library), std::string::npos);
}

TEST(ModulesReport, DurationsAndTotalsKeepTheLow32Bits) {
    ModulesReportFacts facts = CoreOnly();
    facts.plugins = {{1u, "a.so", 0x100000005LL, 0x7FFFFFFF, 0}, {2u, "b.so", 0xFFFFFFFFLL, 0x7FFFFFFF, 0}};
    const std::string report = PrintCompact(ModulesReportDocument(facts));
    EXPECT_NE(report.find("Filename=\"a.so\" Opened=\"1\" LoadTimeMs=\"5\" OpenTimeMs=\"2147483647\""),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("Filename=\"b.so\" Opened=\"1\" LoadTimeMs=\"-1\""), std::string::npos) << report;
    EXPECT_EQ(ModulesLine(facts), "<Modules TotalLoadTimeMs=\"4\" TotalOpenTimeMs=\"-2\">");
}

// XML 1.0 has no way to carry the control characters below 0x20 other than
// tab, line feed and carriage return, not even as character references.
TEST(ModulesReport, ControlCharactersFromOutsideBecomeQuestionMarks) {
    ModulesReportFacts facts = CoreOnly();
    facts.coreVersion = "7.\x01";
    facts.plugins = {{0x00020000u, "z\x1b.so", 0, 0, 0}};
    facts.supervisorFileName = std::string("kor\0vod", 7);
    facts.supervisorVersion = "2.\x1f\t1";
    facts.refusedLibraries = {{"b\x7f\x02.so", "line\x0b"
                                               "feed\n"}};
    const std::string report = PrintCompact(ModulesReportDocument(facts));
    EXPECT_NE(report.find("Name=\"Core\" Version=\"7.?\""), std::string::npos) << report;
    EXPECT_NE(report.find("Filename=\"z?.so\""), std::string::npos) << report;
    EXPECT_NE(report.find("<Library Name=\"korvod\" Filename=\"kor?vod\" Version=\"2.?&#x09;1\" />"), std::string::npos)
        << report;
    EXPECT_NE(report.find("<Module ID=\"1\" Name=\"b\x7f?.so\" Version=\"line?feed&#x0A;\" />"), std::string::npos)
        << report;
}
