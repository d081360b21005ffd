/*
 * consumer: an example plugin that keeps the producer's frames past the
 * Write call that delivers them and gives them back later, from its worker
 * thread.
 *
 * What it shows: retaining and releasing buffers.
 *  - The data Write delivers is the core's copy, shared by every receiver,
 *    and normally valid for the call only. Setting out->Retained keeps it
 *    valid for this plugin instead: no copy is made.
 *  - A kept buffer is never freed by the plugin. It raises a release event
 *    (CLASS_RELEASE, Source its own ID, Data exactly the pointer it got),
 *    from any thread; the core frees the buffer when its last holder has
 *    released it. A buffer still held when the core exits is reported as a
 *    leak.
 *  - Write (main thread) and the worker touch the list of kept frames, so a
 *    lock guards it. No lock is held while raising an event.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* The entry points are declared by the header: a definition that does not
 * match them does not compile. */
#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#include "dvrplugin.h"

#define CONSUMER_ID     0x00E50000u
#define FRAME_CLASS     0x00000008u /* the producer's frames: class bit 3... */
#define FRAME_MASK      3           /* ...selects mask 3 */
#define FRAME_TYPE      0x00000100u
#define KEPT_FRAMES_MAX 4
#define RELEASE_SECONDS 3

struct KeptFrame {
    void *data;
    uint32_t length;
};

static EventEntryPoint raiseEvent;
static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t closing;
static int closed;
/* Guarded by stateLock. */
static struct KeptFrame keptFrames[KEPT_FRAMES_MAX];
static int keptCount;

static void RaiseRelease(void *data) {
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.Data = data;          /* exactly the pointer Write gave us */
    in.Source = CONSUMER_ID; /* the holder letting go */
    in.EventClass = CLASS_RELEASE;
    _EventParmsOut out = {sizeof out, 1, EVENT_OK};
    raiseEvent(&in, &out);
}

static void LogLine(const char *text) {
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = (uint32_t)strlen(text) + 1;
    in.Data = (void *)text;
    in.Source = CONSUMER_ID;
    in.EventClass = CLASS_LOG;
    in.EventType = TYPE_LOG_TEXT;
    in.Params[EVENT_PARAM_LEVEL] = LOG_LEVEL_INFO;
    _EventParmsOut out = {sizeof out, 1, EVENT_OK};
    raiseEvent(&in, &out);
}

/* Takes the kept frames out of the shared list, then releases them with the
 * lock dropped: the core may call this plugin again while it handles an event. */
static void ReleaseKeptFrames(void) {
    struct KeptFrame frames[KEPT_FRAMES_MAX];
    pthread_mutex_lock(&stateLock);
    const int count = keptCount;
    memcpy(frames, keptFrames, sizeof frames);
    keptCount = 0;
    pthread_mutex_unlock(&stateLock);
    for (int i = 0; i < count; ++i) {
        char line[80];
        /* Still ours until released: read it first. A frame has no NUL. */
        snprintf(line, sizeof line, "consumer releases %.*s", (int)frames[i].length, (const char *)frames[i].data);
        LogLine(line);
        RaiseRelease(frames[i].data);
    }
}

/* Waits RELEASE_SECONDS; non-zero once the plugin has been closed. */
static int WaitBeforeReleasing(void) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += RELEASE_SECONDS;
    pthread_mutex_lock(&stateLock);
    while (!closed && pthread_cond_timedwait(&closing, &stateLock, &until) == 0) {
    }
    const int done = closed;
    pthread_mutex_unlock(&stateLock);
    return done;
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->EventEntry;
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&closing, &attributes);
    pthread_condattr_destroy(&attributes);
    out->ID = CONSUMER_ID;
    out->EventMasks[FRAME_MASK] = FRAME_TYPE;
    out->WriteEvents = 1;
    out->WorkerThread = 1;
    return 0;
}

/* Main thread: keeps the frame if there is room, else lets the core free it. */
int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    if (in->EventClass != FRAME_CLASS || in->Data == NULL) {
        return 0;
    }
    pthread_mutex_lock(&stateLock);
    if (keptCount < KEPT_FRAMES_MAX) {
        keptFrames[keptCount].data = in->Data;
        keptFrames[keptCount].length = in->DataLength;
        ++keptCount;
        out->Retained = 1;
    }
    pthread_mutex_unlock(&stateLock);
    return 0;
}

/* The worker: every RELEASE_SECONDS gives back what it kept, and once more
 * at Close, so that nothing is left held when the core exits. */
int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
    if (in->Code != WORKER_THREAD) {
        return 0;
    }
    while (!WaitBeforeReleasing()) {
        ReleaseKeptFrames();
    }
    ReleaseKeptFrames();
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
    pthread_cond_destroy(&closing);
    return 0;
}
