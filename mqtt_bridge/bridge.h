#pragma once

#include <cstdint>
#include <ctime>
#include <memory>

#include "include/dvrplugin.h"
#include "mqtt_bridge/bridge_status.h"
#include "mqtt_bridge/core_events.h"
#include "mqtt_bridge/mqtt_bridge_commands.h"
#include "mqtt_bridge/operator_log.h"
#include "mqtt_bridge/settings_file.h"
#include "mqtt_bridge/system_log.h"

struct ReloadOutcome;

// The plugin: it reads its settings at Load, keeps its link to the broker from Open to Close,
// and turns delivered events into messages. Without a settings file it stays off and asks for
// no events; with a file it cannot use it stays off too, and Open fails, so the modules report
// shows it. The settings can be read again while it runs (the reload command): what the event
// masks given at Load, the topics and the queue's bounds depend on waits for the next start.
//
// Threads: Load, Open, Close, Unload, Write and IOCTL run on the core's main thread; the link's
// network thread shares the queue, the documents, the answers and the device's facts, which
// guard themselves, and replaces what Write publishes how through an atomic pointer.
class Bridge {
public:
    static constexpr uint32_t ID = MQTT_BRIDGE_ID;

    // Reads the settings file from the working directory; Open says what it found.
    explicit Bridge(EventEntryPoint entry);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    void Describe(_LoadParmsOut &out) const;
    int32_t Open();
    void Close();
    // Write: copies what it publishes and returns; never waits for the network.
    void Deliver(const _WriteParmsIn &event);
    // IOCTL UPDATE_CONFIG.
    void Configure(const void *data, uint32_t length);

private:
    struct Running;

    void Announce() const;
    ReloadOutcome Reload(); // on the network thread

    const std::time_t startTime;
    CoreEvents events;
    SystemLog systemLog;
    BridgeStatus status;
    OperatorLog log;
    LoadedSettings loaded;                 // the running settings; the network thread replaces them
    uint32_t masks[EVENT_MASK_COUNT] = {}; // as given at Load
    std::unique_ptr<Running> running;      // only when the settings are ready
};
