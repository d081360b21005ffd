/* Proves that the plugin header stands alone in C99: a plugin author's view. */
#include "dvrplugin.h"

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    out->ID = 0x00010000u;
    out->EventMasks[0] = TYPE_LOG_TEXT;
    out->WriteEvents = 1;
    return in->Version == LOAD_PARMS_IN_VERSION ? EVENT_OK : EVENT_REFUSED;
}

/* The version check a plugin makes, as the header shows it. */
#if !defined(DVRPLUGIN_VERSION_MAJOR) || DVRPLUGIN_VERSION_MAJOR != 19 || DVRPLUGIN_VERSION_MINOR < 9
#error "the plugin header does not name its version"
#endif
