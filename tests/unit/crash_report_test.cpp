// The crash report's pieces that run inside the fatal-signal handler: the
// module table, reading memory that may be gone, the blame, the report's
// text, and the walk up the stack from a signal's context.
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "crash/crash_report.h"
#include "crash/module_table.h"
#include "crash/report_text.h"
#include "crash/safe_memory.h"
#include "crash/signal_names.h"
#include "crash/stack_walk.h"

namespace {

constexpr uint32_t LIBC_AS_PLUGIN = 0x00120000u;

std::string LibraryOf(const void *address) {
    Dl_info info{};
    return dladdr(address, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : "";
}

// Without the Thumb bit, which ARM function addresses carry.
uintptr_t AddressOf(pid_t (*function)()) { return reinterpret_cast<uintptr_t>(function) & ~uintptr_t(1); }

// The C library plays a plugin: its functions export names, and a test
// plugin of its own would have to be found first.
class CrashReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(memory.Open());
        libc = LibraryOf(reinterpret_cast<const void *>(&getpid));
        ASSERT_FALSE(libc.empty());
        LibraryFile file;
        file.device = 1;
        file.inode = 2;
        file.size = 3;
        file.modifiedSeconds = 4;
        file.modifiedNanoseconds = 5;
        modules->AddPlugin(libc, &file);
        modules->Refresh();
        modules->SetPluginId(libc, LIBC_AS_PLUGIN);
    }

    std::string Compose(const Blame &blame) {
        char buffer[8192];
        ReportText text(buffer, sizeof buffer);
        ComposeReport(facts, blame, *modules, memory, text);
        return text.Text();
    }

    std::unique_ptr<ModuleTable> modules = std::make_unique<ModuleTable>();
    SafeMemory memory;
    std::string libc;
    CrashFacts facts;
};

__attribute__((noinline)) void NotAPlugin() { asm volatile(""); }

} // namespace

// ---- The module table ----

TEST_F(CrashReportTest, ModulesAreFoundByAddressWithTheirExportedFunctions) {
    const ModuleTable::Module *module = modules->Find(AddressOf(getpid));
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module->path, libc);
    EXPECT_TRUE(modules->InCode(AddressOf(getpid)));
    EXPECT_EQ(modules->PluginAt(module->plugin)->id.load(), LIBC_AS_PLUGIN);
    uint32_t nameOffset = 0;
    uintptr_t distance = 0;
    ASSERT_TRUE(ModuleTable::FunctionAt(*module, AddressOf(getpid) + 1, memory, nameOffset, distance));
    EXPECT_EQ(distance, 1u);
    const char *names = reinterpret_cast<const char *>(module->strings);
    EXPECT_STREQ(names + nameOffset, "getpid");

    EXPECT_EQ(modules->Find(0x10), nullptr);
    const ModuleTable::Module *self = modules->Find(reinterpret_cast<uintptr_t>(&NotAPlugin));
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->plugin, ModuleTable::NO_PLUGIN);
}

TEST_F(CrashReportTest, PluginsAreKnownByIdAndTheOneLoadingUntilItsIdIsSet) {
    EXPECT_EQ(modules->PluginWithId(LIBC_AS_PLUGIN)->name, std::string(libc.substr(libc.rfind('/') + 1)));
    EXPECT_EQ(modules->Loading(), nullptr);
    modules->AddPlugin("/nowhere/next.so", nullptr);
    ASSERT_NE(modules->Loading(), nullptr);
    EXPECT_STREQ(modules->Loading()->name, "next.so");
    EXPECT_FALSE(modules->Loading()->fileKnown);
    EXPECT_EQ(modules->PluginWithId(0), nullptr);
}

// ---- Reading memory that may be gone ----

TEST_F(CrashReportTest, UnreadableMemoryIsRefusedWithoutAFault) {
    const long page = sysconf(_SC_PAGESIZE);
    void *mapping = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    const auto base = reinterpret_cast<uintptr_t>(mapping);
    std::memset(mapping, 0x5A, page);
    mprotect(static_cast<char *>(mapping) + page, page, PROT_NONE);
    uint32_t value = 0;
    EXPECT_TRUE(memory.ReadValue(base, value));
    EXPECT_EQ(value, 0x5A5A5A5Au);
    EXPECT_FALSE(memory.ReadValue(base + page, value));
    EXPECT_FALSE(memory.ReadValue(base + page - 2, value)) << "a value across into the unreadable page";
    EXPECT_FALSE(memory.ReadValue(0, value));
    munmap(mapping, 2 * page);
    EXPECT_FALSE(memory.Read(base + page + 8, &value, sizeof value)) << "unmapped";
}

// ---- The blame ----

TEST_F(CrashReportTest, TheFaultingInstructionInAPluginIsBlamedFirst) {
    facts.frames[0] = {AddressOf(getpid), FrameKind::Fault};
    facts.frameCount = 1;
    const Blame blame = BlamePlugin(facts, *modules);
    ASSERT_NE(blame.plugin, nullptr);
    EXPECT_EQ(blame.plugin->id.load(), LIBC_AS_PLUGIN);
    EXPECT_EQ(blame.frame, 0u);
}

TEST_F(CrashReportTest, ElseTheFirstUnwoundFrameInAPlugin) {
    facts.frames[0] = {reinterpret_cast<uintptr_t>(&NotAPlugin), FrameKind::Fault};
    facts.frames[1] = {0x10, FrameKind::Unwound};
    facts.frames[2] = {AddressOf(getpid) + 2, FrameKind::Unwound};
    facts.frameCount = 3;
    const Blame blame = BlamePlugin(facts, *modules);
    ASSERT_NE(blame.plugin, nullptr);
    EXPECT_EQ(blame.frame, 2u);
}

// A scan finds stale addresses too: only the plugin the thread works for.
TEST_F(CrashReportTest, AScannedFrameIsBlamedOnlyWhenTheThreadWorksForItsPlugin) {
    facts.frames[0] = {reinterpret_cast<uintptr_t>(&NotAPlugin), FrameKind::Fault};
    facts.frames[1] = {AddressOf(getpid) + 2, FrameKind::Scanned};
    facts.frameCount = 2;
    EXPECT_EQ(BlamePlugin(facts, *modules).plugin, nullptr);

    facts.role = {ThreadKind::Job, LIBC_AS_PLUGIN, 7, nullptr};
    EXPECT_NE(BlamePlugin(facts, *modules).plugin, nullptr);

    facts.role = {ThreadKind::Main, 0, 0, nullptr};
    facts.inCall = true;
    facts.call = {LIBC_AS_PLUGIN, WatchedCall::Write, 0x1, 0x10, 0};
    EXPECT_NE(BlamePlugin(facts, *modules).plugin, nullptr);
    facts.call.plugin = 0x00990000u;
    EXPECT_EQ(BlamePlugin(facts, *modules).plugin, nullptr);
}

// ---- The report ----

TEST_F(CrashReportTest, ReportNamesSignalPluginFileThreadCallAndFrames) {
    facts.signal = SIGSEGV;
    facts.code = SEGV_MAPERR;
    facts.faultAddress = 0x18;
    facts.process = 40;
    facts.thread = 42;
    facts.wallSeconds = 951782400; // 2000-02-29 00:00:00
    facts.runId = "run-1";
    facts.role = {ThreadKind::PluginWorker, LIBC_AS_PLUGIN, 0, nullptr};
    facts.frames[0] = {AddressOf(getpid), FrameKind::Fault};
    facts.frames[1] = {0x10, FrameKind::Scanned};
    facts.frameCount = 2;
    const std::string report = Compose(BlamePlugin(facts, *modules));
    const std::string name = libc.substr(libc.rfind('/') + 1);
    char offset[32];
    std::snprintf(offset, sizeof offset, "+0x%lx",
                  static_cast<unsigned long>(AddressOf(getpid) - modules->Find(AddressOf(getpid))->bias));
    std::string expected = "core crash report\n"
                           "run: run-1\n"
                           "time: 951782400 (2000-02-29 00:00:00 UTC)\n"
                           "signal: SIGSEGV (11) SEGV_MAPERR (1), address 0x18\n";
    expected += "plugin: " + name + "\n";
    expected += "blamed for: the faulting instruction (frame #0)\n";
    expected += "library: " + libc + "\n";
    expected += "file: device 1 inode 2 size 3 modified 4.000000005\n";
    expected += "thread: worker thread of " + name + ", task 42 of process 40\n";
    expected += "call: IOCTL code 1 (worker) of " + name + "\n";
    expected += "backtrace (addr2line -f -e LIBRARY OFFSET):\n";
    expected += "#0 " + libc + offset + " (getpid+0x0)\n";
    expected += "#1 0xf in no module [scanned]\n";
    expected += "end of report\n";
    EXPECT_EQ(report, expected);
}

TEST_F(CrashReportTest, CoreBlameAndARecursionAreShortLines) {
    facts.signal = SIGABRT;
    facts.code = SI_TKILL;
    facts.role = {ThreadKind::Asio, 0, 0, nullptr};
    facts.frames[0] = {reinterpret_cast<uintptr_t>(&NotAPlugin), FrameKind::Fault};
    for (std::size_t i = 1; i < 6; ++i) {
        facts.frames[i] = {0x20, FrameKind::Unwound};
    }
    facts.frameCount = 6;
    const std::string report = Compose(BlamePlugin(facts, *modules));
    EXPECT_NE(report.find("signal: SIGABRT (6) SI_TKILL (-6)\nplugin: the core\n"), std::string::npos) << report;
    EXPECT_EQ(report.find("library: "), std::string::npos);
    EXPECT_NE(report.find("thread: asio thread, task"), std::string::npos);
    EXPECT_NE(report.find("call: none that the core knows of\n"), std::string::npos);
    EXPECT_NE(report.find("#1 0x1f in no module\n#2 to #5 are #1\nend of report\n"), std::string::npos) << report;
}

TEST_F(CrashReportTest, LogLinesAreTheSignalTheThreadTheBlamedFrameAndTheFile) {
    facts.signal = SIGBUS;
    facts.code = BUS_ADRALN;
    facts.role = {ThreadKind::Main, 0, 0, nullptr};
    facts.inCall = true;
    facts.call = {LIBC_AS_PLUGIN, WatchedCall::IpcIoctl, 0x04700000u, 9, 0};
    facts.frames[0] = {AddressOf(getpid), FrameKind::Fault};
    facts.frameCount = 1;
    const Blame blame = BlamePlugin(facts, *modules);
    char buffer[512];
    ReportText line(buffer, sizeof buffer);
    std::string lines;
    for (std::size_t i = 0; ComposeLogLine(i, facts, blame, *modules, memory, "/x/core-crash.txt", line); ++i) {
        lines += std::string(line.Text()) + "\n";
    }
    const std::string name = libc.substr(libc.rfind('/') + 1);
    EXPECT_EQ(lines.substr(0, lines.find('\n')), "crash: SIGBUS (7) BUS_ADRALN (1), address 0x0 in plugin " + name);
    EXPECT_NE(lines.find("call IOCTL code 4 (supervisor packet) to " + name + " (address 0x4700000 type 9)\n"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("crash: frame #0 " + libc + "+0x"), std::string::npos);
    EXPECT_NE(lines.find("\ncrash: report in /x/core-crash.txt\n"), std::string::npos);
}

TEST(ReportText, NumbersAndTruncation) {
    char buffer[64];
    ReportText text(buffer, sizeof buffer);
    text.Decimal(0).Char(' ').Signed(-9223372036854775807LL - 1).Char(' ').Hex(0xABCDEF).Char(' ').Padded(7, 3);
    EXPECT_STREQ(text.Text(), "0 -9223372036854775808 0xabcdef 007");
    char small[6];
    ReportText cut(small, sizeof small);
    cut.Add("overflowing").Hex(0xFFFF);
    EXPECT_STREQ(cut.Text(), "overf");
    EXPECT_EQ(cut.Length(), 5u);
}

TEST(SignalNames, FatalSignalsAndTheirCodes) {
    EXPECT_STREQ(SignalName(SIGSEGV), "SIGSEGV");
    EXPECT_STREQ(SignalName(SIGABRT), "SIGABRT");
    EXPECT_EQ(SignalName(1000), nullptr);
    EXPECT_STREQ(SignalCodeName(SIGFPE, FPE_INTDIV), "FPE_INTDIV");
    EXPECT_STREQ(SignalCodeName(SIGSEGV, SI_USER), "SI_USER");
    EXPECT_EQ(SignalCodeName(SIGABRT, 1), nullptr);
    EXPECT_TRUE(SignalHasFaultAddress(SIGSEGV, SEGV_ACCERR));
    EXPECT_FALSE(SignalHasFaultAddress(SIGSEGV, SI_TKILL));
    EXPECT_FALSE(SignalHasFaultAddress(SIGABRT, SI_TKILL));
}

// ---- The walk up the stack ----

namespace {

StackFrame walked[CrashFacts::MAX_FRAMES];
std::size_t walkedCount = 0;
SafeMemory *walkMemory = nullptr;

void WalkFromSignal(int, siginfo_t *, void *context) {
    WalkStack(context, CrashModules(), *walkMemory, walked, CrashFacts::MAX_FRAMES, walkedCount);
}

__attribute__((noinline)) void RaiseFromHere() {
    raise(SIGUSR2);
    asm volatile("");
}

} // namespace

// The walk starts at the interrupted instruction, not in the handler, and
// finds the function that raised the signal among the callers.
TEST_F(CrashReportTest, WalkFromASignalFindsTheInterruptedCallers) {
    CrashModules().Refresh();
    PrepareStackWalk();
    walkMemory = &memory;
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_sigaction = WalkFromSignal;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGUSR2, &action, &previous);
    RaiseFromHere();
    sigaction(SIGUSR2, &previous, nullptr);
    ASSERT_GE(walkedCount, 2u);
    EXPECT_EQ(walked[0].kind, FrameKind::Fault);
    const auto function = reinterpret_cast<uintptr_t>(&RaiseFromHere) & ~uintptr_t(1);
    bool found = false;
    for (std::size_t i = 1; i < walkedCount; ++i) {
        const uintptr_t address = LookupAddress(walked[i]);
        found = found || (address > function && address < function + 64);
    }
    EXPECT_TRUE(found) << walkedCount << " frames";
}
