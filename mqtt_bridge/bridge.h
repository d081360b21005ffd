#pragma once

#include <cstdint>
#include <memory>

#include "include/dvrplugin.h"
#include "mqtt_bridge/core_events.h"
#include "mqtt_bridge/settings_file.h"

// The plugin: it reads its settings at Load, keeps its link to the broker from Open to Close,
// and turns delivered events into messages. Without a settings file it stays off and asks for
// no events; with a file it cannot use it stays off too, and Open fails, so the modules report
// shows it.
//
// Threads: every entry runs on the core's main thread; the link's network thread shares only
// the queue and the documents, which guard themselves.
class Bridge {
public:
    static constexpr uint32_t ID = 0x004D0000u;

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

    CoreEvents events;
    LoadedSettings loaded;
    std::unique_ptr<Running> running; // only when the settings are ready
};
