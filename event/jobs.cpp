// Plugin jobs: Read entries run on job threads of their own.
#include <mutex>

#include "core/dvrcore.h"

void dvrcore::CancelJob(uint32_t tag) {
    std::lock_guard<std::mutex> lock(jobMutex);
    cancelledJobs.insert(tag);
}

void dvrcore::StartJob(const _EventParmsIn &) {}

// Until job threads exist no thread is a job thread: tagged events are refused.
bool dvrcore::AdmitJobEvent(const _EventParmsIn &) { return false; }

void dvrcore::WakeJobThreads(uintptr_t) {}
