// A plugin written in C++, built twice: with DECLARED the header declares the
// entry points inside extern "C", so that these definitions export their
// plain names; without it they get C++ names, and the core finds no Load.
#include <cstdint>
#include <cstring>

#ifdef DECLARED
#define DVRPLUGIN_DECLARE_ENTRY_POINTS
#endif
#include "dvrplugin.h"

namespace {

EventEntryPoint raiseEvent;

void LogLine(const char *text) {
    _EventParmsIn in{};
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = static_cast<uint32_t>(std::strlen(text) + 1);
    in.Data = const_cast<char *>(text);
    in.Source = PLUGIN_ID;
    in.EventClass = CLASS_LOG;
    in.EventType = TYPE_LOG_TEXT;
    in.Params[EVENT_PARAM_LEVEL] = LOG_LEVEL_INFO;
    _EventParmsOut out{sizeof out, 1, EVENT_OK};
    raiseEvent(&in, &out);
}

} // namespace

int32_t Load(_LoadParmsIn *in, _LoadParmsOut *out) {
    raiseEvent = in->EventEntry;
    out->ID = PLUGIN_ID;
    return 0;
}

int32_t Open(_OpenParmsIn *, _OpenParmsOut *) {
    LogLine("c++ plugin opened");
    return 0;
}

int32_t Write(_WriteParmsIn *, _WriteParmsOut *) { return 0; }
