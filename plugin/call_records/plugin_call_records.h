#pragma once

// The records the core fills to call a plugin's entry points and to raise
// its own events. The core and the plugin test kit both build them here, so
// a plugin under the kit sees exactly what the core would hand it.
//
// Every builder returns a record that is zero, padding included, but for
// what it sets: the record's Size and Version always, and the values the
// entry needs.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "dvrplugin.h"

namespace call_records_detail {

template <typename Record>
Record Zeroed(uint32_t version = 1) {
    Record record;
    std::memset(&record, 0, sizeof record);
    record.Size = sizeof record;
    record.Version = version;
    return record;
}

} // namespace call_records_detail

// ---- Load, Open, Close, Unload ----

inline _LoadParmsIn LoadInRecord(void *core, EventEntryPoint eventEntry) {
    auto in = call_records_detail::Zeroed<_LoadParmsIn>(LOAD_PARMS_IN_VERSION);
    in.Core = core;
    in.EventEntry = eventEntry;
    return in;
}

// A plugin that sets nothing describes itself as ID 0 without masks,
// threads or error.
inline _LoadParmsOut LoadOutRecord() { return call_records_detail::Zeroed<_LoadParmsOut>(); }

inline _OpenParmsIn OpenInRecord() { return call_records_detail::Zeroed<_OpenParmsIn>(); }
inline _OpenParmsOut OpenOutRecord() { return call_records_detail::Zeroed<_OpenParmsOut>(); }
inline _CloseParmsIn CloseInRecord() { return call_records_detail::Zeroed<_CloseParmsIn>(); }
inline _CloseParmsOut CloseOutRecord() { return call_records_detail::Zeroed<_CloseParmsOut>(); }
inline _UnloadParmsIn UnloadInRecord() { return call_records_detail::Zeroed<_UnloadParmsIn>(); }
inline _UnloadParmsOut UnloadOutRecord() { return call_records_detail::Zeroed<_UnloadParmsOut>(); }

// ---- IOCTL ----

// A request with data: UPDATE_CONFIG and IPC_PACKET.
inline _IoctlParmsIn IoctlInRecord(uint32_t code, uint32_t dataLength, void *data) {
    auto in = call_records_detail::Zeroed<_IoctlParmsIn>();
    in.Code = code;
    in.DataBlock = {sizeof in.DataBlock, 1, dataLength, data};
    return in;
}

// The worker's request carries no data: its block is a bare header.
inline _IoctlParmsIn WorkerIoctlInRecord() {
    auto in = call_records_detail::Zeroed<_IoctlParmsIn>();
    in.Code = WORKER_THREAD;
    in.DataBlock.Size = sizeof(_BlockHeader);
    in.DataBlock.Version = 1;
    return in;
}

inline _IoctlParmsOut IoctlOutRecord(uint32_t code) {
    auto out = call_records_detail::Zeroed<_IoctlParmsOut>();
    out.Code = code;
    out.Block = {sizeof out.Block, 1};
    return out;
}

// ---- Read ----

// A job's call; the reader thread's call passes no data and tag 0.
inline _ReadParmsIn ReadInRecord(uint32_t dataLength, void *data, uint32_t jobTag) {
    auto in = call_records_detail::Zeroed<_ReadParmsIn>();
    in.Flag12 = 1;
    in.DataLength = dataLength;
    in.Data = data;
    in.JobTag = jobTag;
    return in;
}

inline _ReadParmsOut ReadOutRecord() { return call_records_detail::Zeroed<_ReadParmsOut>(); }

// ---- Events ----

inline _EventParmsIn EventRecord(uint32_t source, uint32_t eventClass, uint32_t eventType, uint32_t dataLength,
                                 void *data) {
    auto in = call_records_detail::Zeroed<_EventParmsIn>();
    in.DataLength = dataLength;
    in.Data = data;
    in.Source = source;
    in.EventClass = eventClass;
    in.EventType = eventType;
    return in;
}

inline _EventParmsOut EventResultRecord() { return call_records_detail::Zeroed<_EventParmsOut>(); }

// ---- Write ----

// The delivery of an event: a 16-byte head, then the event from its
// DataLength on, its type as raised and its Params unchanged.
// Every event passes here once per receiver: the Params are copied, not
// cleared first.
inline _WriteParmsIn WriteInRecord(const _EventParmsIn &event) {
    _WriteParmsIn in;
    std::memset(&in, 0, offsetof(_WriteParmsIn, Params));
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = event.DataLength;
    in.Data = event.Data;
    in.Source = event.Source;
    in.JobTag = event.JobTag;
    in.EventClass = event.EventClass;
    in.EventType = event.EventType;
    static_assert(sizeof in.Params == sizeof event.Params, "Params are copied whole");
    static_assert(offsetof(_WriteParmsIn, Params) + sizeof in.Params == sizeof in, "nothing follows the Params");
    std::memcpy(in.Params, event.Params, sizeof in.Params);
    return in;
}

inline _WriteParmsOut WriteOutRecord() { return call_records_detail::Zeroed<_WriteParmsOut>(); }
