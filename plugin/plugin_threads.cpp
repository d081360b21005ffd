// The worker and reader threads that plugins ask for.
#include "core/dvrcore.h"

void dvrcore::StartAsyncReaders() {}
