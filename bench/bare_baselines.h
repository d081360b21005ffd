#pragma once

// The simplest things that could do each job the core does, measured in the
// same run so that the core's figures can be given as ratios to them.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace bench {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

// A deque under a mutex with a condition variable; each item is a malloc'd
// copy that one consumer thread hands to each of its functions in turn, as
// the core's loop hands an event to each plugin that takes it, and frees
// unless one of them kept it.
class BareQueue {
public:
    // True when the function keeps the item: it frees it itself later.
    using Consumer = bool (*)(void *data, std::size_t length, void *context);
    BareQueue(std::vector<Consumer> consumers, void *context);
    ~BareQueue();
    BareQueue(const BareQueue &) = delete;
    BareQueue &operator=(const BareQueue &) = delete;

    void Push(const void *data, std::size_t length);

private:
    struct Item {
        void *data;
        std::size_t length;
    };
    void Consume();

    const std::vector<Consumer> consumers;
    void *const context;
    std::mutex mutex;
    std::condition_variable wakeup;
    std::deque<Item> items;
    bool stopping = false;
    std::thread thread;
};

// Seconds for `producers` threads to push `perProducer` items of `length`
// bytes each through a BareQueue until its consumer has had them all. The
// consumer makes `calls` calls an item (1 to 3); with three, the last keeps
// each item until the next, as the benchmark's keeper plugin does.
Seconds BareQueueThroughput(unsigned producers, unsigned perProducer, std::size_t length, unsigned calls);

// Stamps in nanoseconds of the monotonic clock, one per item: the push was
// called, it returned, the consumer began with the item; and the thread
// that consumed it. One item in flight at a time, a pause after each.
struct LatencyStamps {
    std::vector<int64_t> calledAt;
    std::vector<int64_t> returnedAt;
    std::vector<int64_t> consumedAt;
    std::vector<pid_t> consumedBy;
};
LatencyStamps BareQueueLatencies(unsigned count, std::chrono::nanoseconds pause);
// to[i] - from[i], never below 0.
std::vector<int64_t> Delays(const std::vector<int64_t> &from, const std::vector<int64_t> &to);

// Seconds for one thread to send `count` packets of `length` bytes on a
// sequenced-packet socket pair and another to receive them all.
Seconds RawPacketLoop(unsigned count, std::size_t length);
// The same job as the core's packets out: the sending thread allocates and
// fills each packet, sends it and frees it (the producer plugin allocates and
// fills, the core sends and frees), and the receiving thread waits with poll
// for each packet before it receives it, as the benchmark's supervisor side
// does.
Seconds RawPacketsOut(unsigned count, std::size_t length);

// Seconds to create and detach `count` threads that each call a function,
// until every call has run.
Seconds DetachedThreadCalls(unsigned count);

} // namespace bench
