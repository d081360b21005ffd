/*
 * echo_responder: an example plugin that answers every supervisor packet
 * addressed to it.
 *
 * What it shows: packets to and from the supervisor.
 *  - Its ID, 0x00EC0000, makes it the plugin of every packet whose Address
 *    has bits 20-31 equal to 0x0EC (for example 0x0EC00000). The core hands
 *    such a packet, header included, to IOCTL with the code IPC_PACKET, on
 *    the core's I/O thread; the packet is valid for that call only.
 *  - An answer is a whole packet, header included, in a malloc'd buffer,
 *    raised as a CLASS_TO_SUPERVISOR event. The core takes the buffer over
 *    whatever the result: the plugin never touches or frees it again.
 *
 * The answer keeps the request's Address, PacketType and fourth header word,
 * and its payload is "echo: " followed by the request's payload, cut so that
 * the answer stays one packet. Each answer is also logged through the core.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The entry points are declared by the header: a definition that does not
 * match them does not compile. */
#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#include "dvrplugin.h"

#define ECHO_RESPONDER_ID 0x00EC0000u

static const char ANSWER_PREFIX[] = "echo: ";
#define ANSWER_PREFIX_LENGTH (sizeof ANSWER_PREFIX - 1)

/* Set once at Load, before the core can call IOCTL. */
static EventEntryPoint raiseEvent;

static int32_t RaiseEvent(uint32_t eventClass, uint32_t type, uint32_t level, void *data, uint32_t length) {
    _EventParmsIn in;
    memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = length;
    in.Data = data;
    in.Source = ECHO_RESPONDER_ID;
    in.EventClass = eventClass;
    in.EventType = type;
    in.Params[EVENT_PARAM_LEVEL] = level;
    _EventParmsOut out = {sizeof out, 1, EVENT_OK};
    raiseEvent(&in, &out);
    return out.Result;
}

static void LogLine(const char *text) {
    RaiseEvent(CLASS_LOG, TYPE_LOG_TEXT, LOG_LEVEL_INFO, (void *)text, (uint32_t)strlen(text) + 1);
}

/* The answer to one request, in a malloc'd buffer that the core takes over. */
static int32_t Answer(const unsigned char *request, uint32_t requestLength) {
    IpcHeader header;
    memcpy(&header, request, sizeof header);
    uint32_t payloadLength = requestLength - (uint32_t)sizeof header;
    const uint32_t room = IPC_MAX_PACKET_LENGTH - (uint32_t)sizeof header - ANSWER_PREFIX_LENGTH;
    if (payloadLength > room) {
        payloadLength = room;
    }
    header.PacketLength = (uint32_t)sizeof header + ANSWER_PREFIX_LENGTH + payloadLength;
    unsigned char *answer = malloc(header.PacketLength);
    if (answer == NULL) {
        return EVENT_NO_MEMORY;
    }
    memcpy(answer, &header, sizeof header);
    memcpy(answer + sizeof header, ANSWER_PREFIX, ANSWER_PREFIX_LENGTH);
    memcpy(answer + sizeof header + ANSWER_PREFIX_LENGTH, request + sizeof header, payloadLength);
    return RaiseEvent(CLASS_TO_SUPERVISOR, 0, 0, answer, header.PacketLength);
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->EventEntry;
    /* No event masks and no Write: it wants nothing but packets. */
    out->ID = ECHO_RESPONDER_ID;
    return 0;
}

/* On the core's I/O thread; the packet is valid for this call only. */
int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    if (in->Code != IPC_PACKET || in->DataBlock.Data == NULL || in->DataBlock.DataLength < sizeof(IpcHeader)) {
        return 0;
    }
    const int32_t result = Answer(in->DataBlock.Data, in->DataBlock.DataLength);
    char line[96];
    snprintf(line, sizeof line, "answered a packet of %u bytes: result %d", (unsigned)in->DataBlock.DataLength,
             (int)result);
    LogLine(line);
    out->Error = result;
    return 0;
}
