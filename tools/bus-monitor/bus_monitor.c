/*
 * bus_monitor: a plugin that takes every event the core delivers and sends
 * a short summary of each to the supervisor (bus_monitor_packet.h), within
 * a rate limit. supervisor-standin --monitor installs it beside the plugins
 * it runs and prints the summaries: a live view of the bus.
 *
 * Write and IOCTL UPDATE_CONFIG both run on the core's main thread, the
 * supervisor's setting arrives on the core's I/O thread: the lock guards the
 * rate limit and the setting. It raises nothing but supervisor packets,
 * which are never delivered to plugins, so it cannot feed on its own output.
 */
#define _POSIX_C_SOURCE 200809L /* clock_gettime, also under a strict C standard */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#include "bus_monitor_packet.h"

#define NANOSECONDS_PER_SECOND 1000000000LL
#define SUMMARY_COST           (NANOSECONDS_PER_SECOND / BUS_MONITOR_SUMMARIES_PER_SECOND)

static EventEntryPoint raiseEvent;
static pthread_mutex_t limitLock = PTHREAD_MUTEX_INITIALIZER;
/* Guarded by limitLock: time earned for summaries, at most one second's
 * worth, the events left out since the last summary, and how many bytes of
 * each event a summary shows (set by the supervisor on the I/O thread). */
static int64_t credit;
static int64_t creditUpdated;
static uint32_t skipped;
static uint32_t shownBytes = BUS_MONITOR_DEFAULT_SHOWN_BYTES;

static int64_t Now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * NANOSECONDS_PER_SECOND + now.tv_nsec;
}

/* Whether a summary may go now; if so, returns the count of events left out
 * before it in *leftOut, the bytes it may show in *shown, and starts
 * counting again. */
static int TakeSummarySlot(uint32_t *leftOut, uint32_t *shown) {
    const int64_t now = Now();
    int allowed = 0;
    pthread_mutex_lock(&limitLock);
    credit += now - creditUpdated;
    creditUpdated = now;
    if (credit > NANOSECONDS_PER_SECOND) {
        credit = NANOSECONDS_PER_SECOND;
    }
    if (credit >= SUMMARY_COST) {
        credit -= SUMMARY_COST;
        *leftOut = skipped;
        *shown = shownBytes;
        skipped = 0;
        allowed = 1;
    } else {
        ++skipped;
    }
    pthread_mutex_unlock(&limitLock);
    return allowed;
}

static void SendSummary(BusMonitorSummary *summary, const void *data, uint32_t length) {
    uint32_t shown = 0;
    if (!TakeSummarySlot(&summary->Skipped, &shown)) {
        return;
    }
    summary->DataLength = length;
    summary->ShownLength = data == NULL ? 0 : length < shown ? length : shown;
    const IpcHeader header = {(uint32_t)(sizeof header + sizeof *summary + summary->ShownLength), BUS_MONITOR_ADDRESS,
                              BUS_MONITOR_PACKET_TYPE, 0};
    unsigned char *packet = malloc(header.PacketLength);
    if (packet == NULL) {
        return;
    }
    memcpy(packet, &header, sizeof header);
    memcpy(packet + sizeof header, summary, sizeof *summary);
    if (summary->ShownLength != 0) {
        memcpy(packet + sizeof header + sizeof *summary, data, summary->ShownLength);
    }
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = header.PacketLength;
    in.Data = packet; /* the core's from here on, whatever the result */
    in.Source = BUS_MONITOR_ID;
    in.EventClass = CLASS_TO_SUPERVISOR;
    _EventParmsOut out = {sizeof out, 1, EVENT_OK};
    raiseEvent(&in, &out);
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->EventEntry;
    creditUpdated = Now();
    credit = NANOSECONDS_PER_SECOND;
    out->ID = BUS_MONITOR_ID;
    for (int mask = 0; mask < EVENT_MASK_COUNT; ++mask) {
        out->EventMasks[mask] = 0xFFFFFFFFu; /* every class that selects a mask, every type */
    }
    out->WriteEvents = 1;
    return 0;
}

int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    (void)out;
    BusMonitorSummary summary;
    memset(&summary, 0, sizeof summary);
    summary.Via = BUS_MONITOR_VIA_WRITE;
    summary.Source = in->Source;
    summary.EventClass = in->EventClass;
    summary.EventType = in->EventType;
    summary.JobTag = in->JobTag;
    SendSummary(&summary, in->Data, in->DataLength);
    return 0;
}

/* The supervisor's setting: how many bytes a summary shows. Other packets
 * addressed to the monitor are ignored. */
static void TakeSettings(const unsigned char *packet, uint32_t length) {
    IpcHeader header;
    uint32_t shown = 0;
    if (packet == NULL || length < sizeof header + sizeof shown) {
        return;
    }
    memcpy(&header, packet, sizeof header);
    if (header.PacketType != BUS_MONITOR_SETTINGS_TYPE) {
        return;
    }
    memcpy(&shown, packet + sizeof header, sizeof shown);
    pthread_mutex_lock(&limitLock);
    shownBytes = shown < BUS_MONITOR_MAX_SHOWN_BYTES ? shown : BUS_MONITOR_MAX_SHOWN_BYTES;
    pthread_mutex_unlock(&limitLock);
}

/* Configuration documents reach every plugin through IOCTL, whatever its
 * masks; supervisor packets through IOCTL IPC_PACKET, on the I/O thread. */
int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
    if (in->Code == IPC_PACKET) {
        TakeSettings(in->DataBlock.Data, in->DataBlock.DataLength);
    } else if (in->Code == UPDATE_CONFIG) {
        BusMonitorSummary summary;
        memset(&summary, 0, sizeof summary);
        summary.Via = BUS_MONITOR_VIA_UPDATE_CONFIG;
        summary.EventClass = CLASS_CONFIG;
        SendSummary(&summary, in->DataBlock.Data, in->DataBlock.DataLength);
    }
    return 0;
}
