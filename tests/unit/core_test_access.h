#pragma once

#include <cstdint>
#include <string>

#include "core/dvrcore.h"

// Reaches the core's private fields and steps for the unit tests. One
// definition for the whole test program, which every test includes.
class CoreTestAccess {
public:
    static void SetSourceName(dvrcore &core, uint32_t source, const std::string &name) {
        core.names.Name(source, name);
    }
    static void SetColourConsole(dvrcore &core, bool colour) { core.console.SetColour(colour); }

    static JobTable &Jobs(dvrcore &core) { return core.jobs; }
    static void FreeEventData(dvrcore &core, void *data) { core.FreeEventData(data); }
    static BufferHolderTable &EventCopies(dvrcore &core) { return core.bufferHolders; }
};
