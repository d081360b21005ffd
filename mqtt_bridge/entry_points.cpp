// The plugin's C entry points. Each catches everything: no exception may reach the core.
#include <exception>
#include <memory>

#include "include/dvrplugin.h"
#include "mqtt_bridge/bridge.h"

#define BRIDGE_ENTRY extern "C" __attribute__((visibility("default")))

namespace {

// Created at Load and destroyed at Unload, both on the core's main thread; the other entries
// run between them.
std::unique_ptr<Bridge> bridge;

constexpr int32_t FAILED = 1;

} // namespace

BRIDGE_ENTRY int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    try {
        bridge = std::make_unique<Bridge>(in->EventEntry);
        bridge->Describe(*out);
        return 0;
    } catch (...) {
        bridge.reset();
        return FAILED;
    }
}

BRIDGE_ENTRY int32_t Open(_OpenParmsIn *, _OpenParmsOut *) {
    try {
        return bridge ? bridge->Open() : FAILED;
    } catch (...) {
        return FAILED;
    }
}

BRIDGE_ENTRY int32_t Write(_WriteParmsIn *in, _WriteParmsOut *) {
    try {
        if (bridge) {
            bridge->Deliver(*in);
        }
        return 0;
    } catch (...) {
        return FAILED; // the event is not published; the core logs the result
    }
}

BRIDGE_ENTRY int32_t IOCTL(_IoctlParmsIn *in, _IoctlParmsOut *) {
    try {
        if (bridge && in->Code == UPDATE_CONFIG) {
            bridge->Configure(in->DataBlock.Data, in->DataBlock.DataLength);
        }
        return 0;
    } catch (...) {
        return FAILED;
    }
}

BRIDGE_ENTRY int32_t Close(_CloseParmsIn *, _CloseParmsOut *) {
    try {
        if (bridge) {
            bridge->Close();
        }
        return 0;
    } catch (...) {
        return FAILED;
    }
}

BRIDGE_ENTRY int32_t Unload(_UnloadParmsIn *, _UnloadParmsOut *) {
    try {
        bridge.reset();
        return 0;
    } catch (...) {
        return FAILED;
    }
}
