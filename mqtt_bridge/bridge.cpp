#include "mqtt_bridge/bridge.h"

#include <chrono>
#include <random>
#include <utility>

#include <mosquitto.h>
#include <unistd.h>

#include "mqtt_bridge/answer_book.h"
#include "mqtt_bridge/answers.h"
#include "mqtt_bridge/broker_link.h"
#include "mqtt_bridge/device_info.h"
#include "mqtt_bridge/event_routing.h"
#include "mqtt_bridge/outgoing_queue.h"
#include "mqtt_bridge/retained_documents.h"
#include "mqtt_bridge/topics.h"

namespace {

// Room beside the largest command payload for its topic and properties.
constexpr uint32_t PACKET_HEADROOM = 16384;

std::string HostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "recorder";
    }
    return name;
}

// libmosquitto's global set-up, for as long as the bridge uses the library.
class LibraryUse {
public:
    LibraryUse() { mosquitto_lib_init(); }
    ~LibraryUse() { mosquitto_lib_cleanup(); }
    LibraryUse(const LibraryUse &) = delete;
    LibraryUse &operator=(const LibraryUse &) = delete;
};

ConnectionSettings ConnectionFrom(const LoadedSettings &loaded, const TopicScheme &topics) {
    const BridgeSettings &settings = loaded.settings;
    ConnectionSettings connection{settings.host, settings.port, settings.clientId, settings.keepAliveSeconds,
                                  settings.qos,  settings.tls,  settings.user,     loaded.password,
                                  topics.State()};
    connection.protocol = settings.protocol;
    connection.maximumPacketSize = static_cast<uint32_t>(CommandTranslator::PAYLOAD_LIMIT) + PACKET_HEADROOM;
    return connection;
}

bool SameConnection(const ConnectionSettings &a, const ConnectionSettings &b) {
    return a.host == b.host && a.port == b.port && a.clientId == b.clientId &&
           a.keepAliveSeconds == b.keepAliveSeconds && a.qos == b.qos && a.tls.enabled == b.tls.enabled &&
           a.tls.caFile == b.tls.caFile && a.tls.certFile == b.tls.certFile && a.tls.keyFile == b.tls.keyFile &&
           a.user == b.user && a.password == b.password && a.protocol == b.protocol;
}

ReconnectBackoff BackoffFrom(const BridgeSettings &settings) {
    return ReconnectBackoff(std::chrono::seconds(settings.reconnectMinimumSeconds),
                            std::chrono::seconds(settings.reconnectMaximumSeconds), std::random_device()());
}

LinkBehaviour BehaviourFrom(const BridgeSettings &settings, const TopicScheme &topics) {
    return {CommandTranslator(topics.CommandPrefix(), settings.commands, settings.numericCommands),
            settings.documentForm,
            settings.eventForm,
            std::chrono::seconds(settings.infoIntervalSeconds),
            settings.discovery,
            settings.discoveryPrefix,
            settings.device,
            settings.answerClass,
            settings.answerType};
}

int64_t NowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

// What Write publishes how; replaced whole when the settings are reloaded.
struct Publishing {
    EventRouter router;
    DocumentForm documentForm;
};

// Members in order of use: the link, which uses all the others, is destroyed first.
struct Bridge::Running {
    Running(Bridge &bridge, const LoadedSettings &loaded)
        : topics(loaded.settings.topicPrefix, loaded.settings.device),
          publishing(std::make_shared<const Publishing>(
              Publishing{EventRouter(loaded.settings, topics), loaded.settings.documentForm})),
          queue(loaded.settings.queueMessages, loaded.settings.queueBytes),
          info(loaded.settings.device, bridge.startTime),
          link(ConnectionFrom(loaded, topics), BackoffFrom(loaded.settings), topics,
               BehaviourFrom(loaded.settings, topics),
               {queue, documents, bridge.events, bridge.log, bridge.status, answers, info,
                [&bridge] { return bridge.Reload(); }}) {}

    LibraryUse library;
    TopicScheme topics;
    std::shared_ptr<const Publishing> publishing; // std::atomic_load and std::atomic_store only
    OutgoingQueue queue;
    RetainedDocuments documents;
    AnswerBook answers;
    DeviceInfo info;
    uint64_t sequence = 0; // main thread
    BrokerLink link;
};

Bridge::Bridge(EventEntryPoint entry)
    : startTime(std::time(nullptr)), events(entry, ID), log(events, systemLog, status),
      loaded(LoadSettings(SETTINGS_FILE, HostName())) {
    if (loaded.state == LoadedSettings::State::Ready) {
        running = std::make_unique<Running>(*this, loaded);
        running->publishing->router.FillMasks(masks);
    }
}

Bridge::~Bridge() = default;

void Bridge::Announce() const {
    const BridgeSettings &settings = loaded.settings;
    switch (loaded.state) {
    case LoadedSettings::State::Absent:
        log.Note(std::string("no ") + SETTINGS_FILE + " in the working directory: the bridge is off");
        break;
    case LoadedSettings::State::Broken:
        log.Error("the bridge is off: " + loaded.problem);
        break;
    case LoadedSettings::State::Ready:
        log.Note("bridging to the broker at " + settings.host + ":" + std::to_string(settings.port) + " under " +
                 settings.topicPrefix + "/" + settings.device + "/");
        if (!settings.tls.enabled) {
            log.Note(std::string("TLS is disabled: messages") + (loaded.password.empty() ? "" : " and the password") +
                     " travel unencrypted");
        }
        break;
    }
}

void Bridge::Describe(_LoadParmsOut &out) const {
    out.ID = ID;
    if (running) {
        std::copy(std::begin(masks), std::end(masks), std::begin(out.EventMasks));
        out.WriteEvents = 1;
    }
}

int32_t Bridge::Open() {
    // Said here rather than at Load, where the core does not know the bridge's name yet.
    Announce();
    if (loaded.state == LoadedSettings::State::Broken) {
        return 1;
    }
    if (running && !running->link.Start()) {
        return 2;
    }
    return 0;
}

void Bridge::Close() {
    if (running) {
        running->link.Stop();
    }
}

void Bridge::Deliver(const _WriteParmsIn &event) {
    if (!running) {
        return;
    }
    const std::shared_ptr<const Publishing> publishing = std::atomic_load(&running->publishing);
    const EventRouter::Route route = publishing->router.ForEvent(event);
    switch (route.kind) {
    case EventRouter::Route::Kind::None:
        return;
    case EventRouter::Route::Kind::Message: {
        OutgoingMessage message;
        message.topic = route.topic;
        message.payload.assign(route.length ? route.data : "", route.length);
        const bool logLine = (event.EventClass & CLASS_LOG) && (event.EventType & TYPE_LOG_TEXT);
        message.kind = logLine ? OutgoingMessage::Kind::Log : OutgoingMessage::Kind::Event;
        message.source = event.Source;
        message.eventClass = event.EventClass;
        message.eventType = event.EventType;
        message.level = event.Params[EVENT_PARAM_LEVEL];
        message.timeMs = NowMilliseconds();
        message.sequence = ++running->sequence;
        if (!running->queue.Push(std::move(message))) {
            return;
        }
        break;
    }
    case EventRouter::Route::Kind::Document:
        running->documents.Set(route.topic, route.data, route.length, event.Source);
        if (route.name == "Memory" && event.Source == CORE_SOURCE) {
            running->info.SetMemoryStatus(route.data, route.length);
        } else if (route.name == DeviceInfo::CRASH_REPORT_ELEMENT) {
            running->info.SetCrashReport(route.data, route.length);
        }
        break;
    case EventRouter::Route::Kind::Answer: {
        const std::optional<AnswerBook::Request> request = running->answers.Resolve(route.request);
        if (!request) {
            return; // answered already, or too late
        }
        OutgoingMessage message;
        message.topic = request->answerTopic;
        message.kind = OutgoingMessage::Kind::Answer;
        message.correlation = request->correlation;
        message.payload = AnswerText({request->command, "answered", std::nullopt, "", event.Source,
                                      std::string(route.length ? route.data : "", route.length)},
                                     publishing->documentForm);
        running->queue.Push(std::move(message));
        break;
    }
    }
    running->link.Wake();
}

void Bridge::Configure(const void *data, uint32_t length) {
    if (!running) {
        return;
    }
    const std::shared_ptr<const Publishing> publishing = std::atomic_load(&running->publishing);
    const EventRouter::Route route = publishing->router.ForConfiguration(data, length);
    if (route.kind == EventRouter::Route::Kind::Document) {
        running->documents.Set(route.topic, route.data, route.length);
        running->info.SetModulesReport(route.data, route.length);
        running->link.Wake();
    }
}

ReloadOutcome Bridge::Reload() {
    LoadedSettings fresh = LoadSettings(SETTINGS_FILE, HostName());
    ReloadOutcome outcome;
    if (fresh.state != LoadedSettings::State::Ready) {
        outcome.note =
            fresh.state == LoadedSettings::State::Absent ? std::string(SETTINGS_FILE) + " is gone" : fresh.problem;
        return outcome;
    }
    const BridgeSettings &now = fresh.settings;
    const BridgeSettings &was = loaded.settings;
    std::string later;
    auto waits = [&later](const char *what) { later += (later.empty() ? "" : ", ") + std::string(what); };
    if (now.device != was.device || now.topicPrefix != was.topicPrefix) {
        waits("Device");
    }
    if (now.queueMessages != was.queueMessages || now.queueBytes != was.queueBytes) {
        waits("Queue");
    }
    if (now.reconnectMinimumSeconds != was.reconnectMinimumSeconds ||
        now.reconnectMaximumSeconds != was.reconnectMaximumSeconds) {
        waits("Reconnect");
    }
    // Write keeps the topics it began with; only the new rules' masks must fit those given at Load.
    EventRouter router(now, running->topics);
    uint32_t wanted[EVENT_MASK_COUNT] = {};
    router.FillMasks(wanted);
    for (int mask = 0; mask < EVENT_MASK_COUNT; ++mask) {
        if ((wanted[mask] & ~masks[mask]) != 0) {
            waits("events beyond those asked for at the start");
            break;
        }
    }
    std::atomic_store(&running->publishing,
                      std::make_shared<const Publishing>(Publishing{std::move(router), now.documentForm}));
    const ConnectionSettings connection = ConnectionFrom(fresh, running->topics);
    if (!SameConnection(connection, ConnectionFrom(loaded, running->topics))) {
        outcome.connection = connection;
    }
    outcome.taken = true;
    outcome.note = std::string(outcome.connection ? "reconnecting" : "") +
                   (later.empty() ? "" : std::string(outcome.connection ? "; " : "") + "at the next start: " + later);
    // What waits for the next start stays as it runs, so that the next reload compares with it.
    fresh.settings.device = was.device;
    fresh.settings.topicPrefix = was.topicPrefix;
    fresh.settings.queueMessages = was.queueMessages;
    fresh.settings.queueBytes = was.queueBytes;
    fresh.settings.reconnectMinimumSeconds = was.reconnectMinimumSeconds;
    fresh.settings.reconnectMaximumSeconds = was.reconnectMaximumSeconds;
    outcome.behaviour = BehaviourFrom(fresh.settings, running->topics);
    loaded = std::move(fresh);
    return outcome;
}
