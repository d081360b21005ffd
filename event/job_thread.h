#pragma once

#include <cstdint>

#include "annotated_mutex.h"
#include "dvrplugin.h"

// What one job thread is given. The data copy is the thread's to free.
struct JobStart {
    ReadEntryPoint Read;
    void *Library;       // the plugin's library, kept loaded while the thread runs
    uint32_t DataLength; // as raised, also when Data is null
    void *Data;
    uint32_t JobTag;
    uint32_t Plugin; // whose Read runs, for a crash report
};

// A job thread's registration while its Read call runs: created, registered
// and destroyed by that thread alone. Its own mutex guards Pending and
// Abandoned; the job table's lock is always taken before it, never the other
// way round.
struct JobWaiter {
    explicit JobWaiter(void *library) : Library(library) {}

    // Constant.
    void *const Library;

    ::Mutex Mutex;
    CondVar Wakeup; // waits under Mutex
    // Address of the thread's last data-carrying tagged event until its
    // buffer is freed; 0 when none is in flight. An address, not a pointer:
    // it is only compared, never followed.
    uintptr_t Pending GUARDED_BY(Mutex) = 0;
    // The library is being released: the thread must stop waiting for
    // buffers that may never be freed, and its events are refused.
    bool Abandoned GUARDED_BY(Mutex) = false;
};
