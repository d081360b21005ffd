#include "mqtt_bridge/bridge.h"

#include <chrono>
#include <random>

#include <mosquitto.h>
#include <unistd.h>

#include "mqtt_bridge/broker_link.h"
#include "mqtt_bridge/command_topics.h"
#include "mqtt_bridge/event_routing.h"
#include "mqtt_bridge/outgoing_queue.h"
#include "mqtt_bridge/retained_documents.h"
#include "mqtt_bridge/topics.h"

namespace {

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
    return {settings.host, settings.port,   settings.clientId, settings.keepAliveSeconds, settings.qos, settings.tls,
            settings.user, loaded.password, topics.State()};
}

ReconnectBackoff BackoffFrom(const BridgeSettings &settings) {
    return ReconnectBackoff(std::chrono::seconds(settings.reconnectMinimumSeconds),
                            std::chrono::seconds(settings.reconnectMaximumSeconds), std::random_device()());
}

} // namespace

// Members in order of use: the link, which uses all the others, is destroyed first.
struct Bridge::Running {
    Running(const LoadedSettings &loaded, const CoreEvents &events)
        : topics(loaded.settings.topicPrefix, loaded.settings.device), router(loaded.settings, topics),
          commands(topics.CommandPrefix(), loaded.settings.commands, loaded.settings.numericCommands),
          queue(loaded.settings.queueMessages, loaded.settings.queueBytes),
          link(ConnectionFrom(loaded, topics), BackoffFrom(loaded.settings), topics,
               {queue, documents, commands, events}) {}

    LibraryUse library;
    TopicScheme topics;
    EventRouter router;
    CommandTranslator commands;
    OutgoingQueue queue;
    RetainedDocuments documents;
    BrokerLink link;
};

Bridge::Bridge(EventEntryPoint entry) : events(entry, ID), loaded(LoadSettings(SETTINGS_FILE, HostName())) {
    if (loaded.state == LoadedSettings::State::Ready) {
        running = std::make_unique<Running>(loaded, events);
    }
}

Bridge::~Bridge() = default;

void Bridge::Announce() const {
    const BridgeSettings &settings = loaded.settings;
    switch (loaded.state) {
    case LoadedSettings::State::Absent:
        events.Log("no %s in the working directory: the bridge is off", SETTINGS_FILE);
        break;
    case LoadedSettings::State::Broken:
        events.Log("the bridge is off: %s", loaded.problem.c_str());
        break;
    case LoadedSettings::State::Ready:
        events.Log("bridging to the broker at %s:%u under %s/%s/", settings.host.c_str(),
                   static_cast<unsigned>(settings.port), settings.topicPrefix.c_str(), settings.device.c_str());
        if (!settings.tls.enabled) {
            events.Log("TLS is disabled: messages%s travel unencrypted",
                       loaded.password.empty() ? "" : " and the password");
        }
        break;
    }
}

void Bridge::Describe(_LoadParmsOut &out) const {
    out.ID = ID;
    if (running) {
        running->router.FillMasks(out.EventMasks);
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
    const EventRouter::Route route = running->router.ForEvent(event);
    if (route.kind == EventRouter::Route::Kind::Message) {
        if (running->queue.Push(route.topic, route.data, route.length)) {
            running->link.Wake();
        }
    } else if (route.kind == EventRouter::Route::Kind::Document) {
        running->documents.Set(route.topic, route.data, route.length);
        running->link.Wake();
    }
}

void Bridge::Configure(const void *data, uint32_t length) {
    if (!running) {
        return;
    }
    const EventRouter::Route route = running->router.ForConfiguration(data, length);
    if (route.kind == EventRouter::Route::Kind::Document) {
        running->documents.Set(route.topic, route.data, route.length);
        running->link.Wake();
    }
}
