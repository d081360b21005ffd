// Opening, closing and unloading the loaded plugins.
#include "core/dvrcore.h"

void dvrcore::OpenPlugins() {}

void dvrcore::ClosePlugins() {}

void dvrcore::UnloadPlugins() {}
