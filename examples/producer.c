/*
 * producer: an example plugin whose worker thread raises a data event, a
 * "frame", every two seconds. The consumer example takes them.
 *
 * What it shows: raising events with data from a thread of your own.
 *  - Load keeps the core's event entry and asks for a worker thread; the
 *    core then calls IOCTL with the code WORKER_THREAD on a new thread, and
 *    that call may run as long as the plugin likes.
 *  - An ordinary event's data is copied by the core during the call, so the
 *    frame may live on the stack and be reused at once. Whoever wants the
 *    data later gets the core's copy, not this buffer.
 *  - The result tells whether the core took the event: EVENT_REFUSED once
 *    the core is stopping. Close tells the worker to return; the core joins
 *    the worker before it unloads the library.
 *
 * A frame: class FRAME_CLASS (bit 3, so receivers select it with mask 3),
 * type FRAME_TYPE, data the text "frame <n>" without a NUL.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* The entry points are declared by the header: a definition that does not
 * match them does not compile. */
#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#include "dvrplugin.h"

#define PRODUCER_ID   0x00E40000u
#define FRAME_CLASS   0x00000008u /* shared with the consumer */
#define FRAME_TYPE    0x00000100u /* a type bit of the plugins' own */
#define FRAME_SECONDS 2

static EventEntryPoint raiseEvent;
static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t closing;
static int closed;

static int32_t RaiseFrame(const char *text) {
    _EventParmsIn in;
    memset(&in, 0, sizeof in); /* Params, JobTag and the reserved words 0 */
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = (uint32_t)strlen(text);
    in.Data = (void *)text; /* copied by the core before the call returns */
    in.Source = PRODUCER_ID;
    in.EventClass = FRAME_CLASS;
    in.EventType = FRAME_TYPE;
    _EventParmsOut out = {sizeof out, 1, EVENT_OK};
    raiseEvent(&in, &out);
    return out.Result;
}

/* Waits FRAME_SECONDS; non-zero once the plugin has been closed. */
static int WaitForNextFrame(void) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += FRAME_SECONDS;
    pthread_mutex_lock(&stateLock);
    while (!closed && pthread_cond_timedwait(&closing, &stateLock, &until) == 0) {
    }
    const int done = closed;
    pthread_mutex_unlock(&stateLock);
    return done;
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->EventEntry; /* valid for the life of the process */
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&closing, &attributes);
    pthread_condattr_destroy(&attributes);
    out->ID = PRODUCER_ID;
    out->WorkerThread = 1; /* it receives nothing: no masks, no WriteEvents */
    return 0;
}

/* The worker: runs from Load until Close. */
int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
    if (in->Code != WORKER_THREAD) {
        return 0;
    }
    for (unsigned number = 1; !WaitForNextFrame(); ++number) {
        char frame[32];
        snprintf(frame, sizeof frame, "frame %u", number);
        if (RaiseFrame(frame) == EVENT_REFUSED) {
            break; /* the core is stopping: nobody will get more frames */
        }
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
