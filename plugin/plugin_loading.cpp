// Discovery and loading of the plugin libraries.
#include "core/dvrcore.h"

void dvrcore::LoadPlugins() {}
