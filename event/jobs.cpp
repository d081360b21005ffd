// Plugin jobs: an event with Source 0 runs the Read entry of every plugin that
// wants it on a detached thread of its own. The events a job thread raises
// under a tag are admitted only while the tag is not cancelled, and a thread
// has at most one data-carrying tagged event in flight.
//
// Job threads are detached, yet each is counted against its plugin's library
// from before it starts until it has left the core: unloading waits for the
// count before it releases the library, and the core's destructor waits for
// every count, so that no job thread runs in unmapped code or a destroyed core.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/dvrcore.h"
#include "event/event_matching.h"
#include "event/job_thread.h"
#include "log/log_message.h"
#include "plugin_call_records.h"

namespace {

struct JobTarget {
    ReadEntryPoint read;
    void *library;
    std::string name;
};

// Plugins that read events and whose masks take the job, in list order.
std::vector<JobTarget> JobTargetsFor(const std::vector<PLUGININFO> &plugins, const _EventParmsIn &event) {
    const uint32_t value = JobValue(event.EventType);
    std::vector<JobTarget> targets;
    for (const PLUGININFO &plugin : plugins) {
        if (plugin.Info.ReadEvents != 0 && plugin.Read != nullptr &&
            MatchesMasks(event.EventClass, plugin.Info.EventMasks, value)) {
            targets.push_back({plugin.Read, plugin.Handle, plugin.Name});
        }
    }
    return targets;
}

// Null when there is no data or no memory for it: the job then starts without.
void *CopyJobData(const _EventParmsIn &event) {
    if (event.Data == nullptr || event.DataLength == 0) {
        return nullptr;
    }
    void *copy = std::malloc(event.DataLength);
    if (copy != nullptr) {
        std::memcpy(copy, event.Data, event.DataLength);
    }
    return copy;
}

void CallJobRead(const JobStart &job) {
    _ReadParmsIn in = ReadInRecord(job.DataLength, job.Data, job.JobTag);
    _ReadParmsOut out = ReadOutRecord();
    job.Read(&in, &out);
}

} // namespace

void dvrcore::CancelJob(uint32_t tag) {
    std::lock_guard<std::mutex> lock(jobMutex);
    cancelledJobs.insert(tag);
}

void dvrcore::StartJob(const _EventParmsIn &event) {
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        cancelledJobs.erase(event.JobTag);
    }
    std::vector<JobTarget> targets;
    {
        std::shared_lock<std::shared_mutex> lock(pluginsMutex);
        targets = JobTargetsFor(plugins, event);
    }
    for (const JobTarget &target : targets) {
        if (EnterJobLibrary(target.library)) {
            StartJobThread({target.read, target.library, event.DataLength, CopyJobData(event), event.JobTag},
                           target.name);
        }
    }
}

// A thread the system refuses costs this plugin its job, not the raiser its
// call nor the core its life.
void dvrcore::StartJobThread(const JobStart &job, const std::string &pluginName) {
    try {
        std::thread([this, job] { RunJob(job); }).detach();
    } catch (const std::exception &error) {
        std::free(job.Data);
        LeaveJobLibrary(job.Library);
        CORE_LOG(LOG_LEVEL_ERROR, "plugin %s job thread could not be started: %s", pluginName.c_str(),
                 error.what());
    }
}

void dvrcore::RunJob(const JobStart &job) {
    JobWaiter waiter(job.Library);
    if (RegisterJobThread(waiter)) {
        CallJobRead(job);
        UnregisterJobThread();
    }
    std::free(job.Data);
    LeaveJobLibrary(job.Library); // the thread's last touch of the core
}

// Nothing may escape a thread's body: a thread that cannot be registered
// (no memory) skips its Read call.
bool dvrcore::RegisterJobThread(JobWaiter &waiter) {
    std::lock_guard<std::mutex> lock(jobMutex);
    waiter.Abandoned = releasedJobLibraries.count(waiter.Library) != 0;
    try {
        jobThreads.emplace(pthread_self(), &waiter);
        jobThreadCount = jobThreads.size();
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void dvrcore::UnregisterJobThread() {
    std::lock_guard<std::mutex> lock(jobMutex);
    jobThreads.erase(pthread_self());
    jobThreadCount = jobThreads.size();
}

bool dvrcore::EnterJobLibrary(void *library) {
    std::lock_guard<std::mutex> lock(jobMutex);
    if (releasedJobLibraries.count(library) != 0) {
        return false;
    }
    ++runningJobThreads[library];
    return true;
}

// Notified under the lock: a waiter may destroy the core as soon as it has
// the lock back, and then this thread must be done with the core.
void dvrcore::LeaveJobLibrary(void *library) {
    std::lock_guard<std::mutex> lock(jobMutex);
    const auto entry = runningJobThreads.find(library);
    if (--entry->second == 0) {
        runningJobThreads.erase(entry);
    }
    jobThreadLeft.notify_all();
}

bool dvrcore::AdmitJobEvent(const _EventParmsIn &event) {
    JobWaiter *waiter = nullptr;
    {
        std::lock_guard<std::mutex> lock(jobMutex);
        const auto entry = jobThreads.find(pthread_self());
        if (cancelledJobs.count(event.JobTag) != 0 || entry == jobThreads.end()) {
            return false;
        }
        waiter = entry->second;
    }
    // The waiter belongs to this very thread, so it outlives the call without
    // jobMutex; holding jobMutex while waiting would stall every wake-up.
    std::unique_lock<std::mutex> lock(waiter->Mutex);
    if (event.Data == nullptr) {
        return !waiter->Abandoned;
    }
    waiter->Wakeup.wait(lock, [waiter] { return waiter->Pending == 0 || waiter->Abandoned; });
    if (waiter->Abandoned) {
        return false;
    }
    waiter->Pending = reinterpret_cast<uintptr_t>(event.Data);
    return true;
}

void dvrcore::WakeJobThreads(uintptr_t bufferAddress) {
    // A thread waits for a buffer only while registered, and registered
    // before it raised the event whose buffer this is.
    if (bufferAddress == 0 || jobThreadCount == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(jobMutex);
    for (const auto &entry : jobThreads) {
        JobWaiter &waiter = *entry.second;
        std::lock_guard<std::mutex> waiterLock(waiter.Mutex);
        if (waiter.Pending == bufferAddress) {
            waiter.Pending = 0;
            waiter.Wakeup.notify_one();
        }
    }
}

// Called before the library's Unload: no new job threads start in it, those
// waiting for a buffer give up (the delivery loop has ended and the buffer
// may never be released), and the call returns once all have left.
void dvrcore::WaitForJobThreads(void *library) {
    std::unique_lock<std::mutex> lock(jobMutex);
    releasedJobLibraries.insert(library);
    for (const auto &entry : jobThreads) {
        JobWaiter &waiter = *entry.second;
        if (waiter.Library == library) {
            std::lock_guard<std::mutex> waiterLock(waiter.Mutex);
            waiter.Abandoned = true;
            waiter.Wakeup.notify_one();
        }
    }
    jobThreadLeft.wait(lock, [this, library] { return runningJobThreads.count(library) == 0; });
}

void dvrcore::WaitForAllJobThreads() {
    std::unique_lock<std::mutex> lock(jobMutex);
    jobThreadLeft.wait(lock, [this] { return runningJobThreads.empty(); });
}
