#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "mqtt_bridge/broker_connection.h"
#include "mqtt_bridge/command_topics.h"
#include "mqtt_bridge/core_events.h"
#include "mqtt_bridge/outage_report.h"
#include "mqtt_bridge/outgoing_queue.h"
#include "mqtt_bridge/reconnect_backoff.h"
#include "mqtt_bridge/retained_documents.h"
#include "mqtt_bridge/topics.h"

// The bridge's network thread. It connects to the broker, and again with back-off whenever the
// connection fails or breaks; it says "online" on the state topic (the last will says
// "offline"), subscribes to the commands and turns them into events; while connected it
// publishes the changed retained documents and the queued messages, handing at most
// IN_FLIGHT_LIMIT to libmosquitto at a time, so that nothing piles up inside the library.
// Messages handed over but not confirmed when a connection breaks are counted as dropped.
//
// Threads: Start and Stop are for the core's main thread, Wake for any thread; everything
// else runs on the network thread, which alone uses the connection. The queue and the
// documents are shared through their own locks.
class BrokerLink : private BrokerConnection::Listener {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t IN_FLIGHT_LIMIT = 20;
    // How long a stop may take to say "offline" and disconnect.
    static constexpr std::chrono::seconds GOODBYE_LIMIT{2};

    struct Parts {
        OutgoingQueue &queue;
        RetainedDocuments &documents;
        const CommandTranslator &commands;
        const CoreEvents &events;
    };

    BrokerLink(ConnectionSettings connection, ReconnectBackoff backoff, const TopicScheme &topics, Parts parts);
    ~BrokerLink();
    BrokerLink(const BrokerLink &) = delete;
    BrokerLink &operator=(const BrokerLink &) = delete;

    // Starts the network thread; false when it cannot.
    bool Start();
    // Publishes "offline", disconnects within GOODBYE_LIMIT and joins the thread.
    void Stop();
    // Something was queued or changed.
    void Wake();

private:
    void Run();
    void Loop();
    void Attempt();
    void EndConnection(const std::string &cause);
    void WaitAndServe(Clock::time_point until);
    void Serve(short events);
    void SendPending();
    bool PublishOne(const OutgoingMessage &message, bool retain);
    void UpdateCounters(Clock::time_point now);
    void SayGoodbye();
    uint64_t Dropped() const;

    void Connected(int connackCode) override;
    void Published(int messageId) override;
    void Received(const std::string &topic, const char *payload, std::size_t length) override;
    void Disconnected(int result) override;

    // Constant after construction.
    const ConnectionSettings connectionSettings;
    const TopicScheme topics;
    const Parts parts;
    const Clock::duration connectTimeout;
    int wakeDescriptor = -1;

    // Any thread.
    std::atomic<bool> stopping{false};

    // Network thread only (the thread is started after, and joined before, anyone else reads).
    std::unique_ptr<BrokerConnection> connection;
    bool connected = false;
    bool refusedThisAttempt = false;
    bool ended = false; // the library reported the end of the connection
    std::string endCause;
    Clock::time_point attemptDeadline;
    Clock::time_point nextAttempt;
    Clock::time_point nextCountersUpdate;
    ReconnectBackoff backoff;
    OutageReport outage;
    std::set<int> inFlight;
    uint64_t droppedByLink = 0; // unconfirmed at a break, or refused by the library
    uint64_t refusedCommands = 0;

    std::thread thread;
};
