/* Proves that the plugin header stands alone in C99: a plugin author's view. */
#include "dvrplugin.h"

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    out->ID = 0x00010000u;
    out->EventMasks[0] = TYPE_LOG_TEXT;
    out->WriteEvents = 1;
    return in->Version == LOAD_PARMS_IN_VERSION ? EVENT_OK : EVENT_REFUSED;
}

/* The numbers work in the preprocessor's arithmetic, as a plugin's version
 * check uses them. */
#if !defined(DVRPLUGIN_VERSION_STRING) ||                                                                              \
    DVRPLUGIN_VERSION_MAJOR * 10000 + DVRPLUGIN_VERSION_MINOR * 100 + DVRPLUGIN_VERSION_PATCH <= 0
#error "the plugin header does not name its version"
#endif
