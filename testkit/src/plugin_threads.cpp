// The threads the core runs for a plugin: its worker (IOCTL WORKER_THREAD),
// its reader (Read without a job) and one thread per job (Read with the
// job's tag and a private copy of its data).
#include <exception>
#include <new>

#include "event/event_matching.h"
#include "kit_state.h"
#include "plugin_call_records.h"

namespace dvrtest {

namespace {

void RunWorker(IoctlEntryPoint ioctl) {
    _IoctlParmsIn in = WorkerIoctlInRecord();
    _IoctlParmsOut out = IoctlOutRecord(WORKER_THREAD);
    ioctl(&in, &out);
}

void RunRead(ReadEntryPoint read, uint32_t jobTag, uint32_t dataLength, void *data) {
    _ReadParmsIn in = ReadInRecord(dataLength, data, jobTag);
    _ReadParmsOut out = ReadOutRecord();
    read(&in, &out);
}

void JoinIfRunning(std::thread &thread) {
    if (thread.joinable()) {
        thread.join();
    }
}

} // namespace

void PluginUnderTest::State::StartWorker() {
    if (info.WorkerThread != 0 && entries.IOCTL != nullptr) {
        workerThread = std::thread(RunWorker, entries.IOCTL);
    }
}

void PluginUnderTest::State::StartReader() {
    if (info.ReadEvents != 0 && entries.Read != nullptr) {
        readerThread = std::thread(RunRead, entries.Read, 0u, 0u, nullptr);
    }
}

void PluginUnderTest::State::JoinThreads() {
    JoinIfRunning(readerThread);
    JoinIfRunning(workerThread);
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobsClosed = true;
    }
    // Jobs may start jobs: join until none is left.
    for (;;) {
        std::vector<std::thread> finishing;
        {
            std::lock_guard<std::mutex> lock(mutex);
            finishing.swap(jobThreads);
        }
        if (finishing.empty()) {
            return;
        }
        for (std::thread &thread : finishing) {
            thread.join();
        }
    }
}

void PluginUnderTest::State::CancelJob(uint32_t jobTag) {
    std::lock_guard<std::mutex> lock(mutex);
    cancelledJobs.insert(jobTag);
}

// Starting a job clears its tag's cancellation, whoever takes the job.
bool PluginUnderTest::State::StartJob(const _EventParmsIn &start) {
    MallocBuffer data;
    try {
        data = CopyToMalloc(start.Data, start.DataLength);
    } catch (const std::bad_alloc &) {
        // The core starts the job without its data then.
    }
    std::lock_guard<std::mutex> lock(mutex);
    cancelledJobs.erase(start.JobTag);
    if (jobsClosed || info.ReadEvents == 0 || entries.Read == nullptr ||
        !MatchesMasks(start.EventClass, info.EventMasks, JobValue(start.EventType))) {
        return false;
    }
    ++activeJobs;
    try {
        jobThreads.emplace_back([this, tag = start.JobTag, length = start.DataLength, owned = std::move(data)] {
            RunJob(tag, length, owned.get());
        });
    } catch (const std::exception &) { // no thread, or no memory to track it: no job
        --activeJobs;
        return false;
    }
    return true;
}

// The thread registers itself before Read, so that its tagged events are
// admitted, and the lambda frees the data copy once it returns.
void PluginUnderTest::State::RunJob(uint32_t jobTag, uint32_t dataLength, void *data) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        jobThreadIds.insert(std::this_thread::get_id());
    }
    RunRead(entries.Read, jobTag, dataLength, data);
    std::lock_guard<std::mutex> lock(mutex);
    jobThreadIds.erase(std::this_thread::get_id());
    --activeJobs;
    changed.notify_all();
}

bool PluginUnderTest::State::WaitForJobs(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [this] { return activeJobs == 0; });
}

} // namespace dvrtest
