// The helpers the tests and the benchmarks share: waiting for a condition,
// temporary directories and starting programs.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"
#include "tests/support/temporary_directory.h"
#include "tests/support/wait_until.h"

using namespace testsupport;

namespace {

// Long enough for any start of /bin/sh on a busy machine; the waits end as
// soon as the child does.
const Seconds PATIENCE(60);

std::string ReadAll(int descriptor) {
    std::string text;
    char buffer[256];
    for (ssize_t count; (count = read(descriptor, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(count));
    }
    return text;
}

// Runs a shell script with its standard output and error into one pipe;
// what it wrote and its exit code.
std::pair<std::string, int> RunScript(ChildOptions options, const std::string &script) {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    options.command = {"sh", "-c", script};
    options.output = ends[1];
    options.errors = ends[1];
    const pid_t pid = StartChild(options);
    close(ends[1]);
    EXPECT_GT(pid, 0);
    std::string output = ReadAll(ends[0]);
    close(ends[0]);
    return {output, ExitCode(AwaitEnd(pid))};
}

} // namespace

// ---- Waiting ----

TEST(WaitUntil, ReturnsOnceTheConditionHoldsAndChecksItEvenWithNoTimeLeft) {
    int checks = 0;
    EXPECT_TRUE(WaitUntil([&] { return ++checks == 3; }, PATIENCE, std::chrono::milliseconds(0)));
    EXPECT_EQ(checks, 3);
    EXPECT_TRUE(WaitUntil([] { return true; }, Seconds(0)));
}

TEST(WaitUntil, GivesUpWhenTheTimeIsOut) {
    int checks = 0;
    EXPECT_FALSE(WaitUntil([&] { return ++checks < 0; }, Seconds(0.05)));
    EXPECT_GE(checks, 2);
}

// ---- Temporary directories ----

TEST(TemporaryDirectory, IsMadeAfreshAndRemovedWithWhatItHolds) {
    std::string root;
    {
        const TemporaryDirectory first("support-test");
        const TemporaryDirectory second("support-test");
        root = first.Root();
        EXPECT_NE(root, second.Root());
        EXPECT_TRUE(std::filesystem::is_directory(root));
        EXPECT_EQ(std::filesystem::path(root).filename().string().rfind("support-test-", 0), 0u);
        std::filesystem::create_directories(first.Path("a/b"));
        std::ofstream(first.Path("a/b/file")) << "kept until the end";
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

// ---- Starting programs ----

TEST(ChildProcess, ExitCodesAndSignalsComeBackAsExitCodes) {
    EXPECT_EQ(RunScript({}, "exit 3").second, 3);
    EXPECT_EQ(RunScript({}, "kill -TERM $$").second, 128 + SIGTERM);
}

TEST(ChildProcess, RunsInTheGivenDirectoryWithNothingOnItsInput) {
    const TemporaryDirectory directory("support-test");
    ChildOptions options;
    options.directory = directory.Root();
    const auto [output, code] = RunScript(options, "pwd; cat; echo end");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(output, std::filesystem::canonical(directory.Root()).string() + "\nend\n");
}

TEST(ChildProcess, KeepsOnlyTheDescriptorsItIsGiven) {
    int given[2];
    int other[2];
    ASSERT_EQ(pipe2(given, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(other, O_CLOEXEC), 0);
    ChildOptions options;
    options.inherited = {given[1]};
    const std::string script = "echo given >&" + std::to_string(given[1]) + "; { echo other >&" +
                               std::to_string(other[1]) + "; } 2>/dev/null; echo done";
    EXPECT_EQ(RunScript(options, script).first, "done\n");
    close(given[1]);
    close(other[1]);
    EXPECT_EQ(ReadAll(given[0]), "given\n");
    EXPECT_EQ(ReadAll(other[0]), "");
    // The parent's own descriptor stays closed on exec.
    EXPECT_EQ(fcntl(given[0], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    close(given[0]);
    close(other[0]);
}

TEST(ChildProcess, RunsTheLastStepInTheChildAndMayRunAnotherFileThanItsName) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    const pid_t parent = getpid();
    ChildOptions options;
    // Only system calls after the fork: the test process may have threads.
    options.beforeExec = [parent] {
        if (getpid() != parent && write(STDOUT_FILENO, "last step\n", 10) != 10) {
            _exit(1);
        }
    };
    options.program = "/bin/sh";
    options.command = {"not-a-shell", "-c", "echo \"$0\""};
    options.output = ends[1];
    const pid_t pid = StartChild(options);
    close(ends[1]);
    EXPECT_EQ(ReadAll(ends[0]), "last step\nnot-a-shell\n");
    close(ends[0]);
    EXPECT_EQ(ExitCode(AwaitEnd(pid)), 0);
}

TEST(ChildProcess, AProgramThatCannotStartSaysSoAndEndsTheChild) {
    ChildOptions missingProgram;
    missingProgram.command = {"/nonexistent/program"};
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    missingProgram.errors = ends[1];
    const pid_t pid = StartChild(missingProgram);
    close(ends[1]);
    EXPECT_EQ(ReadAll(ends[0]).rfind("cannot start /nonexistent/program: ", 0), 0u);
    close(ends[0]);
    EXPECT_EQ(ExitCode(AwaitEnd(pid)), CHILD_NOT_STARTED);

    ChildOptions missingDirectory;
    missingDirectory.directory = "/nonexistent/directory";
    EXPECT_EQ(RunScript(missingDirectory, "exit 0").second, CHILD_NO_DIRECTORY);
}

TEST(ChildProcess, WaitingForARunningChildEndsWithNothingAtTheTimeout) {
    ChildOptions options;
    options.command = {"sleep", "60"};
    const pid_t pid = StartChild(options);
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(WaitForEnd(pid, Seconds(0.05)));
    kill(pid, SIGKILL);
    const auto status = WaitForEnd(pid, PATIENCE);
    ASSERT_TRUE(status);
    EXPECT_EQ(ExitCode(*status), 128 + SIGKILL);
    EXPECT_EQ(AwaitEnd(pid), -1) << "reaped already";
}
