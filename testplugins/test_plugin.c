/*
 * One test plugin, built into many variants by compile definitions (its ID,
 * masks, flags and results). It appends one line per call to "calls.log" in
 * the working directory, so that tests see which plugin was called when and
 * with what, and it runs small scripts of commands (see RunCommands) from
 * files, supervisor packets and job data, so that tests can make it raise
 * events, retain and release buffers and send packets.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include "dvrplugin.h"

#ifndef PLUGIN_ID
#define PLUGIN_ID 0x00010000u
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
#ifndef MASK5
#define MASK5 0u
#endif
#ifndef MASK6
#define MASK6 0u
#endif
#ifndef MASK8
#define MASK8 0u
#endif
#ifndef WORKER
#define WORKER 0
#endif
#ifndef READER
#define READER 0
#endif
#ifndef WRITER
#define WRITER 1
#endif
#ifndef LOAD_RESULT
#define LOAD_RESULT 0
#endif
#ifndef LOAD_ERROR
#define LOAD_ERROR 0
#endif
#ifndef OPEN_RESULT
#define OPEN_RESULT 0
#endif
#ifndef OPEN_ERROR /* written to the first reserved word of Open's output record */
#define OPEN_ERROR 0
#endif
#ifndef CALL_RESULT /* Close, Unload, Write and IOCTL results */
#define CALL_RESULT 0
#endif
#ifndef CALL_ERROR
#define CALL_ERROR 0
#endif
#ifndef RETAIN /* keep every Write and configuration buffer until "release" */
#define RETAIN 0
#endif
#ifndef BLOCK_UNTIL_CLOSED /* worker and reader return only after Close */
#define BLOCK_UNTIL_CLOSED 1
#endif
#ifndef WRITE_DELAY_MS /* Write sleeps, then records "Written" before it returns */
#define WRITE_DELAY_MS 0
#endif
#ifndef SUMMARY_WRITES /* Writes are only counted, for "summary"; calls.log stays small */
#define SUMMARY_WRITES 0
#endif
#ifndef SAVE_CONFIG /* write each configuration document whole to "<stem>.config<N>", N from 1 */
#define SAVE_CONFIG 0
#endif
#ifndef LOAD_THREAD /* Load starts a thread that runs in the library until Unload stops it */
#define LOAD_THREAD 0
#endif
#ifndef LATE_READ /* the library's destructor reads every retained buffer and hands one to the supervisor */
#define LATE_READ 0
#endif
#ifndef READ_PAST /* Write reads the byte just past the buffer it is given */
#define READ_PAST 0
#endif

/* The variant that exports only Load keeps its other entries hidden. */
#ifdef ONLY_LOAD
#define ENTRY __attribute__((visibility("hidden"), used))
#else
#define ENTRY
#endif

static EventEntryPoint raiseEvent;
static char stem[64] = "?";
static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t closedSignal = PTHREAD_COND_INITIALIZER;
static int closed;
/* Retained buffers, in the order they were kept; grown as needed. */
static void **retained;
static uint32_t *retainedLengths;
static int retainedCount, retainedRoom;
static int savedConfigs;
static void *lastWritten;  /* Data of the latest Write, kept or not */
static int writeScriptRun; /* "<stem>.write" runs on the first Write only */
static unsigned long summaryCount;
static char summaryLast[96];
/* Per event type: events this plugin raised that the core accepted ("stream"),
 * and Writes a SUMMARY_WRITES variant got. */
#define TALLY_TYPES 16
static struct {
    uint32_t type;
    unsigned long sent, received;
} tally[TALLY_TYPES];
static char neverAllocated[8]; /* an address the core never handed out */
/* The supervisor packet being handled on this thread, for "echo". */
static __thread const void *currentPacket;
static __thread uint32_t currentPacketLength;

/* One write() per line keeps lines of several threads and plugins whole. */
static void Record(const char *format, ...) {
    char line[512];
    int used = snprintf(line, sizeof line, "%s ", stem);
    va_list arguments;
    va_start(arguments, format);
    used += vsnprintf(line + used, sizeof line - used - 1, format, arguments);
    va_end(arguments);
    if (used > (int)sizeof line - 2) {
        used = sizeof line - 2;
    }
    line[used++] = '\n';
    int file = open("calls.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (file >= 0) {
        ssize_t ignored = write(file, line, used);
        (void)ignored;
        close(file);
    }
}

static void FindStem(void) {
    Dl_info info;
    if (dladdr((void *)FindStem, &info) == 0 || info.dli_fname == NULL) {
        return;
    }
    const char *name = strrchr(info.dli_fname, '/');
    name = name ? name + 1 : info.dli_fname;
    snprintf(stem, sizeof stem, "%s", name);
    char *dot = strrchr(stem, '.');
    if (dot) {
        *dot = '\0';
    }
}

static int32_t Raise(uint32_t source, uint32_t eventClass, uint32_t type, uint32_t tag, uint32_t level, void *data,
                     uint32_t length) {
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = length;
    in.Data = data;
    in.Source = source;
    in.JobTag = tag;
    in.EventClass = eventClass;
    in.EventType = type;
    in.Params[EVENT_PARAM_LEVEL] = level;
    _EventParmsOut out = {sizeof out, 1, 77};
    raiseEvent(&in, &out);
    return out.Result;
}

static void ReleaseRetained(void) {
    pthread_mutex_lock(&stateLock);
    int count = retainedCount;
    void **buffers = retained;
    retained = NULL;
    free(retainedLengths);
    retainedLengths = NULL;
    retainedCount = retainedRoom = 0;
    pthread_mutex_unlock(&stateLock);
    for (int i = 0; i < count; ++i) {
        Record("release %d", Raise(PLUGIN_ID, CLASS_RELEASE, 0, 0, 0, buffers[i], 0));
    }
    free(buffers);
}

/* Under stateLock: room for one more retained buffer. */
static int RoomToRetain(void) {
    if (retainedCount < retainedRoom) {
        return 1;
    }
    int room = retainedRoom ? 2 * retainedRoom : 64;
    void **buffers = realloc(retained, room * sizeof *buffers);
    if (buffers) {
        retained = buffers;
    }
    uint32_t *lengths = realloc(retainedLengths, room * sizeof *lengths);
    if (lengths) {
        retainedLengths = lengths;
    }
    if (!buffers || !lengths) {
        return 0;
    }
    retainedRoom = room;
    return 1;
}

static int KeepBuffer(void *data, uint32_t length) {
    if (!RETAIN || data == NULL) {
        return 0;
    }
    pthread_mutex_lock(&stateLock);
    int kept = RoomToRetain();
    if (kept) {
        retainedLengths[retainedCount] = length;
        retained[retainedCount++] = data;
    }
    pthread_mutex_unlock(&stateLock);
    return kept;
}

/* Gives the oldest retained buffer, or a byte inside it, to the supervisor. */
static void SendRetained(int inside) {
    pthread_mutex_lock(&stateLock);
    void *buffer = retainedCount ? retained[0] : NULL;
    uint32_t length = retainedCount ? retainedLengths[0] : 0;
    if (buffer && !inside) {
        memmove(retained, retained + 1, (retainedCount - 1) * sizeof *retained);
        memmove(retainedLengths, retainedLengths + 1, (retainedCount - 1) * sizeof *retainedLengths);
        --retainedCount;
    }
    pthread_mutex_unlock(&stateLock);
    if (buffer) {
        char *at = (char *)buffer + (inside ? 1 : 0);
        Record("result %d", Raise(PLUGIN_ID, CLASS_TO_SUPERVISOR, 0, 0, 0, at, length - (inside ? 1 : 0)));
    }
}

static void ShowRetained(void) {
    /* "holding" comes last: a test that has seen it finds every "held" line. */
    pthread_mutex_lock(&stateLock);
    for (int i = 0; i < retainedCount; ++i) {
        Record("held %p %.*s", retained[i], (int)retainedLengths[i], (const char *)retained[i]);
    }
    Record("holding %d", retainedCount);
    pthread_mutex_unlock(&stateLock);
}

/* Memory that really counts as resident: every page is written. */
static void *allocation;

static void Allocate(unsigned mebibytes) {
    size_t size = (size_t)mebibytes << 20;
    void *memory = malloc(size);
    if (memory) {
        memset(memory, 0x5a, size);
    }
    pthread_mutex_lock(&stateLock);
    void *previous = allocation;
    allocation = memory;
    pthread_mutex_unlock(&stateLock);
    free(previous);
    Record("allocated %u %s", mebibytes, memory ? "ok" : "failed");
}

static void FreeAllocation(void) {
    pthread_mutex_lock(&stateLock);
    void *memory = allocation;
    allocation = NULL;
    pthread_mutex_unlock(&stateLock);
    free(memory);
    Record("freed");
}

/* Under stateLock. Types beyond the table's size are not counted. */
static void TallyLocked(uint32_t type, int sent) {
    for (int i = 0; i < TALLY_TYPES; ++i) {
        if (tally[i].type == type || (tally[i].sent == 0 && tally[i].received == 0)) {
            tally[i].type = type;
            ++*(sent ? &tally[i].sent : &tally[i].received);
            return;
        }
    }
}

/* N events "TEXT <i>" under a tag, a pause between them; ends at the first
 * refusal (a cancelled job, a stop). Accepted events are tallied by type. */
static void Stream(const char *line) {
    unsigned count = 0, eventClass = 0, type = 0, tag = 0, pause = 0;
    int textAt = 0;
    sscanf(line, "%*s %i %i %i %i %i %n", &count, &eventClass, &type, &tag, &pause, &textAt);
    unsigned accepted = 0, throttled = 0, refused = 0;
    for (unsigned i = 0; i < count && refused == 0; ++i) {
        char text[128];
        int length = snprintf(text, sizeof text, "%s %u", textAt > 0 ? line + textAt : "", i);
        int32_t result = Raise(PLUGIN_ID, eventClass, type, tag, 0, text, (uint32_t)length);
        if (result == EVENT_OK) {
            ++accepted;
            pthread_mutex_lock(&stateLock);
            TallyLocked(type, 1);
            pthread_mutex_unlock(&stateLock);
        }
        throttled += result == EVENT_THROTTLED;
        refused += result != EVENT_OK && result != EVENT_THROTTLED;
        if (pause) {
            usleep(pause);
        }
    }
    Record("streamed tag=%u accepted=%u throttled=%u refused=%u", tag, accepted, throttled, refused);
}

static void Bulk(const char *line) {
    unsigned count = 0, eventClass = 0, type = 0, length = 0, pause = 0;
    sscanf(line, "%*s %i %i %i %i %i", &count, &eventClass, &type, &length, &pause);
    char *data = malloc(length ? length : 1);
    memset(data, 'b', length);
    unsigned accepted = 0, throttled = 0, refused = 0;
    for (unsigned i = 0; i < count; ++i) {
        int32_t result = Raise(PLUGIN_ID, eventClass, type, 0, 0, data, length);
        accepted += result == EVENT_OK;
        throttled += result == EVENT_THROTTLED;
        refused += result != EVENT_OK && result != EVENT_THROTTLED;
        if (pause) {
            usleep(pause);
        }
    }
    free(data);
    Record("bulk accepted=%u throttled=%u refused=%u", accepted, throttled, refused);
}

static void ShowTally(void) {
    char line[400];
    int used = snprintf(line, sizeof line, "tally");
    pthread_mutex_lock(&stateLock);
    for (int i = 0; i < TALLY_TYPES && (tally[i].sent || tally[i].received) && used < (int)sizeof line; ++i) {
        used +=
            snprintf(line + used, sizeof line - used, " 0x%x=%lu/%lu", tally[i].type, tally[i].sent, tally[i].received);
    }
    pthread_mutex_unlock(&stateLock);
    Record("%s", line);
}

/*
 * Commands, one per line (numbers in C notation):
 *   raise CLASS TYPE [TAG [LEVEL [TEXT]]]  an event from this plugin; TEXT is its
 *                                          data, with the NUL counted when LEVEL
 *                                          is given (a log line)
 *   job CLASS TYPE TAG [TEXT]              an event with Source 0
 *   jobscript CLASS TYPE TAG WHAT          an event with Source 0 whose data is
 *                                          the file "<stem>.WHAT" (null if absent)
 *   waitclosed                             return only after Close
 *   repeat N CLASS TYPE TEXT               N events whose data is "TEXT <i>"
 *   send LENGTH                            a LENGTH-byte packet to the supervisor
 *   echo                                   the supervisor packet being handled,
 *                                          header included, back to the supervisor
 *   await NAME                             wait until the file NAME exists
 *   release                                give back every retained buffer
 *   sendheld                               hand the oldest retained buffer to the
 *                                          supervisor (it is no longer retained)
 *   sendinside                             hand its second byte on, keeping it
 *   bulk N CLASS TYPE LENGTH PAUSE_US      N events of LENGTH bytes each; record
 *                                          "bulk accepted=A throttled=T refused=R"
 *   show                                   record "held ADDRESS TEXT" for every
 *                                          retained buffer, then "holding N"
 *   stray                                  release the latest Write buffer (which
 *                                          this plugin must not hold) and an
 *                                          address the core never allocated
 *   nulldata CLASS TYPE LENGTH             an event with null Data and LENGTH
 *   unterminated LEVEL TEXT                a log line whose data lacks the NUL
 *   overrun LEVEL TEXT                     the same, but its buffer goes on past
 *                                          DataLength with '#' bytes, then a NUL
 *   sleep MS
 *   allocate MIB                           hold MIB mebibytes, written (replaces an
 *                                          earlier allocation)
 *   free                                   give the allocation back
 *   thread NAME                            record "thread NAME <kernel thread id>"
 *   stream N CLASS TYPE TAG PAUSE_US TEXT  see Stream
 *   tally                                  record "tally TYPE=SENT/RECEIVED ..."
 *   summary                                record "summary count=N last=DATA" of the
 *                                          Writes a SUMMARY_WRITES variant counted
 *   spawn SECONDS                          start "sleep SECONDS" with /dev/null as its
 *                                          standard files; record "spawned PID"
 *   linger                                 raise events until the process ends, from
 *                                          a thread and from this library's destructor
 *                                          ("late result R"): only for a library that
 *                                          stays mapped (ID 0x00470000)
 *   abort                                  end the process with SIGABRT
 *   whoami                                 record "uid U euid E"
 * The result of each raise is recorded as "result R".
 */
static size_t ReadScript(const char *what, char *text, size_t size);
static void WaitUntilClosed(void);

/* A program that a plugin starts: whatever it inherits stays open as long as it runs. */
static void Spawn(unsigned seconds) {
    char duration[16];
    snprintf(duration, sizeof duration, "%u", seconds);
    pid_t child = fork();
    if (child == 0) {
        int devNull = open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
        if (devNull > 2) {
            close(devNull);
        }
        execlp("sleep", "sleep", duration, (char *)NULL);
        _exit(127);
    }
    Record("spawned %ld", (long)child);
}

/* Events raised while, and after, the core goes away. */
static int lingering;

static void *Linger(void *unused) {
    (void)unused;
    for (;;) {
        Raise(PLUGIN_ID, CLASS_RELEASE, 0, 0, 0, NULL, 0);
        usleep(1000);
    }
    return NULL;
}

static void StartLingering(void) {
    pthread_t thread;
    pthread_mutex_lock(&stateLock);
    lingering = 1;
    pthread_mutex_unlock(&stateLock);
    if (pthread_create(&thread, NULL, Linger, NULL) == 0) {
        pthread_detach(thread);
    }
    Record("lingering");
}

/* Reads every retained buffer after the core has gone, then hands the first
 * to the supervisor, which no longer exists. */
static void ReadRetainedLate(void) {
    unsigned long sum = 0, bytes = 0;
    for (int i = 0; i < retainedCount; ++i) {
        for (uint32_t at = 0; at < retainedLengths[i]; ++at) {
            sum += ((const unsigned char *)retained[i])[at];
        }
        bytes += retainedLengths[i];
    }
    Record("late read %d buffers %lu bytes sum %lu", retainedCount, bytes, sum);
    if (retainedCount) {
        Record("late send result %d", Raise(PLUGIN_ID, CLASS_TO_SUPERVISOR, 0, 0, 0, retained[0], retainedLengths[0]));
    }
}

__attribute__((destructor)) static void RaiseAfterTheCore(void) {
    pthread_mutex_lock(&stateLock);
    int late = lingering;
    pthread_mutex_unlock(&stateLock);
    if (late) {
        Record("late result %d", Raise(PLUGIN_ID, CLASS_RELEASE, 0, 0, 0, NULL, 0));
    }
    if (LATE_READ) {
        ReadRetainedLate();
    }
    /* Only the list goes: buffers still retained are the core's to report as leaks. */
    pthread_mutex_lock(&stateLock);
    free(retained);
    free(retainedLengths);
    retained = NULL;
    retainedLengths = NULL;
    retainedCount = retainedRoom = 0;
    pthread_mutex_unlock(&stateLock);
}

static void RunCommand(char *line) {
    char word[16] = "";
    unsigned eventClass = 0, type = 0, tag = 0, level = 0, count = 0;
    int textAt = 0;
    if (sscanf(line, "%15s", word) != 1) {
        return;
    }
    if (strcmp(word, "raise") == 0) {
        int fields = sscanf(line, "%*s %i %i %i %i %n", &eventClass, &type, &tag, &level, &textAt);
        char *text = fields == 4 && textAt > 0 ? line + textAt : NULL;
        uint32_t length = text ? (uint32_t)strlen(text) + 1 : 0;
        Record("result %d", Raise(PLUGIN_ID, eventClass, type, tag, level, text, length));
    } else if (strcmp(word, "job") == 0) {
        sscanf(line, "%*s %i %i %i %n", &eventClass, &type, &tag, &textAt);
        char *text = textAt > 0 ? line + textAt : NULL;
        Record("result %d", Raise(0, eventClass, type, tag, 0, text, text ? (uint32_t)strlen(text) : 0));
    } else if (strcmp(word, "jobscript") == 0) {
        char what[32] = "";
        sscanf(line, "%*s %i %i %i %31s", &eventClass, &type, &tag, what);
        char text[8192];
        size_t length = ReadScript(what, text, sizeof text);
        Record("result %d", Raise(0, eventClass, type, tag, 0, length ? text : NULL, (uint32_t)length));
    } else if (strcmp(word, "waitclosed") == 0) {
        WaitUntilClosed();
    } else if (strcmp(word, "repeat") == 0) {
        sscanf(line, "%*s %i %i %i %n", &count, &eventClass, &type, &textAt);
        for (unsigned i = 0; i < count; ++i) {
            char text[128];
            int length = snprintf(text, sizeof text, "%s %u", textAt > 0 ? line + textAt : "", i);
            Raise(PLUGIN_ID, eventClass, type, 0, 0, text, (uint32_t)length);
        }
        Record("repeated %u", count);
    } else if (strcmp(word, "send") == 0) {
        sscanf(line, "%*s %i", &count);
        unsigned char *packet = malloc(count ? count : 1);
        for (unsigned i = 0; i < count; ++i) {
            packet[i] = (unsigned char)i;
        }
        Record("result %d", Raise(PLUGIN_ID, CLASS_TO_SUPERVISOR, 0, 0, 0, packet, count));
    } else if (strcmp(word, "echo") == 0 && currentPacket) {
        void *copy = malloc(currentPacketLength);
        memcpy(copy, currentPacket, currentPacketLength);
        Record("result %d", Raise(PLUGIN_ID, CLASS_TO_SUPERVISOR, 0, 0, 0, copy, currentPacketLength));
    } else if (strcmp(word, "await") == 0) {
        char name[64] = "";
        sscanf(line, "%*s %63s", name);
        while (access(name, F_OK) != 0) {
            usleep(10000);
        }
        Record("awaited %s", name);
    } else if (strcmp(word, "release") == 0) {
        ReleaseRetained();
    } else if (strcmp(word, "sendheld") == 0) {
        SendRetained(0);
    } else if (strcmp(word, "sendinside") == 0) {
        SendRetained(1);
    } else if (strcmp(word, "bulk") == 0) {
        Bulk(line);
    } else if (strcmp(word, "show") == 0) {
        ShowRetained();
    } else if (strcmp(word, "stray") == 0) {
        pthread_mutex_lock(&stateLock);
        void *last = lastWritten;
        pthread_mutex_unlock(&stateLock);
        Record("stray %d", Raise(PLUGIN_ID, CLASS_RELEASE, 0, 0, 0, last, 0));
        Record("stray %d", Raise(PLUGIN_ID, CLASS_RELEASE, 0, 0, 0, neverAllocated, 0));
    } else if (strcmp(word, "nulldata") == 0) {
        sscanf(line, "%*s %i %i %i", &eventClass, &type, &count);
        Record("result %d", Raise(PLUGIN_ID, eventClass, type, 0, 0, NULL, count));
    } else if (strcmp(word, "unterminated") == 0 && sscanf(line, "%*s %i %n", &level, &textAt) == 1 && textAt) {
        size_t length = strlen(line + textAt);
        char *text = malloc(length ? length : 1); /* exactly the text: no NUL */
        memcpy(text, line + textAt, length);
        Record("result %d", Raise(PLUGIN_ID, CLASS_LOG, TYPE_LOG_TEXT, 0, level, text, (uint32_t)length));
        free(text);
    } else if (strcmp(word, "overrun") == 0 && sscanf(line, "%*s %i %n", &level, &textAt) == 1 && textAt) {
        size_t length = strlen(line + textAt);
        char *text = malloc(length + 33);
        memcpy(text, line + textAt, length);
        memset(text + length, '#', 32);
        text[length + 32] = '\0';
        Record("result %d", Raise(PLUGIN_ID, CLASS_LOG, TYPE_LOG_TEXT, 0, level, text, (uint32_t)length));
        free(text);
    } else if (strcmp(word, "sleep") == 0) {
        sscanf(line, "%*s %i", &count);
        usleep(count * 1000u);
    } else if (strcmp(word, "allocate") == 0) {
        sscanf(line, "%*s %i", &count);
        Allocate(count);
    } else if (strcmp(word, "free") == 0) {
        FreeAllocation();
    } else if (strcmp(word, "thread") == 0) {
        char name[32] = "";
        sscanf(line, "%*s %31s", name);
        Record("thread %s %ld", name, (long)syscall(SYS_gettid));
    } else if (strcmp(word, "stream") == 0) {
        Stream(line);
    } else if (strcmp(word, "tally") == 0) {
        ShowTally();
    } else if (strcmp(word, "spawn") == 0) {
        sscanf(line, "%*s %i", &count);
        Spawn(count);
    } else if (strcmp(word, "linger") == 0) {
        StartLingering();
    } else if (strcmp(word, "summary") == 0) {
        pthread_mutex_lock(&stateLock);
        Record("summary count=%lu last=%s", summaryCount, summaryLast);
        pthread_mutex_unlock(&stateLock);
    } else if (strcmp(word, "whoami") == 0) {
        Record("uid %d euid %d", (int)getuid(), (int)geteuid());
    } else if (strcmp(word, "abort") == 0) { /* takes the core down with SIGABRT */
        Record("aborting");
        abort();
    }
}

static void RunCommands(const char *text, size_t length) {
    char *copy = malloc(length + 1);
    memcpy(copy, text, length);
    copy[length] = '\0';
    char *saved = NULL;
    for (char *line = strtok_r(copy, "\n", &saved); line; line = strtok_r(NULL, "\n", &saved)) {
        RunCommand(line);
    }
    free(copy);
}

/* Reads "<stem>.<what>" from the working directory; 0 bytes if absent. */
static size_t ReadScript(const char *what, char *text, size_t size) {
    char name[96];
    snprintf(name, sizeof name, "%s.%s", stem, what);
    FILE *file = fopen(name, "r");
    if (!file) {
        return 0;
    }
    size_t length = fread(text, 1, size, file);
    fclose(file);
    return length;
}

static void RunScript(const char *what) {
    char text[8192];
    RunCommands(text, ReadScript(what, text, sizeof text));
}

static void WaitUntilClosed(void) {
    if (!BLOCK_UNTIL_CLOSED) {
        return;
    }
    pthread_mutex_lock(&stateLock);
    while (!closed) {
        pthread_cond_wait(&closedSignal, &stateLock);
    }
    pthread_mutex_unlock(&stateLock);
}

/* Wakes every millisecond: once its library is unmapped under it, it crashes. */
static pthread_t loadThread;
static int loadThreadStopping; /* under stateLock */

static void *RunLoadThread(void *unused) {
    (void)unused;
    for (;;) {
        pthread_mutex_lock(&stateLock);
        int stopping = loadThreadStopping;
        pthread_mutex_unlock(&stateLock);
        if (stopping) {
            return NULL;
        }
        usleep(1000);
    }
}

static void StopLoadThread(void) {
    pthread_mutex_lock(&stateLock);
    loadThreadStopping = 1;
    pthread_mutex_unlock(&stateLock);
    pthread_join(loadThread, NULL);
    Record("LoadThread stopped");
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    FindStem();
    raiseEvent = in->EventEntry;
    Record("Load size=%u version=%u core=%d", in->Size, in->Version, in->Core != NULL);
    RunScript("load");
    out->ID = PLUGIN_ID;
    const uint32_t masks[EVENT_MASK_COUNT] = {MASK0, MASK1, MASK2, 0, 0, MASK5, MASK6, 0, MASK8};
    memcpy(out->EventMasks, masks, sizeof masks);
    out->WorkerThread = WORKER;
    out->ReadEvents = READER;
    out->WriteEvents = WRITER;
    out->Error = LOAD_ERROR;
    if (LOAD_THREAD && pthread_create(&loadThread, NULL, RunLoadThread, NULL) == 0) {
        Record("LoadThread started");
    }
    return LOAD_RESULT;
}

ENTRY int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    Record("Open size=%u", in->Size);
    RunScript("open");
    out->Reserved[0] = OPEN_ERROR;
    return OPEN_RESULT;
}

ENTRY int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    Record("Close size=%u", in->Size);
    pthread_mutex_lock(&stateLock);
    closed = 1;
    pthread_cond_broadcast(&closedSignal);
    pthread_mutex_unlock(&stateLock);
    RunScript("close");
    out->Error = CALL_ERROR;
    return CALL_RESULT;
}

ENTRY int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) {
    Record("Unload size=%u", in->Size);
    if (LOAD_THREAD) {
        StopLoadThread();
    }
    RunScript("unload");
    out->Error = CALL_ERROR;
    return CALL_RESULT;
}

/* The Config line of calls.log is cut at its buffer's size; the file is not. */
static void SaveConfig(const void *data, uint32_t length) {
    if (!SAVE_CONFIG) {
        return;
    }
    pthread_mutex_lock(&stateLock);
    int number = ++savedConfigs;
    pthread_mutex_unlock(&stateLock);
    char name[96];
    snprintf(name, sizeof name, "%s.config%d", stem, number);
    FILE *file = fopen(name, "wb");
    if (file) {
        fwrite(data, 1, length, file);
        fclose(file);
    }
}

/* Checks the Write record by raw byte offsets, as a plugin built elsewhere would. */
static int WriteLayoutMatches(const _WriteParmsIn *in) {
    const unsigned char *bytes = (const unsigned char *)in;
    uint32_t source, eventClass, type;
    void *data;
    memcpy(&data, bytes + offsetof(_WriteParmsIn, Data), sizeof data);
    memcpy(&source, bytes + (sizeof(void *) == 4 ? 24 : 32), 4);
    memcpy(&eventClass, bytes + (sizeof(void *) == 4 ? 32 : 40), 4);
    memcpy(&type, bytes + (sizeof(void *) == 4 ? 36 : 44), 4);
    return in->Size == sizeof *in && data == in->Data && source == in->Source && eventClass == in->EventClass &&
           type == in->EventType;
}

static void CountWrite(const _WriteParmsIn *in) {
    size_t length = in->Data && in->DataLength < sizeof summaryLast ? in->DataLength : 0;
    pthread_mutex_lock(&stateLock);
    ++summaryCount;
    TallyLocked(in->EventType, 0);
    memcpy(summaryLast, in->Data ? in->Data : "", length);
    summaryLast[length] = '\0';
    pthread_mutex_unlock(&stateLock);
}

static void RunWriteScriptOnce(void) {
    pthread_mutex_lock(&stateLock);
    int first = !writeScriptRun;
    writeScriptRun = 1;
    pthread_mutex_unlock(&stateLock);
    if (first) {
        RunScript("write");
    }
}

#ifdef ANSWER_BRIDGE
/* Answers the MQTT bridge's commands (mqtt_bridge/mqtt_bridge_commands.h): "answer to DATA". */
static void AnswerBridge(const _WriteParmsIn *in) {
    if (in->Params[0] != 0x5154544Du) {
        return;
    }
    char text[160];
    int length = snprintf(text, sizeof text, "answer to %.*s", (int)(in->DataLength < 100 ? in->DataLength : 100),
                          in->Data ? (const char *)in->Data : "");
    _EventParmsIn answer;
    memset(&answer, 0, sizeof answer);
    answer.Size = sizeof answer;
    answer.Version = 1;
    answer.Data = text;
    answer.DataLength = (uint32_t)length;
    answer.Source = PLUGIN_ID;
    answer.EventClass = 0x400u;
    answer.EventType = 0x00400000u;
    answer.Params[0] = in->Params[0];
    answer.Params[1] = in->Params[1];
    _EventParmsOut out = {sizeof out, 1, 0};
    raiseEvent(&answer, &out);
    Record("answered %u result %d", in->Params[1], out.Result);
}
#endif

ENTRY int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    if (READ_PAST && in->Data) {
        Record("read past %d", ((const volatile char *)in->Data)[in->DataLength]);
    }
    /* Kept before the call is recorded: a test that sees the line and then
     * asks for a release must find the buffer kept. */
    out->Retained = (uint32_t)KeepBuffer(in->Data, in->DataLength);
#ifdef ANSWER_BRIDGE
    AnswerBridge(in);
#endif
    if (SUMMARY_WRITES) {
        CountWrite(in);
        out->Error = CALL_ERROR;
        return CALL_RESULT;
    }
    char shown[96] = "";
    if (in->Data && in->DataLength) {
        size_t length = in->DataLength < sizeof shown - 1 ? in->DataLength : sizeof shown - 1;
        for (size_t i = 0; i < length; ++i) {
            char c = ((const char *)in->Data)[i];
            shown[i] = (c >= 32 && c < 127) ? c : '.';
        }
    }
    Record("Write source=0x%08x tag=%u class=0x%x type=0x%x level=%u length=%u null=%d layout=%s data=%s", in->Source,
           in->JobTag, in->EventClass, in->EventType, in->Params[EVENT_PARAM_LEVEL], in->DataLength, in->Data == NULL,
           WriteLayoutMatches(in) ? "ok" : "bad", shown);
    RunWriteScriptOnce();
    if (WRITE_DELAY_MS) {
        usleep(WRITE_DELAY_MS * 1000u);
        Record("Written tag=%u", in->JobTag);
    }
    pthread_mutex_lock(&stateLock);
    lastWritten = in->Data;
    pthread_mutex_unlock(&stateLock);
    out->Error = CALL_ERROR;
    return CALL_RESULT;
}

ENTRY int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    switch (in->Code) {
    case WORKER_THREAD:
        Record("Worker start block=%u", in->DataBlock.Size);
        RunScript("worker");
        WaitUntilClosed();
        Record("Worker end");
        return 0;
    case UPDATE_CONFIG:
        out->Retained = (uint32_t)KeepBuffer(in->DataBlock.Data, in->DataBlock.DataLength);
        Record("Config length=%u data=%.*s", in->DataBlock.DataLength, (int)in->DataBlock.DataLength,
               (const char *)in->DataBlock.Data);
        SaveConfig(in->DataBlock.Data, in->DataBlock.DataLength);
        break;
    case IPC_PACKET: {
        /* Packets after the first of a receive may lie at any byte offset. */
        IpcHeader header;
        memcpy(&header, in->DataBlock.Data, sizeof header);
        Record("Packet length=%u address=0x%08x type=%u", in->DataBlock.DataLength, header.Address, header.PacketType);
        currentPacket = in->DataBlock.Data;
        currentPacketLength = in->DataBlock.DataLength;
        RunCommands((const char *)in->DataBlock.Data + sizeof header, in->DataBlock.DataLength - sizeof header);
        currentPacket = NULL;
        break;
    }
    default:
        Record("Ioctl code=%u", in->Code);
    }
    out->Error = CALL_ERROR;
    return CALL_RESULT;
}

ENTRY int32_t Read(_ReadParmsIn *in, _ReadParmsOut *out) {
    (void)out;
    if (in->JobTag == 0 && in->Data == NULL) {
        Record("Reader start flag=%u", in->Flag12);
        RunScript("reader");
        WaitUntilClosed();
        Record("Reader end");
        return 0;
    }
    Record("Job tag=%u length=%u null=%d", in->JobTag, in->DataLength, in->Data == NULL);
    if (in->Data) {
        RunCommands(in->Data, in->DataLength);
    }
    Record("Job end tag=%u", in->JobTag);
    return 0;
}

ENTRY int32_t Seek(void *in, void *out) {
    (void)in;
    (void)out;
    return 0;
}
