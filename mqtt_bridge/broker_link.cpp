#include "mqtt_bridge/broker_link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mosquitto.h>

#include "mqtt_bridge/discovery.h"
#include "mqtt_bridge/json_text.h"
#include "mqtt_bridge/mqtt_bridge_commands.h"
#include "mqtt_bridge/number_text.h"
#include "mqtt_bridge/text_safety.h"
#include "mqtt_bridge/xml_writing.h"

namespace {

constexpr char ONLINE[] = "online";
constexpr char OFFLINE[] = "offline";
// libmosquitto's keep-alive work wants a call about once a second.
constexpr std::chrono::milliseconds LONGEST_WAIT{1000};
constexpr std::chrono::seconds SHORTEST_CONNECT_TIMEOUT{10};
constexpr std::chrono::seconds COUNTERS_INTERVAL{1};
constexpr int FIRST_REFUSAL_REASON = 0x80;

BrokerLink::Clock::duration ConnectTimeout(const ConnectionSettings &settings) {
    return std::max<BrokerLink::Clock::duration>(SHORTEST_CONNECT_TIMEOUT,
                                                 std::chrono::seconds(settings.keepAliveSeconds));
}

std::string EventEnvelope(const OutgoingMessage &message) {
    std::string json = "{\"source\":\"" + HexDigits(message.source) + "\"";
    if (message.kind == OutgoingMessage::Kind::Log) {
        json += ",\"level\":" + std::to_string(message.level);
    } else {
        json +=
            ",\"class\":\"" + HexDigits(message.eventClass) + "\",\"type\":\"" + HexDigits(message.eventType) + "\"";
    }
    json +=
        ",\"time\":\"" + UtcMillisecondsText(message.timeMs) + "\",\"sequence\":" + std::to_string(message.sequence);
    if (message.kind == OutgoingMessage::Kind::Log) {
        return json + ",\"text\":" + JsonString(message.payload) + "}";
    }
    return json + "," + JsonDataMembers(message.payload.data(), message.payload.size()) + "}";
}

// A log command's text as the core will print it: no control characters, and its NUL.
std::string LogCommandText(const char *payload, std::size_t length) {
    std::string text = PrintableText(payload, length, length);
    text.push_back('\0');
    return text;
}

} // namespace

BrokerLink::BrokerLink(ConnectionSettings connection, ReconnectBackoff backoff, const TopicScheme &topics,
                       LinkBehaviour behaviour, Parts parts)
    : topics(topics), parts(std::move(parts)), connectionSettings(std::move(connection)),
      behaviour(std::move(behaviour)), connectTimeout(ConnectTimeout(connectionSettings)), backoff(std::move(backoff)),
      outage(connectionSettings.host + ":" + std::to_string(connectionSettings.port)) {}

BrokerLink::~BrokerLink() {
    Stop();
    if (wakeDescriptor >= 0) {
        close(wakeDescriptor);
    }
}

bool BrokerLink::Start() {
    wakeDescriptor = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeDescriptor < 0) {
        parts.log.Error(std::string("cannot create the network thread's wake-up: ") + std::strerror(errno));
        return false;
    }
    try {
        thread = std::thread([this] { Run(); });
    } catch (const std::exception &error) {
        parts.log.Error(std::string("cannot start the network thread: ") + error.what());
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
        parts.log.Error(std::string("the network thread stopped: ") + error.what());
    }
    connection.reset();
}

void BrokerLink::Loop() {
    while (!stopping) {
        const Clock::time_point now = Clock::now();
        if (pendingReload) {
            ApplyReload();
        }
        if (!connection && now >= nextAttempt) {
            Attempt();
        }
        UpdateDocuments(now);
        ExpireAnswers(now);
        if (connected) {
            SendPending();
        }
        Clock::time_point until = now + LONGEST_WAIT;
        if (connection && !connected) {
            until = std::min(until, attemptDeadline);
        } else if (!connection) {
            until = std::min(until, nextAttempt);
        }
        if (const auto deadline = parts.answers.NextDeadline()) {
            until = std::min(until, *deadline);
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
    const std::string problem = connection->Start(wakeDescriptor, stopping, attemptDeadline);
    if (!problem.empty()) {
        EndConnection(problem);
    }
}

// Never called from inside the library: it destroys the connection.
void BrokerLink::EndConnection(const std::string &cause) {
    connection.reset();
    if (!stopping) {
        if (connected) {
            parts.log.Error(outage.ConnectionLost(cause));
        } else if (!refusedThisAttempt) {
            if (const auto line = outage.AttemptFailed(cause)) {
                parts.log.Error(*line);
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
        std::vector<OutgoingMessage> documents = parts.documents.TakeChanged(1);
        if (!documents.empty()) {
            OutgoingMessage &document = documents.front();
            // Documents under the device's topics are the core's XML; discovery is JSON already.
            if (behaviour.documentForm == DocumentForm::Json && topics.Contains(document.topic) &&
                !document.payload.empty()) {
                const auto json = XmlToJson(document.payload.data(), document.payload.size());
                document.payload = json ? *json : "{\"#xml\":" + JsonString(document.payload) + "}";
            }
            if (!PublishOne(document, true)) {
                return;
            }
            continue;
        }
        std::optional<OutgoingMessage> message = parts.queue.Take();
        if (!message) {
            return;
        }
        const bool stamped =
            message->kind == OutgoingMessage::Kind::Event || message->kind == OutgoingMessage::Kind::Log;
        if (stamped && behaviour.eventForm == EventForm::Json) {
            message->payload = EventEnvelope(*message);
        }
        if (!PublishOne(*message, false)) {
            return;
        }
    }
}

// False when the connection takes no more messages for now; a message the library refuses
// for itself is dropped.
bool BrokerLink::PublishOne(const OutgoingMessage &message, bool retain) {
    MessageProperties properties;
    if (message.kind == OutgoingMessage::Kind::Event || message.kind == OutgoingMessage::Kind::Log) {
        properties.time = UtcMillisecondsText(message.timeMs);
        properties.sequence = message.sequence;
    }
    properties.correlation = message.correlation;
    int messageId = 0;
    const int result = connection->Publish(message.topic, message.payload, retain, messageId, &properties);
    if (result == MOSQ_ERR_SUCCESS) {
        inFlight[messageId] = message.topic;
        return true;
    }
    ++droppedByLink;
    return result != MOSQ_ERR_NO_CONN;
}

void BrokerLink::UpdateDocuments(Clock::time_point now) {
    if (now >= nextCountersUpdate) {
        nextCountersUpdate = now + COUNTERS_INTERVAL;
        BridgeStatus::Counts counts = parts.status.Snapshot();
        counts.queued = parts.queue.Size();
        counts.dropped = Dropped();
        const std::string document = BridgeDocument(counts, parts.status.LastError(), parts.status.LastErrorTime());
        parts.documents.Set(topics.Bridge(), document.data(), document.size());
    }
    if (now >= nextInfoUpdate || parts.info.Changed()) {
        nextInfoUpdate = now + behaviour.infoInterval;
        const std::string document = parts.info.Text(std::time(nullptr));
        parts.documents.Set(topics.Info(), document.data(), document.size());
    }
}

void BrokerLink::ExpireAnswers(Clock::time_point now) {
    for (const AnswerBook::Request &request : parts.answers.Expire(now)) {
        SendAnswer(request.answerTopic, request.correlation,
                   {request.command, "unanswered", std::nullopt,
                    "no answer within " + std::to_string(request.seconds) + " s", std::nullopt, ""});
    }
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

void BrokerLink::ApplyReload() {
    ReloadOutcome outcome = std::move(*pendingReload);
    pendingReload.reset();
    if (outcome.behaviour) {
        const bool discoveryWas = behaviour.discovery;
        const std::string discoveryPrefixWas = behaviour.discoveryPrefix;
        behaviour = std::move(*outcome.behaviour);
        if (discoveryWas && (!behaviour.discovery || behaviour.discoveryPrefix != discoveryPrefixWas)) {
            for (const DiscoveryMessage &removal : DiscoveryRemovals(discoveryPrefixWas, behaviour.device, topics)) {
                parts.documents.Set(removal.topic, "", 0);
            }
        }
        nextInfoUpdate = Clock::time_point();
    }
    if (outcome.connection) {
        SayGoodbye();
        connection.reset();
        connected = false;
        inFlight.clear();
        connectionSettings = std::move(*outcome.connection);
        connectTimeout = ConnectTimeout(connectionSettings);
        outage = OutageReport(connectionSettings.host + ":" + std::to_string(connectionSettings.port));
        backoff.Reset();
        nextAttempt = Clock::now();
    }
}

void BrokerLink::Connected(int code) {
    if (code != 0) {
        refusedThisAttempt = true;
        if (IsProtocolRefusal(code) && connectionSettings.protocol == Protocol::Mqtt5) {
            connectionSettings.protocol = Protocol::Mqtt311;
            parts.log.Note("the broker at " + connectionSettings.host + " does not take MQTT 5: using MQTT 3.1.1");
            nextAttempt = Clock::now();
            return;
        }
        if (const auto line = outage.Refused(RefusalText(code))) {
            parts.log.Error(*line);
        }
        return;
    }
    connected = true;
    publishRefusalReported = false;
    if (everConnected) {
        parts.status.CountReconnect();
    }
    everConnected = true;
    backoff.Reset();
    parts.log.Note(outage.Connected(Dropped()));
    int messageId = 0;
    if (connection->Publish(topics.State(), ONLINE, true, messageId) == MOSQ_ERR_SUCCESS) {
        inFlight[messageId] = topics.State();
    }
    connection->Subscribe(topics.CommandFilter());
    if (behaviour.discovery) {
        for (const DiscoveryMessage &config :
             DiscoveryConfigurations(behaviour.discoveryPrefix, behaviour.device, topics, DVRPLUGIN_VERSION_STRING)) {
            parts.documents.Set(config.topic, config.payload.data(), config.payload.size());
        }
    }
    parts.documents.MarkAllChanged();
    nextCountersUpdate = Clock::time_point();
}

void BrokerLink::Published(int messageId, int reasonCode) {
    const auto found = inFlight.find(messageId);
    if (found == inFlight.end()) {
        return;
    }
    if (reasonCode >= FIRST_REFUSAL_REASON) {
        ++droppedByLink;
        if (!publishRefusalReported) {
            publishRefusalReported = true;
            parts.log.Error("the broker refused a message on " + PrintableText(found->second) + ": " +
                            mosquitto_reason_string(reasonCode) + " (further refusals are counted as dropped)");
        }
    } else {
        parts.status.CountPublished();
    }
    inFlight.erase(found);
}

std::string BrokerLink::CommandName(const std::string &topic) const {
    const std::string prefix = topics.CommandPrefix();
    return topic.compare(0, prefix.size(), prefix) == 0 ? topic.substr(prefix.size()) : topic;
}

// The response topic when it lies under the device's own topics (the only place the broker lets
// the device write), else "<command topic>/result".
std::string BrokerLink::AnswerTopicFor(const IncomingMessage &message) const {
    if (!message.responseTopic.empty() && topics.Contains(message.responseTopic) &&
        mosquitto_pub_topic_check(message.responseTopic.c_str()) == MOSQ_ERR_SUCCESS) {
        return message.responseTopic;
    }
    return message.topic + "/" + ANSWER_LEVEL;
}

void BrokerLink::SendAnswer(const std::string &topic, const std::string &correlation, const Answer &answer) {
    OutgoingMessage message;
    message.topic = topic;
    message.payload = AnswerText(answer, behaviour.documentForm);
    message.kind = OutgoingMessage::Kind::Answer;
    message.correlation = correlation;
    parts.queue.Push(std::move(message));
}

void BrokerLink::Refuse(const IncomingMessage &message, const std::string &answerTopic, const std::string &reason) {
    const uint64_t refused = parts.status.CountRefusedCommand();
    parts.log.Error("refused the command on " + PrintableText(message.topic) + ": " + reason + " (" +
                    std::to_string(refused) + " refused so far)");
    nextCountersUpdate = Clock::time_point();
    SendAnswer(answerTopic, message.correlation,
               {PrintableText(CommandName(message.topic)), "refused", std::nullopt, reason, std::nullopt, ""});
}

void BrokerLink::Received(const IncomingMessage &message) {
    const TranslatedCommand command = behaviour.commands.Translate(message.topic, message.length, message.retained);
    if (command.answerTopic) {
        return; // an answer of the bridge's own, come back over MQTT 3.1.1
    }
    const std::string answerTopic = AnswerTopicFor(message);
    if (command.reload) {
        Reload(message, answerTopic);
    } else if (!command.event) {
        Refuse(message, answerTopic, command.refusal);
    } else {
        CarryOut(message, answerTopic, command);
    }
}

void BrokerLink::CarryOut(const IncomingMessage &message, const std::string &answerTopic,
                          const TranslatedCommand &command) {
    const std::string name = PrintableText(CommandName(message.topic));
    AnswerBook::Request request;
    request.number = parts.answers.NextNumber();
    if (command.answerSeconds > 0) {
        // Opened before the event is raised: the answer may come back before Raise returns.
        request.command = name;
        request.answerTopic = answerTopic;
        request.correlation = message.correlation;
        request.seconds = command.answerSeconds;
        request.deadline = Clock::now() + std::chrono::seconds(command.answerSeconds);
        for (const AnswerBook::Request &pushedOut : parts.answers.Open(request)) {
            SendAnswer(pushedOut.answerTopic, pushedOut.correlation,
                       {pushedOut.command, "unanswered", std::nullopt, "too many commands waiting", std::nullopt, ""});
        }
    }
    uint32_t params[EVENT_PARAMS_WORDS] = {};
    params[MQTT_BRIDGE_PARAM_MARK] = MQTT_BRIDGE_MARK;
    params[MQTT_BRIDGE_PARAM_REQUEST] = request.number;
    int32_t result;
    if (command.event->eventClass & CLASS_LOG) {
        const std::string text = LogCommandText(message.payload, message.length);
        result =
            parts.events.Raise(command.event->eventClass, command.event->eventType, text.data(), text.size(), params);
    } else {
        result = parts.events.Raise(command.event->eventClass, command.event->eventType, message.payload,
                                    message.length, params);
    }
    if (result != EVENT_OK) {
        parts.log.Note("the core did not take the command on " + PrintableText(message.topic) + ": result " +
                       std::to_string(result));
        if (command.answerSeconds == 0 || parts.answers.Resolve(request.number)) {
            SendAnswer(answerTopic, message.correlation,
                       {name, "refused", result, "the core did not take the event", std::nullopt, ""});
        }
    } else if (command.answerSeconds == 0) {
        SendAnswer(answerTopic, message.correlation, {name, "accepted", result, "", std::nullopt, ""});
    }
}

void BrokerLink::Reload(const IncomingMessage &message, const std::string &answerTopic) {
    ReloadOutcome outcome = parts.reload ? parts.reload() : ReloadOutcome{};
    const std::string name = CommandName(message.topic);
    if (!outcome.taken) {
        parts.log.Error("the settings were not reloaded; the running ones stay: " + outcome.note);
        SendAnswer(answerTopic, message.correlation, {name, "refused", std::nullopt, outcome.note, std::nullopt, ""});
        return;
    }
    const std::string note = outcome.note;
    parts.log.Note("reloaded the settings" + (note.empty() ? "" : "; " + note));
    // Applied outside the library's callback: a new connection replaces this one.
    pendingReload = std::move(outcome);
    SendAnswer(answerTopic, message.correlation, {name, "accepted", 0, note, std::nullopt, ""});
    Wake();
}

void BrokerLink::Disconnected(int result) {
    ended = true;
    endCause = ResultText(result);
}
