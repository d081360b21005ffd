#include "job_table.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <thread>

#include "log_message.h"
#include "plugin_call_records.h"
#include "thread_role.h"

namespace {

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

void JobTable::Cancel(uint32_t tag) {
    MutexLock lock(mutex);
    cancelled.insert(tag);
}

void JobTable::Uncancel(uint32_t tag) {
    MutexLock lock(mutex);
    cancelled.erase(tag);
}

void JobTable::StartThreads(const _EventParmsIn &event, const std::vector<JobTarget> &targets) {
    for (const JobTarget &target : targets) {
        if (EnterLibrary(target.library)) {
            StartThread(
                {target.read, target.library, event.DataLength, CopyJobData(event), event.JobTag, target.plugin},
                target.name);
        }
    }
}

// A thread the system refuses costs this plugin its job, not the raiser its
// call nor the core its life.
void JobTable::StartThread(const JobStart &job, const std::string &pluginName) {
    try {
        std::thread([this, job] { Run(job); }).detach();
    } catch (const std::exception &error) {
        std::free(job.Data);
        LeaveLibrary(job.Library);
        CORE_LOG(LOG_LEVEL_ERROR, "plugin %s job thread could not be started: %s", pluginName.c_str(), error.what());
    }
}

void JobTable::Run(const JobStart &job) {
    const ThreadRoleScope role({ThreadKind::Job, job.Plugin, job.JobTag, nullptr});
    JobWaiter waiter(job.Library);
    if (Register(waiter)) {
        CallJobRead(job);
        Unregister();
    }
    std::free(job.Data);
    LeaveLibrary(job.Library); // the thread's last touch of the table
}

// Nothing may escape a thread's body: a thread that cannot be registered
// (no memory) skips its Read call.
bool JobTable::Register(JobWaiter &waiter) {
    MutexLock lock(mutex);
    {
        MutexLock waiterLock(waiter.Mutex);
        waiter.Abandoned = releasedLibraries.count(waiter.Library) != 0;
    }
    try {
        threads.emplace(pthread_self(), &waiter);
        threadCount = threads.size();
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

void JobTable::Unregister() {
    MutexLock lock(mutex);
    threads.erase(pthread_self());
    threadCount = threads.size();
}

bool JobTable::EnterLibrary(void *library) {
    MutexLock lock(mutex);
    if (releasedLibraries.count(library) != 0) {
        return false;
    }
    ++runningThreads[library];
    return true;
}

// Notified under the lock: a waiter may destroy the core as soon as it has
// the lock back, and then this thread must be done with the table.
void JobTable::LeaveLibrary(void *library) {
    MutexLock lock(mutex);
    const auto entry = runningThreads.find(library);
    if (--entry->second == 0) {
        runningThreads.erase(entry);
    }
    threadLeft.NotifyAll();
}

bool JobTable::Admit(const _EventParmsIn &event) {
    JobWaiter *waiter = nullptr;
    {
        MutexLock lock(mutex);
        const auto entry = threads.find(pthread_self());
        if (cancelled.count(event.JobTag) != 0 || entry == threads.end()) {
            return false;
        }
        waiter = entry->second;
    }
    // The waiter belongs to this very thread, so it outlives the call without
    // the table's lock; holding that while waiting would stall every wake-up.
    MutexLock lock(waiter->Mutex);
    if (event.Data == nullptr) {
        return !waiter->Abandoned;
    }
    while (waiter->Pending != 0 && !waiter->Abandoned) {
        waiter->Wakeup.Wait(waiter->Mutex);
    }
    if (waiter->Abandoned) {
        return false;
    }
    waiter->Pending = reinterpret_cast<uintptr_t>(event.Data);
    return true;
}

// A thread waits for a buffer only while registered, and registered before
// it raised the event whose buffer this is: a count of 0 read before the
// free means no thread waits for it.
void JobTable::WakeWaitersFor(uintptr_t bufferAddress) {
    MutexLock lock(mutex);
    for (const auto &entry : threads) {
        JobWaiter &waiter = *entry.second;
        MutexLock waiterLock(waiter.Mutex);
        if (waiter.Pending == bufferAddress) {
            waiter.Pending = 0;
            waiter.Wakeup.NotifyOne();
        }
    }
}

// Those waiting for a buffer give up: the delivery loop has ended and the
// buffer may never be released.
void JobTable::WaitForThreads(void *library) {
    MutexLock lock(mutex);
    releasedLibraries.insert(library);
    for (const auto &entry : threads) {
        JobWaiter &waiter = *entry.second;
        if (waiter.Library == library) {
            MutexLock waiterLock(waiter.Mutex);
            waiter.Abandoned = true;
            waiter.Wakeup.NotifyOne();
        }
    }
    while (runningThreads.count(library) != 0) {
        threadLeft.Wait(mutex);
    }
}

void JobTable::WaitForAllThreads() {
    MutexLock lock(mutex);
    while (!runningThreads.empty()) {
        threadLeft.Wait(mutex);
    }
}
