/*
 * ticker: an example plugin that logs a line every few seconds from a worker
 * thread of its own, until the core closes it.
 *
 * The life of a plugin: Load describes it and keeps the core's event entry;
 * because it asks for a worker thread, the core then calls IOCTL with the
 * code WORKER_THREAD on a new thread and lets that call run as long as it
 * likes; Close tells the thread to finish, and the core joins the thread
 * before it unloads the library.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* The entry points are declared by the header: a definition that does not
 * match them does not compile. */
#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#include "dvrplugin.h"

#define TICKER_ID    0x00E10000u /* bits 16-27 also address it from the supervisor */
#define TICK_SECONDS 5

static EventEntryPoint raiseEvent;
static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t closing;
static int closed;

/* A log line is an event: class CLASS_LOG, type TYPE_LOG_TEXT, the level in
 * Params and the text, NUL included, as data. The core copies the text, so
 * it may live on the stack. */
static void LogLine(uint32_t level, const char *text) {
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = (uint32_t)strlen(text) + 1;
    in.Data = (void *)text;
    in.Source = TICKER_ID;
    in.EventClass = CLASS_LOG;
    in.EventType = TYPE_LOG_TEXT;
    in.Params[EVENT_PARAM_LEVEL] = level;
    _EventParmsOut out = {sizeof out, 1, 0};
    raiseEvent(&in, &out);
}

/* Waits one tick; non-zero once the plugin has been closed. */
static int WaitOneTick(void) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += TICK_SECONDS;
    pthread_mutex_lock(&stateLock);
    while (!closed && pthread_cond_timedwait(&closing, &stateLock, &until) == 0) {
    }
    int done = closed;
    pthread_mutex_unlock(&stateLock);
    return done;
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->EventEntry;
    /* A monotonic clock: wall-clock jumps neither hurry nor stall the ticks. */
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&closing, &attributes);
    pthread_condattr_destroy(&attributes);
    out->ID = TICKER_ID;
    out->WorkerThread = 1; /* no masks, no WriteEvents: it only talks */
    return 0;
}

int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
    if (in->Code != WORKER_THREAD) {
        return 0;
    }
    LogLine(LOG_LEVEL_INFO, "ticker started");
    for (unsigned count = 1; !WaitOneTick(); ++count) {
        char text[32];
        snprintf(text, sizeof text, "tick %u", count);
        LogLine(LOG_LEVEL_INFO, text);
    }
    return 0;
}

int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    (void)in;
    (void)out;
    pthread_mutex_lock(&stateLock);
    closed = 1;
    pthread_cond_signal(&closing);
    pthread_mutex_unlock(&stateLock);
    return 0;
}

int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) {
    (void)in;
    (void)out;
    pthread_cond_destroy(&closing); /* the worker has been joined by now */
    return 0;
}
