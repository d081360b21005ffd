#include "dvrcore.h"

// CORE_VERSION is the project's version, given by the build.
const char *CoreVersion() { return CORE_VERSION; }
