#include "core_instance.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// The core every thread reaches; null before the constructor has finished
// and once the core is withdrawn.
std::atomic<dvrcore *> coreInstance{nullptr};
// Calls between looking for the core and leaving it, counted before the look:
// a withdrawal that sees none here is seen by every later look.
std::atomic<unsigned> callsInside{0};
// On the thread that withdrew a core, until the core is gone.
thread_local dvrcore *coreBeingDestroyed = nullptr;

} // namespace

CoreEntry::CoreEntry() {
    callsInside.fetch_add(1);
    core = coreInstance.load();
    if (core == nullptr) {
        core = coreBeingDestroyed;
    }
}

CoreEntry::~CoreEntry() { callsInside.fetch_sub(1); }

void CoreRegistration::Publish(dvrcore *core) {
    published = core;
    coreInstance.store(core);
}

// Calls inside are short (the job threads, which may wait in one, are gone
// before the core withdraws), so a plain poll is enough.
void CoreRegistration::Withdraw() {
    dvrcore *expected = published;
    coreInstance.compare_exchange_strong(expected, nullptr);
    coreBeingDestroyed = published;
    while (callsInside.load() != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

CoreRegistration::~CoreRegistration() {
    if (coreBeingDestroyed == published) {
        coreBeingDestroyed = nullptr;
    }
}
