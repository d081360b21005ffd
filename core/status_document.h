#pragma once

#include <ctime>

#include <tinyxml.h>

// The "Memory" status document: the core's ID, whether it throttles video,
// and the wall-clock second it was built at.
TiXmlDocument MemoryStatusDocument(bool throttling, time_t wallSeconds);
