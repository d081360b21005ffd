#pragma once

#include <cstdint>

#include <tinyxml.h>

#include "last_run.h"

// The status document that tells plugins how the last run ended: the root
// "kDVR" holding one "CrashReport" with the signal, the plugin blamed
// ("core" for the core), its library, the thread, the call, the time of the
// crash, the crashed runs in a row blamed on the plugin, whether it is now
// quarantined and the report file; and a "Frame" per line of the backtrace.
// The attributes are lower-case, the names the MQTT bridge's device
// discovery reads.
//
// Threads: any; each call builds a document of its own.
TiXmlDocument CrashReportDocument(const ReportedCrash &crash, uint32_t crashesInARow, bool quarantined);
