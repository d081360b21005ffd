// The threads the core runs for a plugin: its worker (IOCTL WORKER_THREAD),
// its reader (Read without a job) and one thread per job (Read with the
// job's tag and a private copy of its data).
#include <chrono>
#include <exception>
#include <new>
#include <stdexcept>
#include <vector>

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

// Kits whose plugin threads outlived the wait: kept, never freed, since those
// threads still use them (a leak checker sees them held from here).
std::vector<PluginUnderTest::State *> &AbandonedKits() {
    static auto *kits = new std::vector<PluginUnderTest::State *>();
    return *kits;
}

} // namespace

// Each thread says under the lock that it has returned from the plugin, so
// that Unload can wait for it with a limit.
void PluginUnderTest::State::StartWorker() {
    if (info.WorkerThread == 0 || entries.IOCTL == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        workerRunning = true;
    }
    workerThread = std::thread([this, ioctl = entries.IOCTL] {
        RunWorker(ioctl);
        std::lock_guard<std::mutex> lock(mutex);
        workerRunning = false;
        changed.notify_all();
    });
}

void PluginUnderTest::State::StartReader() {
    if (info.ReadEvents == 0 || entries.Read == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        readerRunning = true;
    }
    readerThread = std::thread([this, read = entries.Read] {
        RunRead(read, 0u, 0u, nullptr);
        std::lock_guard<std::mutex> lock(mutex);
        readerRunning = false;
        changed.notify_all();
    });
}

// Worker and reader first, as the core joins them: until they have returned
// they may still start jobs.
void PluginUnderTest::State::JoinThreads() {
    const auto deadline = std::chrono::steady_clock::now() + threadWaitLimit;
    bool ended = AwaitThreads(deadline, &State::WorkerAndReaderEnded);
    if (ended) {
        JoinIfRunning(readerThread);
        JoinIfRunning(workerThread);
        {
            std::lock_guard<std::mutex> lock(mutex);
            jobsClosed = true;
        }
        ended = AwaitThreads(deadline, &State::JobsEnded);
    }
    if (!ended) {
        std::string running;
        {
            std::lock_guard<std::mutex> lock(mutex);
            running = RunningThreads();
        }
        Abandon();
        throw std::runtime_error("dvrtest: Unload has waited " + std::to_string(threadWaitLimit.count()) +
                                 " ms for the plugin's " + running +
                                 " to return; the core would wait for ever. Make them return once Close is called.");
    }
    std::vector<std::thread> finished;
    {
        std::lock_guard<std::mutex> lock(mutex);
        finished.swap(jobThreads);
    }
    for (std::thread &thread : finished) {
        thread.join();
    }
}

bool PluginUnderTest::State::AwaitThreads(std::chrono::steady_clock::time_point deadline,
                                          bool (State::*ended)() const) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_until(lock, deadline, [this, ended] { return (this->*ended)(); });
}

// With the lock held. "worker thread (IOCTL WORKER_THREAD), 2 job threads
// (Read, tags 5 and 7)".
std::string PluginUnderTest::State::RunningThreads() const {
    std::vector<std::string> names;
    if (workerRunning) {
        names.push_back("worker thread (IOCTL WORKER_THREAD)");
    }
    if (readerRunning) {
        names.push_back("reader thread (Read)");
    }
    if (!runningJobTags.empty()) {
        std::string tags;
        for (const uint32_t tag : runningJobTags) {
            tags += (tags.empty() ? "" : ", ") + std::to_string(tag);
        }
        names.push_back(std::to_string(runningJobTags.size()) +
                        (runningJobTags.size() == 1 ? " job thread (Read, tag " : " job threads (Read, tags ") + tags +
                        ")");
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    }
    return text;
}

// The threads that still run keep running in the library: nothing they use
// may go, and nothing may call the plugin's Unload under them.
void PluginUnderTest::State::Abandon() {
    abandoned = true;
    unloaded = true;
    for (std::thread *thread : {&workerThread, &readerThread}) {
        if (thread->joinable()) {
            thread->detach();
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    jobsClosed = true;
    for (std::thread &thread : jobThreads) {
        thread.detach();
    }
    jobThreads.clear();
    AbandonedKits().push_back(this);
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
    runningJobTags.insert(start.JobTag);
    try {
        jobThreads.emplace_back([this, tag = start.JobTag, length = start.DataLength, owned = std::move(data)] {
            RunJob(tag, length, owned.get());
        });
    } catch (const std::exception &) { // no thread, or no memory to track it: no job
        --activeJobs;
        runningJobTags.erase(runningJobTags.find(start.JobTag));
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
    runningJobTags.erase(runningJobTags.find(jobTag));
    --activeJobs;
    changed.notify_all();
}

bool PluginUnderTest::State::WaitForJobs(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [this] { return activeJobs == 0; });
}

} // namespace dvrtest
