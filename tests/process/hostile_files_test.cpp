// What the core makes of its working directory's files when an attacker or a
// careless installer got there first: links at the names it writes, special
// and enormous files at the names it reads, a product file it must only read,
// and a supervisor identity that would break its report.
#include <cstdio>
#include <optional>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "tests/support/core_harness.h"

using namespace coretest;
namespace fs = boost::filesystem;

namespace {

const char *const STARTED = "successfully started core version ";
const std::string BUILT_IN_VERSION = BuiltCoreVersion();

// Starts the core under a supervisor with the given identity, stops it once
// it has started, and expects a clean exit. Returns the console.
std::string StartAndStop(const Installation &installation, const std::string &supervisorFile = "korvod",
                         const std::string &supervisorVersion = "2.1") {
    CoreProcess core(installation);
    core.SendIdentity(supervisorFile, supervisorVersion);
    EXPECT_TRUE(core.WaitForConsole(STARTED, Scaled(10)));
    core.SendStop();
    EXPECT_EQ(core.WaitForExit(Scaled(10)), 0);
    return core.Console();
}

struct PluginInstallation : Installation {
    PluginInstallation() { AddPlugin("tp_basic", "p.so"); }
    std::string Path(const std::string &relative) const { return Root() + "/" + relative; }
};

// ---- Special and enormous files where the configuration is read ----

enum class Unusable { Fifo, Directory, SparseTerabyte };

const char *NameOf(Unusable kind) {
    switch (kind) {
    case Unusable::Fifo:
        return "a FIFO";
    case Unusable::Directory:
        return "a directory";
    case Unusable::SparseTerabyte:
        return "a sparse 1 TB file";
    }
    return "?";
}

void MakeUnusable(const std::string &path, Unusable kind) {
    switch (kind) {
    case Unusable::Fifo:
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        break;
    case Unusable::Directory:
        fs::create_directory(path);
        break;
    case Unusable::SparseTerabyte: {
        // 64 bits also where off_t has 32 (a 32-bit build without large-file support).
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_LARGEFILE, 0600);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(ftruncate64(fd, off64_t{1} << 40), 0) << "the file system holds no sparse terabyte";
        close(fd);
        break;
    }
    }
}

// A standard XML parser's verdict on the report: empty when it parses,
// nothing when the parser cannot be run here (not installed, or a test
// program under an emulator that cannot start the machine's own programs).
// The report opens with a declaration without a version, which XML 1.0 does
// not allow, so the parser is given what follows the declaration.
std::optional<std::string> ReportParserComplaint(const Installation &installation) {
    const std::string report = installation.ReadFile("plugins.xml");
    installation.WriteFile("report-body.xml", report.substr(report.find('\n') + 1));
    const std::string command = "xmllint --noout '" + installation.Root() + "/report-body.xml' 2>&1";
    FILE *parser = popen(command.c_str(), "r");
    if (parser == nullptr) {
        return std::nullopt;
    }
    std::string complaint;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, parser) != nullptr) {
        complaint += chunk;
    }
    const int status = pclose(parser);
    const bool notRun = WIFEXITED(status) && (WEXITSTATUS(status) == 126 || WEXITSTATUS(status) == 127);
    if (notRun) {
        return std::nullopt;
    }
    return status == 0 ? "" : complaint;
}

} // namespace

// ---- Links where the core writes ----

TEST(HostileFiles, LinksAtTheReportAndThePendingConfigurationLeaveTheirTargetsUntouched) {
    PluginInstallation installation;
    installation.WriteFile("victim-report", "precious report\n");
    installation.WriteFile("victim-pending", "precious pending\n");
    fs::create_symlink(installation.Path("victim-report"), installation.Path("plugins.xml"));
    fs::create_symlink(installation.Path("victim-pending"), installation.Path("core.xml.pending"));

    StartAndStop(installation);

    EXPECT_EQ(installation.ReadFile("victim-report"), "precious report\n");
    EXPECT_EQ(installation.ReadFile("victim-pending"), "precious pending\n");
    for (const char *written : {"plugins.xml", "core.xml"}) {
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(installation.Path(written)))) << written;
    }
    EXPECT_NE(installation.ReadFile("plugins.xml").find("Filename=\"p.so\""), std::string::npos);
    EXPECT_NE(installation.ReadFile("core.xml").find("<Memory ID=\"-2147483648\" Throttling=\"1\" />"),
              std::string::npos);
    EXPECT_FALSE(installation.Exists("plugins.xml.pending"));
    EXPECT_FALSE(fs::is_symlink(installation.Path("core.xml.pending")));
}

TEST(HostileFiles, SpecialAndEnormousConfigurationFilesCountAsUnusable) {
    for (const char *name : {"core.xml", "product.xml"}) {
        for (const Unusable kind : {Unusable::Fifo, Unusable::Directory, Unusable::SparseTerabyte}) {
            SCOPED_TRACE(std::string(NameOf(kind)) + " at " + name);
            PluginInstallation installation;
            MakeUnusable(installation.Path(name), kind);

            const std::string console = StartAndStop(installation);

            EXPECT_NE(console.find(STARTED + BUILT_IN_VERSION), std::string::npos);
            // Reading a FIFO or a terabyte left in place would stop the test itself.
            const std::string coreXml = installation.Path("core.xml");
            const bool rewritten = fs::is_regular_file(coreXml) && fs::file_size(coreXml) < 4096u;
            EXPECT_TRUE(rewritten);
            if (rewritten) {
                EXPECT_NE(installation.ReadFile("core.xml").find("Throttling=\"1\""), std::string::npos);
            }
        }
    }
}

// ---- product.xml is only read ----

TEST(HostileFiles, ProductFileAndItsBackupAreOnlyRead) {
    const std::string good = "<kDVR><Product Version=\"8.2\" /></kDVR>\n";
    const std::string backup = "<kDVR><Product Version=\"7.0\" /></kDVR>\n";
    const std::string broken = "<kDVR><Product Version=\"9.9\"";
    struct Case {
        std::string product;
        std::string versionRead;
    };
    for (const Case &each : {Case{good, "8.2"}, Case{broken, "7.0"}}) {
        SCOPED_TRACE(each.product);
        PluginInstallation installation;
        installation.WriteFile("product.xml", each.product);
        installation.WriteFile("product.xml.bak", backup);

        const std::string console = StartAndStop(installation);

        EXPECT_NE(console.find(STARTED + each.versionRead), std::string::npos);
        EXPECT_EQ(installation.ReadFile("product.xml"), each.product);
        EXPECT_EQ(installation.ReadFile("product.xml.bak"), backup);
    }
}

// ---- The supervisor's identity in the report ----

TEST(HostileFiles, ControlCharactersInTheSupervisorIdentityLeaveAReportThatParses) {
    PluginInstallation installation;

    StartAndStop(installation, "kor\x01vod",
                 "2.\x1f"
                 "1\x7");

    const std::string report = installation.ReadFile("plugins.xml");
    const std::string library = "<Library Name=\"korvod\" Filename=\"kor?vod\" Version=\"2.?1?\" />";
    EXPECT_NE(report.find(library), std::string::npos) << report;
    const std::optional<std::string> complaint = ReportParserComplaint(installation);
    if (!complaint) {
        GTEST_SKIP() << "xmllint (package libxml2-utils) cannot be run from this test program";
    }
    EXPECT_EQ(*complaint, "");
}
