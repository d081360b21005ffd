/*
 * Preloaded into the core by a test: a stop signal arrives at the very
 * moment its handler is removed, the moment at which the default action
 * would end the process. Whenever a handler of SIGINT, SIGTERM, SIGQUIT or
 * SIGHUP is replaced by SIG_DFL, that signal is sent to the process at once.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

typedef int (*SigactionEntry)(int, const struct sigaction *, struct sigaction *);

static SigactionEntry nextSigaction;

__attribute__((constructor)) static void FindNextSigaction(void) {
    nextSigaction = (SigactionEntry)dlsym(RTLD_NEXT, "sigaction");
}

static int IsStopSignal(int number) {
    return number == SIGINT || number == SIGTERM || number == SIGQUIT || number == SIGHUP;
}

static int IsHandler(const struct sigaction *action) {
    return action->sa_handler != SIG_DFL && action->sa_handler != SIG_IGN;
}

int sigaction(int number, const struct sigaction *action, struct sigaction *previous) {
    struct sigaction before;
    int result = nextSigaction(number, action, &before);
    if (result == 0 && previous != NULL) {
        *previous = before;
    }
    if (result == 0 && action != NULL && IsStopSignal(number) && action->sa_handler == SIG_DFL && IsHandler(&before)) {
        kill(getpid(), number);
    }
    return result;
}
