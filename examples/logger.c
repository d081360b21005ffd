/*
 * logger: an example plugin that appends every log line it receives to the
 * file "example-logger.log" in the core's working directory.
 *
 * What it shows: receiving events through Write. A plugin says which events
 * it wants with its nine event masks. An event's class bit k selects mask k
 * (bit 10 selects mask 8), and the plugin gets the event when one selected
 * mask covers every bit of the event's type (the type's bits 24-30 are
 * compared one place higher, bit 31 not at all). Log lines have the class
 * CLASS_LOG (bit 6) and the type TYPE_LOG_TEXT, plus TYPE_FROM_CORE for the
 * core's own lines, so mask 6 with every bit set takes them all. The core's
 * console-only lines (level 0) never reach plugins.
 *
 * Threads: Write, Open and Close all run on the core's main thread, one
 * after the other, so the file needs no lock.
 *
 * One line per log event:  <source ID in hex> <level> <text>
 */
#include <stdio.h>
#include <string.h>

/* The entry points are declared by the header: a definition that does not
 * match them does not compile. */
#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#include "dvrplugin.h"

#define LOGGER_ID     0x00E30000u /* unique among the plugins the core loads */
#define LOG_MASK      6           /* CLASS_LOG is class bit 6 */
#define LOG_FILE_NAME "example-logger.log"

static FILE *logFile;

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    (void)in; /* it raises nothing, so it needs no event entry */
    out->ID = LOGGER_ID;
    out->EventMasks[LOG_MASK] = 0xFFFFFFFFu; /* every log line, whoever raised it */
    out->WriteEvents = 1;                    /* without it, no event reaches Write, masks or not */
    return 0;
}

/* Open is where a plugin acquires what it needs for its work. A non-zero
 * result is recorded in the core's modules report; the plugin stays loaded. */
int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    (void)in;
    (void)out;
    logFile = fopen(LOG_FILE_NAME, "a");
    return logFile != NULL ? 0 : 1;
}

/* The text's buffer belongs to the core and lives for this call only. Its
 * NUL is normally counted in DataLength, but never trust it to be there:
 * print at most DataLength bytes. */
int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) {
    (void)out; /* Retained stays 0: the core may free the text after the call */
    if (logFile == NULL || in->Data == NULL) {
        return 0;
    }
    const char *text = in->Data;
    const char *end = memchr(text, '\0', in->DataLength);
    const int length = end != NULL ? (int)(end - text) : (int)in->DataLength;
    fprintf(logFile, "%08X %u %.*s\n", (unsigned)in->Source, (unsigned)in->Params[EVENT_PARAM_LEVEL], length, text);
    fflush(logFile); /* so that the file is complete even if the process dies */
    return 0;
}

/* After Close no more events are delivered. */
int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) {
    (void)in;
    (void)out;
    if (logFile != NULL) {
        fclose(logFile);
        logFile = NULL;
    }
    return 0;
}
