/* The header's declarations of the entry points, as a plugin that asks for
 * them sees them: every entry defined in its own form compiles in C99. */
#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#include "dvrplugin.h"

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    out->ID = 0x00010000u;
    return in->Version == LOAD_PARMS_IN_VERSION ? EVENT_OK : EVENT_REFUSED;
}

int32_t Unload(_UnloadParmsIn *in, _UnloadParmsOut *out) { return in == 0 || out == 0; }
int32_t Open(_OpenParmsIn *in, _OpenParmsOut *out) { return in == 0 || out == 0; }
int32_t Close(_CloseParmsIn *in, _CloseParmsOut *out) { return in == 0 || out == 0; }
int32_t Read(_ReadParmsIn *in, _ReadParmsOut *out) { return in == 0 || out == 0; }
int32_t Write(_WriteParmsIn *in, _WriteParmsOut *out) { return in == 0 || out == 0; }
int32_t Seek(void *in, void *out) { return in == 0 || out == 0; }
int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *out) { return in == 0 || out == 0; }
