/*
 * A test plugin that crashes where the file "<stem>.crash" in the working
 * directory says, for the crash report tests. Each place is a function
 * between "crash-site NAME begin" and "crash-site NAME end", so that a test
 * can check that a report's backtrace resolves to it:
 *   write     Write, on the main thread: the plugin raises the event at Open
 *   abort     abort() in Write
 *   ioctl     IOCTL code 4, on the asio thread: a supervisor packet for it
 *   worker    its worker thread
 *   overflow  its worker thread, by unbounded recursion
 *   job       a job thread's Read: the plugin starts the job at Open
 *   open      Open
 *   thread    a thread of its own, started at Open, once it has raised an event
 *   badstack  Write, after pointing the stack pointer at unmapped memory
 *   child     a child process the plugin forks at Open, which raises SIGABRT:
 *             not the core; the plugin records "child ended by a signal"
 * With any other word, or none, it crashes nowhere. It takes events of
 * class 0x1 type 0x10, and records each entry called in "calls.log".
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dvrplugin.h"

#ifndef PLUGIN_ID
#define PLUGIN_ID 0x00CA0000u
#endif

static EventEntryPoint raiseEvent;
static char stem[64] = "?";
static char site[16];
/* A null pointer the compiler cannot see through. Each site stores its own
 * value, so that no two sites are folded into one function. */
static int *volatile nowhere;
static volatile int recursionLimit = -1;

static int CrashesIn(const char *name) { return strcmp(site, name) == 0; }

/* crash-site write begin */
static __attribute__((noinline)) void CrashInWrite(void) { *nowhere = 1; }
/* crash-site write end */

/* crash-site abort begin */
static __attribute__((noinline)) void AbortInWrite(void) { abort(); }
/* crash-site abort end */

/* crash-site ioctl begin */
static __attribute__((noinline)) void CrashInIoctl(void) { *nowhere = 4; }
/* crash-site ioctl end */

/* crash-site worker begin */
static __attribute__((noinline)) void CrashInWorker(void) { *nowhere = 2; }
/* crash-site worker end */

/* crash-site overflow begin */
static __attribute__((noinline)) int Recurse(int depth) {
    volatile char frame[512];
    frame[0] = (char)depth;
    if (depth == recursionLimit) {
        return 0;
    }
    return Recurse(depth + 1) + frame[0];
}
/* crash-site overflow end */

/* crash-site job begin */
static __attribute__((noinline)) void CrashInJob(void) { *nowhere = 7; }
/* crash-site job end */

/* crash-site open begin */
static __attribute__((noinline)) void CrashInOpen(void) { *nowhere = 3; }
/* crash-site open end */

/* crash-site badstack begin */
static __attribute__((noinline)) void CrashWithBadStack(void) {
#if defined(__x86_64__)
    __asm__ volatile("mov $0x1000, %%rsp\n\tud2" ::: "memory");
#elif defined(__arm__)
    __asm__ volatile("mov r0, #0x1000\n\tmov sp, r0\n\tudf #0" ::: "r0", "memory");
#else
    abort();
#endif
}
/* crash-site badstack end */

/* crash-site child begin */
static __attribute__((noinline)) void CrashInChild(void) { raise(SIGABRT); }
/* crash-site child end */

/* crash-site thread begin */
static __attribute__((noinline)) void CrashInOwnThread(void) { *nowhere = 5; }
/* crash-site thread end */

static void Record(const char *what) {
    char line[128];
    int length = snprintf(line, sizeof line, "%s %s\n", stem, what);
    int file = open("calls.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (file >= 0) {
        ssize_t ignored = write(file, line, (size_t)length);
        (void)ignored;
        close(file);
    }
}

static void FindStemAndSite(void) {
    Dl_info info;
    if (dladdr((void *)FindStemAndSite, &info) != 0 && info.dli_fname != NULL) {
        const char *name = strrchr(info.dli_fname, '/');
        snprintf(stem, sizeof stem, "%s", name ? name + 1 : info.dli_fname);
        char *dot = strrchr(stem, '.');
        if (dot) {
            *dot = '\0';
        }
    }
    char path[96];
    snprintf(path, sizeof path, "%s.crash", stem);
    FILE *file = fopen(path, "r");
    if (file) {
        if (fscanf(file, "%15s", site) != 1) {
            site[0] = '\0';
        }
        fclose(file);
    }
}

static int32_t Raise(uint32_t source, uint32_t eventClass, uint32_t type, uint32_t tag, uint32_t level,
                     const char *text) {
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.Source = source;
    in.EventClass = eventClass;
    in.EventType = type;
    in.JobTag = tag;
    in.Params[EVENT_PARAM_LEVEL] = level;
    in.Data = (void *)text;
    in.DataLength = text ? (uint32_t)strlen(text) + 1 : 0;
    _EventParmsOut out = {sizeof out, 1, 0};
    raiseEvent(&in, &out);
    return out.Result;
}

static void ForkACrashingChild(void) {
    pid_t child = fork();
    if (child == 0) {
        CrashInChild();
        _exit(0);
    }
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFSIGNALED(status)) {
        Record("child ended by a signal");
    }
}

static void *RunOwnThread(void *unused) {
    (void)unused;
    Raise(PLUGIN_ID, CLASS_LOG, TYPE_LOG_TEXT, 0, LOG_LEVEL_INFO, "own thread about to crash");
    CrashInOwnThread();
    return NULL;
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    FindStemAndSite();
    raiseEvent = in->EventEntry;
    Record("Load");
    out->ID = PLUGIN_ID;
    out->EventMasks[0] = 0x10u;
    out->WorkerThread = CrashesIn("worker") || CrashesIn("overflow");
    out->ReadEvents = CrashesIn("job");
    out->WriteEvents = 1;
    return 0;
}

int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    (void)in;
    (void)out;
    Record("Open");
    if (CrashesIn("open")) {
        CrashInOpen();
    } else if (CrashesIn("write") || CrashesIn("abort") || CrashesIn("badstack")) {
        Raise(PLUGIN_ID, 0x1u, 0x10u, 0, 0, "crash");
    } else if (CrashesIn("job")) {
        Raise(JOB_CONTROL_SOURCE, 0x1u, 0x10u, 7, 0, "crash");
    } else if (CrashesIn("child")) {
        ForkACrashingChild();
    } else if (CrashesIn("thread")) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, RunOwnThread, NULL) == 0) {
            pthread_detach(thread);
        }
    }
    return 0;
}

int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    (void)in;
    (void)out;
    Record("Close");
    return 0;
}

int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) {
    (void)in;
    (void)out;
    return 0;
}

int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    (void)in;
    (void)out;
    Record("Write");
    if (CrashesIn("write")) {
        CrashInWrite();
    } else if (CrashesIn("abort")) {
        AbortInWrite();
    } else if (CrashesIn("badstack")) {
        CrashWithBadStack();
    }
    return 0;
}

int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
    if (in->Code == WORKER_THREAD) {
        Record("Worker");
        if (CrashesIn("worker")) {
            CrashInWorker();
        } else if (CrashesIn("overflow")) {
            Recurse(0);
        }
    } else if (in->Code == IPC_PACKET && CrashesIn("ioctl")) {
        CrashInIoctl();
    }
    return 0;
}

int32_t Read(_ReadParmsIn *in, _ReadParmsOut *out) {
    (void)out;
    if (in->JobTag != 0 && CrashesIn("job")) {
        CrashInJob();
    }
    return 0;
}
