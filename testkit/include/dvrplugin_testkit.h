// The plugin test kit: runs one plugin library in the test's own process,
// without the core, and answers it as the core would.
//
//     dvrtest::PluginUnderTest plugin("./libmy_plugin.so");
//     ASSERT_TRUE(plugin.Load().Ok());
//     ASSERT_TRUE(plugin.Open().Ok());
//     plugin.Write(dvrtest::DataEvent(0x00AB0000u, 0x1, 0x10, "frame"));
//     ASSERT_TRUE(plugin.WaitForEvents(1, std::chrono::seconds(5)));
//     EXPECT_EQ(plugin.Events()[0].Text(), "got a frame");
//     plugin.Close();
//     plugin.Unload();
//     EXPECT_TRUE(plugin.RetainedBuffers().empty());
//
// What the kit does like the core:
//  - the records of every call are filled as the core fills them, on the
//    threads the core would use: Load starts the worker thread a plugin asks
//    for, Open starts its reader thread, and jobs run Read on threads of
//    their own; Unload joins all of them before it calls Unload;
//  - every event the plugin raises is answered as the core answers it:
//    ordinary events are copied and accepted until Close begins the stop,
//    then refused; tagged events only from a job thread of an uncancelled
//    job; releases end the plugin's hold on a buffer it retained;
//    supervisor sends become the kit's (captured as packets); job starts
//    that the plugin's masks take run its Read, as in the core.
// What it does not: deliver the plugin's events to anyone, the plugin itself
// included (Write them back when its masks take its own events), and so no
// job ever waits for a consumer; throttling and shortage of memory are not
// played.
//
// What the core would say, the kit says too: a library that exports Load
// (or another entry) only under a C++ name is named with the extern "C"
// hint (Load then throws, the others are warned about on standard error);
// a Write or IOCTL that runs over a second is reported, as the core reports
// it (a warning on standard error, or an exception when the test asks); and
// Unload that waits for the plugin's threads longer than a limit (10 s
// unless the test sets another) throws, naming the threads, instead of
// hanging as the core would. The threads are then left running, and the
// plugin's library loaded, until the process ends.
//
// Calls out of the core's order throw std::logic_error, saying which call
// came too early or too late, instead of reaching a plugin that could not
// expect it: Open before a successful Load, a second Load or Open, Open after
// Close, Write (and UpdateConfig) before Open or after Close, SendPacket
// before Load or after Unload. Packets may reach a plugin before its Open
// and while it closes, as in the core. Close and Unload may be called at any
// time and do nothing when there is nothing to do.
//
// Thread rules: all operations but the event entry are for the test's
// thread; the accessors (Events, Packets, RetainedBuffers...) return copies
// and may be called at any time. One PluginUnderTest may exist at a time in a
// process, because a plugin's event entry carries no context. A plugin that
// calls FlatPluginEvent by name reaches the kit too: the kit's link options
// export its definition from the test executable.
#ifndef DVRPLUGIN_TESTKIT_H
#define DVRPLUGIN_TESTKIT_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dvrplugin.h"

namespace dvrtest {

using Bytes = std::vector<uint8_t>;

// An event as a test describes it, to be delivered to the plugin.
struct Event {
    uint32_t Source = 0;
    uint32_t JobTag = 0;
    uint32_t EventClass = 0;
    uint32_t EventType = 0;
    uint32_t Params[EVENT_PARAMS_WORDS] = {};
    Bytes Data; // empty: the record's Data is null
};

// A data event; a text is carried without a NUL.
Event DataEvent(uint32_t source, uint32_t eventClass, uint32_t eventType, const Bytes &data);
Event DataEvent(uint32_t source, uint32_t eventClass, uint32_t eventType, const std::string &text);
// A log line as the core delivers it: CLASS_LOG, TYPE_LOG_TEXT, the level in
// Params, the text with its NUL.
Event LogEvent(uint32_t source, uint32_t level, const std::string &text);

// What the plugin raised through its event entry.
enum class EventKind {
    Ordinary,     // queued for delivery by the core
    Release,      // CLASS_RELEASE: gives a buffer back
    ToSupervisor, // CLASS_TO_SUPERVISOR: a packet for the supervisor
    JobStart,     // Source 0: starts job JobTag
    JobCancel,    // Source 0, CLASS_CANCEL_JOB: cancels job JobTag
};

struct RaisedEvent {
    EventKind Kind = EventKind::Ordinary;
    uint32_t Source = 0;
    uint32_t JobTag = 0;
    uint32_t EventClass = 0;
    uint32_t EventType = 0;
    uint32_t Params[EVENT_PARAMS_WORDS] = {};
    uint32_t DataLength = 0;       // as raised
    Bytes Data;                    // a copy, taken during the call; empty for a release
    const void *Address = nullptr; // the raiser's Data pointer
    int32_t Result = EVENT_OK;     // what the plugin was answered
    bool FromJobThread = false;    // raised on a job thread the kit runs

    bool IsLog() const; // CLASS_LOG with TYPE_LOG_TEXT
    uint32_t LogLevel() const;
    // The data as text, up to its first NUL.
    std::string Text() const;
};

// A packet the plugin sent to the supervisor, header included.
struct SupervisorPacket {
    Bytes Data;
    uint32_t Address() const;    // 0 when shorter than a header
    uint32_t PacketType() const; // 0 when shorter than a header
    std::string Payload() const; // what follows the header
};

// A buffer the plugin keeps: retained from a Write or a configuration
// IOCTL and not released yet, with the event that brought it.
struct RetainedBuffer {
    const void *Address = nullptr;
    uint32_t DataLength = 0;
    uint32_t EventClass = 0;
    uint32_t EventType = 0;
};

// The plugin's results for one call; a missing entry counts as success, as
// the core never calls it.
struct CallResult {
    bool Called = false;
    int32_t Result = 0;
    int32_t Error = 0;
    bool Ok() const { return Result == 0 && Error == 0; }
};

struct DeliveryResult : CallResult {
    bool Retained = false; // the plugin kept the buffer
};

// What becomes of a Write or IOCTL that runs longer than the limit.
enum class LongCalls {
    Warn, // a line on standard error
    Fail, // the call throws std::runtime_error once the plugin has returned
};

class PluginUnderTest {
public:
    // Opens the library (dlopen, RTLD_NOW) and resolves its entries; throws
    // std::runtime_error with dlerror's text when it cannot be opened. Warns
    // on standard error of entries exported only under a C++ name.
    explicit PluginUnderTest(const std::string &libraryPath);
    // Closes and unloads what is still open or loaded, as the core's stop would.
    ~PluginUnderTest();
    PluginUnderTest(const PluginUnderTest &) = delete;
    PluginUnderTest &operator=(const PluginUnderTest &) = delete;

    // Lifecycle, in the core's order, each step once. Load starts the worker
    // thread the plugin asks for (when Load succeeds), Open the reader
    // thread; Close begins the stop; Unload joins the plugin's threads, then
    // calls Unload. After a failed Load the plugin is neither closed nor
    // unloaded, as in the core, and Load may be tried again. Load throws
    // std::runtime_error when the library exports no Load; Unload throws it
    // when the plugin's threads outlast the wait limit (without calling the
    // plugin's Unload).
    CallResult Load();
    CallResult Open();
    CallResult Close();
    CallResult Unload();
    // What the plugin described at Load.
    const _LoadParmsOut &Info() const;
    // The entry points the library exports, by their names ("Load",
    // "Unload", "Open", "Close", "Read", "Write", "Seek", "IOCTL"), in that order.
    std::vector<std::string> ExportedEntries() const;

    // Delivers one event as the delivery loop does: a configuration-class
    // event from another source through IOCTL UPDATE_CONFIG, any other
    // event through Write when the plugin's masks take it (Called is false
    // when they do not). The plugin gets a private copy of the data, which
    // stays valid while it is retained.
    DeliveryResult Write(const Event &event);
    // A configuration document, as the core delivers one (source the core).
    DeliveryResult UpdateConfig(const std::string &document);
    // A supervisor packet through IOCTL IPC_PACKET, on the test's thread,
    // when the core would forward it: a whole packet (its PacketLength is its
    // size, at most IPC_MAX_PACKET_LENGTH), neither identity nor stop, whose
    // address names the plugin. Called is false otherwise.
    CallResult SendPacket(uint32_t address, uint32_t packetType, const std::string &payload);
    CallResult SendPacket(const Bytes &packet);

    // Job control, as another party would raise it: a job start runs Read
    // on a new thread when the plugin reads events and its masks take the
    // job; returns whether it did.
    bool StartJob(uint32_t jobTag, uint32_t eventClass, uint32_t eventType, const Bytes &data = {});
    void CancelJob(uint32_t jobTag);
    // Until every job thread has returned from Read.
    bool WaitForJobs(std::chrono::milliseconds timeout);
    // Sends to the supervisor are refused from now on, as after a lost link.
    void CloseSupervisorLink();

    // Write and IOCTL (UPDATE_CONFIG and IPC_PACKET) calls longer than
    // `limit`, 1 s unless set, are reported as `what` says (a warning unless
    // set). Every report is kept, in LongCallReports.
    void SetLongCallLimit(std::chrono::milliseconds limit, LongCalls what = LongCalls::Warn);
    std::vector<std::string> LongCallReports() const;
    // How long Unload waits for the plugin's worker, reader and job threads
    // before it throws.
    void SetThreadWaitLimit(std::chrono::milliseconds limit);

    // Captured events, in the order in which they were raised.
    std::vector<RaisedEvent> Events() const;
    std::vector<RaisedEvent> Events(EventKind kind) const;
    std::vector<SupervisorPacket> Packets() const;
    // Until `count` events of any kind have been raised.
    bool WaitForEvents(std::size_t count, std::chrono::milliseconds timeout) const;
    // Until `condition` holds for the captured events; checked at every event,
    // with the kit's lock held: the condition must not call the kit.
    bool WaitUntil(const std::function<bool(const std::vector<RaisedEvent> &)> &condition,
                   std::chrono::milliseconds timeout) const;

    // Buffer accounting: what the plugin holds now (a leak once it is
    // unloaded), and releases of buffers it did not hold.
    std::vector<RetainedBuffer> RetainedBuffers() const;
    std::size_t UnmatchedReleases() const;
    // "" while the plugin holds nothing; otherwise one line per buffer it
    // holds, naming the event's class and type and the data's length, for
    // a test's failure message: EXPECT_EQ(plugin.LeakReport(), "").
    std::string LeakReport() const;

    class State;

private:
    std::unique_ptr<State> state;
};

} // namespace dvrtest

#endif // DVRPLUGIN_TESTKIT_H
