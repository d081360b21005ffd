// The process identity and its capabilities.
#include "core/dvrcore.h"

bool dvrcore::ChangeIdentity() { return true; }

void dvrcore::DropCapabilities(uint32_t) {}
