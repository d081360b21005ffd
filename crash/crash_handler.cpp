#include "crash_handler.h"

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include "crash_report.h"
#include "kept_reports.h"
#include "module_table.h"
#include "report_text.h"
#include "safe_memory.h"
#include "signal_safe_write.h"
#include "signal_stack.h"
#include "thread_role.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SANITIZER_REPORTS_FAULTS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SANITIZER_REPORTS_FAULTS 1
#endif
#endif

namespace {

constexpr int FATAL_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// A report that takes longer (a disk that hangs) gives way to the process's
// death by SIGALRM; a thread that crashes meanwhile waits as long.
constexpr unsigned REPORT_SECONDS = 10;
constexpr std::size_t REPORT_BYTES = 16 * 1024;
constexpr int SYSLOG_CRITICAL_USER = (1 << 3) | 2; // LOG_USER | LOG_CRIT
constexpr const char *SYSLOG_PATH = "/dev/log";

// Everything the handler uses, in static memory, built before it runs.
struct HandlerState {
    pid_t core = 0; // a child a plugin forked inherits the handler, but is not the core
    int directory = -1;
    char runId[48] = "";
    char reportPath[512] = "";
    char identity[32] = "core";
    SafeMemory memory;
    std::atomic<long> reporter{0}; // the task writing a report
    // The reporter's walk up the stack, and where a fault in it returns to.
    volatile sig_atomic_t walking = 0;
    sigjmp_buf walkRecovery;
    CrashFacts facts;
    char report[REPORT_BYTES];
    char scratch[MAX_REPORT_FILE_BYTES];
    char line[640];
};

HandlerState state;

long CurrentTask() { return static_cast<long>(syscall(SYS_gettid)); }

bool SanitizerReports(int signal) {
#ifdef SANITIZER_REPORTS_FAULTS
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE;
#else
    (void)signal;
    return false;
#endif
}

void SetDefault(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

// Pending until the handler returns and the signal mask is restored: the
// process then dies by it, with the interrupted context.
void RaiseAgain(int signal) {
    SetDefault(signal);
    alarm(0);
    syscall(SYS_tgkill, static_cast<long>(getpid()), CurrentTask(), static_cast<long>(signal));
}

// A datagram per line in the form the C library's syslog sends, without
// the time stamp, which the log daemon adds; syslog itself may allocate.
void LogToSystem(const Blame &blame) {
    const int socketFile = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFile < 0) {
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, SYSLOG_PATH, std::strlen(SYSLOG_PATH) + 1);
    if (connect(socketFile, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        char body[512];
        ReportText text(body, sizeof body);
        for (std::size_t index = 0;
             ComposeLogLine(index, state.facts, blame, CrashModules(), state.memory, state.reportPath, text); ++index) {
            ReportText datagram(state.line, sizeof state.line);
            datagram.Char('<').Decimal(SYSLOG_CRITICAL_USER).Char('>').Add(state.identity);
            datagram.Char('[').Signed(state.facts.process).Add("]: ").Add(text.Text());
            send(socketFile, datagram.Text(), datagram.Length(), MSG_NOSIGNAL);
        }
    }
    close(socketFile);
}

void TellStandardError(const Blame &blame) {
    char body[512];
    ReportText text(body, sizeof body);
    ComposeLogLine(0, state.facts, blame, CrashModules(), state.memory, state.reportPath, text);
    ReportText line(state.line, sizeof state.line);
    line.Add(state.identity).Add(": ").Add(text.Text()).Add("; report in ").Add(state.reportPath).Char('\n');
    WriteAll(STDERR_FILENO, line.Text(), line.Length());
}

// The C++ runtime's unwinder reads the stack as its tables say, and a
// damaged stack may send it astray: a fault during the walk comes back here
// (the fault signals are let through for it alone) and the report goes on
// with the frames found so far.
void WalkWithRecovery(const void *context) {
    sigset_t faults;
    sigemptyset(&faults);
    sigaddset(&faults, SIGSEGV);
    sigaddset(&faults, SIGBUS);
    if (sigsetjmp(state.walkRecovery, 1) == 0) {
        state.walking = 1;
        pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
        WalkStack(context, CrashModules(), state.memory, state.facts.frames, CrashFacts::MAX_FRAMES,
                  state.facts.frameCount);
    }
    state.walking = 0;
    pthread_sigmask(SIG_BLOCK, &faults, nullptr);
}

void GatherFacts(int signal, const siginfo_t *info, const void *context) {
    CrashFacts &facts = state.facts;
    facts.signal = signal;
    facts.code = info != nullptr ? info->si_code : 0;
    facts.faultAddress = info != nullptr ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
    facts.process = static_cast<long>(getpid());
    facts.thread = CurrentTask();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    facts.wallSeconds = now.tv_sec;
    facts.runId = state.runId;
    facts.role = CurrentThreadRole();
    facts.inCall = facts.role.calls != nullptr && facts.role.calls->Peek(facts.call);
    facts.frameCount = 0;
    if (context != nullptr) {
        WalkWithRecovery(context);
    }
}

void Report(int signal, const siginfo_t *info, const void *context) {
    SetDefault(SIGALRM);
    alarm(REPORT_SECONDS);
    GatherFacts(signal, info, context);
    const Blame blame = BlamePlugin(state.facts, CrashModules());
    ReportText report(state.report, sizeof state.report);
    ComposeReport(state.facts, blame, CrashModules(), state.memory, report);
    KeepCrashReport(state.directory, report.Text(), report.Length(), state.scratch);
    LogToSystem(blame);
    TellStandardError(blame);
}

// Another thread's report ends the process when it is done.
void WaitForReport() {
    timespec pause{0, 50 * 1000 * 1000};
    for (unsigned waited = 0; waited < REPORT_SECONDS * 20; ++waited) {
        nanosleep(&pause, nullptr);
    }
}

void HandleFatalSignal(int signal, siginfo_t *info, void *context) {
    const int savedErrno = errno;
    if (getpid() == state.core) {
        long expected = 0;
        if (state.reporter.compare_exchange_strong(expected, CurrentTask())) {
            Report(signal, info, context);
        } else if (expected == CurrentTask() && state.walking != 0) {
            siglongjmp(state.walkRecovery, 1);
        } else if (expected != CurrentTask()) {
            WaitForReport();
        }
    }
    RaiseAgain(signal);
    errno = savedErrno;
}

bool HasHandler(int signal) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) {
        return true;
    }
    if ((current.sa_flags & SA_SIGINFO) != 0) {
        return current.sa_sigaction != nullptr;
    }
    return current.sa_handler != SIG_DFL;
}

void CopyText(char *target, std::size_t bytes, const char *text) {
    ReportText copy(target, bytes);
    copy.Add(text);
}

void FindReportPath() {
    char directory[sizeof state.reportPath - 32];
    if (getcwd(directory, sizeof directory) == nullptr) {
        CopyText(state.reportPath, sizeof state.reportPath, CRASH_REPORT_FILE);
        return;
    }
    ReportText path(state.reportPath, sizeof state.reportPath);
    path.Add(directory).Char('/').Add(CRASH_REPORT_FILE);
}

} // namespace

const char *CrashRunId() { return state.runId; }

// The plugins may change the working directory: the report goes where core.xml is.
void InstallCrashHandler(const std::string &runId) {
    state.core = getpid();
    CopyText(state.runId, sizeof state.runId, runId.c_str());
    CopyText(state.identity, sizeof state.identity, program_invocation_short_name);
    FindReportPath();
    state.directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    state.memory.Open();
    CrashModules().Refresh();
    PrepareStackWalk();
    static AlternateSignalStack mainThreadStack;
    SetThreadRole({ThreadKind::Main, 0, 0, nullptr});
    struct sigaction action {};
    action.sa_sigaction = HandleFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int signal : FATAL_SIGNALS) {
        sigaddset(&action.sa_mask, signal);
    }
    for (int signal : FATAL_SIGNALS) {
        if (!SanitizerReports(signal) && !HasHandler(signal)) {
            sigaction(signal, &action, nullptr);
        }
    }
}
