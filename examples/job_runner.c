/*
 * job_runner: an example plugin that starts jobs and does their work in
 * Read, on the job threads the core gives it, and stops a job when it is
 * cancelled.
 *
 * What it shows: jobs.
 *  - Anyone starts a job by raising an event with Source JOB_CONTROL_SOURCE
 *    (0) and a non-zero JobTag. The core starts a new thread for every
 *    plugin that reads events (ReadEvents) and whose masks take the job, and
 *    calls Read there with the tag and a private copy of the event's data.
 *    The masks compare the job value: the type with its bits 24-31 moved down
 *    one place; for a type below 0x01000000 that is the type itself.
 *  - Inside the job, events raised with the job's tag are the job's results.
 *    The core refuses them (EVENT_REFUSED) once the job is cancelled or the
 *    core is stopping: that is the job's cue to return. Nothing interrupts
 *    Read otherwise.
 *  - A plugin with ReadEvents also gets a reader thread: one Read call
 *    with JobTag 0. This plugin needs none, so that call returns at once.
 *
 * Here the worker thread starts job 1, 2, 3... every four seconds, each
 * asking for JOB_STEPS steps of work, and cancels every third job shortly
 * after starting it. Each job raises one tagged progress event per step and
 * logs how it ended: finished, or stopped (cancelled, or the core stopping).
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* The entry points are declared by the header: a definition that does not
 * match them does not compile. */
#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#include "dvrplugin.h"

#define JOB_RUNNER_ID             0x00E60000u
#define JOB_CLASS                 0x00000010u /* class bit 4... */
#define JOB_MASK                  4           /* ...selects mask 4 */
#define JOB_TYPE                  0x00000200u /* job value 0x200 */
#define PROGRESS_TYPE             0x00000400u /* not in mask 4: the progress events reach no one here */
#define JOB_STEPS                 5u
#define STEP_MILLISECONDS         300
#define JOB_INTERVAL_MILLISECONDS 4000
#define CANCEL_AFTER_MILLISECONDS 500

static EventEntryPoint raiseEvent;
static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t closing;
static int closed;

static int32_t Raise(uint32_t source, uint32_t jobTag, uint32_t eventClass, uint32_t type, uint32_t level,
                     const void *data, uint32_t length) {
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = length;
    in.Data = (void *)data; /* copied by the core */
    in.Source = source;
    in.JobTag = jobTag;
    in.EventClass = eventClass;
    in.EventType = type;
    in.Params[EVENT_PARAM_LEVEL] = level;
    _EventParmsOut out = {sizeof out, 1, EVENT_OK};
    raiseEvent(&in, &out);
    return out.Result;
}

static void LogLine(const char *text) {
    Raise(JOB_RUNNER_ID, 0, CLASS_LOG, TYPE_LOG_TEXT, LOG_LEVEL_INFO, text, (uint32_t)strlen(text) + 1);
}

/* Job control: Source 0. The data, here the number of steps, is copied for
 * every job thread. */
static void StartJob(uint32_t jobTag, uint32_t steps) {
    Raise(JOB_CONTROL_SOURCE, jobTag, JOB_CLASS, JOB_TYPE, 0, &steps, sizeof steps);
}

static void CancelJob(uint32_t jobTag) { Raise(JOB_CONTROL_SOURCE, jobTag, CLASS_CANCEL_JOB, 0, 0, NULL, 0); }

/* Waits `milliseconds`; non-zero once the plugin has been closed. */
static int WaitOrClose(long milliseconds) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += (milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    pthread_mutex_lock(&stateLock);
    while (!closed && pthread_cond_timedwait(&closing, &stateLock, &until) == 0) {
    }
    const int done = closed;
    pthread_mutex_unlock(&stateLock);
    return done;
}

static void Sleep(long milliseconds) {
    struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&pause, NULL);
}

/* One job, on its own thread. */
static void RunJob(uint32_t jobTag, const void *data, uint32_t length) {
    uint32_t steps = 0;
    if (data == NULL || length != sizeof steps) {
        return; /* not a job of ours, or the core had no memory for its copy */
    }
    memcpy(&steps, data, sizeof steps);
    char line[80];
    for (uint32_t step = 1; step <= steps; ++step) {
        Sleep(STEP_MILLISECONDS); /* the work of one step */
        /* A progress event without data never waits for receivers. */
        if (Raise(JOB_RUNNER_ID, jobTag, JOB_CLASS, PROGRESS_TYPE, 0, NULL, 0) == EVENT_REFUSED) {
            snprintf(line, sizeof line, "job %u stopped after step %u of %u", (unsigned)jobTag, (unsigned)step - 1,
                     (unsigned)steps);
            LogLine(line);
            return;
        }
    }
    snprintf(line, sizeof line, "job %u finished %u steps", (unsigned)jobTag, (unsigned)steps);
    LogLine(line);
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->EventEntry;
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&closing, &attributes);
    pthread_condattr_destroy(&attributes);
    out->ID = JOB_RUNNER_ID;
    out->EventMasks[JOB_MASK] = JOB_TYPE;
    out->ReadEvents = 1;   /* Read on job threads (and one reader thread) */
    out->WorkerThread = 1; /* the worker starts the jobs */
    return 0;
}

/* Job threads, and the reader thread with JobTag 0. The data is freed by
 * the core when Read returns. */
int32_t Read(_ReadParmsIn *in, _ReadParmsOut *out) {
    (void)out;
    if (in->JobTag != 0) {
        RunJob(in->JobTag, in->Data, in->DataLength);
    }
    return 0;
}

/* The worker: starts a job every JOB_INTERVAL_MILLISECONDS until Close. */
int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
    if (in->Code != WORKER_THREAD) {
        return 0;
    }
    for (uint32_t jobTag = 1; !WaitOrClose(JOB_INTERVAL_MILLISECONDS); ++jobTag) {
        StartJob(jobTag, JOB_STEPS);
        if (jobTag % 3 == 0 && !WaitOrClose(CANCEL_AFTER_MILLISECONDS)) {
            CancelJob(jobTag);
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

/* The core has joined the worker and waited for every job thread. */
int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) {
    (void)in;
    (void)out;
    pthread_cond_destroy(&closing);
    return 0;
}
