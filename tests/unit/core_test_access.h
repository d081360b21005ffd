#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include <pthread.h>

#include "core/dvrcore.h"
#include "event/job_thread.h"

// Reaches the core's private fields and steps for the unit tests. One
// definition for the whole test program, which every test includes.
class CoreTestAccess {
public:
    static void SetSourceName(dvrcore &core, uint32_t source, const std::string &name) {
        core.sourceNames[source] = name;
    }
    static void SetColourConsole(dvrcore &core, bool colour) { core.colourConsole = colour; }

    // Registers `waiter` as the job thread `thread`, as RunJob does.
    static void RegisterJobThread(dvrcore &core, pthread_t thread, JobWaiter &waiter) {
        std::lock_guard<std::mutex> lock(core.jobMutex);
        core.jobThreads[thread] = &waiter;
        core.jobThreadCount = core.jobThreads.size();
    }
    static void UnregisterJobThread(dvrcore &core, pthread_t thread) {
        std::lock_guard<std::mutex> lock(core.jobMutex);
        core.jobThreads.erase(thread);
        core.jobThreadCount = core.jobThreads.size();
    }
    static void FreeEventData(dvrcore &core, void *data) { core.FreeEventData(data); }
};
