// The kit's inner state: the plugin's library and entries, the threads the
// kit runs for it, and what the plugin raised.
//
// Thread rules: the library, the entries, `info` and the lifecycle flags
// belong to the test's thread, which writes `info` before any plugin thread
// starts. Everything under "guarded by mutex" may be touched by every thread
// the plugin raises from, only with `mutex` held; no plugin entry is called
// with it held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dvrplugin_testkit.h"

namespace dvrtest {

struct LibraryCloser {
    void operator()(void *handle) const;
};

struct FreeDeleter {
    void operator()(void *buffer) const { std::free(buffer); }
};
using MallocBuffer = std::unique_ptr<void, FreeDeleter>;

// A malloc'd copy of `data`, as the core makes one: null when there is nothing
// to copy. Throws std::bad_alloc when there is no memory.
MallocBuffer CopyToMalloc(const void *data, std::size_t length);

struct PluginEntries {
    LoadEntryPoint Load = nullptr;
    UnloadEntryPoint Unload = nullptr;
    OpenEntryPoint Open = nullptr;
    CloseEntryPoint Close = nullptr;
    ReadEntryPoint Read = nullptr;
    WriteEntryPoint Write = nullptr;
    SeekEntryPoint Seek = nullptr; // resolved as the core does, never called
    IoctlEntryPoint IOCTL = nullptr;
};

// A buffer the plugin holds. Buffer is null while the call that hands it over
// runs: the caller owns it until then.
struct Holding {
    MallocBuffer Buffer;
    uint32_t Length = 0;
    uint32_t EventClass = 0;
    uint32_t EventType = 0;
};

// Makes `kit` the answerer of the event entry it returns; throws
// std::logic_error while another kit is attached.
EventEntryPoint AttachKit(PluginUnderTest::State *kit);
void DetachKit(PluginUnderTest::State *kit);

class PluginUnderTest::State {
public:
    // Opens the library and resolves its entries.
    explicit State(const std::string &libraryPath);

    // Calls in the core's order, with the core's records.
    CallResult CallLoad();
    CallResult CallOpen();
    CallResult CallClose();
    CallResult CallUnload();
    DeliveryResult Deliver(const Event &event);
    CallResult CallPacket(Bytes packet);

    // The kit's event entry lands here, on whatever thread the plugin raises.
    int32_t Answer(const _EventParmsIn &in, _EventParmsOut &out);

    // Job control from the test or from the plugin.
    bool StartJob(const _EventParmsIn &start);
    void CancelJob(uint32_t jobTag);
    bool WaitForJobs(std::chrono::milliseconds timeout);
    // Joins the reader, the worker and every job thread; no job starts after.
    // Throws std::runtime_error, naming the threads and leaving them running
    // (the kit abandoned), when they outlast threadWaitLimit.
    void JoinThreads();
    // Whether JoinThreads gave up: the plugin's threads may still run in its
    // library, so neither the library nor this state may go.
    bool Abandoned() const { return abandoned; }

    // The test's thread only.
    std::string libraryPath;
    std::unique_ptr<void, LibraryCloser> library;
    PluginEntries entries;
    EventEntryPoint eventEntry = nullptr;
    _LoadParmsOut info{};
    bool loaded = false;
    bool opened = false;
    bool closed = false;
    bool unloaded = false;
    std::thread workerThread;
    std::thread readerThread;
    std::chrono::milliseconds longCallLimit{1000};
    LongCalls longCalls = LongCalls::Warn;
    std::chrono::milliseconds threadWaitLimit{10000};
    bool abandoned = false;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    // Guarded by mutex.
    std::vector<RaisedEvent> events;
    std::vector<SupervisorPacket> packets;
    std::map<const void *, Holding> retained;
    std::size_t unmatchedReleases = 0;
    bool stopping = false;
    bool linkClosed = false;
    std::set<uint32_t> cancelledJobs;
    std::set<std::thread::id> jobThreadIds;
    std::vector<std::thread> jobThreads;
    std::size_t activeJobs = 0;
    std::multiset<uint32_t> runningJobTags;
    bool jobsClosed = false;
    bool workerRunning = false;
    bool readerRunning = false;
    std::vector<std::string> longCallReports;

private:
    // Reports a call that ran past the limit; throws when the test asked.
    void CheckDuration(const std::string &call, std::chrono::steady_clock::duration took);
    // Until the condition holds or the deadline passes; false then.
    bool AwaitThreads(std::chrono::steady_clock::time_point deadline, bool (State::*ended)() const);
    bool WorkerAndReaderEnded() const { return !workerRunning && !readerRunning; }
    bool JobsEnded() const { return activeJobs == 0; }
    std::string RunningThreads() const;
    void Abandon();
    DeliveryResult CallWrite(const Event &event, void *data);
    DeliveryResult CallUpdateConfig(const Event &event, void *data);
    void HoldDuringCall(const void *data, const Event &event);
    void KeepIfRetained(MallocBuffer buffer, bool keep);
    void StartWorker();
    void StartReader();
    void RunJob(uint32_t jobTag, uint32_t dataLength, void *data);
    void Capture(RaisedEvent event, int32_t result);
    int32_t AcceptRelease(const _EventParmsIn &in);
    int32_t AcceptSend(const RaisedEvent &event);
    int32_t AcceptOrdinary(const _EventParmsIn &in);
};

} // namespace dvrtest
