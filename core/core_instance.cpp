#include "core_instance.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

namespace {

// The core every thread reaches; null before the constructor has finished
// and once the core is withdrawn.
std::atomic<dvrcore *> coreInstance{nullptr};

// Calls between looking for the core and leaving it, counted before the look:
// a withdrawal that sees none here is seen by every later look. The count is
// spread over cache lines by thread, so that threads raising at once do not
// fight over one line; the withdrawal adds them all up.
constexpr std::size_t CALL_COUNTERS = 16;
struct alignas(64) CallCounter {
    std::atomic<unsigned> calls{0};
};
CallCounter callsInside[CALL_COUNTERS];
std::atomic<unsigned> nextCounter{0};

CallCounter &ThisThreadsCounter() {
    thread_local CallCounter &counter = callsInside[nextCounter.fetch_add(1) % CALL_COUNTERS];
    return counter;
}

bool AnyCallInside() {
    for (const CallCounter &counter : callsInside) {
        if (counter.calls.load() != 0) {
            return true;
        }
    }
    return false;
}

// On the thread that withdrew a core, until the core is gone.
thread_local dvrcore *coreBeingDestroyed = nullptr;

} // namespace

CoreEntry::CoreEntry() : counter(ThisThreadsCounter().calls) {
    counter.fetch_add(1);
    core = coreInstance.load();
    if (core == nullptr) {
        core = coreBeingDestroyed;
    }
}

CoreEntry::~CoreEntry() { counter.fetch_sub(1); }

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
    while (AnyCallInside()) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

CoreRegistration::~CoreRegistration() {
    if (coreBeingDestroyed == published) {
        coreBeingDestroyed = nullptr;
    }
}
