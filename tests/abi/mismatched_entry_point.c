/* A Write that takes Read's records: with the entry points declared by the
 * header, this must not compile (tests/CMakeLists.txt wants the error). */
#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#include "dvrplugin.h"

int32_t Write(_ReadParmsIn *in, _ReadParmsOut *out) { return in == 0 || out == 0; }
