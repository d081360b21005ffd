/*
 * The benchmark's plugins, one source built into roles by compile
 * definitions (see CMakeLists.txt):
 *  - PRODUCER: its worker thread and three more raising threads carry out
 *    the benchmark's commands: raise events, start jobs, send packets.
 *  - SINK: counts Writes, job Reads and supervisor packets; stamps the
 *    start of each latency Write.
 *  - KEEPER: retains every buffer it gets and releases it at its next Write.
 *  - ID_FROM_NAME: does nothing; its ID comes from the digits of its file
 *    name, so that one library copied under many names loads many times.
 * They talk to the benchmark program through the control block of
 * bench_control.h, mapped from the core's working directory.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "bench_control.h"
#include "dvrplugin.h"

#ifndef PLUGIN_ID
#define PLUGIN_ID 0x00F00000u
#endif
#ifndef MASK0
#define MASK0 0u
#endif
#ifndef MASK1
#define MASK1 0u
#endif
#ifndef MASK2
#define MASK2 0u
#endif
#ifndef MASK3
#define MASK3 0u
#endif

static EventEntryPoint raiseEvent;
static BenchControl *control;
static uint32_t pluginId = PLUGIN_ID;

/* Null when the benchmark laid out no control block (start-up runs). */
static BenchControl *MapControl(void) {
    const int file = open(BENCH_CONTROL_FILE, O_RDWR | O_CLOEXEC);
    if (file < 0) {
        return NULL;
    }
    void *mapped = mmap(NULL, sizeof(BenchControl), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    close(file);
    return mapped == MAP_FAILED ? NULL : (BenchControl *)mapped;
}

#ifdef ID_FROM_NAME
/* The plugins of the start-up run are copies of one library: each takes
 * its ID from the number in its own file name. */
static uint32_t IdFromFileName(void) {
    Dl_info info;
    if (dladdr((void *)IdFromFileName, &info) == 0 || info.dli_fname == NULL) {
        return PLUGIN_ID;
    }
    const char *name = strrchr(info.dli_fname, '/');
    name = name ? name + 1 : info.dli_fname;
    while (*name != '\0' && (*name < '0' || *name > '9')) {
        ++name;
    }
    return PLUGIN_ID + ((uint32_t)strtoul(name, NULL, 10) << 16);
}
#endif

#if defined(PRODUCER) || defined(KEEPER)
static void FillEvent(_EventParmsIn *in, uint32_t source, uint32_t eventClass) {
    memset(in, 0, sizeof *in);
    in->Size = sizeof *in;
    in->Version = 1;
    in->Source = source;
    in->EventClass = eventClass;
    in->EventType = BENCH_EVENT_TYPE;
}

static void Raise(_EventParmsIn *in) {
    _EventParmsOut out = {sizeof out, 1, EVENT_OK};
    raiseEvent(in, &out);
    if (out.Result != EVENT_OK) {
        __atomic_add_fetch(&control->refused, 1, __ATOMIC_RELAXED);
    }
}

#endif

#ifdef KEEPER
static void *keptBuffer; /* main thread only: Write and Close */

static void Release(void *buffer) {
    _EventParmsIn in;
    FillEvent(&in, pluginId, CLASS_RELEASE);
    in.Data = buffer;
    Raise(&in);
}
#endif

#ifdef PRODUCER
static void RaiseEvents(uint32_t count, uint32_t length, uint32_t eventClass) {
    void *data = length != 0 ? malloc(length) : NULL;
    if (data != NULL) {
        memset(data, 0x5a, length);
    }
    _EventParmsIn in;
    FillEvent(&in, pluginId, eventClass);
    in.Data = data;
    in.DataLength = data != NULL ? length : 0;
    for (uint32_t i = 0; i < count; ++i) {
        Raise(&in);
    }
    free(data);
}

/* One event in flight: the next is raised only after the sink has had the
 * previous one and a pause has passed, so that the core is idle each time. */
static void RaiseSpaced(uint32_t count, uint32_t spacingNs) {
    _EventParmsIn in;
    FillEvent(&in, pluginId, BENCH_CLASS_LATENCY);
    const struct timespec pause = {0, (long)spacingNs};
    for (uint32_t i = 0; i < count && i < BENCH_LATENCY_SAMPLES; ++i) {
        in.Params[0] = i;
        control->calledAt[i] = BenchNow();
        Raise(&in);
        control->returnedAt[i] = BenchNow();
        uint32_t seen;
        while ((seen = BenchLoad(&control->completed)) <= i) {
            if (!BenchWaitWhile(&control->completed, seen, 10000000000LL)) {
                return;
            }
        }
        nanosleep(&pause, NULL);
    }
}

static void StartJobs(uint32_t count) {
    _EventParmsIn in;
    FillEvent(&in, JOB_CONTROL_SOURCE, BENCH_CLASS_JOB);
    in.JobTag = 1;
    for (uint32_t i = 0; i < count; ++i) {
        Raise(&in);
    }
}

/* Each packet is a buffer of its own: the core takes it over. */
static void SendPackets(uint32_t count, uint32_t length) {
    _EventParmsIn in;
    FillEvent(&in, pluginId, CLASS_TO_SUPERVISOR);
    for (uint32_t i = 0; i < count; ++i) {
        in.Data = malloc(length);
        if (in.Data != NULL) {
            memset(in.Data, 0x5a, length);
        }
        in.DataLength = in.Data != NULL ? length : 0;
        Raise(&in);
    }
}

/* Returns 0 on the quit command. */
static int Perform(uint32_t raiser) {
    const uint32_t command = BenchLoad(&control->command);
    if (command == BENCH_QUIT) {
        return 0;
    }
    if (raiser >= control->raisers) {
        return 1;
    }
    switch (command) {
    case BENCH_RAISE_EVENTS:
        RaiseEvents(control->count, control->dataLength, control->eventClass);
        break;
    case BENCH_RAISE_SPACED:
        RaiseSpaced(control->count, control->spacingNs);
        break;
    case BENCH_START_JOBS:
        StartJobs(control->count);
        break;
    case BENCH_SEND_PACKETS:
        SendPackets(control->count, control->dataLength);
        break;
    default:
        break;
    }
    __atomic_add_fetch(&control->finished, 1, __ATOMIC_ACQ_REL);
    BenchWake(&control->finished);
    return 1;
}

static void *RaiserLoop(void *argument) {
    const uint32_t raiser = (uint32_t)(uintptr_t)argument;
    uint32_t seen = 0;
    for (;;) {
        BenchWaitWhile(&control->generation, seen, 1000000000LL);
        const uint32_t generation = BenchLoad(&control->generation);
        if (generation == seen) {
            continue;
        }
        seen = generation;
        if (!Perform(raiser)) {
            return NULL;
        }
    }
}

static void RunRaisers(void) {
    pthread_t others[BENCH_MAX_RAISERS];
    int started = 0;
    for (uint32_t i = 1; i < BENCH_MAX_RAISERS; ++i) {
        if (pthread_create(&others[started], NULL, RaiserLoop, (void *)(uintptr_t)i) == 0) {
            ++started;
        }
    }
    RaiserLoop((void *)(uintptr_t)0);
    for (int i = 0; i < started; ++i) {
        pthread_join(others[i], NULL);
    }
}
#endif

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->EventEntry;
    control = MapControl();
#ifdef ID_FROM_NAME
    pluginId = IdFromFileName();
#endif
    out->ID = pluginId;
    out->EventMasks[0] = MASK0;
    out->EventMasks[1] = MASK1;
    out->EventMasks[2] = MASK2;
    out->EventMasks[3] = MASK3;
    out->WriteEvents = 1;
#ifdef PRODUCER
    out->WorkerThread = control != NULL;
#endif
#ifdef SINK
    out->ReadEvents = 1;
#endif
    return 0;
}

int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    (void)in;
    (void)out;
    return 0;
}

int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    (void)in;
    (void)out;
#ifdef PRODUCER
    if (control != NULL) {
        BenchStore(&control->command, BENCH_QUIT);
        __atomic_add_fetch(&control->generation, 1, __ATOMIC_ACQ_REL);
        BenchWake(&control->generation);
    }
#endif
#ifdef KEEPER
    if (keptBuffer != NULL) {
        Release(keptBuffer);
        keptBuffer = NULL;
    }
#endif
    return 0;
}

int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) {
    (void)in;
    (void)out;
    if (control != NULL) {
        munmap(control, sizeof *control);
        control = NULL;
    }
    return 0;
}

int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    if (control == NULL) {
        return 0;
    }
#ifdef SINK
    if (in->EventClass == BENCH_CLASS_LATENCY && in->Params[0] < BENCH_LATENCY_SAMPLES) {
        control->writeAt[in->Params[0]] = BenchNow();
        BenchComplete(control);
        BenchWake(&control->completed);
        return 0;
    }
#endif
#ifdef KEEPER
    if (keptBuffer != NULL) {
        Release(keptBuffer);
    }
    keptBuffer = in->Data;
    out->Retained = in->Data != NULL;
#else
    (void)in;
    (void)out;
#endif
    BenchComplete(control);
    return 0;
}

int32_t Read(_ReadParmsIn *in, _ReadParmsOut *out) {
    (void)out;
    if (control != NULL && in->JobTag != 0) {
        BenchComplete(control);
    }
    return 0;
}

int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)in;
    (void)out;
#ifdef PRODUCER
    if (in->Code == WORKER_THREAD && control != NULL) {
        RunRaisers();
    }
#endif
#ifdef SINK
    if (in->Code == IPC_PACKET && control != NULL) {
        BenchComplete(control);
    }
#endif
    return 0;
}
