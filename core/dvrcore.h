#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include <pthread.h>

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>

#include "call_watch.h"
#include "core_instance.h"
#include "housekeeper.h"
#include "delivery.h"
#include "event_queue.h"
#include "job_table.h"
#include "dvrplugin.h"
#include "packet_handler.h"
#include "console_sink.h"
#include "source_names.h"
#include "supervisor_link.h"
#include "buffer_holder_table.h"
#include "holding_watch.h"
#include "closed_plugins.h"
#include "plugin_info.h"
#include "plugin_table.h"
#include "core_configuration.h"
#include "crash_watch.h"

class AsioThread;
class PeriodicThread;
class TiXmlDocument;
struct ReportedCrash;

// The one object of the core process: the plugin host and event switchboard.
//
// Threads: the main thread constructs, initialises and runs Start (plugin
// load, open, close, unload and the delivery loop); the asio thread runs
// everything posted to `io` (signals, supervisor packets, the Scheduler);
// plugin worker, reader and job threads raise events through PluginEvent.
//
// The object is a front over the components below, one per subsystem, each
// stating its own thread and lock rules: it sequences them (the run
// sequence) and joins them where they meet (the event entry, the packets
// for plugins, the documents it publishes). It holds no lock of its own and
// none of its fields is written after construction: every piece of state
// lives in a component.
//
// The virtual operations are visible to plugins, which hold the object's
// address: their slot order (destructor, now, ReportStatus, LogSink) is part
// of the plugin interface and must not change.
class dvrcore {
public:
    explicit dvrcore(std::string exePath);
    virtual ~dvrcore();
    dvrcore(const dvrcore &) = delete;
    dvrcore &operator=(const dvrcore &) = delete;

    // Steady clock, nanoseconds. Plugin timings and throttling read it here.
    virtual int64_t now();
    // Builds and publishes the "Memory" status document.
    virtual void ReportStatus();
    // Writes one console line (and copies level 100 to the system log).
    virtual void LogSink(uint32_t source, uint32_t level, const char *text);

    // Prepares the process and attaches the supervisor descriptor (-1: none).
    bool Initialize(int descriptor);
    // Loads, opens and runs the plugins until a stop is requested, then
    // closes and unloads everything.
    void Start();
    void RequestStop();

    // The event entry: any thread. Always returns 0; the outcome is in Result.
    int32_t PluginEvent(_EventParmsIn *in, _EventParmsOut *out);

    void Scheduler(const boost::system::error_code &error);
    void ProcessIPC(const boost::system::error_code &error, std::size_t bytes);

private:
    friend class CoreTestAccess;
    friend class SchedulerTestAccess;

    // Start-up and shut-down.
    void StartUp(std::optional<PeriodicThread> &callWatch, std::optional<AsioThread> &asioThread);
    void CloseAndUnloadPlugins(std::optional<AsioThread> &asioThread);

    // The modules report, once the plugins are open.
    void PublishModulesReport();

    // Diagnostics: console-only lines about plugins that keep the core
    // waiting or that misbehave after their Close.
    void ReportWatchedCalls();
    void ReportWatchedCall(const WatchedCallReport &report);
    // Ends the slot's call, telling how long it took if it was reported.
    void FinishWatchedCall(CallSlot &slot);
    void ReportLongCallEnded(const WatchedCallReport &report);
    void ReportLeakSummary(uint32_t holder, std::size_t buffers, uint64_t bytes);
    void WatchHoldings(int64_t nowNs);
    void ReportHoldings(const HoldingWatch::Holdings &held, uint32_t nowSeconds);

    // Event bus.
    void SinkLogEvent(const _EventParmsIn &event);
    // Replaces the event's data by the core's copy before queueing it.
    int32_t AcceptEvent(_EventParmsIn &event);
    bool CopyEventData(_EventParmsIn &event);
    void ReleaseBuffer(void *buffer, uint32_t source);
    void FreeEventData(void *data);
    // A plugin's buffer for the supervisor, which may be a copy it was
    // delivered.
    int32_t SendForPlugin(void *buffer, uint32_t length, uint32_t source);
    int32_t SendDeliveredBuffer(void *buffer, uint32_t length, uint32_t source);
    void ReportHandover(uint32_t source, const char *what, const char *outcome);
    void DeliverEvents();
    void PublishDocument(const TiXmlDocument &document, uint32_t eventClass);

    // Plugin jobs: the plugins that take a job start, to the job table.
    void StartJob(const _EventParmsIn &event);

    // Supervisor link.
    PacketHandler::Forwarded ForwardIpcPacket(const uint8_t *packet, uint32_t length);
    // What the link hands the core, on the asio thread.
    class LinkPackets final : public PacketHandler {
    public:
        explicit LinkPackets(dvrcore &core) : core(core) {}
        void RequestStop() override { core.RequestStop(); }
        Forwarded Forward(const uint8_t *packet, uint32_t length) override {
            return core.ForwardIpcPacket(packet, length);
        }

    private:
        dvrcore &core;
    };

    // Configuration: read at start, saved and published once the plugins run.
    void LoadConfiguration();
    void PublishConfiguration();

    // How the last run ended: told once at start, counted for the quarantine.
    void TellLastRun();
    void TellCrash(const ReportedCrash &crash, uint32_t crashesInARow, bool quarantined);

    // Identity and privileges.
    bool ChangeIdentity();
    void DropCapabilities(uint32_t mask);

    // Start-up and stop waits.
    void WaitForSupervisorIdentity();
    void SleepForWatchdogs();

    // ---- Fields, in the order they are built (destroyed in reverse) ----
    // Constant after construction: the components themselves, each guarding
    // its own state (see its header).

    // First, so that it goes last: FlatPluginEvent reaches the core through it.
    CoreRegistration registration;

    // The plugins and their life (the class gives its thread rule).
    PluginTable plugins;
    // Filled while loading, read by every thread's log lines.
    SourceNames names;
    ConsoleSink console{names};

    boost::asio::io_context io;
    // The housekeeping tick; its clock and status document are the core's
    // virtual operations.
    Housekeeper housekeeper{
        io, {[this] { return now(); }, [this] { ReportStatus(); }, [this] { link.TellHeldBackPackets(); }}};

    // The supervisor link, which hands stops and plugin packets to the core.
    LinkPackets linkPackets{*this};
    SupervisorLink link{io, linkPackets, [this] { return now(); }};

    // The copies of event data and their holders; it outlives the queue,
    // which gives back the copies of events never delivered.
    BufferHolderTable bufferHolders;
    // The events waiting for delivery, and the stop request.
    EventQueue events{bufferHolders};

    // The plugin call each of the two threads that call plugins on the
    // core's behalf is making, watched by a thread of its own while the core
    // runs (CallSlot gives the thread rule).
    CallSlot mainThreadCall;
    CallSlot asioThreadCall;
    // Plugins that hold copies for long, looked at by the same watching
    // thread, which alone uses these two.
    HoldingWatch holdingWatch;
    uint32_t nextHoldingCheck = 0;
    // The delivery loop's hand-out, on the main thread.
    Delivery delivery{plugins.List(), bufferHolders, mainThreadCall,
                      [this](const WatchedCallReport &report) { ReportLongCallEnded(report); }};
    ClosedPlugins closed{names};

    JobTable jobs;

    CoreConfiguration configuration;
    // Sees every plugin library come and go, for crash reports and the
    // quarantine kept in the configuration.
    CrashWatch crashWatch{configuration.Quarantine()};
};

// The version the core reports unless product.xml names another.
const char *CoreVersion();
