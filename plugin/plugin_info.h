#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "dvrplugin.h"

// The core's record of one loaded plugin. Records live by value in
// dvrcore::plugins and move when the list grows or is sorted: never keep a
// pointer to one. A record must not be destroyed while a thread slot still
// holds a running thread; the host joins both at unload.
struct PLUGININFO {
    void *Handle = nullptr;        // dynamic-loader handle
    LoadEntryPoint Load = nullptr; // never null in a listed record
    UnloadEntryPoint Unload = nullptr;
    OpenEntryPoint Open = nullptr;
    CloseEntryPoint Close = nullptr;
    ReadEntryPoint Read = nullptr;
    WriteEntryPoint Write = nullptr;
    SeekEntryPoint Seek = nullptr; // resolved, never called
    IoctlEntryPoint IOCTL = nullptr;
    std::thread WorkerThread;
    std::thread ReaderThread;
    _LoadParmsOut Info{}; // as Load left it; Info.ID identifies the plugin
    std::string Name;     // library file name without its directory
    int32_t OpenCode = 0;
    int64_t LoadTimeMs = 0;
    int64_t OpenTimeMs = 0;

    PLUGININFO() = default;
    PLUGININFO(PLUGININFO &&) = default;
    PLUGININFO &operator=(PLUGININFO &&) = default;
    PLUGININFO(const PLUGININFO &) = delete;
    PLUGININFO &operator=(const PLUGININFO &) = delete;
};
