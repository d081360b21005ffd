/*
 * my_plugin: a skeleton plugin for the recording server's core. It takes
 * events of class MY_EVENT_CLASS and type MY_EVENT_TYPE and logs one line
 * for each, and runs a worker thread of its own until the core closes it.
 * Rename it, choose your own ID, and fill in what you need; the plugin
 * author's guide (docs/plugin-guide.md in the core's sources) says
 * everything the core does with each entry point.
 *
 * Only Load is required: the core skips every entry a plugin does not
 * export, so delete the ones you do not need.
 */
#define _POSIX_C_SOURCE 200809L /* clock_gettime, also under a strict C standard */
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* The header declares the eight entry points, inside extern "C": a
 * definition that does not match them fails to compile, and the same source
 * compiled as C++ still exports the plain names the core looks up. */
#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#include <dvrplugin.h>

/* Your ID: unique among the plugins the core loads, neither 0 (job control)
 * nor CORE_SOURCE. Bits 16-27 address the plugin from the supervisor. */
#define MY_PLUGIN_ID 0x00FE0000u
/* What this plugin takes: class bit 0 selects EventMasks[0]. */
#define MY_EVENT_CLASS 0x00000001u
#define MY_EVENT_TYPE  0x00000100u

/* FlatPluginEvent, handed over at Load; valid for the life of the process. */
static EventEntryPoint raiseEvent;

/* The worker's stop: Close sets `closed` and wakes the worker, which returns.
 * The core joins the worker after Close and before Unload, and waits for it
 * without a time limit: a worker that ignores Close holds up the whole stop. */
static pthread_mutex_t stopLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stopWake = PTHREAD_COND_INITIALIZER;
static int closed;

/* A log line is an event of class CLASS_LOG; the core copies the text. */
static void LogLine(uint32_t level, const char *text) {
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = (uint32_t)strlen(text) + 1;
    in.Data = (void *)text;
    in.Source = MY_PLUGIN_ID;
    in.EventClass = CLASS_LOG;
    in.EventType = TYPE_LOG_TEXT;
    in.Params[EVENT_PARAM_LEVEL] = level;
    _EventParmsOut out = {sizeof out, 1, EVENT_OK};
    raiseEvent(&in, &out);
}

/* Main thread, once, right after the library is opened: describe the plugin.
 * The core zeroes *out first; a non-zero result or Error refuses the plugin. */
int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->EventEntry;
    out->ID = MY_PLUGIN_ID;
    out->EventMasks[0] = MY_EVENT_TYPE; /* compared with the type's delivery value */
    out->WriteEvents = 1;               /* matching events reach Write */
    out->WorkerThread = 1;              /* IOCTL WORKER_THREAD on a thread of its own, from now on */
    /* out->ReadEvents = 1;    Read on a reader thread, and jobs */
    return 0;
}

/* Your worker thread: it may run until Close. It waits for the stop a second
 * at a time; put periodic work where the comment says. */
static void RunWorker(void) {
    pthread_mutex_lock(&stopLock);
    while (!closed) {
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += 1;
        pthread_cond_timedwait(&stopWake, &stopLock, &until);
        if (!closed) {
            pthread_mutex_unlock(&stopLock);
            /* periodic work, without the lock */
            pthread_mutex_lock(&stopLock);
        }
    }
    pthread_mutex_unlock(&stopLock);
}

/* Main thread, once, after every plugin is loaded. The result is reported in
 * plugins.xml as OpenCode; the plugin stays either way. Supervisor packets
 * may arrive (IOCTL IPC_PACKET) before Open. */
int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    (void)in;
    (void)out;
    LogLine(LOG_LEVEL_INFO, "my_plugin opened");
    return 0;
}

/* Main thread, per event your masks take: the delivery loop waits for you,
 * so return quickly. in->Data is valid for the call unless you set
 * out->Retained (then raise CLASS_RELEASE for it when done). */
int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    (void)out;
    char text[64];
    snprintf(text, sizeof text, "my_plugin got %u bytes", (unsigned)in->DataLength);
    LogLine(LOG_LEVEL_INFO, text);
    return 0;
}

/* Requests by code, each on its own thread. */
int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
    switch (in->Code) {
    case WORKER_THREAD: /* your worker thread, as Load asked: may run until Close */
        RunWorker();
        break;
    case UPDATE_CONFIG: /* main thread: a configuration document, text without a NUL */
        break;
    case IPC_PACKET: /* the core's I/O thread: a supervisor packet addressed to you, header
                        included, valid for this call only */
        break;
    default:
        break;
    }
    return 0;
}

/* Your reader thread (JobTag 0), if Load set ReadEvents, and a job thread per
 * job your masks take (JobTag and a private copy of the job's data). */
int32_t Read(_ReadParmsIn *in, _ReadParmsOut *out) {
    (void)in;
    (void)out;
    return 0;
}

/* Seek is resolved but never called. */
int32_t Seek(void *in, void *out) {
    (void)in;
    (void)out;
    return 0;
}

/* Main thread, once, at stop: make your worker and reader return. Your log
 * lines from here on are printed but no longer delivered. */
int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    (void)in;
    (void)out;
    pthread_mutex_lock(&stopLock);
    closed = 1;
    pthread_cond_broadcast(&stopWake);
    pthread_mutex_unlock(&stopLock);
    return 0;
}

/* Main thread, once, after your threads and jobs have returned; the library
 * is closed afterwards. */
int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) {
    (void)in;
    (void)out;
    return 0;
}
