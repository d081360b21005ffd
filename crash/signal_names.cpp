#include "signal_names.h"

#include <csignal>

namespace {

struct Named {
    int value;
    const char *name;
};

template <std::size_t N>
const char *Find(const Named (&table)[N], int value) {
    for (const Named &entry : table) {
        if (entry.value == value) {
            return entry.name;
        }
    }
    return nullptr;
}

const Named SIGNALS[] = {
    {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"},     {SIGILL, "SIGILL"},   {SIGTRAP, "SIGTRAP"},
    {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},       {SIGKILL, "SIGKILL"}, {SIGUSR1, "SIGUSR1"},
    {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"}, {SIGPIPE, "SIGPIPE"},     {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"},
    {SIGCHLD, "SIGCHLD"}, {SIGCONT, "SIGCONT"}, {SIGSTOP, "SIGSTOP"},     {SIGTSTP, "SIGTSTP"}, {SIGSYS, "SIGSYS"},
    {SIGXCPU, "SIGXCPU"}, {SIGXFSZ, "SIGXFSZ"}, {SIGVTALRM, "SIGVTALRM"},
};

// Codes any signal may carry: who sent it.
const Named SENDERS[] = {
    {SI_USER, "SI_USER"},   {SI_KERNEL, "SI_KERNEL"},   {SI_QUEUE, "SI_QUEUE"}, {SI_TIMER, "SI_TIMER"},
    {SI_MESGQ, "SI_MESGQ"}, {SI_ASYNCIO, "SI_ASYNCIO"}, {SI_TKILL, "SI_TKILL"},
};

const Named SEGV_CODES[] = {{SEGV_MAPERR, "SEGV_MAPERR"}, {SEGV_ACCERR, "SEGV_ACCERR"}};
const Named BUS_CODES[] = {{BUS_ADRALN, "BUS_ADRALN"}, {BUS_ADRERR, "BUS_ADRERR"}, {BUS_OBJERR, "BUS_OBJERR"}};
const Named ILL_CODES[] = {{ILL_ILLOPC, "ILL_ILLOPC"}, {ILL_ILLOPN, "ILL_ILLOPN"}, {ILL_ILLADR, "ILL_ILLADR"},
                           {ILL_ILLTRP, "ILL_ILLTRP"}, {ILL_PRVOPC, "ILL_PRVOPC"}, {ILL_PRVREG, "ILL_PRVREG"},
                           {ILL_COPROC, "ILL_COPROC"}, {ILL_BADSTK, "ILL_BADSTK"}};
const Named FPE_CODES[] = {{FPE_INTDIV, "FPE_INTDIV"}, {FPE_INTOVF, "FPE_INTOVF"}, {FPE_FLTDIV, "FPE_FLTDIV"},
                           {FPE_FLTOVF, "FPE_FLTOVF"}, {FPE_FLTUND, "FPE_FLTUND"}, {FPE_FLTRES, "FPE_FLTRES"},
                           {FPE_FLTINV, "FPE_FLTINV"}, {FPE_FLTSUB, "FPE_FLTSUB"}};

} // namespace

const char *SignalName(int signal) { return Find(SIGNALS, signal); }

const char *SignalCodeName(int signal, int code) {
    if (code <= 0 || code == SI_KERNEL) {
        return Find(SENDERS, code);
    }
    switch (signal) {
    case SIGSEGV:
        return Find(SEGV_CODES, code);
    case SIGBUS:
        return Find(BUS_CODES, code);
    case SIGILL:
        return Find(ILL_CODES, code);
    case SIGFPE:
        return Find(FPE_CODES, code);
    default:
        return nullptr;
    }
}

bool SignalHasFaultAddress(int signal, int code) {
    const bool fault = signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE;
    return fault && code > 0 && code != SI_KERNEL;
}
