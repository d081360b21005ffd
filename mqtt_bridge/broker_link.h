#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "mqtt_bridge/answer_book.h"
#include "mqtt_bridge/answers.h"
#include "mqtt_bridge/bridge_status.h"
#include "mqtt_bridge/broker_connection.h"
#include "mqtt_bridge/command_topics.h"
#include "mqtt_bridge/core_events.h"
#include "mqtt_bridge/device_info.h"
#include "mqtt_bridge/operator_log.h"
#include "mqtt_bridge/outage_report.h"
#include "mqtt_bridge/outgoing_queue.h"
#include "mqtt_bridge/reconnect_backoff.h"
#include "mqtt_bridge/retained_documents.h"
#include "mqtt_bridge/topics.h"

// What the network thread publishes besides the queue and the documents, and how. Reloading the
// settings replaces it whole (on the network thread).
struct LinkBehaviour {
    CommandTranslator commands;
    DocumentForm documentForm = DocumentForm::Xml;
    EventForm eventForm = EventForm::Raw;
    std::chrono::seconds infoInterval{60};
    bool discovery = false;
    std::string discoveryPrefix;
    std::string device;
    uint32_t answerClass = 0;
    uint32_t answerType = 0;
};

// What a reload of the settings came to: refused (the running settings stay), or taken, with a
// note of what waits for the next start, and possibly a new connection to make.
struct ReloadOutcome {
    bool taken = false;
    std::string note; // the refusal's reason, or what was left for the next start
    std::optional<ConnectionSettings> connection;
    std::optional<LinkBehaviour> behaviour;
};

// The bridge's network thread. It connects to the broker, and again with back-off whenever the
// connection fails or breaks; it says "online" on the state topic (the last will says
// "offline"), subscribes to the commands, turns them into events and answers each; while
// connected it publishes the changed retained documents and the queued messages, handing at
// most IN_FLIGHT_LIMIT to libmosquitto at a time, so that nothing piles up inside the library.
// Messages handed over but not confirmed when a connection breaks are counted as dropped. It
// keeps the `bridge` and `info` documents, and Home Assistant's discovery configurations, up to
// date.
//
// Threads: Start and Stop are for the core's main thread, Wake for any thread; everything
// else runs on the network thread, which alone uses the connection. The shared parts guard
// themselves.
class BrokerLink : private BrokerConnection::Listener {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t IN_FLIGHT_LIMIT = 20;
    // How long a stop may take to say "offline" and disconnect.
    static constexpr std::chrono::seconds GOODBYE_LIMIT{2};

    struct Parts {
        OutgoingQueue &queue;
        RetainedDocuments &documents;
        const CoreEvents &events;
        const OperatorLog &log;
        BridgeStatus &status;
        AnswerBook &answers;
        DeviceInfo &info;
        // Reads the settings file again; called on the network thread.
        std::function<ReloadOutcome()> reload;
    };

    BrokerLink(ConnectionSettings connection, ReconnectBackoff backoff, const TopicScheme &topics,
               LinkBehaviour behaviour, Parts parts);
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
    void UpdateDocuments(Clock::time_point now);
    void ExpireAnswers(Clock::time_point now);
    void ApplyReload();
    void SayGoodbye();
    uint64_t Dropped() const;
    void SendAnswer(const std::string &topic, const std::string &correlation, const Answer &answer);
    void Refuse(const IncomingMessage &message, const std::string &answerTopic, const std::string &reason);
    void CarryOut(const IncomingMessage &message, const std::string &answerTopic, const TranslatedCommand &command);
    void Reload(const IncomingMessage &message, const std::string &answerTopic);
    std::string AnswerTopicFor(const IncomingMessage &message) const;
    std::string CommandName(const std::string &topic) const;

    void Connected(int code) override;
    void Published(int messageId, int reasonCode) override;
    void Received(const IncomingMessage &message) override;
    void Disconnected(int result) override;

    // Constant after construction.
    const TopicScheme topics;
    const Parts parts;
    int wakeDescriptor = -1;

    // Any thread.
    std::atomic<bool> stopping{false};

    // Network thread only (the thread is started after, and joined before, anyone else reads).
    ConnectionSettings connectionSettings;
    LinkBehaviour behaviour;
    std::optional<ReloadOutcome> pendingReload;
    Clock::duration connectTimeout;
    std::unique_ptr<BrokerConnection> connection;
    bool connected = false;
    bool everConnected = false;
    bool refusedThisAttempt = false;
    bool publishRefusalReported = false;
    bool ended = false; // the library reported the end of the connection
    std::string endCause;
    Clock::time_point attemptDeadline;
    Clock::time_point nextAttempt;
    Clock::time_point nextCountersUpdate;
    Clock::time_point nextInfoUpdate;
    ReconnectBackoff backoff;
    OutageReport outage;
    std::map<int, std::string> inFlight; // message ID: topic
    uint64_t droppedByLink = 0;          // unconfirmed at a break, or refused by the library or broker

    std::thread thread;
};
