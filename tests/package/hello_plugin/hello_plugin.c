/*
 * A plugin as its author would write it outside the core's repository. Open
 * raises a log event through FlatPluginEvent called by name, so the library
 * loads only where the core exports that entry, and Open's result (OpenCode
 * in the modules report) is that of the event.
 */
#include <string.h>

#include <dvrplugin.h>

#define HELLO_ID 0x00AB0000u

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    (void)in;
    out->ID = HELLO_ID;
    return 0;
}

int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) {
    static char text[] = "hello plugin opened";
    _EventParmsIn event;
    _EventParmsOut result = {sizeof result, 1, EVENT_OK};
    (void)in;
    (void)out;
    memset(&event, 0, sizeof event);
    event.Size = sizeof event;
    event.Version = 1;
    event.DataLength = sizeof text;
    event.Data = text;
    event.Source = HELLO_ID;
    event.EventClass = CLASS_LOG;
    event.EventType = TYPE_LOG_TEXT;
    event.Params[EVENT_PARAM_LEVEL] = LOG_LEVEL_INFO;
    FlatPluginEvent(&event, &result);
    return result.Result;
}
