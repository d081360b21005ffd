// The quarantine: counting crashed runs per plugin library, refusing one
// blamed too often, and its element of core.xml, which the core keeps.
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "crash/quarantine.h"
#include "xml/configuration.h"
#include "xml/core_configuration.h"
#include "xml/core_document.h"
#include "xml/document_printing.h"
#include "xml/quarantine_element.h"
#include "tests/support/temporary_directory.h"

namespace {

LibraryFile File(uint64_t inode) {
    LibraryFile file;
    file.device = 2049;
    file.inode = inode;
    file.size = 4096;
    file.modifiedSeconds = 1700000000;
    file.modifiedNanoseconds = 5;
    return file;
}

const std::string A = "/opt/dvr/plugins/a.so";
const std::string B = "/opt/dvr/plugins/b.so";

uint32_t Crash(QuarantineSettings &settings, const std::string &path, const LibraryFile &file) {
    bool changed = false;
    const uint32_t count = CountCrashedRun(settings, path, &file, changed);
    EXPECT_TRUE(changed);
    return count;
}

std::string Refusal(QuarantineSettings &settings, const std::string &path, const LibraryFile &file) {
    return QuarantineRefusal(settings, path, file, "core-crash.txt");
}

CoreDocument Parsed(const std::string &text) {
    CoreDocument document;
    document.Parse(text.c_str());
    EXPECT_FALSE(document.Error()) << text;
    return document;
}

} // namespace

// ---- Counting ----

TEST(Quarantine, ALibraryBlamedForThreeRunsInARowIsRefusedUntilItsFileChanges) {
    QuarantineSettings settings;
    EXPECT_EQ(Crash(settings, A, File(1)), 1u);
    EXPECT_EQ(Crash(settings, A, File(1)), 2u);
    EXPECT_EQ(Refusal(settings, A, File(1)), "");
    EXPECT_EQ(Crash(settings, A, File(1)), 3u);
    EXPECT_EQ(Refusal(settings, A, File(1)), "quarantined after 3 crashes (see core-crash.txt)");
    EXPECT_EQ(Refusal(settings, B, File(1)), "");
    // A replaced library is another file: it loads, and its count starts again.
    EXPECT_EQ(Refusal(settings, A, File(2)), "");
    EXPECT_TRUE(settings.libraries.empty());
    EXPECT_EQ(Crash(settings, A, File(2)), 1u);
}

TEST(Quarantine, ACrashBlamedElsewhereOrACleanRunBreaksTheRowButNotAQuarantine) {
    QuarantineSettings settings;
    settings.crashes = 2;
    Crash(settings, A, File(1));
    Crash(settings, A, File(1)); // quarantined
    Crash(settings, B, File(2));
    EXPECT_EQ(settings.libraries.size(), 2u);
    EXPECT_TRUE(CountRunWithoutBlame(settings)); // B ran and did not crash
    ASSERT_EQ(settings.libraries.size(), 1u);
    EXPECT_EQ(settings.libraries[0].path, A);
    EXPECT_FALSE(CountRunWithoutBlame(settings)) << "nothing left to change";
    Crash(settings, B, File(2));
    EXPECT_EQ(Crash(settings, A, File(3)), 1u) << "a new file of A";
    ASSERT_EQ(settings.libraries.size(), 1u) << "B's row was broken by the crash blamed on A";
}

TEST(Quarantine, ZeroCrashesTurnsItOff) {
    QuarantineSettings settings;
    settings.crashes = 0;
    settings.libraries.push_back({A, File(1), 9});
    bool changed = true;
    const LibraryFile file = File(1);
    EXPECT_EQ(CountCrashedRun(settings, A, &file, changed), 0u);
    EXPECT_FALSE(changed);
    EXPECT_FALSE(CountRunWithoutBlame(settings));
    EXPECT_EQ(Refusal(settings, A, File(1)), "");
    EXPECT_EQ(settings.libraries.size(), 1u);
}

// ---- The element of core.xml ----

TEST(QuarantineElement, ReadAndWrittenBack) {
    const QuarantineSettings read = ReadQuarantineElement(
        Parsed("<kDVR><Memory Throttling=\"1\" /><Quarantine Crashes=\"5\">"
               "<Library Path=\"/p/a.so\" Device=\"2049\" Inode=\"18446744073709551615\" Size=\"10\" "
               "Modified=\"1700000000.000000005\" Crashes=\"4\" />"
               "<Library Path=\"/p/broken.so\" Device=\"x\" Inode=\"1\" Size=\"1\" Modified=\"1.0\" Crashes=\"1\" />"
               "<Library Path=\"/p/b.so\" Device=\"1\" Inode=\"1\" Size=\"1\" Modified=\"1\" Crashes=\"1\" />"
               "</Quarantine></kDVR>"));
    EXPECT_TRUE(read.present);
    EXPECT_EQ(read.crashes, 5u);
    ASSERT_EQ(read.libraries.size(), 1u) << "entries with unreadable attributes are left out";
    EXPECT_EQ(read.libraries[0].path, "/p/a.so");
    EXPECT_EQ(read.libraries[0].file.inode, 18446744073709551615u);
    EXPECT_EQ(read.libraries[0].file.modifiedNanoseconds, 5);
    EXPECT_EQ(read.libraries[0].crashes, 4u);

    CoreDocument written;
    BuildCoreConfiguration(written, true);
    AddQuarantineElement(written, read);
    EXPECT_EQ(PrintFileForm(written),
              "<?xml ?>\n"
              "<kDVR Delta=\"0\">\n"
              "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
              "    <Quarantine Crashes=\"5\">\n"
              "        <Library Path=\"/p/a.so\" Device=\"2049\" Inode=\"18446744073709551615\" "
              "Size=\"10\" Modified=\"1700000000.000000005\" Crashes=\"4\" />\n"
              "    </Quarantine>\n"
              "</kDVR>\n");
}

// A core.xml without the element keeps its specified four lines.
TEST(QuarantineElement, AbsentAndEmptyIsNotWrittenAndUnreadableCrashesKeepTheDefault) {
    const QuarantineSettings absent = ReadQuarantineElement(Parsed("<kDVR><Memory Throttling=\"0\" /></kDVR>"));
    EXPECT_FALSE(absent.present);
    EXPECT_EQ(absent.crashes, QuarantineSettings::DEFAULT_CRASHES);
    CoreDocument written;
    BuildCoreConfiguration(written, false);
    AddQuarantineElement(written, absent);
    EXPECT_EQ(PrintFileForm(written).find("Quarantine"), std::string::npos);

    const QuarantineSettings bad = ReadQuarantineElement(Parsed("<kDVR><Quarantine Crashes=\"no\" /></kDVR>"));
    EXPECT_TRUE(bad.present);
    EXPECT_EQ(bad.crashes, 3u);
}

// The element is the integrator's and the core's, not the plugins': the
// configuration document they get is as before.
TEST(QuarantineElement, KeptInCoreXmlButNotSentToPlugins) {
    testsupport::TemporaryDirectory directory("quarantine_element");
    char previous[4096];
    ASSERT_EQ(getcwd(previous, sizeof previous), previous);
    ASSERT_EQ(chdir(directory.Root().c_str()), 0);
    {
        CoreDocument original = Parsed("<kDVR><Memory Throttling=\"1\" /><Quarantine Crashes=\"2\" /></kDVR>");
        ASSERT_TRUE(original.SafeSaveFile("core.xml"));
    }
    CoreConfiguration configuration;
    configuration.SetVersion("1.0");
    ASSERT_TRUE(configuration.Load().has_value());
    EXPECT_EQ(configuration.Quarantine().crashes, 2u);
    std::string published;
    configuration.Save(true, [&](const TiXmlDocument &document, uint32_t) { published = PrintCompact(document); });
    CoreDocument saved;
    ASSERT_TRUE(saved.LoadFile("core.xml"));
    EXPECT_NE(PrintFileForm(saved).find("    <Quarantine Crashes=\"2\" />\n"), std::string::npos);
    EXPECT_EQ(published.find("Quarantine"), std::string::npos) << published;
    EXPECT_NE(published.find("<Product "), std::string::npos);
    EXPECT_EQ(chdir(previous), 0);
}
