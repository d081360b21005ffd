#pragma once

#include <ctime>

#include <tinyxml.h>

// The "Memory" status document: the core's ID, whether it throttles video,
// and the wall-clock second it was built at.
//
// Threads: any; each call builds a document of its own.
TiXmlDocument MemoryStatusDocument(bool throttling, time_t wallSeconds);
