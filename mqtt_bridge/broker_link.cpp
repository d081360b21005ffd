#include "mqtt_bridge/broker_link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mosquitto.h>

namespace {

constexpr char ONLINE[] = "online";
constexpr char OFFLINE[] = "offline";
// libmosquitto's keep-alive work wants a call about once a second.
constexpr std::chrono::milliseconds LONGEST_WAIT{1000};
constexpr std::chrono::seconds SHORTEST_CONNECT_TIMEOUT{10};
constexpr std::chrono::seconds COUNTERS_INTERVAL{1};

std::string CountersDocument(uint64_t dropped, uint64_t refusedCommands) {
    return "<?xml ?><kDVR><Bridge Dropped=\"" + std::to_string(dropped) + "\" RefusedCommands=\"" +
           std::to_string(refusedCommands) + "\" /></kDVR>";
}

// A topic as it may appear in a console line: control characters replaced, length bounded.
std::string Printable(const std::string &topic) {
    constexpr std::size_t SHOWN = 200;
    std::string shown = topic.substr(0, SHOWN);
    std::replace_if(
        shown.begin(), shown.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
    std::replace(shown.begin(), shown.end(), '\x7F', '?');
    return shown;
}

} // namespace

BrokerLink::BrokerLink(ConnectionSettings connection, ReconnectBackoff backoff, const TopicScheme &topics, Parts parts)
    : connectionSettings(std::move(connection)), topics(topics), parts(parts),
      connectTimeout(std::max<Clock::duration>(SHORTEST_CONNECT_TIMEOUT,
                                               std::chrono::seconds(connectionSettings.keepAliveSeconds))),
      backoff(std::move(backoff)), outage(connectionSettings.host + ":" + std::to_string(connectionSettings.port)) {}

BrokerLink::~BrokerLink() {
    Stop();
    if (wakeDescriptor >= 0) {
        close(wakeDescriptor);
    }
}

bool BrokerLink::Start() {
    wakeDescriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeDescriptor < 0) {
        parts.events.Log("cannot create the network thread's wake-up: %s", std::strerror(errno));
        return false;
    }
    try {
        thread = std::thread([this] { Run(); });
    } catch (const std::exception &error) {
        parts.events.Log("cannot start the network thread: %s", error.what());
        return false;
    }
    return true;
}

void BrokerLink::Stop() {
    if (!thread.joinable()) {
        return;
    }
    stopping = true;
    Wake();
    thread.join();
}

void BrokerLink::Wake() {
    const uint64_t one = 1;
    // A full counter (EAGAIN) already wakes the thread.
    const ssize_t ignored = write(wakeDescriptor, &one, sizeof one);
    (void)ignored;
}

void BrokerLink::Run() {
    try {
        Loop();
        SayGoodbye();
    } catch (const std::exception &error) {
        parts.events.Log("the network thread stopped: %s", error.what());
    }
    connection.reset();
}

void BrokerLink::Loop() {
    while (!stopping) {
        const Clock::time_point now = Clock::now();
        if (!connection && now >= nextAttempt) {
            Attempt();
        }
        if (connected) {
            UpdateCounters(now);
            SendPending();
        }
        Clock::time_point until = now + LONGEST_WAIT;
        if (connection && !connected) {
            until = std::min(until, attemptDeadline);
        } else if (!connection) {
            until = std::min(until, nextAttempt);
        }
        WaitAndServe(until);
        if (connection && !connected && Clock::now() >= attemptDeadline) {
            EndConnection("no answer from the broker");
        }
    }
}

void BrokerLink::Attempt() {
    connection = std::make_unique<BrokerConnection>(connectionSettings, static_cast<Listener &>(*this));
    attemptDeadline = Clock::now() + connectTimeout;
    const std::string problem = connection->Start();
    if (!problem.empty()) {
        EndConnection(problem);
    }
}

// Never called from inside the library: it destroys the connection.
void BrokerLink::EndConnection(const std::string &cause) {
    connection.reset();
    if (!stopping) {
        if (connected) {
            parts.events.Log("%s", outage.ConnectionLost(cause).c_str());
        } else if (!refusedThisAttempt) {
            if (const auto line = outage.AttemptFailed(cause)) {
                parts.events.Log("%s", line->c_str());
            }
        }
    }
    connected = false;
    refusedThisAttempt = false;
    ended = false;
    droppedByLink += inFlight.size();
    inFlight.clear();
    nextAttempt = Clock::now() + backoff.Next();
}

void BrokerLink::WaitAndServe(Clock::time_point until) {
    pollfd watched[2] = {{wakeDescriptor, POLLIN, 0}, {-1, 0, 0}};
    const int socket = connection ? connection->Socket() : -1;
    if (socket >= 0) {
        watched[1] = {socket, static_cast<short>(POLLIN | (connection->WantsToWrite() ? POLLOUT : 0)), 0};
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (poll(watched, socket >= 0 ? 2 : 1, static_cast<int>(std::max<int64_t>(wait.count(), 0))) < 0) {
        return; // EINTR: the loop comes round again
    }
    if (watched[0].revents) {
        uint64_t count;
        const ssize_t ignored = read(wakeDescriptor, &count, sizeof count);
        (void)ignored;
    }
    if (socket >= 0 && watched[1].revents) {
        Serve(watched[1].revents);
    }
    if (connection && !ended) {
        const int result = connection->Maintain();
        if (result != MOSQ_ERR_SUCCESS && result != MOSQ_ERR_NO_CONN) {
            EndConnection(ResultText(result));
        }
    }
    if (connection && ended) {
        EndConnection(endCause);
    }
}

void BrokerLink::Serve(short events) {
    int result = MOSQ_ERR_SUCCESS;
    if (events & (POLLIN | POLLHUP | POLLERR)) {
        result = connection->Read();
    }
    if (result == MOSQ_ERR_SUCCESS && (events & POLLOUT)) {
        result = connection->Write();
        // A TLS handshake that waited to write goes on only in the library's read step.
        if (result == MOSQ_ERR_SUCCESS && !connected) {
            result = connection->Read();
        }
    }
    if (result != MOSQ_ERR_SUCCESS) {
        EndConnection(ResultText(result));
    } else if (!connected && (events & (POLLHUP | POLLERR))) {
        // Refused, or closed during the TLS handshake: the library would wait for ever.
        EndConnection("connection refused or closed before the broker answered");
    }
}

void BrokerLink::SendPending() {
    while (connected && inFlight.size() < IN_FLIGHT_LIMIT) {
        const std::vector<OutgoingMessage> documents = parts.documents.TakeChanged(1);
        if (!documents.empty()) {
            if (!PublishOne(documents.front(), true)) {
                return;
            }
            continue;
        }
        const std::optional<OutgoingMessage> message = parts.queue.Take();
        if (!message || !PublishOne(*message, false)) {
            return;
        }
    }
}

// False when the connection takes no more messages for now; a message the library refuses
// for itself is dropped.
bool BrokerLink::PublishOne(const OutgoingMessage &message, bool retain) {
    int messageId = 0;
    const int result = connection->Publish(message.topic, message.payload, retain, messageId);
    if (result == MOSQ_ERR_SUCCESS) {
        inFlight.insert(messageId);
        return true;
    }
    ++droppedByLink;
    return result != MOSQ_ERR_NO_CONN;
}

void BrokerLink::UpdateCounters(Clock::time_point now) {
    if (now < nextCountersUpdate) {
        return;
    }
    nextCountersUpdate = now + COUNTERS_INTERVAL;
    const std::string document = CountersDocument(Dropped(), refusedCommands);
    parts.documents.Set(topics.Bridge(), document.data(), document.size());
}

uint64_t BrokerLink::Dropped() const { return parts.queue.Dropped() + parts.documents.Refused() + droppedByLink; }

void BrokerLink::SayGoodbye() {
    if (!connected) {
        return;
    }
    SendPending();
    int messageId = 0;
    connection->Publish(topics.State(), OFFLINE, true, messageId);
    connection->Disconnect();
    const Clock::time_point deadline = Clock::now() + GOODBYE_LIMIT;
    while (connection && connection->Socket() >= 0 && Clock::now() < deadline) {
        WaitAndServe(deadline);
    }
}

void BrokerLink::Connected(int connackCode) {
    if (connackCode != 0) {
        refusedThisAttempt = true;
        if (const auto line = outage.Refused(RefusalText(connackCode))) {
            parts.events.Log("%s", line->c_str());
        }
        return;
    }
    connected = true;
    backoff.Reset();
    parts.events.Log("%s", outage.Connected(Dropped()).c_str());
    int messageId = 0;
    if (connection->Publish(topics.State(), ONLINE, true, messageId) == MOSQ_ERR_SUCCESS) {
        inFlight.insert(messageId);
    }
    connection->Subscribe(topics.CommandFilter());
    parts.documents.MarkAllChanged();
    nextCountersUpdate = Clock::time_point();
}

void BrokerLink::Published(int messageId) { inFlight.erase(messageId); }

void BrokerLink::Received(const std::string &topic, const char *payload, std::size_t length) {
    const TranslatedCommand command = parts.commands.Translate(topic, length);
    if (!command.event) {
        ++refusedCommands;
        parts.events.Log("refused the command on %s: %s (%llu refused so far)", Printable(topic).c_str(),
                         command.refusal.c_str(), static_cast<unsigned long long>(refusedCommands));
        nextCountersUpdate = Clock::time_point();
        return;
    }
    const int32_t result = parts.events.Raise(command.event->eventClass, command.event->eventType, payload, length);
    if (result != EVENT_OK) {
        parts.events.Log("the core did not take the command on %s: result %d", Printable(topic).c_str(),
                         static_cast<int>(result));
    }
}

void BrokerLink::Disconnected(int result) {
    ended = true;
    endCause = ResultText(result);
}
