#include "core/dvrcore.h"

const char *CoreVersion() { return "19.09.4.0"; }
