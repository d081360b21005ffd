// The crash report file (written inside the handler, older reports kept
// behind the newest), reading the newest report back at the next start, and
// the run mark that tells a crashed run from a clean or a killed one.
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "crash/kept_reports.h"
#include "crash/last_run.h"
#include "tests/support/temporary_directory.h"

namespace {

std::string Report(const std::string &run, const std::string &padding = "") {
    return "core crash report\nrun: " + run + "\n" + padding + "end of report\n";
}

std::string ReadFile(const std::string &path) {
    std::string text;
    const int file = open(path.c_str(), O_RDONLY);
    char chunk[4096];
    ssize_t got;
    while (file >= 0 && (got = read(file, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
    }
    close(file);
    return text;
}

std::size_t Kept(const std::string &old, std::size_t newLength, std::size_t &from) {
    return KeptOldReports(old.data(), old.size(), newLength, from);
}

const char *const FULL_REPORT = "core crash report\n"
                                "run: 17.000000001-42\n"
                                "time: 1700000000 (2023-11-14 22:13:20 UTC)\n"
                                "signal: SIGSEGV (11) SEGV_MAPERR (1), address 0x0\n"
                                "plugin: x.so\n"
                                "blamed for: frame #1\n"
                                "library: /opt/dvr/plugins/x.so\n"
                                "file: device 2049 inode 77 size 4096 modified 1699999999.000000123\n"
                                "thread: job thread of x.so (tag 7), task 43 of process 42\n"
                                "call: Read (job tag 7) of x.so\n"
                                "backtrace (addr2line -f -e LIBRARY OFFSET):\n"
                                "#0 /lib/libc.so.6+0x10\n"
                                "#1 /opt/dvr/plugins/x.so+0x20 (Read+0x4)\n"
                                "end of report\n";

} // namespace

// ---- Keeping older reports ----

TEST(KeptReports, OlderReportsAreKeptWholeBehindTheNewestUpToTheCount) {
    std::string old = "left by hand\n";
    for (int run = 5; run > 0; --run) {
        old += Report(std::to_string(run)) + "\n";
    }
    std::size_t from = 0;
    const std::size_t kept = Kept(old, 100, from);
    EXPECT_EQ(old.substr(from, kept), Report("5") + "\n" + Report("4") + "\n" + Report("3"));
}

TEST(KeptReports, OlderReportsStopWhereTheFileWouldGrowPastItsBound) {
    const std::string large(MAX_REPORT_FILE_BYTES * 2 / 5, 'x');
    const std::string old = Report("2", large + "\n") + "\n" + Report("1", large + "\n");
    std::size_t from = 0;
    EXPECT_EQ(Kept(old, MAX_REPORT_FILE_BYTES / 4, from), Report("2", large + "\n").size());
    EXPECT_EQ(Kept(old, MAX_REPORT_FILE_BYTES, from), 0u);
    EXPECT_EQ(Kept("no report here", 10, from), 0u);
}

TEST(KeptReports, TheFileIsReplacedWholeWithTheNewestFirst) {
    testsupport::TemporaryDirectory directory("crash_files");
    const int descriptor = open(directory.Root().c_str(), O_RDONLY | O_DIRECTORY);
    char scratch[MAX_REPORT_FILE_BYTES];
    for (const char *run : {"1", "2", "3", "4", "5"}) {
        const std::string report = Report(run);
        ASSERT_TRUE(KeepCrashReport(descriptor, report.data(), report.size(), scratch));
    }
    close(descriptor);
    EXPECT_EQ(ReadFile(directory.Path(CRASH_REPORT_FILE)),
              Report("5") + "\n" + Report("4") + "\n" + Report("3") + "\n" + Report("2"));
    EXPECT_FALSE(boost::filesystem::exists(directory.Path(std::string(CRASH_REPORT_FILE) + ".pending")));
}

// ---- Reading the newest report back ----

TEST(NewestReport, FieldsFileAndFramesAreRead) {
    const auto crash = ParseNewestReport(std::string(FULL_REPORT) + "\n" + Report("older"));
    ASSERT_TRUE(crash.has_value());
    EXPECT_EQ(crash->runId, "17.000000001-42");
    EXPECT_EQ(crash->wallSeconds, 1700000000);
    EXPECT_EQ(crash->signal, "SIGSEGV");
    EXPECT_EQ(crash->cause, "SIGSEGV (11) SEGV_MAPERR (1), address 0x0");
    EXPECT_EQ(crash->plugin, "x.so");
    EXPECT_EQ(crash->library, "/opt/dvr/plugins/x.so");
    ASSERT_TRUE(crash->file.has_value());
    EXPECT_EQ(crash->file->device, 2049u);
    EXPECT_EQ(crash->file->inode, 77u);
    EXPECT_EQ(crash->file->size, 4096u);
    EXPECT_EQ(crash->file->modifiedSeconds, 1699999999);
    EXPECT_EQ(crash->file->modifiedNanoseconds, 123);
    EXPECT_EQ(crash->thread, "job thread of x.so (tag 7)");
    EXPECT_EQ(crash->call, "Read (job tag 7) of x.so");
    EXPECT_EQ(crash->frames.size(), 2u);
}

TEST(NewestReport, TheCoreIsNoPluginAndACutReportIsNone) {
    const auto core = ParseNewestReport("core crash report\nrun: 1\nplugin: the core\nend of report\n");
    ASSERT_TRUE(core.has_value());
    EXPECT_EQ(core->plugin, "");
    EXPECT_FALSE(core->file.has_value());
    const std::string full(FULL_REPORT);
    EXPECT_FALSE(ParseNewestReport(full.substr(0, full.size() - 20)).has_value());
    EXPECT_FALSE(ParseNewestReport("").has_value());
}

// ---- How the last run ended ----

class RunMarkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(getcwd(previous, sizeof previous), previous);
        ASSERT_EQ(chdir(directory.Root().c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(chdir(previous), 0); }

    void WriteReport(const std::string &text) {
        const int file = open(CRASH_REPORT_FILE, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(write(file, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(file);
    }

    testsupport::TemporaryDirectory directory{"run_mark"};
    char previous[4096];
};

TEST_F(RunMarkTest, ARunThatStoppedIsCleanAndOneThatLeftItsReportCrashed) {
    EXPECT_EQ(BeginRun("first").ending, RunEnding::Clean);
    EndRun();
    EXPECT_EQ(BeginRun("second").ending, RunEnding::Clean);
    WriteReport(Report("second"));
    const LastRun crashed = BeginRun("third");
    EXPECT_EQ(crashed.ending, RunEnding::Crashed);
    ASSERT_TRUE(crashed.crash.has_value());
    EXPECT_EQ(crashed.crash->runId, "second");
}

// The report of an earlier run is no news: this run was killed.
TEST_F(RunMarkTest, ARunThatLeftNeitherStopNorReportEndedUnknown) {
    WriteReport(Report("long ago"));
    BeginRun("killed");
    const LastRun last = BeginRun("next");
    EXPECT_EQ(last.ending, RunEnding::Unknown);
    EXPECT_FALSE(last.crash.has_value());
}
