#pragma once

#include <cstdint>

#include "signal_stack.h"

class CallSlot;

// Which thread this is, as a crash report names it: one of the core's own,
// one it started for a plugin, or one it first met when a plugin raised an
// event from it.
enum class ThreadKind : uint32_t {
    Unknown,      // a thread the core neither started nor met
    Main,         // start-up, the delivery loop, shut-down
    Asio,         // signals, supervisor packets, the housekeeping tick
    Watcher,      // the call watch
    PluginWorker, // a plugin's worker: one IOCTL code 1
    PluginReader, // a plugin's asynchronous reader: one Read
    Job,          // a job thread: one Read with the job's tag
    PluginOwn,    // a plugin's own thread, met when it raised an event
};

struct ThreadRole {
    ThreadKind kind = ThreadKind::Unknown;
    uint32_t plugin = 0; // worker, reader, job and own threads: whose
    uint32_t jobTag = 0;
    // Main and asio threads: the calls they make into plugins.
    const CallSlot *calls = nullptr;
};

// The calling thread's role.
//
// Threads: each thread sets and reads its own; the fatal-signal handler
// reads it on the thread that faulted. It lives in the static TLS block, so
// reading it allocates nothing and takes no lock.
const ThreadRole &CurrentThreadRole();

// The calling thread's role from now on.
void SetThreadRole(const ThreadRole &role);

// A role, with an alternate signal stack, for the body of a thread the core
// starts (or a stretch of the main thread's life); the thread's previous
// role comes back when the scope ends.
class ThreadRoleScope {
public:
    explicit ThreadRoleScope(const ThreadRole &role);
    ~ThreadRoleScope();
    ThreadRoleScope(const ThreadRoleScope &) = delete;
    ThreadRoleScope &operator=(const ThreadRoleScope &) = delete;

private:
    const ThreadRole previous;
    AlternateSignalStack stack;
};

// A thread without a role that raises an event for a plugin's `source`
// becomes a thread of that plugin (of no known plugin for job control's
// source), with an alternate signal stack of its own until it ends. The
// core's own source leaves it as it is.
void AdoptRaisingThread(uint32_t source);

// On every event: one thread-local load once the thread has a role.
inline void MeetRaisingThread(uint32_t source) {
    if (CurrentThreadRole().kind == ThreadKind::Unknown) {
        AdoptRaisingThread(source);
    }
}
