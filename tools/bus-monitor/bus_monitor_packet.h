/*
 * The packets the bus monitor plugin sends to the supervisor: one summary
 * of one delivered event per packet, at most BUS_MONITOR_SUMMARIES_PER_SECOND
 * of them in any second (a burst of as many after a quiet second), so that
 * the monitor cannot flood the link however busy the bus is. Events over
 * the limit are counted, and the next summary says how many were left out.
 *
 * A summary packet: an IpcHeader {PacketLength 16 + sizeof(BusMonitorSummary)
 * + ShownLength, Address BUS_MONITOR_ADDRESS, PacketType
 * BUS_MONITOR_PACKET_TYPE, 0}, one BusMonitorSummary, then ShownLength bytes:
 * the first bytes of the event's data. Little-endian words.
 *
 * The supervisor sets how many bytes a summary shows with a packet of type
 * BUS_MONITOR_SETTINGS_TYPE to BUS_MONITOR_ADDRESS whose payload is one
 * 32-bit word, at most BUS_MONITOR_MAX_SHOWN_BYTES (larger values count as
 * that); until then BUS_MONITOR_DEFAULT_SHOWN_BYTES. Shared by the plugin
 * (C) and supervisor-standin (C++), which shows the summaries with --monitor.
 */
#ifndef BUS_MONITOR_PACKET_H
#define BUS_MONITOR_PACKET_H

#include <stdint.h>

#include "dvrplugin.h"

#define BUS_MONITOR_ID                   0x0B050000u
#define BUS_MONITOR_ADDRESS              0xB0500000u /* the ID's bits 16-27 in bits 20-31 */
#define BUS_MONITOR_PACKET_TYPE          0x0B05u
#define BUS_MONITOR_SETTINGS_TYPE        0x0B06u
#define BUS_MONITOR_SUMMARIES_PER_SECOND 50u
#define BUS_MONITOR_DEFAULT_SHOWN_BYTES  32u
#define BUS_MONITOR_MAX_SHOWN_BYTES      4096u

/* How the event reached the monitor. */
#define BUS_MONITOR_VIA_WRITE         0u
#define BUS_MONITOR_VIA_UPDATE_CONFIG 1u /* IOCTL UPDATE_CONFIG: no Source, type or tag */

typedef struct BusMonitorSummary {
    uint32_t Via;        /* BUS_MONITOR_VIA_WRITE or BUS_MONITOR_VIA_UPDATE_CONFIG */
    uint32_t Source;     /* the raiser's ID; 0 through UPDATE_CONFIG */
    uint32_t EventClass; /* CLASS_CONFIG through UPDATE_CONFIG */
    uint32_t EventType;
    uint32_t JobTag;
    uint32_t DataLength;
    uint32_t Skipped;     /* events left out since the previous summary */
    uint32_t ShownLength; /* bytes that follow: the first bytes of the data */
} BusMonitorSummary;

DVRPLUGIN_SIZE(BusMonitorSummary, 32);

#endif /* BUS_MONITOR_PACKET_H */
