#include "bench/bare_baselines.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bench/bench_control.h"

namespace bench {

BareQueue::BareQueue(std::vector<Consumer> consumers, void *context)
    : consumers(std::move(consumers)), context(context), thread([this] { Consume(); }) {}

BareQueue::~BareQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wakeup.notify_one();
    thread.join();
    for (const Item &item : items) {
        std::free(item.data);
    }
}

void BareQueue::Push(const void *data, std::size_t length) {
    void *copy = std::malloc(length);
    std::memcpy(copy, data, length);
    {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back({copy, length});
    }
    wakeup.notify_one();
}

void BareQueue::Consume() {
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(mutex);
            wakeup.wait(lock, [this] { return stopping || !items.empty(); });
            if (items.empty()) {
                return;
            }
            item = items.front();
            items.pop_front();
        }
        bool kept = false;
        for (const Consumer consumer : consumers) {
            kept = consumer(item.data, item.length, context) || kept;
        }
        if (!kept) {
            std::free(item.data);
        }
    }
}

namespace {

// Counts consumed items; the last expected one wakes the waiting side, as the
// bench plugins do.
struct Completion {
    uint32_t completed = 0;
    uint32_t expected = 0;
    uint32_t done = 0;

    void Complete() {
        if (__atomic_add_fetch(&completed, 1, __ATOMIC_ACQ_REL) == expected) {
            BenchStore(&done, 1);
            BenchWake(&done);
        }
    }
    void Wait() {
        while (BenchLoad(&done) == 0) {
            BenchWaitWhile(&done, 0, 1000000000LL);
        }
    }
};

// The consumers' functions: each counts the item; the keeper also keeps it
// until the next one, as the keeper plugin does with its buffers.
// The queue must be gone, its thread joined, before this.
struct Consumers {
    Consumers() = default;
    ~Consumers() { std::free(kept); }
    Consumers(const Consumers &) = delete;
    Consumers &operator=(const Consumers &) = delete;

    Completion completion;
    void *kept = nullptr;
};

bool CountItem(void *, std::size_t, void *context) {
    static_cast<Consumers *>(context)->completion.Complete();
    return false;
}

bool KeepItem(void *data, std::size_t, void *context) {
    auto &consumers = *static_cast<Consumers *>(context);
    std::free(consumers.kept);
    consumers.kept = data;
    consumers.completion.Complete();
    return true;
}

std::vector<BareQueue::Consumer> ConsumerFunctions(unsigned calls) {
    std::vector<BareQueue::Consumer> functions(calls > 1 ? calls - 1 : 0, CountItem);
    functions.push_back(calls > 1 ? KeepItem : CountItem);
    return functions;
}

struct LatencyProbe {
    std::vector<int64_t> consumedAt;
    std::vector<pid_t> consumedBy;
    uint32_t consumed = 0; // futex
};

bool StampItem(void *data, std::size_t, void *context) {
    auto &probe = *static_cast<LatencyProbe *>(context);
    uint32_t index;
    std::memcpy(&index, data, sizeof index);
    probe.consumedAt[index] = BenchNow();
    probe.consumedBy[index] = gettid();
    __atomic_add_fetch(&probe.consumed, 1, __ATOMIC_ACQ_REL);
    BenchWake(&probe.consumed);
    return false;
}

} // namespace

// The consumer may begin before the producer has taken its stamp: that is no
// delay.
std::vector<int64_t> Delays(const std::vector<int64_t> &from, const std::vector<int64_t> &to) {
    std::vector<int64_t> delays(from.size());
    for (std::size_t i = 0; i < from.size() && i < to.size(); ++i) {
        delays[i] = std::max<int64_t>(0, to[i] - from[i]);
    }
    return delays;
}

Seconds BareQueueThroughput(unsigned producers, unsigned perProducer, std::size_t length, unsigned calls) {
    Consumers consumers;
    Completion &completion = consumers.completion;
    completion.expected = producers * perProducer * calls;
    BareQueue queue(ConsumerFunctions(calls), &consumers);
    const std::vector<char> data(length, 0x5a);
    // Producers start together, as the core's raising threads do on a command.
    uint32_t go = 0;
    std::vector<std::thread> threads;
    for (unsigned p = 0; p < producers; ++p) {
        threads.emplace_back([&] {
            BenchWaitWhile(&go, 0, 60000000000LL);
            for (unsigned i = 0; i < perProducer; ++i) {
                queue.Push(data.data(), data.size());
            }
        });
    }
    const auto start = Clock::now();
    BenchStore(&go, 1);
    BenchWake(&go);
    completion.Wait();
    const Seconds elapsed = Clock::now() - start;
    for (auto &thread : threads) {
        thread.join();
    }
    return elapsed;
}

LatencyStamps BareQueueLatencies(unsigned count, std::chrono::nanoseconds pause) {
    LatencyProbe probe;
    probe.consumedAt.resize(count);
    probe.consumedBy.resize(count);
    LatencyStamps stamps;
    stamps.calledAt.resize(count);
    stamps.returnedAt.resize(count);
    {
        BareQueue queue({StampItem}, &probe);
        for (uint32_t i = 0; i < count; ++i) {
            stamps.calledAt[i] = BenchNow();
            queue.Push(&i, sizeof i);
            stamps.returnedAt[i] = BenchNow();
            uint32_t seen;
            while ((seen = BenchLoad(&probe.consumed)) <= i) {
                BenchWaitWhile(&probe.consumed, seen, 1000000000LL);
            }
            std::this_thread::sleep_for(pause);
        }
    }
    stamps.consumedAt = std::move(probe.consumedAt);
    stamps.consumedBy = std::move(probe.consumedBy);
    return stamps;
}

namespace {

// Times count packets from a sending thread to this one over a fresh socket
// pair: send(end) sends one packet on end, receive(end) takes one; either
// returns false to stop early.
template <typename Send, typename Receive>
Seconds TimedSocketPair(unsigned count, Send send, Receive receive) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        throw std::runtime_error("socketpair failed");
    }
    uint32_t go = 0;
    std::thread sender([&] {
        BenchWaitWhile(&go, 0, 60000000000LL);
        for (unsigned i = 0; i < count && send(ends[0]); ++i) {
        }
    });
    const auto start = Clock::now();
    BenchStore(&go, 1);
    BenchWake(&go);
    for (unsigned i = 0; i < count && receive(ends[1]); ++i) {
    }
    const Seconds elapsed = Clock::now() - start;
    sender.join();
    close(ends[0]);
    close(ends[1]);
    return elapsed;
}

} // namespace

Seconds RawPacketLoop(unsigned count, std::size_t length) {
    const std::vector<char> packet(length, 0x5a);
    std::vector<char> received(65536);
    return TimedSocketPair(
        count, [&](int end) { return send(end, packet.data(), packet.size(), MSG_NOSIGNAL) >= 0; },
        [&](int end) { return recv(end, received.data(), received.size(), 0) > 0; });
}

Seconds RawPacketsOut(unsigned count, std::size_t length) {
    std::vector<char> received(65536);
    const auto sendFilled = [length](int end) {
        void *packet = std::malloc(length);
        if (packet == nullptr) {
            return false;
        }
        std::memset(packet, 0x5a, length);
        const bool sent = send(end, packet, length, MSG_NOSIGNAL) >= 0;
        std::free(packet);
        return sent;
    };
    const auto pollAndReceive = [&](int end) {
        pollfd watched{end, POLLIN, 0};
        return poll(&watched, 1, -1) > 0 && recv(end, received.data(), received.size(), 0) > 0;
    };
    return TimedSocketPair(count, sendFilled, pollAndReceive);
}

Seconds DetachedThreadCalls(unsigned count) {
    // Static: a detached thread may still be returning after the last count.
    static Completion completion;
    completion.completed = 0;
    completion.done = 0;
    completion.expected = count;
    const auto start = Clock::now();
    for (unsigned i = 0; i < count; ++i) {
        std::thread([] { completion.Complete(); }).detach();
    }
    completion.Wait();
    return Clock::now() - start;
}

} // namespace bench
