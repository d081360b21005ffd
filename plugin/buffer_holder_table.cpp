#include "buffer_holder_table.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <utility>
#include <vector>

#include "log_message.h"

struct BufferHolderTable::Leak {
    const void *address;
    std::vector<uint32_t> holders;
    uint32_t length;
};

BufferHolderTable::BufferHolderTable(EventEntryPoint leakReport, LeakSummary summary)
    : leakReport(leakReport), summary(std::move(summary)) {}

BufferHolderTable::~BufferHolderTable() { ReportLeaks(); }

void *BufferHolderTable::Copy(const void *data, std::size_t length, uint32_t eventClass, uint32_t eventType) {
    void *copy = pool.Allocate(length);
    if (copy != nullptr) {
        std::memcpy(copy, data, length);
        HeldCopy &head = pool.Head(copy);
        head.madeAt = pool.Clock();
        head.event = {eventClass, eventType};
    }
    return copy;
}

void BufferHolderTable::Free(void *copy) {
    if (copy != nullptr) {
        pool.Free(copy);
    }
}

BufferHolderTable::Outcome BufferHolderTable::ReleaseHold(const void *address, uint32_t holder) {
    Outcome outcome{false, true};
    if (address == nullptr) {
        return outcome;
    }
    pool.WithCopy(address, [&](HeldCopy &head) {
        SpinLockGuard lock(head.lock);
        outcome.removedHold = head.Remove(holder);
        outcome.noHolderLeft = head.Unheld();
    });
    return outcome;
}

bool BufferHolderTable::ReleaseHoldFreeingLast(const void *address, uint32_t holder) {
    if (address == nullptr) {
        return false;
    }
    return pool.ReleaseCopy(address, [&](HeldCopy &head) {
        SpinLockGuard lock(head.lock);
        return head.Remove(holder) && head.Unheld();
    });
}

std::optional<uint32_t> BufferHolderTable::HeldLength(const void *address, uint32_t holder) {
    std::optional<uint32_t> length;
    pool.WithCopy(address, [&](HeldCopy &head) {
        SpinLockGuard lock(head.lock);
        bool held = false;
        head.ForEachHolder([&](uint32_t each) { held = held || each == holder; });
        if (held) {
            length = head.length;
        }
    });
    return length;
}

void BufferHolderTable::AdvanceClock(uint32_t seconds) {
    if (seconds != pool.Clock()) {
        pool.SetClock(seconds);
        pool.ReturnIdleSlabs();
    }
}

// A copy's fields beside its holders were written before its first hold, so
// they are read only once a holder is seen under its lock.
void BufferHolderTable::ForEachHolding(const std::function<void(const Holding &)> &visit) {
    pool.ForEachCopy([&](const void *, HeldCopy &copy) {
        SpinLockGuard lock(copy.lock);
        copy.ForEachHolder([&](uint32_t holder) {
            if (holder != CORE_SOURCE) {
                visit({holder, copy.length, copy.madeAt, copy.event.eventClass, copy.event.eventType});
            }
        });
    });
}

void BufferHolderTable::Report(const void *address, uint32_t holder) const {
    LogMessage(CORE_SOURCE, leakReport, LOG_LEVEL_DIAGNOSTIC, "address %p leaked by plugin %08lX", address,
               static_cast<unsigned long>(holder));
}

// The lines list the pairs by ascending address, each copy's holders in the
// order their holds were added. Should there be no memory to sort by, the
// lines still come, in the pool's own order, without the sums.
void BufferHolderTable::ReportLeaks() {
    std::vector<Leak> leaks;
    try {
        pool.ForEachCopy([&](const void *data, HeldCopy &copy) {
            SpinLockGuard lock(copy.lock);
            if (!copy.Unheld()) {
                leaks.push_back({data, {}, copy.length});
                copy.ForEachHolder([&](uint32_t holder) { leaks.back().holders.push_back(holder); });
            }
        });
    } catch (const std::bad_alloc &) {
        pool.ForEachCopy([&](const void *data, HeldCopy &copy) {
            SpinLockGuard lock(copy.lock);
            copy.ForEachHolder([&](uint32_t holder) { Report(data, holder); });
        });
        return;
    }
    std::sort(leaks.begin(), leaks.end(), [](const Leak &a, const Leak &b) { return a.address < b.address; });
    for (const Leak &leak : leaks) {
        for (const uint32_t holder : leak.holders) {
            Report(leak.address, holder);
        }
    }
    Summarize(leaks);
}

// A copy held twice by one holder counts once for it.
void BufferHolderTable::Summarize(const std::vector<Leak> &leaks) const {
    if (!summary || leaks.empty()) {
        return;
    }
    std::map<uint32_t, std::pair<std::size_t, uint64_t>> totals;
    try {
        for (const Leak &leak : leaks) {
            for (auto holder = leak.holders.begin(); holder != leak.holders.end(); ++holder) {
                if (std::find(leak.holders.begin(), holder, *holder) == holder) {
                    auto &total = totals[*holder];
                    ++total.first;
                    total.second += leak.length;
                }
            }
        }
    } catch (const std::bad_alloc &) {
        return; // the leak lines have been told; only their sums are missing
    }
    for (const auto &total : totals) {
        summary(total.first, total.second.first, total.second.second);
    }
}
