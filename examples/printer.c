/*
 * printer: an example plugin that prints what the core delivers to it: log
 * lines through Write, configuration documents through IOCTL UPDATE_CONFIG.
 *
 * What reaches Write is chosen by the masks: an event's class bit k selects
 * mask k (bit 10 selects mask 8), and a plugin gets the event when a selected
 * mask covers the event's type. Log lines carry CLASS_LOG, bit 6, so mask 6
 * set to all ones takes every one of them. Configuration documents reach every
 * plugin, masks or not.
 *
 * Delivered data belongs to the core and is valid for the call only (this
 * plugin never sets Retained). A text need not end in a NUL within its
 * DataLength, so everything is printed by length.
 */
#include <stdio.h>
#include <string.h>

/* The entry points are declared by the header: a definition that does not
 * match them does not compile. */
#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#include "dvrplugin.h"

#define PRINTER_ID 0x00E20000u
#define LOG_MASK   6

/* The length of a text of at most `length` bytes that may end in a NUL. */
static int TextLength(const void *data, uint32_t length) {
    const char *end = memchr(data, '\0', length);
    return end ? (int)(end - (const char *)data) : (int)length;
}

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    (void)in;
    out->ID = PRINTER_ID;
    out->EventMasks[LOG_MASK] = 0xFFFFFFFFu;
    out->WriteEvents = 1;
    return 0;
}

/* Runs on the core's main thread: the next plugin waits until it returns. */
int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    (void)out;
    if ((in->EventClass & CLASS_LOG) && (in->EventType & TYPE_LOG_TEXT) && in->Data) {
        printf("printer: log line from %08X at level %u: %.*s\n", in->Source, in->Params[EVENT_PARAM_LEVEL],
               TextLength(in->Data, in->DataLength), (const char *)in->Data);
    } else {
        printf("printer: event class 0x%X type 0x%X from %08X, %u bytes\n", in->EventClass, in->EventType, in->Source,
               in->DataLength);
    }
    fflush(stdout);
    return 0;
}

int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) {
    (void)out;
    if (in->Code == UPDATE_CONFIG && in->DataBlock.Data) {
        printf("printer: configuration document:\n%.*s\n", TextLength(in->DataBlock.Data, in->DataBlock.DataLength),
               (const char *)in->DataBlock.Data);
        fflush(stdout);
    }
    return 0;
}
